// Background of the Tessera extension: relays the requests of allowed pages to
// the native host and the host's responses back.
//
// - One native port per tab: the host keeps the agent's settings (CSP, key
//   algorithm, container of the last request, a two-certificate installation
//   in progress) for the whole conversation, so all calls of one tab go to the
//   same host process. The port is closed when the tab's pages are gone or the
//   tab shows another origin, so no site inherits another site's conversation.
// - Requests carry an id of our own as "randomId"; the host echoes it and the
//   response is matched on it (a response without one is the host's answer to
//   the oldest request, since it serves them strictly in order).
// - Every call has a timeout. A host that does not answer in time is stopped:
//   it serves one request at a time, so a hung call would block all the others.
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

const sessions = new Map(); // tabId -> session
let allowlistPromise = null;

function loadAllowlist() {
  if (!allowlistPromise) {
    allowlistPromise = (async () => {
      let managed;
      try {
        const got = await ext.storage.managed.get('allowedOrigins');
        managed = got && got.allowedOrigins;
      } catch (e) {
        managed = undefined; // no policy installed (Firefox throws then)
      }
      return TesseraOrigins.effectiveAllowlist(managed);
    })();
  }
  return allowlistPromise;
}

if (ext.storage && ext.storage.onChanged) {
  ext.storage.onChanged.addListener((changes, area) => {
    if (area !== 'managed') return;
    allowlistPromise = null;
    // Conversations of origins that are no longer allowed end now.
    loadAllowlist().then((list) => {
      for (const [tabId, s] of sessions) {
        if (!TesseraOrigins.isOriginAllowed(s.origin, list)) {
          closeSession(tabId, 'ORIGIN_NOT_ALLOWED', 'The page origin is no longer allowed to use Tessera.');
        }
      }
    });
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
  reply(entry.contentPort, { id: entry.pageId, error: { code, message, operation: entry.fn } });
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
  for (const entry of s.pending.values()) fail(entry, code, message);
  s.pending.clear();
}

function openSession(tabId, origin) {
  const port = ext.runtime.connectNative(HOST_NAME);
  const s = { tabId, origin, port, pending: new Map(), seq: 0, answered: false, idleTimer: null, pages: new Set() };
  port.onMessage.addListener((msg) => onHostMessage(s, msg));
  port.onDisconnect.addListener(() => {
    const why = classifyDisconnect(port, s.answered);
    if (sessions.get(tabId) === s) sessions.delete(tabId);
    clearTimeout(s.idleTimer);
    for (const entry of s.pending.values()) fail(entry, why.code, why.message);
    s.pending.clear();
  });
  sessions.set(tabId, s);
  return s;
}

function onHostMessage(s, msg) {
  s.answered = true;
  let key = msg && typeof msg.randomId === 'string' ? msg.randomId : null;
  if (key === null || !s.pending.has(key)) {
    if (key !== null) return; // the answer to a call that already timed out
    const first = s.pending.keys().next();
    if (first.done) return;
    key = first.value;
  }
  const entry = s.pending.get(key);
  s.pending.delete(key);
  clearTimeout(entry.timer);
  const response = Object.assign({}, msg);
  if (entry.pageId) response.randomId = entry.pageId;
  else delete response.randomId;
  reply(entry.contentPort, { id: entry.pageId, response });
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

async function onPageRequest(contentPort, tabId, origin, msg) {
  if (!validRequest(msg)) {
    reply(contentPort, { id: msg && typeof msg.id === 'string' ? msg.id : '', error: { code: 'BAD_REQUEST', message: 'Malformed request.' } });
    return;
  }
  const list = await loadAllowlist();
  if (!TesseraOrigins.isOriginAllowed(origin, list)) {
    reply(contentPort, {
      id: msg.id,
      error: { code: 'ORIGIN_NOT_ALLOWED', operation: msg.function, message: 'This page (' + origin + ') is not allowed to use Tessera.' },
    });
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
  const key = 'tessera-' + tabId + '-' + (++s.seq);
  const timeoutMs = clampTimeout(msg.timeoutMs);
  const entry = { pageId: msg.id, fn: msg.function, contentPort, timer: null };
  entry.timer = setTimeout(() => {
    if (!s.pending.has(key)) return;
    s.pending.delete(key);
    fail(entry, 'TIMEOUT', 'The Tessera host did not answer ' + msg.function + ' within ' + timeoutMs + ' ms; it was stopped.');
    closeSession(tabId, 'HOST_EXITED', 'The Tessera host was stopped after another call timed out.');
  }, timeoutMs);
  s.pending.set(key, entry);
  try {
    s.port.postMessage({ function: msg.function, params: msg.params, randomId: key });
  } catch (e) {
    s.pending.delete(key);
    fail(entry, 'HOST_EXITED', 'The Tessera host is gone (' + (e && e.message || e) + ').');
    if (sessions.get(tabId) === s) sessions.delete(tabId);
  }
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
  contentPort.onMessage.addListener((msg) => {
    onPageRequest(contentPort, tabId, origin, msg).catch((e) => reply(contentPort, {
      id: msg && typeof msg.id === 'string' ? msg.id : '',
      error: { code: 'EXTENSION_ERROR', message: String(e && e.message || e) },
    }));
  });
  contentPort.onDisconnect.addListener(() => {
    const s = sessions.get(tabId);
    if (!s) return;
    s.pages.delete(contentPort);
    // Answers for this page can no longer be delivered; forget them.
    for (const [key, entry] of s.pending) {
      if (entry.contentPort === contentPort) {
        clearTimeout(entry.timer);
        s.pending.delete(key);
      }
    }
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
