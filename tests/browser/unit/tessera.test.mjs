// The page library against a fake window and a scripted extension.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Tessera, TesseraError, OPERATIONS, parseCertList, parseCSPList, statusFromErrorDesc } from '../../../browser/lib/tessera.js';

// A window whose postMessage delivers to its own listeners, with an
// "extension" that answers what the page posts through `respond`.
function fakeWindow(respond) {
  const listeners = new Set();
  const win = {
    location: { origin: 'http://localhost:8443' },
    sent: [],
    addEventListener: (type, f) => listeners.add(f),
    removeEventListener: (type, f) => listeners.delete(f),
    deliver(data, source = win) {
      for (const f of [...listeners]) f({ source, data, origin: win.location.origin });
    },
    postMessage(data) {
      if (data.direction !== 'to-extension') return;
      win.sent.push(data);
      queueMicrotask(() => {
        if (!respond) return;
        if (data.type === 'ping') {
          win.deliver({ channel: 'tessera', direction: 'from-extension', id: data.id, type: 'pong', version: '9.9' });
          return;
        }
        const out = respond(data);
        if (out) win.deliver({ channel: 'tessera', direction: 'from-extension', id: data.id, ...out });
      });
    },
  };
  return win;
}

const ok = (result) => ({ response: { function: 'x', errorcode: 0, ...(result === undefined ? {} : { result }) } });

test('every operation has a method of the same name', () => {
  const t = new Tessera({ window: fakeWindow(null) });
  for (const name of Object.keys(OPERATIONS)) assert.equal(typeof t[name], 'function', name);
  assert.equal(Object.keys(OPERATIONS).length, 11);
  t.close();
});

test('arguments are checked before anything is sent', async () => {
  const win = fakeWindow(() => ok(true));
  const t = new Tessera({ window: win });
  for (const args of [['2048', 'CSP'], [2048], [2048.5, 'CSP'], [2 ** 31, 'CSP'], [2048, null]]) {
    await assert.rejects(t.VELA_SetCSPInfo(...args), (e) => e instanceof TesseraError && e.code === 'BAD_ARGUMENT');
  }
  assert.equal(win.sent.length, 0);
  t.close();
});

test('parameters go out by position; results come back as the operation\'s value', async () => {
  const win = fakeWindow((d) => (d.function === 'VELA_PKCS10CertRequisition' ? ok('MIIB') : ok(true)));
  const t = new Tessera({ window: win });
  assert.equal(await t.VELA_SetCSPInfo(1024, 'Tessera RSA Software CSP'), true);
  assert.equal(await t.VELA_PKCS10CertRequisition('CN=A', 2, 1), 'MIIB');
  const sent = win.sent.filter((d) => d.function);
  assert.deepEqual(sent.map((d) => [d.function, d.params]), [
    ['VELA_SetCSPInfo', [1024, 'Tessera RSA Software CSP']],
    ['VELA_PKCS10CertRequisition', ['CN=A', 2, 1]],
  ]);
  assert.equal(win.sent.filter((d) => d.type === 'ping').length, 1, 'the extension is probed once');
  t.close();
});

test('a failed operation rejects with errorcode, operation and the agent\'s error text', async () => {
  const win = fakeWindow((d) => (d.function === 'GetLastErrorDesc'
    ? ok('Key algorithm not supported\n(0xa0072401)')
    : { response: { function: d.function, errorcode: -1, result: false } }));
  const t = new Tessera({ window: win });
  const e = await t.VELA_PKCS10CertRequisition('CN=A', 1, 0).catch((x) => x);
  assert.ok(e instanceof TesseraError);
  assert.equal(e.code, 'AGENT');
  assert.equal(e.operation, 'VELA_PKCS10CertRequisition');
  assert.equal(e.errorcode, -1);
  assert.equal(e.lastErrorDesc, 'Key algorithm not supported\n(0xa0072401)');
  assert.equal(e.status, 0xa0072401 | 0);
  assert.match(e.message, /0xffffffff.*Key algorithm not supported/);
  t.close();
});

