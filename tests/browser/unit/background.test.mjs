// The extension's background against a fake browser API: the relay rules
// that the end-to-end test cannot provoke one by one.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const dir = new URL('../../../browser/extension/', import.meta.url);
const sources = ['origins.js', 'background.js'].map((f) => readFileSync(new URL(f, dir), 'utf8'));

function event() {
  const listeners = [];
  return { addListener: (f) => listeners.push(f), fire: (...a) => listeners.forEach((f) => f(...a)), listeners };
}

// A browser with a fake native host; `managed` is the managed policy's
// allowlist, `policy` other managed values. `consent` is what the user answers
// in the consent window ('grant', 'deny' or 'close'); `windows` records the
// windows opened.
function makeBrowser({ managed, policy = {}, consent = 'grant' } = {}) {
  const natives = [];
  const timers = [];
  const windows = [];
  let local = {};
  const BASE = 'chrome-extension://tessera/';
  const chrome = {
    runtime: {
      id: 'tessera',
      getURL: (path) => BASE + path,
      onMessage: event(),
      lastError: undefined,
      onConnect: event(),
      connectNative(name) {
        const port = {
          name, sent: [], disconnected: false,
          onMessage: event(), onDisconnect: event(),
          postMessage(m) { if (port.disconnected) throw new Error('port closed'); port.sent.push(m); },
          disconnect() { port.disconnected = true; },
          // The host answers the request it got as `index`.
          answer(index, extra = {}) {
            const req = port.sent[index];
            port.onMessage.fire({ function: req.function, errorcode: 0, result: 'r' + index, randomId: req.randomId, ...extra });
          },
          die(text) {
            chrome.runtime.lastError = text ? { message: text } : undefined;
            port.disconnected = true;
            port.onDisconnect.fire(port);
            chrome.runtime.lastError = undefined;
          },
        };
        natives.push(port);
        return port;
      },
    },
    storage: {
      managed: { get: async () => ({ ...(managed === undefined ? {} : { allowedOrigins: managed }), ...policy }) },
      local: {
        get: async (key) => (key in local ? { [key]: structuredClone(local[key]) } : {}),
        set: async (items) => {
          const changes = {};
          for (const [k, v] of Object.entries(items)) { changes[k] = { newValue: v }; local[k] = structuredClone(v); }
          chrome.storage.onChanged.fire(changes, 'local');
        },
      },
      onChanged: event(),
    },
    windows: {
      onRemoved: event(),
      // The consent window answers as the user was told to.
      async create({ url }) {
        const id = windows.length + 1;
        windows.push({ id, url });
        const token = url.split('#')[1];
        const sender = { id: 'tessera', url: BASE + 'consent.html' };
        Promise.resolve().then(() => {
          if (consent === 'close') setImmediate(() => chrome.windows.onRemoved.fire(id));
          else chrome.runtime.onMessage.fire({ type: 'consent-answer', token, allowed: consent === 'grant' }, sender, () => {});
        });
        return { id };
      },
      remove: async () => {},
    },
    tabs: { onRemoved: event() },
  };
  const context = vm.createContext({
    chrome, URL, console, crypto,
    setTimeout: (f, ms) => { const t = { f, ms, cleared: false }; timers.push(t); return t; },
    clearTimeout: (t) => { if (t) t.cleared = true; },
  });
  for (const s of sources) vm.runInContext(s, context);

  // A page's content script: one runtime port from a tab.
  function page(tabId, origin, frameId = 0) {
    const received = [];
    const events = [];
    const port = {
      name: 'tessera', sender: { tab: { id: tabId }, frameId, origin, url: origin + '/enroll' },
      onMessage: event(), onDisconnect: event(),
      // Answers and errors apart from the events of a running call.
      postMessage: (m) => (m.event ? events : received).push(m),
    };
    chrome.runtime.onConnect.fire(port);
    return {
      received,
      events,
      send: (m) => port.onMessage.fire(m),
      close: () => port.onDisconnect.fire(port),
    };
  }
  const fireTimers = () => timers.filter((t) => !t.cleared).forEach((t) => { t.cleared = true; t.f(); });
  return { chrome, natives, page, fireTimers, timers, windows, local: () => local };
}

