// Background of the Tessera extension: admits pages and relays their requests
// to the native host and the host's responses back.
//
// - Admission: only secure pages (https; http on loopback for development).
//   An origin on the managed policy's allowlist is admitted without asking;
//   any other origin is asked about once, in the extension's own window, and
//   the answer is remembered (the options page reviews and revokes it). A
//   policy with askForConsent false refuses every origin off its list.
// - One native port per tab: the host keeps the agent's settings (CSP, key
//   algorithm, container of the last request, a two-certificate installation
//   in progress) for the whole conversation, so all calls of one tab go to the
//   same host process. The port is closed when the tab's pages are gone, the
//   tab shows another origin or the origin is no longer admitted.
// - One request in flight per host; the others wait in a queue. Requests
//   carry an id of our own as "randomId"; an answer is only ever given to the
//   request in flight, so an answer without "randomId" (the host's fallback
//   for a request it cannot parse) cannot reach an unrelated call. An answer
//   for a page that went away is dropped, and the slot stays taken until it
//   comes.
// - Every host has a serial; answers carry it, and a request that names a
//   serial other than its tab's host is answered HOST_REPLACED without being
//   sent, so that the page can restore its settings first.
// - Every call has a timeout, counted from when it is sent. A host that does
//   not answer in time is stopped: it serves one request at a time, so a hung
//   call would block all the others. A page can cancel its call, which also
//   stops the host.
// - A host that cannot be started or that exits fails every pending call with
//   an error that tells which it was; the next call starts a new host.
'use strict';

if (typeof importScripts === 'function' && typeof TesseraOrigins === 'undefined') {
  importScripts('origins.js');
}

const ext = typeof browser !== 'undefined' ? browser : chrome;
const HOST_NAME = 'com.tessera.host';
const DEFAULT_TIMEOUT_MS = 120000;
const MIN_TIMEOUT_MS = 1000;
const MAX_TIMEOUT_MS = 600000;
// Time a tab's host stays open after its last page went away (reloads and
// same-origin navigation keep the conversation).
const IDLE_CLOSE_MS = 15000;
const CONSENTS_KEY = 'consents';

const sessions = new Map(); // tabId -> session
const prompts = new Map(); // origin -> open consent prompt
let policyPromise = null;
let serialCounter = 0;
let storeChain = Promise.resolve();

function loadPolicy() {
  if (!policyPromise) {
    policyPromise = (async () => {
      let managed;
      try {
        managed = await ext.storage.managed.get(['allowedOrigins', 'askForConsent']);
      } catch (e) {
        managed = undefined; // no policy installed (Firefox throws then)
      }
      return TesseraOrigins.policyFromManaged(managed);
    })();
  }
  return policyPromise;
}

async function loadConsents() {
  try {
    const got = await ext.storage.local.get(CONSENTS_KEY);
    const c = got && got[CONSENTS_KEY];
    return c && typeof c === 'object' ? c : {};
  } catch (e) {
    return {};
  }
}

// Remembers the user's answer for an origin; writes one at a time so that
// two answers given close together do not overwrite each other.
function storeConsent(origin, allowed) {
  storeChain = storeChain.then(async () => {
    const consents = await loadConsents();
    consents[origin] = { allowed, at: new Date().toISOString() };
    await ext.storage.local.set({ [CONSENTS_KEY]: consents });
  }).catch(() => {});
  return storeChain;
}

function newToken() {
  const a = new Uint8Array(16);
  crypto.getRandomValues(a);
  return [...a].map((b) => b.toString(16).padStart(2, '0')).join('');
}

function finishPrompt(p, allowed) {
  if (prompts.get(p.origin) !== p) return;
  prompts.delete(p.origin);
  p.resolve(allowed);
  if (p.windowId !== null && ext.windows) ext.windows.remove(p.windowId).catch(() => {});
}

// Opens the consent window for an origin (one per origin, shared by all its
// waiting calls). Resolves with true, false, or null when the window was
// closed without an answer.
function askUser(origin) {
  const open = prompts.get(origin);
  if (open) return open.promise;
  const p = { origin, token: newToken(), windowId: null, resolve: null, promise: null, answer: undefined };
  p.promise = new Promise((r) => { p.resolve = r; });
  prompts.set(origin, p);
  const url = ext.runtime.getURL('consent.html') + '#' + p.token;
  Promise.resolve()
    .then(() => ext.windows.create({ url, type: 'popup', width: 520, height: 480, focused: true }))
    .then((win) => {
      p.windowId = win && typeof win.id === 'number' ? win.id : null;
      if (prompts.get(origin) !== p && p.windowId !== null) ext.windows.remove(p.windowId).catch(() => {});
    }, () => finishPrompt(p, null));
  return p.promise;
}