test('operations that keep no last error are not followed by GetLastErrorDesc', async () => {
  const win = fakeWindow((d) => ({ response: { function: d.function, errorcode: -2147024891, result: false } }));
  const t = new Tessera({ window: win });
  const e = await t.VELA_HavePermissiontoGenerateKeyPair().catch((x) => x);
  assert.equal(e.errorcode, -2147024891);
  assert.equal(e.lastErrorDesc, null);
  assert.deepEqual(win.sent.filter((d) => d.function).map((d) => d.function), ['VELA_HavePermissiontoGenerateKeyPair']);
  t.close();
});

test('errors of the extension keep their code', async () => {
  const t = new Tessera({ window: fakeWindow(() => ({ error: { code: 'ORIGIN_NOT_ALLOWED', message: 'no' } })) });
  await assert.rejects(t.VELA_GetVersion(), (e) => e.code === 'ORIGIN_NOT_ALLOWED' && e.operation === 'VELA_GetVersion');
  t.close();
});

test('without the extension a call fails with EXTENSION_MISSING and checkHost says so', async () => {
  const t = new Tessera({ window: fakeWindow(null), extensionTimeoutMs: 20 });
  await assert.rejects(t.VELA_GetVersion(), (e) => e.code === 'EXTENSION_MISSING');
  const r = await t.checkHost();
  assert.equal(r.extension, false);
  assert.equal(r.host, false);
  assert.equal(r.error.code, 'EXTENSION_MISSING');
  t.close();
});

test('checkHost reports the extension and host versions, and the host\'s absence without rejecting', async () => {
  const good = new Tessera({
    window: fakeWindow((d) => (d.function === 'checkHost'
      ? { response: { function: 'CheckHost', errorcode: 0, result: 0 } } : ok('9.9'))),
  });
  assert.deepEqual(await good.checkHost(), { extension: true, extensionVersion: '9.9', host: true, hostVersion: '9.9', libraryVersion: null, error: null });
  good.close();
  const missing = new Tessera({ window: fakeWindow(() => ({ error: { code: 'HOST_NOT_INSTALLED', message: 'x' } })) });
  const r = await missing.checkHost();
  assert.equal(r.extension, true);
  assert.equal(r.host, false);
  assert.equal(r.error.code, 'HOST_NOT_INSTALLED');
  missing.close();
});

test('answers are matched by id, also out of order; messages from elsewhere are ignored', async () => {
  const held = [];
  const win = fakeWindow((d) => { held.push(d); return null; });
  const t = new Tessera({ window: win });
  const a = t.VELA_GetVersion();
  const b = t.VELA_GetContainer();
  while (held.length < 2) await new Promise((r) => setImmediate(r));
  const [da, db] = held;
  win.deliver({ channel: 'tessera', direction: 'from-extension', id: da.id, ...ok('forged') }, {});
  win.deliver({ channel: 'tessera', direction: 'from-extension', id: db.id, ...ok('container-1') });
  win.deliver({ channel: 'tessera', direction: 'from-extension', id: da.id, ...ok('3.2.0.3') });
  assert.equal(await b, 'container-1');
  assert.equal(await a, '3.2.0.3');
  t.close();
});

test('a call the extension never answers times out', async () => {
  const t = new Tessera({ window: fakeWindow(() => null) });
  await assert.rejects(t.request('VELA_GetVersion', [], { timeoutMs: 10 }), (e) => e.code === 'TIMEOUT');
  t.close();
});

test('listing texts split into their fields', () => {
  assert.deepEqual(parseCSPList(''), []);
  assert.deepEqual(parseCSPList('A||B C'), ['A', 'B C']);
  assert.deepEqual(parseCertList('CN=a;b, O=x;01020a;2024-01-05 10:03:04;2025-01-05 10:03:04;CSP 1||CN=c;ff;f;t;P'), [
    { subject: 'CN=a;b, O=x', serial: '01020a', notBefore: '2024-01-05 10:03:04', notAfter: '2025-01-05 10:03:04', provider: 'CSP 1' },
    { subject: 'CN=c', serial: 'ff', notBefore: 'f', notAfter: 't', provider: 'P' },
  ]);
  assert.equal(statusFromErrorDesc('text\n(0x80004001)'), 0x80004001 | 0);
  assert.equal(statusFromErrorDesc('no status'), null);
});