const flush = () => new Promise((r) => setImmediate(r));
const req = (id, fn = 'VELA_GetVersion', extra = {}) => ({ id, function: fn, params: [], ...extra });

test('a page from an origin the user does not allow is refused and no host is started', async () => {
  const b = makeBrowser({ consent: 'deny' });
  const p = b.page(1, 'https://evil.example');
  p.send(req('a'));
  await flush();
  assert.equal(b.natives.length, 0);
  assert.equal(p.received[0].id, 'a');
  assert.equal(p.received[0].error.code, 'ORIGIN_NOT_ALLOWED');
});

test('frames other than the top document are refused', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'http://localhost:8443', 3);
  p.send(req('a'));
  await flush();
  assert.equal(b.natives.length, 0);
  assert.equal(p.received[0].error.code, 'ORIGIN_NOT_ALLOWED');
});

test('the managed allowlist admits without asking; other origins are asked', async () => {
  const b = makeBrowser({ managed: ['https://bank.example'], consent: 'deny' });
  const dev = b.page(1, 'http://localhost:8443');
  const bank = b.page(2, 'https://bank.example');
  dev.send(req('a'));
  bank.send(req('b'));
  await flush();
  assert.equal(dev.received.at(-1).error.code, 'ORIGIN_NOT_ALLOWED');
  assert.equal(b.natives.length, 1);
  assert.deepEqual(b.windows.map((w) => w.url.split('#')[0]), ['chrome-extension://tessera/consent.html'], 'one question, for the dev page');
  assert.deepEqual(bank.events.map((m) => m.event), ['started'], 'sent to the host, no answer yet');
  assert.equal(bank.received.length, 0);
});

test('one host per tab, one request in flight; answers are matched by randomId and carry the page id', async () => {
  const b = makeBrowser();
  const p1 = b.page(1, 'http://localhost:8443');
  const p2 = b.page(2, 'http://localhost:8443');
  p1.send(req('x1'));
  p1.send(req('x2', 'checkHost'));
  p2.send(req('y1'));
  await flush();
  assert.equal(b.natives.length, 2, 'one native port per tab');
  const [h1, h2] = b.natives;
  assert.equal(h1.sent.length, 1, 'the second call waits for the first');
  h1.answer(0);
  assert.equal(h1.sent.length, 2);
  assert.notEqual(h1.sent[0].randomId, h1.sent[1].randomId);
  assert.deepEqual(h1.sent[1].params, []);
  h1.answer(1);
  h2.answer(0);
  assert.deepEqual(p1.received.map((m) => [m.id, m.response.result, m.response.randomId]), [['x1', 'r0', 'x1'], ['x2', 'r1', 'x2']]);
  assert.equal(p2.received[0].id, 'y1');
});

test('an answer without randomId goes to the oldest call; a late answer is dropped', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'http://localhost:8443');
  p.send(req('a'));
  p.send(req('b'));
  await flush();
  const h = b.natives[0];
  h.onMessage.fire({ function: '', errorcode: -2146893779, result: false });
  h.onMessage.fire({ function: 'X', errorcode: 0, randomId: 'not-ours' });
  assert.deepEqual(p.received.map((m) => m.id), ['a']);
  assert.equal(p.received[0].response.randomId, 'a', 'the page sees its own id');
});

