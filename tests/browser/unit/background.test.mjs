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

// A browser with a fake native host; `managed` is the managed-storage value.
function makeBrowser({ managed } = {}) {
  const natives = [];
  const timers = [];
  const chrome = {
    runtime: {
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
      managed: { get: async () => (managed === undefined ? {} : { allowedOrigins: managed }) },
      onChanged: event(),
    },
    tabs: { onRemoved: event() },
  };
  const context = vm.createContext({
    chrome, URL, console,
    setTimeout: (f, ms) => { const t = { f, ms, cleared: false }; timers.push(t); return t; },
    clearTimeout: (t) => { if (t) t.cleared = true; },
  });
  for (const s of sources) vm.runInContext(s, context);

  // A page's content script: one runtime port from a tab.
  function page(tabId, origin, frameId = 0) {
    const received = [];
    const port = {
      name: 'tessera', sender: { tab: { id: tabId }, frameId, origin, url: origin + '/enroll' },
      onMessage: event(), onDisconnect: event(),
      postMessage: (m) => received.push(m),
    };
    chrome.runtime.onConnect.fire(port);
    return {
      received,
      send: (m) => port.onMessage.fire(m),
      close: () => port.onDisconnect.fire(port),
    };
  }
  const fireTimers = () => timers.filter((t) => !t.cleared).forEach((t) => { t.cleared = true; t.f(); });
  return { chrome, natives, page, fireTimers, timers };
}

const flush = () => new Promise((r) => setImmediate(r));
const req = (id, fn = 'VELA_GetVersion', extra = {}) => ({ id, function: fn, params: [], ...extra });

test('a page from an origin off the allowlist is refused and no host is started', async () => {
  const b = makeBrowser();
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

test('the managed allowlist replaces the default', async () => {
  const b = makeBrowser({ managed: ['https://bank.example'] });
  const dev = b.page(1, 'http://localhost:8443');
  const bank = b.page(2, 'https://bank.example');
  dev.send(req('a'));
  bank.send(req('b'));
  await flush();
  assert.equal(dev.received[0].error.code, 'ORIGIN_NOT_ALLOWED');
  assert.equal(b.natives.length, 1);
  assert.equal(bank.received.length, 0, 'waits for the host');
});

test('one host per tab; answers are matched by randomId and carry the page id', async () => {
  const b = makeBrowser();
  const p1 = b.page(1, 'http://localhost:8443');
  const p2 = b.page(2, 'http://localhost:8443');
  p1.send(req('x1'));
  p1.send(req('x2', 'checkHost'));
  p2.send(req('y1'));
  await flush();
  assert.equal(b.natives.length, 2, 'one native port per tab');
  const [h1, h2] = b.natives;
  assert.equal(h1.sent.length, 2);
  assert.notEqual(h1.sent[0].randomId, h1.sent[1].randomId);
  assert.deepEqual(h1.sent[1].params, []);
  h1.answer(1);
  h1.answer(0);
  h2.answer(0);
  assert.deepEqual(p1.received.map((m) => [m.id, m.response.result, m.response.randomId]), [['x2', 'r1', 'x2'], ['x1', 'r0', 'x1']]);
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