function promptByToken(token) {
  for (const p of prompts.values()) if (p.token === token) return p;
  return null;
}

if (ext.windows && ext.windows.onRemoved) {
  ext.windows.onRemoved.addListener((windowId) => {
    // A window closed after its answer is finished once the answer is stored.
    for (const p of [...prompts.values()]) if (p.windowId === windowId && p.answer === undefined) finishPrompt(p, null);
  });
}

// Messages of the extension's own pages (the consent window).
ext.runtime.onMessage.addListener((msg, sender, sendResponse) => {
  const own = sender && sender.id === ext.runtime.id && typeof sender.url === 'string' &&
    sender.url.startsWith(ext.runtime.getURL(''));
  if (!own || !msg || typeof msg !== 'object') return undefined;
  const p = typeof msg.token === 'string' ? promptByToken(msg.token) : null;
  if (msg.type === 'consent-info') {
    sendResponse(p ? { origin: p.origin } : { origin: null });
  } else if (msg.type === 'consent-answer' && p && p.answer === undefined) {
    const allowed = msg.allowed === true;
    p.answer = allowed;
    storeConsent(p.origin, allowed).then(() => finishPrompt(p, allowed));
    sendResponse({ ok: true });
  }
  return undefined;
});

// Decides whether a page may use the host, asking the user when needed.
// `waiting` is called when the call has to wait for the user's answer.
async function admit(origin, waiting) {
  const policy = await loadPolicy();
  const d = TesseraOrigins.decideAdmission(origin, policy, await loadConsents());
  if (d.verdict !== 'ask') return d;
  waiting();
  const allowed = await askUser(new URL(origin).origin);
  if (allowed === null) return { verdict: 'deny', by: 'dismissed' };
  return { verdict: allowed ? 'allow' : 'deny', by: 'user' };
}

function refusal(origin, d) {
  if (d.verdict === 'insecure') {
    return {
      code: 'INSECURE_CONTEXT',
      message: 'This page (' + origin + ') is not a secure context: Tessera serves only https pages ' +
        '(and http://localhost or http://127.0.0.1 for development).',
    };
  }
  const why = {
    policy: 'The administrator\'s policy does not allow this page (' + origin + ') to use Tessera.',
    user: 'You did not allow this page (' + origin + ') to use Tessera; the Tessera extension\'s options can change that.',
    dismissed: 'The question whether this page (' + origin + ') may use Tessera was closed without an answer.',
  };
  return { code: 'ORIGIN_NOT_ALLOWED', reason: d.by, message: why[d.by] || why.policy };
}

// Ends the conversations of origins that are no longer admitted (a policy
// change or a revoked consent). Asks nobody.
async function recheckSessions() {
  const policy = await loadPolicy();
  const consents = await loadConsents();
  for (const [tabId, s] of sessions) {
    const d = TesseraOrigins.decideAdmission(s.origin, policy, consents);
    if (d.verdict !== 'allow') {
      closeSession(tabId, 'ORIGIN_NOT_ALLOWED', 'The page origin is no longer allowed to use Tessera.');
    }
  }
}

if (ext.storage && ext.storage.onChanged) {
  ext.storage.onChanged.addListener((changes, area) => {
    if (area === 'managed') policyPromise = null;
    else if (area !== 'local' || !changes[CONSENTS_KEY]) return;
    recheckSessions().catch(() => {});
  });
}

// Chrome reports why a native port closed in runtime.lastError, Firefox in
// port.error. The texts are the browsers' own; map them to stable codes.
function classifyDisconnect(port, everAnswered) {
  let text = '';
  if (port && port.error && port.error.message) text = port.error.message;
  else if (ext.runtime.lastError && ext.runtime.lastError.message) text = ext.runtime.lastError.message;
  if (/not found|no such native application|not registered|invalid native messaging host name|failed to start/i.test(text)) {
    return { code: 'HOST_NOT_INSTALLED', message: 'The Tessera host is not installed for this browser (' + text + ').' };
  }
  if (/forbidden/i.test(text)) {
    return { code: 'HOST_FORBIDDEN', message: 'The Tessera host does not allow this extension (' + text + ').' };
  }
  if (/exited/i.test(text) || (!text && everAnswered)) {
    return { code: 'HOST_EXITED', message: 'The Tessera host exited' + (text ? ' (' + text + ').' : '.') };
  }
  if (!text) {
    // Firefox gives no text when the host's process ends before it answers.
    return { code: 'HOST_EXITED', message: 'The Tessera host exited before it answered.' };
  }
  return { code: 'HOST_ERROR', message: 'Communication with the Tessera host failed (' + text + ').' };
}