test('a host that cannot be found or that exits fails all pending calls with the reason; the next call starts a new host', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'http://localhost:8443');
  p.send(req('a'));
  p.send(req('b'));
  await flush();
  b.natives[0].die('Specified native messaging host not found.');
  assert.deepEqual(p.received.map((m) => [m.id, m.error.code]), [['a', 'HOST_NOT_INSTALLED'], ['b', 'HOST_NOT_INSTALLED']]);

  p.send(req('c'));
  await flush();
  assert.equal(b.natives.length, 2);
  b.natives[1].answer(0);
  p.send(req('d'));
  await flush();
  b.natives[1].die('Native host has exited.');
  assert.deepEqual(p.received.slice(2).map((m) => [m.id, m.response ? 'ok' : m.error.code]), [['c', 'ok'], ['d', 'HOST_EXITED']]);

  p.send(req('e'));
  await flush();
  b.natives[2].die('Access to the specified native messaging host is forbidden.');
  assert.equal(p.received.at(-1).error.code, 'HOST_FORBIDDEN');

  // Firefox's words for a missing manifest, Chromium's for a program it cannot start.
  for (const [i, text] of [[3, 'No such native application com.tessera.host'], [4, 'Failed to start native messaging host.']]) {
    p.send(req('f' + i));
    await flush();
    b.natives[i].die(text);
    assert.equal(p.received.at(-1).error.code, 'HOST_NOT_INSTALLED', text);
  }
  // A host that dies without a word after it has answered has exited.
  p.send(req('g'));
  await flush();
  b.natives[5].answer(0);
  p.send(req('h'));
  await flush();
  b.natives[5].die('');
  assert.equal(p.received.at(-1).error.code, 'HOST_EXITED');
});

test('a call that times out fails with TIMEOUT and stops the host; the others of that host fail too', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'http://localhost:8443');
  p.send(req('slow', 'VELA_PKCS10CertRequisition', { timeoutMs: 5 }));
  p.send(req('next'));
  await flush();
  const timer = b.timers.find((t) => !t.cleared && t.ms === 1000);
  assert.ok(timer, 'the limit is raised to the 1 s minimum');
  timer.cleared = true;
  timer.f();
  assert.equal(b.natives[0].disconnected, true);
  assert.deepEqual(p.received.map((m) => [m.id, m.error.code]), [['slow', 'TIMEOUT'], ['next', 'HOST_EXITED']]);
  p.send(req('again'));
  await flush();
  assert.equal(b.natives.length, 2, 'a new host for the next call');
});

test('a tab that shows another allowed origin gets a new host; closing the tab stops its host', async () => {
  const b = makeBrowser({ managed: ['https://a.example', 'https://b.example'] });
  const a = b.page(1, 'https://a.example');
  a.send(req('1'));
  await flush();
  b.natives[0].answer(0);
  const other = b.page(1, 'https://b.example');
  other.send(req('2'));
  await flush();
  assert.equal(b.natives[0].disconnected, true, 'the first origin\'s host is stopped');
  assert.equal(b.natives.length, 2);
  b.chrome.tabs.onRemoved.fire(1);
  assert.equal(b.natives[1].disconnected, true);
  assert.equal(other.received.at(-1).error.code, 'HOST_EXITED');
});

test('malformed requests are answered without reaching the host', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'http://localhost:8443');
  p.send({ id: 'a', function: 'VELA_GetVersion', params: 'not a list' });
  p.send({ id: 'b', function: '', params: [] });
  await flush();
  assert.equal(b.natives.length, 0);
  assert.deepEqual(p.received.map((m) => m.error.code), ['BAD_REQUEST', 'BAD_REQUEST']);
});

test('a reload keeps the tab\'s host and its settings; a page gone for good stops it', async () => {
  const b = makeBrowser();
  const first = b.page(1, 'http://localhost:8443');
  first.send(req('a', 'VELA_SetCSPInfo'));
  await flush();
  b.natives[0].answer(0);
  first.close();
  // The reloaded page asks again before the idle time is over.
  const reloaded = b.page(1, 'http://localhost:8443');
  reloaded.send(req('b'));
  await flush();
  assert.equal(b.natives.length, 1, 'the same host serves the reloaded page');
  b.natives[0].answer(1);
  assert.equal(reloaded.received[0].response.result, 'r1');
  reloaded.close();
  const idle = b.timers.filter((t) => !t.cleared && t.ms === 15000);
  assert.equal(idle.length, 1, 'one idle timer after the last page went');
  b.fireTimers();
  assert.equal(b.natives[0].disconnected, true);
});