test('the type declarations name every operation with its parameters in order', async () => {
  const { readFileSync } = await import('node:fs');
  const dts = readFileSync(new URL('../../../browser/lib/tessera.d.ts', import.meta.url), 'utf8');
  for (const [name, params] of Object.entries(OPERATIONS)) {
    const m = new RegExp(`\\n\\s*${name}\\(([^)]*)\\)`).exec(dts);
    assert.ok(m, `${name} declared`);
    const declared = m[1].split(',').map((p) => p.trim()).filter((p) => p && !p.startsWith('options'));
    assert.deepEqual(declared.map((p) => p.split(':')[0].trim()), params.map(([n]) => n), name);
    // A parameter is declared with its kind or with a union of literals of that kind.
    const kindOf = (t) => (/^(string|'[^']*'(\s*\|\s*'[^']*')*)$/.test(t) ? 'string' : /^(number|-?\d+(\s*\|\s*-?\d+)*)$/.test(t) ? 'number' : t);
    assert.deepEqual(declared.map((p) => kindOf(p.split(':')[1].trim())), params.map(([, k]) => (k === 'string' ? 'string' : 'number')), name);
  }
});

// An extension with one host at a time: `serial` names it; a request naming
// another serial is answered HOST_REPLACED, as the background does.
function hostWindow() {
  const host = { serial: 'h1', log: [] };
  host.win = fakeWindow((d) => {
    if (d.type === 'cancel') return null;
    if (d.hostSerial && d.hostSerial !== host.serial) {
      return { hostSerial: host.serial, error: { code: 'HOST_REPLACED', message: 'new host' } };
    }
    host.log.push([d.function, d.params, d.hostSerial || null]);
    host.win.deliver({ channel: 'tessera', direction: 'from-extension', id: d.id, event: 'started', hostSerial: host.serial });
    return { hostSerial: host.serial, ...ok(true) };
  });
  return host;
}

test('values the host cannot take are refused with their position, and nothing is sent', async () => {
  const host = hostWindow();
  const t = new Tessera({ window: host.win });
  for (const [dn, what] of [['CN=A\u0000B', /U\+0000 at position 4/], ['CN=\uD800', /lone surrogate U\+D800 at position 3/],
    ['\uDC00CN=A', /lone surrogate U\+DC00 at position 0/], ['CN=\uDE00\uD83D', /U\+DE00 at position 3/]]) {
    await assert.rejects(t.VELA_PKCS10CertRequisition(dn, 1, 0), (e) => e.code === 'BAD_ARGUMENT' && what.test(e.message), dn);
    await assert.rejects(t.request('VELA_SetKeyAlgorithm', [{ param: dn }]), (e) => e.code === 'BAD_ARGUMENT', dn);
  }
  assert.equal(await t.VELA_PKCS10CertRequisition('CN=\uD83D\uDE00 \u4E2D', 1, 0), true, 'a pair and other text are sound');
  assert.equal(host.log.length, 1);
  t.close();
});

test('two sessions started together run one after the other, each with its own settings', async () => {
  const host = hostWindow();
  const a = new Tessera({ window: host.win });
  const b = new Tessera({ window: host.win });
  const run = (t, alg) => t.session(async (s) => {
    await s.VELA_SetKeyAlgorithm(alg);
    await new Promise((r) => setTimeout(r, 5));
    await s.VELA_PKCS10CertRequisition('CN=' + alg, 1, 0);
  });
  const plain = a.VELA_GetVersion();
  await Promise.all([run(a, 'RSA'), run(b, 'SM2'), plain]);
  assert.deepEqual(host.log.map(([f, p]) => f + ':' + (p[0] || '')), [
    'VELA_GetVersion:', 'VELA_SetKeyAlgorithm:RSA', 'VELA_PKCS10CertRequisition:CN=RSA',
    'VELA_SetKeyAlgorithm:SM2', 'VELA_PKCS10CertRequisition:CN=SM2']);
  a.close();
  b.close();
});