function reply(contentPort, message) {
  try {
    contentPort.postMessage(message);
  } catch (e) {
    // The page went away; nothing to tell.
  }
}

function fail(entry, code, message) {
  clearTimeout(entry.timer);
  if (entry.gone) return;
  reply(entry.contentPort, { id: entry.pageId, error: { code, message, operation: entry.fn } });
}

function failAll(s, code, message) {
  const entries = s.inflight ? [s.inflight, ...s.queue] : [...s.queue];
  s.inflight = null;
  s.queue = [];
  for (const entry of entries) fail(entry, code, message);
}

function closeSession(tabId, code, message) {
  const s = sessions.get(tabId);
  if (!s) return;
  sessions.delete(tabId);
  clearTimeout(s.idleTimer);
  try {
    s.port.disconnect();
  } catch (e) {
    // already closed
  }
  failAll(s, code, message);
}

function openSession(tabId, origin) {
  const port = ext.runtime.connectNative(HOST_NAME);
  const serial = Date.now().toString(36) + '-' + (++serialCounter);
  const s = { tabId, origin, port, serial, queue: [], inflight: null, seq: 0, answered: false, idleTimer: null, pages: new Set() };
  port.onMessage.addListener((msg) => onHostMessage(s, msg));
  port.onDisconnect.addListener(() => {
    const why = classifyDisconnect(port, s.answered);
    if (sessions.get(tabId) === s) sessions.delete(tabId);
    clearTimeout(s.idleTimer);
    failAll(s, why.code, why.message);
  });
  sessions.set(tabId, s);
  return s;
}

// Sends the next queued request when the host is free.
function pump(s) {
  while (!s.inflight && s.queue.length) {
    const entry = s.queue.shift();
    if (entry.gone) continue;
    s.inflight = entry;
    entry.timer = setTimeout(() => {
      if (s.inflight !== entry) return;
      s.inflight = null;
      fail(entry, 'TIMEOUT', 'The Tessera host did not answer ' + entry.fn + ' within ' + entry.timeoutMs + ' ms; it was stopped.');
      closeSession(s.tabId, 'HOST_EXITED', 'The Tessera host was stopped after another call timed out.');
    }, entry.timeoutMs);
    try {
      s.port.postMessage({ function: entry.fn, params: entry.params, randomId: entry.key });
    } catch (e) {
      s.inflight = null;
      fail(entry, 'HOST_EXITED', 'The Tessera host is gone (' + (e && e.message || e) + ').');
      if (sessions.get(s.tabId) === s) sessions.delete(s.tabId);
      failAll(s, 'HOST_EXITED', 'The Tessera host is gone.');
      return;
    }
    if (!entry.gone) {
      reply(entry.contentPort, { id: entry.pageId, event: 'started', hostSerial: s.serial, timeoutMs: entry.timeoutMs });
    }
  }
}

function onHostMessage(s, msg) {
  s.answered = true;
  const entry = s.inflight;
  if (!entry) return; // nothing was asked: an answer for a call that timed out
  const key = msg && typeof msg.randomId === 'string' && msg.randomId !== '' ? msg.randomId : null;
  // Without randomId the answer can only be the in-flight request's; with
  // another one it belongs to a call that is over.
  if (key !== null && key !== entry.key) return;
  s.inflight = null;
  clearTimeout(entry.timer);
  if (!entry.gone) {
    const response = Object.assign({}, msg);
    if (entry.pageId) response.randomId = entry.pageId;
    else delete response.randomId;
    reply(entry.contentPort, { id: entry.pageId, response, hostSerial: s.serial });
  }
  pump(s);
}

function validRequest(msg) {
  return msg && typeof msg === 'object' && typeof msg.id === 'string' && msg.id.length <= 200 &&
    typeof msg.function === 'string' && msg.function.length > 0 && msg.function.length <= 200 &&
    Array.isArray(msg.params);
}

function clampTimeout(value) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return DEFAULT_TIMEOUT_MS;
  return Math.min(MAX_TIMEOUT_MS, Math.max(MIN_TIMEOUT_MS, Math.round(value)));
}