test('answers for a page that went away are not delivered to the next one', async () => {
  const b = makeBrowser();
  const gone = b.page(1, 'http://localhost:8443');
  gone.send(req('old'));
  await flush();
  gone.close();
  const next = b.page(1, 'http://localhost:8443');
  next.send(req('new'));
  await flush();
  const h = b.natives[0];
  h.answer(0);
  h.answer(1);
  assert.deepEqual(gone.received, []);
  assert.deepEqual(next.received.map((m) => [m.id, m.response.result]), [['new', 'r1']]);
});

test('consent: asked once per origin and remembered; a closed window is asked again; revoking ends the conversation', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'https://shop.example');
  p.send(req('a'));
  p.send(req('b'));
  await flush();
  assert.equal(b.windows.length, 1, 'one question for both calls');
  assert.deepEqual(p.events.slice(0, 1).map((m) => [m.id, m.event]), [['a', 'consent']]);
  assert.equal(b.local().consents['https://shop.example'].allowed, true);
  b.natives[0].answer(0);
  b.natives[0].answer(1);
  assert.deepEqual(p.received.map((m) => m.response.result), ['r0', 'r1']);

  await b.chrome.storage.local.set({ consents: {} });
  await flush();
  assert.equal(b.natives[0].disconnected, true, 'the revoked origin\'s host is stopped');

  const c = makeBrowser({ consent: 'close' });
  const q = c.page(1, 'https://shop.example');
  q.send(req('x'));
  await flush();
  await flush();
  assert.equal(q.received[0].error.reason, 'dismissed');
  q.send(req('y'));
  await flush();
  await flush();
  assert.equal(c.windows.length, 2, 'asked again');
  assert.equal(c.local().consents, undefined, 'nothing remembered');
});

test('an insecure page gets INSECURE_CONTEXT; a policy with asking off refuses without a window', async () => {
  const b = makeBrowser({ policy: { askForConsent: false } });
  const http = b.page(1, 'http://bank.example');
  const https = b.page(2, 'https://bank.example');
  http.send(req('a'));
  https.send(req('b'));
  await flush();
  assert.equal(http.received[0].error.code, 'INSECURE_CONTEXT');
  assert.deepEqual([https.received[0].error.code, https.received[0].error.reason], ['ORIGIN_NOT_ALLOWED', 'policy']);
  assert.equal(b.windows.length, 0);
  assert.equal(b.natives.length, 0);
});

test('after a reload, an answer without randomId for the old page\'s call is not handed to the new page', async () => {
  const b = makeBrowser();
  const old = b.page(1, 'http://localhost:8443');
  old.send(req('old', 'VELA_SetCSPInfo'));
  await flush();
  old.close();
  const fresh = b.page(1, 'http://localhost:8443');
  fresh.send(req('new'));
  await flush();
  const h = b.natives[0];
  assert.equal(h.sent.length, 1, 'the new call waits until the old one is answered');
  h.onMessage.fire({ function: '', errorcode: -2146893779, result: false });
  assert.deepEqual(fresh.received, []);
  assert.equal(h.sent.length, 2);
  h.answer(1);
  assert.deepEqual(fresh.received.map((m) => [m.id, m.response.result]), [['new', 'r1']]);
});

test('a request naming another host is answered HOST_REPLACED unsent; cancel drops a queued call and stops the host for one in flight', async () => {
  const b = makeBrowser();
  const p = b.page(1, 'http://localhost:8443');
  p.send(req('a'));
  p.send(req('b'));
  await flush();
  const serial = p.events[1].hostSerial;
  assert.ok(serial);
  p.send({ type: 'cancel', id: 'b' });
  p.send({ type: 'cancel', id: 'a' });
  assert.deepEqual(p.received.map((m) => [m.id, m.error.code]), [['b', 'CANCELLED'], ['a', 'CANCELLED']]);
  assert.equal(b.natives[0].disconnected, true);
  assert.equal(b.natives[0].sent.length, 1);
  p.send(req('c', 'VELA_PKCS10CertRequisition', { hostSerial: serial }));
  await flush();
  const m = p.received.at(-1);
  assert.equal(m.error.code, 'HOST_REPLACED');
  assert.notEqual(m.hostSerial, serial);
  assert.equal(b.natives[1].sent.length, 0, 'not sent to the new host');
});