test('on a new host the page\'s settings are made again before the call, and the page is told', async () => {
  const host = hostWindow();
  const t = new Tessera({ window: host.win });
  const told = [];
  t.addEventListener('settingsrestored', (e) => told.push(e.detail));
  await t.VELA_SetCSPInfo(2048, 'CSP A');
  await t.VELA_SetKeyAlgorithm('SM2');
  await t.VELA_SetCSPInfo(256, 'CSP B');
  host.serial = 'h2';
  host.log.length = 0;
  assert.equal(await t.VELA_PKCS10CertRequisition('CN=A', 1, 0), true);
  assert.deepEqual(host.log, [
    ['VELA_SetKeyAlgorithm', ['SM2'], 'h2'], ['VELA_SetCSPInfo', [256, 'CSP B'], 'h2'],
    ['VELA_PKCS10CertRequisition', ['CN=A', 1, 0], 'h2']]);
  assert.deepEqual(told, [{ settings: [['VELA_SetKeyAlgorithm', ['SM2']], ['VELA_SetCSPInfo', [256, 'CSP B']]], hostSerial: 'h2' }]);
  t.close();
});

test('the built library carries every status of the error-text table, the version, and a script-tag build', async () => {
  const { readFileSync } = await import('node:fs');
  const vm = await import('node:vm');
  const { buildLibrary } = await import('../../../browser/lib/build.mjs');
  const built = buildLibrary({ version: '1.2.3.4' });
  const def = readFileSync(new URL('../../../resources/ErrorText.def', import.meta.url), 'utf8')
    .split('\n').filter((l) => l.startsWith('VELA_ERROR_TEXT('));
  const context = vm.createContext({ EventTarget, Event, setTimeout, clearTimeout, setInterval, clearInterval });
  vm.runInContext(built.script, context);
  const lib = context.TesseraPage;
  assert.equal(lib.VERSION, '1.2.3.4');
  assert.equal(lib.STATUSES.length, def.length);
  for (const line of def) {
    const [, id, name, en, zh] = /\(0x(\w+), (\w+), "(.*)", "(.*)"\)/.exec(line);
    const s = lib.statusInfo(0xA0070000 + parseInt(id, 16));
    assert.deepEqual([s.name, s.en, s.zh, lib.statusInfo(name).status], [name, en, zh, (0xA0070000 + parseInt(id, 16)) | 0], line);
  }
  for (const [op, status, start] of [['VELA_SetCSPInfo', 0xA0072400, 'Choose a key length'],
    ['VELA_PKCS10CertRequisition', 0x80090005, 'The subject DN'], ['VELA_PKCS10CertRequisition', 0x80090019, 'The key store'],
    ['VELA_ImportEncryptCert', 0xA0071404, 'The CA\'s envelope'], ['VELA_ImportSignCert', 0x80090005, null]]) {
    const g = lib.guidanceFor(op, status);
    assert.equal(g && g.slice(0, start.length), start, `${op} ${status.toString(16)}`);
    if (start) assert.ok(lib.guidanceFor(op, status, 'zh'), 'Chinese text');
  }
  assert.match(built.dts, /\| 'VELA_E_KEY_LENGTH_NOT_SUPPORTED'/);
  assert.ok(built.esm.includes('export class Tessera'));
});

test('version comparison names the older parts', async () => {
  const { versionMismatch } = await import('../../../browser/lib/tessera.js');
  const table = [
    [{ library: '3.2.0.3', extension: '3.2.0.3', host: '3.2.0.3' }, null],
    [{ library: '3.2.0.3', extension: '3.2.0.3', host: null }, null],
    [{ library: '3.2.0.3', extension: '3.2.0.3', host: '3.2.0.10' }, ['library', 'extension']],
    [{ library: '3.10.0.0', extension: '3.9.0.0', host: '3.10' }, ['extension']],
  ];
  for (const [versions, parts] of table) assert.deepEqual(versionMismatch(versions)?.parts ?? null, parts, JSON.stringify(versions));
});