// A page's cancel: a queued call is dropped; the call in flight cannot be
// taken back from the host, so the host is stopped.
function onCancel(contentPort, tabId, msg) {
  const s = sessions.get(tabId);
  if (!s || typeof msg.id !== 'string') return;
  const message = 'The call was cancelled by the page.';
  const queued = s.queue.find((e) => e.pageId === msg.id && e.contentPort === contentPort);
  if (queued) {
    s.queue = s.queue.filter((e) => e !== queued);
    fail(queued, 'CANCELLED', message);
  } else if (s.inflight && s.inflight.pageId === msg.id && s.inflight.contentPort === contentPort) {
    const entry = s.inflight;
    s.inflight = null;
    fail(entry, 'CANCELLED', message);
    closeSession(tabId, 'HOST_EXITED', 'The Tessera host was stopped because a call was cancelled.');
  }
}

async function onPageRequest(contentPort, tabId, origin, msg) {
  if (!validRequest(msg)) {
    reply(contentPort, { id: msg && typeof msg.id === 'string' ? msg.id : '', error: { code: 'BAD_REQUEST', message: 'Malformed request.' } });
    return;
  }
  const d = await admit(origin, () => reply(contentPort, { id: msg.id, event: 'consent' }));
  if (d.verdict !== 'allow') {
    reply(contentPort, { id: msg.id, error: Object.assign({ operation: msg.function }, refusal(origin, d)) });
    return;
  }
  let s = sessions.get(tabId);
  if (s && s.origin !== origin) {
    closeSession(tabId, 'HOST_EXITED', 'The tab changed origin; its Tessera conversation ended.');
    s = undefined;
  }
  if (!s) {
    try {
      s = openSession(tabId, origin);
    } catch (e) {
      reply(contentPort, { id: msg.id, error: { code: 'HOST_NOT_INSTALLED', operation: msg.function, message: String(e && e.message || e) } });
      return;
    }
  }
  s.pages.add(contentPort);
  clearTimeout(s.idleTimer);
  if (typeof msg.hostSerial === 'string' && msg.hostSerial !== s.serial) {
    reply(contentPort, {
      id: msg.id, hostSerial: s.serial,
      error: { code: 'HOST_REPLACED', operation: msg.function, message: 'A new Tessera host serves this page; its settings are those of a new host.' },
    });
    return;
  }
  const entry = {
    pageId: msg.id, fn: msg.function, params: msg.params, contentPort, timer: null, gone: false,
    key: 'tessera-' + tabId + '-' + (++s.seq), timeoutMs: clampTimeout(msg.timeoutMs),
  };
  s.queue.push(entry);
  pump(s);
}

ext.runtime.onConnect.addListener((contentPort) => {
  if (contentPort.name !== 'tessera') return;
  const sender = contentPort.sender || {};
  const tabId = sender.tab && typeof sender.tab.id === 'number' ? sender.tab.id : null;
  let origin = sender.origin;
  if (!origin && sender.url) {
    try {
      origin = new URL(sender.url).origin;
    } catch (e) {
      origin = null;
    }
  }
  if (tabId === null || sender.frameId !== 0 || !origin) {
    // Only the top document of a tab may talk to the host.
    contentPort.onMessage.addListener((msg) => reply(contentPort, {
      id: msg && typeof msg.id === 'string' ? msg.id : '',
      error: { code: 'ORIGIN_NOT_ALLOWED', message: 'Only the top-level page of a tab may use Tessera.' },
    }));
    return;
  }
  // A page's requests are admitted and queued in the order it sent them.
  let chain = Promise.resolve();
  contentPort.onMessage.addListener((msg) => {
    if (msg && msg.type === 'cancel') {
      onCancel(contentPort, tabId, msg);
      return;
    }
    chain = chain.then(() => onPageRequest(contentPort, tabId, origin, msg)).catch((e) => reply(contentPort, {
      id: msg && typeof msg.id === 'string' ? msg.id : '',
      error: { code: 'EXTENSION_ERROR', message: String(e && e.message || e) },
    }));
  });
  contentPort.onDisconnect.addListener(() => {
    const s = sessions.get(tabId);
    if (!s) return;
    s.pages.delete(contentPort);
    // Answers for this page can no longer be delivered; its queued calls are
    // dropped, and its call in flight keeps the host until it is answered.
    s.queue = s.queue.filter((entry) => entry.contentPort !== contentPort);
    if (s.inflight && s.inflight.contentPort === contentPort) s.inflight.gone = true;
    if (s.pages.size === 0) {
      clearTimeout(s.idleTimer);
      s.idleTimer = setTimeout(() => {
        if (sessions.get(tabId) === s && s.pages.size === 0) closeSession(tabId, 'HOST_EXITED', 'The page was closed.');
      }, IDLE_CLOSE_MS);
    }
  });
});

if (ext.tabs && ext.tabs.onRemoved) {
  ext.tabs.onRemoved.addListener((tabId) => closeSession(tabId, 'HOST_EXITED', 'The tab was closed.'));
}
