// End-to-end test in headless Chromium: the extension loaded from
// browser/extension, the host manifest installed for a temporary profile, the
// demo page and CA on loopback, a second page on an origin that is not allowed.
//
//   node e2e.mjs --artifacts DIR [--host PATH]
//
// Without --host it runs against the stand-in host of fixtures/, which only
// answers checkHost and VELA_GetVersion; scenarios that need an operation the
// host does not have yet are reported as skipped, with the reason.
// Exit code: 0 when nothing failed, 1 otherwise.

import { execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, renameSync, existsSync, rmSync, chmodSync } from 'node:fs';
import { createServer } from 'node:https';
import { tmpdir } from 'node:os';
import { join, dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { startDemo } from '../../browser/demo/server.mjs';
import { buildLibrary } from '../../browser/lib/build.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '..', '..');
const EXTENSION_DIR = join(repo, 'browser', 'extension');
const EXTENSION_ID = 'bdbjfcmjppjjdididholhjcipmciockm';
const E_NOTIMPL = -2147467263;
const MS_ENHANCED = 'Microsoft Enhanced Cryptographic Provider v1.0';

function parseArgs(argv) {
  const out = { host: null, artifacts: join(repo, 'build', 'browser-artifacts'), keep: false };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--host') out.host = argv[++i] || null;
    else if (argv[i] === '--artifacts') out.artifacts = argv[++i];
    else if (argv[i] === '--keep') out.keep = true;
    else throw new Error(`unknown argument ${argv[i]}`);
  }
  return out;
}

const args = parseArgs(process.argv.slice(2));
const results = [];
class Skip extends Error {}

async function scenario(name, fn) {
  try {
    await fn();
    results.push(['passed', name]);
    console.log(`ok - ${name}`);
  } catch (e) {
    if (e instanceof Skip) {
      results.push(['skipped', name]);
      console.log(`skip - ${name}: ${e.message}`);
    } else {
      results.push(['failed', name]);
      console.log(`not ok - ${name}\n  ${String(e && e.stack || e).split('\n').join('\n  ')}`);
    }
  }
}

function assert(cond, message) {
  if (!cond) throw new Error(`assertion failed: ${message}`);
}

function assertEqual(actual, expected, message) {
  if (actual !== expected) {
    throw new Error(`${message}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
  }
}

// --- the temporary world --------------------------------------------------
const work = mkdtempSync(join(tmpdir(), 'tessera-e2e-'));
const profile = join(work, 'profile');
const home = join(work, 'home');
const pidFile = join(work, 'host.pids');
mkdirSync(profile, { recursive: true });
mkdirSync(home, { recursive: true });
mkdirSync(args.artifacts, { recursive: true });

const hostCommand = args.host
  ? `exec ${JSON.stringify(resolve(args.host))} "$@"`
  : `exec ${JSON.stringify(process.execPath)} ${JSON.stringify(join(here, 'fixtures', 'standin-host.mjs'))} "$@"`;
// The browser starts this wrapper, which notes the host's process id (the
// same process after exec) so that the test can stop and kill that host.
const wrapper = join(work, 'tessera-host-wrapper.sh');
writeFileSync(wrapper, `#!/bin/sh\necho $$ >> ${JSON.stringify(pidFile)}\n${hostCommand}\n`);
chmodSync(wrapper, 0o755);
execFileSync('bash', [join(repo, 'browser', 'native', 'install-linux.sh'), '--browsers', 'none',
  '--profile-dir', profile, '--host', wrapper], { stdio: 'pipe' });
const manifestPath = join(profile, 'NativeMessagingHosts', 'com.tessera.host.json');

function hostPids() {
  return existsSync(pidFile) ? readFileSync(pidFile, 'utf8').split('\n').filter(Boolean).map(Number) : [];
}

// Signals a host that this test's browser started, after checking that the
// id still names that host and not a recycled process.
function signalHost(pid, signal) {
  let cmdline = '';
  try {
    cmdline = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
  } catch {
    return false;
  }
  if (!/tessera-host|standin-host/.test(cmdline)) return false;
  try {
    process.kill(pid, signal);
    return true;
  } catch {
    return false;
  }
}

// An https page on loopback whose origin is not on the allowlist; the
// extension's content script runs there (all https pages) and must refuse it.
function startRefusedOrigin() {
  const key = join(work, 'tls.key');
  const cert = join(work, 'tls.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
    '-subj', '/CN=127.0.0.1', '-days', '2', '-addext', 'subjectAltName=IP:127.0.0.1'], { stdio: 'pipe' });
  const lib = buildLibrary().esm;
  const page = '<!doctype html><meta charset="utf-8"><title>Not an allowed origin</title>' +
    '<script type="module">import { Tessera } from "./tessera.js"; window.Tessera = Tessera;</script><p>other site</p>';
  const server = createServer({ key: readFileSync(key), cert: readFileSync(cert) }, (req, res) => {
    if (req.url === '/tessera.js') res.writeHead(200, { 'Content-Type': 'text/javascript' }).end(lib);
    else res.writeHead(200, { 'Content-Type': 'text/html' }).end(page);
  });
  return new Promise((ok) => server.listen(0, '127.0.0.1', () => ok(server)));
}

const demo = await startDemo({ port: 0, state: join(work, 'ca') });
const refused = await startRefusedOrigin();
const refusedUrl = `https://127.0.0.1:${refused.address().port}/`;

const context = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  ignoreHTTPSErrors: true,
  viewport: { width: 1100, height: 900 },
  env: {
    PATH: process.env.PATH,
    HOME: home,
    TMPDIR: work,
    TESSERA_STORE_DIR: join(work, 'store-user'),
    TESSERA_MACHINE_STORE_DIR: join(work, 'store-machine'),
    ...(process.env.TESSERA_TRACE ? { TESSERA_TRACE: process.env.TESSERA_TRACE } : {}),
  },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    `--disable-extensions-except=${EXTENSION_DIR}`, `--load-extension=${EXTENSION_DIR}`,
    // A name for loopback that is not a secure context over plain http.
    '--host-resolver-rules=MAP insecure.test 127.0.0.1'],
});

// Waits for the extension's consent window, checks the origin it names and
// answers it.
async function answerConsent(origin, allow) {
  const win = await context.waitForEvent('page', {
    predicate: (p) => p.url().startsWith(`chrome-extension://${EXTENSION_ID}/consent.html`), timeout: 20000,
  });
  await win.waitForSelector('body[data-origin]');
  assertEqual(await win.getAttribute('body', 'data-origin'), origin, 'origin named in the consent window');
  await win.click(allow ? '#allow' : '#deny');
}

// Opens the demo page in a new tab and waits until it has checked the host.
async function openDemo(url = demo.url) {
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForFunction(() => window.tesseraDemo !== undefined);
  await page.evaluate(() => window.tesseraDemo.ready);
  return page;
}
const demoOrigin = new URL(demo.url).origin;

// Calls one operation through the page library; resolves with
// { ok, value } or { ok: false, error: { code, errorcode, lastErrorDesc, status, operation } }.
function call(page, name, ...a) {
  return page.evaluate(async ([n, list]) => {
    try {
      return { ok: true, value: await window.tesseraDemo.tessera[n](...list) };
    } catch (e) {
      return { ok: false, error: { code: e.code, errorcode: e.errorcode, lastErrorDesc: e.lastErrorDesc, status: e.status, operation: e.operation, message: e.message } };
    }
  }, [name, a]);
}

// checkHost through the page library, as plain data.
function checkHost(page) {
  return page.evaluate(async () => {
    const r = await window.tesseraDemo.tessera.checkHost();
    return { ...r, error: r.error && { code: r.error.code, message: r.error.message } };
  });
}

function notImplemented(r) {
  return !r.ok && (r.error.errorcode === E_NOTIMPL || r.error.status === E_NOTIMPL);
}

let demoPage;
let providers = [];
try {
  await scenario('extension loads with its fixed id', async () => {
    let worker = context.serviceWorkers()[0];
    if (!worker) worker = await context.waitForEvent('serviceworker');
    assertEqual(new URL(worker.url()).host, EXTENSION_ID, 'extension id');
  });

  await scenario('the first call of an origin asks the user; allowed, the demo page reaches the host', async () => {
    [demoPage] = await Promise.all([openDemo(), answerConsent(demoOrigin, true)]);
  });

  await scenario('checkHost and version on the demo page', async () => {
    if (!demoPage) demoPage = await openDemo();
    const r = await checkHost(demoPage);
    assert(r.extension, 'extension present');
    assert(r.host, `host present (${r.error && r.error.message})`);
    assertEqual(r.hostVersion, '3.2.0.3', 'host version');
    assertEqual(r.extensionVersion, '3.2.0.3', 'extension version');
    await demoPage.waitForSelector('#status-host[data-state="ok"]');
    await demoPage.screenshot({ path: join(args.artifacts, 'demo-page.png'), fullPage: true });
  });

  await scenario('checkHost names the part to update when the versions differ', async () => {
    const r = await demoPage.evaluate(async () => {
      const T = window.tesseraDemo.tessera.constructor;
      const same = await new T().checkHost();
      const older = await new T({ libraryVersion: '3.1.9.9' }).checkHost();
      const newer = await new T({ libraryVersion: '3.3.0.0' }).checkHost();
      return {
        same: [same.libraryVersion, same.error && same.error.code],
        older: older.error && [older.error.code, older.error.part, older.host],
        newer: newer.error && [newer.error.code, newer.error.parts, newer.error.message],
      };
    });
    assertEqual(JSON.stringify(r.same), JSON.stringify(['3.2.0.3', null]), 'same versions');
    assertEqual(JSON.stringify(r.older), JSON.stringify(['VERSION_MISMATCH', 'library', true]), 'old library');
    assertEqual(JSON.stringify(r.newer.slice(0, 2)), JSON.stringify(['VERSION_MISMATCH', ['extension', 'host']]), 'old extension and host');
    assert(/update the Tessera extension and the Tessera host program to 3\.3\.0\.0/.test(r.newer[2]), r.newer[2]);
  });

  await scenario('unknown operation gets the fallback answer', async () => {
    const r = await demoPage.evaluate(() => window.tesseraDemo.tessera.request('NoSuch"Operation', []));
    assertEqual(r.function, 'NoSuch"Operation', 'function');
    assertEqual(r.errorcode, -2146893779, 'errorcode');
    assertEqual(r.result, false, 'result');
  });

  await scenario('page library checks argument types before sending', async () => {
    const r = await call(demoPage, 'VELA_SetCSPInfo', '2048', MS_ENHANCED);
    assert(!r.ok && r.error.code === 'BAD_ARGUMENT', `BAD_ARGUMENT, got ${JSON.stringify(r)}`);
  });

  await scenario('settings: CSP, key algorithm, container, error text', async () => {
    const set = await call(demoPage, 'VELA_SetCSPInfo', 2048, MS_ENHANCED);
    if (notImplemented(set)) throw new Skip('the host does not implement VELA_SetCSPInfo yet');
    assert(set.ok && set.value === true, `VELA_SetCSPInfo: ${JSON.stringify(set)}`);
    const base = await call(demoPage, 'VELA_SetCSPInfo', 2048, 'Microsoft Base Cryptographic Provider v1.0');
    assert(!base.ok && base.error.code === 'AGENT', 'base provider with 2048 bits fails');
    assertEqual(base.error.errorcode, 0xA0072400 | 0, 'errorcode of an unsupported key length');
    assertEqual(base.error.status, 0xA0072400 | 0, 'status in GetLastErrorDesc');
    const alg = await call(demoPage, 'VELA_SetKeyAlgorithm', 'rsa');
    assert(alg.ok && alg.value === true, 'lower-case rsa accepted');
    const bad = await call(demoPage, 'VELA_SetKeyAlgorithm', 'DSA');
    assertEqual(bad.ok, false, 'DSA refused');
    assertEqual(bad.error.errorcode, 0xA0072401 | 0, 'errorcode of an unknown algorithm');
    assert(/\(0xa0072401\)\s*$/i.test(bad.error.lastErrorDesc || ''), `error text names the status: ${bad.error.lastErrorDesc}`);
    const container = await call(demoPage, 'VELA_GetContainer');
    assert(container.ok && typeof container.value === 'string', 'VELA_GetContainer answers a string');
  });

  await scenario('CSP list', async () => {
    const r = await call(demoPage, 'VELA_GetCSPInfo');
    if (notImplemented(r)) throw new Skip('the host does not implement VELA_GetCSPInfo yet');
    assert(r.ok, `VELA_GetCSPInfo: ${JSON.stringify(r)}`);
    providers = r.value.split('||');
    assert(providers.includes(MS_ENHANCED), `${MS_ENHANCED} listed in ${r.value}`);
  });

  // One enrollment through the demo page's form, as a user does it.
  async function enrollThroughPage({ csp, alg, keyLength, certType, subject, shots }) {
    if (!providers.length) throw new Skip('the host cannot list CSPs yet');
    if (!csp) throw new Skip(`no ${alg} key store is listed (${providers.join(', ')})`);
    const page = demoPage;
    await page.evaluate(() => window.tesseraDemo.checkHost());
    await page.selectOption('#alg', alg);
    await page.selectOption('#csp', csp);
    await page.selectOption('#keylen', String(keyLength));
    await page.selectOption('#certtype', String(certType));
    await page.fill('#subject', subject);
    if (shots) await page.screenshot({ path: join(args.artifacts, 'enroll-before.png'), fullPage: true });
    const issuedBefore = demo.ca.issued.length;
    await page.click('#enroll');
    await page.waitForSelector('#result[data-state="done"], #result[data-state="error"]', { timeout: 300000 });
    const state = await page.getAttribute('#result', 'data-state');
    if (shots) await page.screenshot({ path: join(args.artifacts, 'enroll-after.png'), fullPage: true });
    const log = (await page.$$eval('#log li', (items) => items.map((li) => li.textContent))).join('\n');
    if (state === 'error') {
      const failure = await page.evaluate(() => window.tesseraDemo.lastError);
      if (failure && (failure.errorcode === E_NOTIMPL || failure.status === E_NOTIMPL)) {
        throw new Skip(`the host does not implement ${failure.operation} yet`);
      }
      throw new Error(`enrollment failed: ${await page.textContent('#result')}\n${log}`);
    }
    const serials = demo.ca.issued.slice(issuedBefore).map((c) => c.serial);
    assertEqual(serials.length, certType === 2 ? 2 : 1, 'certificates issued by the CA');
    // The page lists what is installed; every new certificate must be there.
    const listed = await page.$$eval('#certs tbody tr', (rows) => rows.map((r) => [...r.cells].map((c) => c.textContent)));
    for (const serial of serials) {
      const row = listed.find((cells) => cells[1].replace(/^0+/, '') === serial.replace(/^0+/, ''));
      assert(row, `certificate ${serial} listed (${JSON.stringify(listed)})`);
      assert(row[0].includes('Demo User'), `subject of ${serial}: ${row[0]}`);
      assertEqual(row[4], csp, `key store of ${serial}`);
    }
  }

  const sm2Csp = () => providers.find((p) => /sm2/i.test(p));
  await scenario('single RSA enrollment', () => enrollThroughPage({
    csp: MS_ENHANCED, alg: 'RSA', keyLength: 2048, certType: 1, subject: 'CN=Demo User RSA,O=Demo Bank,C=CN', shots: true,
  }));
  await scenario('single SM2 enrollment', () => enrollThroughPage({
    csp: sm2Csp(), alg: 'SM2', keyLength: 256, certType: 1, subject: 'CN=Demo User SM2,O=Demo Bank,C=CN',
  }));
  await scenario('double RSA enrollment', () => enrollThroughPage({
    csp: MS_ENHANCED, alg: 'RSA', keyLength: 2048, certType: 2, subject: 'CN=Demo User Double,O=Demo Bank,C=CN',
  }));
  await scenario('double SM2 enrollment', () => enrollThroughPage({
    csp: sm2Csp(), alg: 'SM2', keyLength: 256, certType: 2, subject: 'CN=Demo User Double SM2,O=Demo Bank,C=CN',
  }));

  const RSA_OID = Buffer.from('2a864886f70d010101', 'hex');
  const EC_OID = Buffer.from('2a8648ce3d0201', 'hex');
  const keyKind = (b64) => {
    const der = Buffer.from(b64, 'base64');
    return der.includes(RSA_OID) ? 'RSA' : der.includes(EC_OID) ? 'SM2' : 'unknown';
  };

  await scenario('two sessions started together each get their own algorithm', async () => {
    const csp = sm2Csp();
    if (!csp) throw new Skip('no SM2 key store is listed');
    const r = await demoPage.evaluate(async ([rsaCsp, smCsp]) => {
      const T = window.tesseraDemo.tessera.constructor;
      const a = new T();
      const b = new T();
      const run = (t, n, name, alg) => t.session(async (s) => {
        await s.VELA_SetCSPInfo(n, name);
        await s.VELA_SetKeyAlgorithm(alg);
        return s.VELA_PKCS10CertRequisition(`CN=Session ${alg},O=Demo Bank,C=CN`, 1, 0);
      });
      const out = await Promise.all([run(a, 1024, rsaCsp, 'RSA'), run(b, 256, smCsp, 'SM2')]);
      a.close();
      b.close();
      return out;
    }, [MS_ENHANCED, csp]);
    assertEqual(keyKind(r[0]), 'RSA', 'key of the RSA session');
    assertEqual(keyKind(r[1]), 'SM2', 'key of the SM2 session');
  });

  await scenario('a value the host cannot take is refused in the page, and nothing is sent', async () => {
    const r = await call(demoPage, 'VELA_PKCS10CertRequisition', 'CN=Bad\u0000Name,C=CN', 1, 0);
    assertEqual(r.ok, false, 'refused');
    assertEqual(r.error.code, 'BAD_ARGUMENT', `code (${r.error.message})`);
    assert(/U\+0000/.test(r.error.message), r.error.message);
    const lone = await call(demoPage, 'VELA_SetKeyAlgorithm', 'RSA\ud800');
    assertEqual(lone.error && lone.error.code, 'BAD_ARGUMENT', 'lone surrogate refused');
  });

  await scenario('after a timeout the replacement host continues with the page\'s settings, and the page is told', async () => {
    if (!providers.length) throw new Skip('the host cannot list CSPs yet');
    const page = await openDemo();
    await page.evaluate(async (csp) => {
      const T = window.tesseraDemo.tessera.constructor;
      window.t2 = new T();
      window.restored = [];
      window.t2.addEventListener('settingsrestored', (e) => window.restored.push(e.detail));
      await window.t2.VELA_SetCSPInfo(1024, csp);
      await window.t2.VELA_SetKeyAlgorithm('RSA');
    }, MS_ENHANCED);
    const pid = hostPids().at(-1);
    assert(signalHost(pid, 'SIGSTOP'), `host ${pid} stopped`);
    const r = await page.evaluate(() => window.t2.VELA_GetVersion({ timeoutMs: 1000 }).then(() => 'ok', (e) => e.code));
    signalHost(pid, 'SIGKILL');
    assertEqual(r, 'TIMEOUT', 'the stopped host times out');
    const next = await page.evaluate(() => window.t2.VELA_PKCS10CertRequisition('CN=After Timeout,O=Demo Bank,C=CN', 1, 0)
      .then((v) => ({ ok: true, v }), (e) => ({ ok: false, message: e.message })));
    assert(next.ok, `request on the new host: ${next.message}`);
    assertEqual(keyKind(next.v), 'RSA', 'the restored algorithm');
    const restored = await page.evaluate(() => window.restored);
    assertEqual(JSON.stringify(restored.map((x) => x.settings)),
      JSON.stringify([[['VELA_SetCSPInfo', [1024, MS_ENHANCED]], ['VELA_SetKeyAlgorithm', ['RSA']]]]), 'settings restored and told');
    await page.close();
  });

  await scenario('progress events while an RSA-4096 key is made; a cancelled call stops the host, the next continues', async () => {
    if (!providers.length) throw new Skip('the host cannot list CSPs yet');
    const page = await openDemo();
    const r = await page.evaluate(async (csp) => {
      const T = window.tesseraDemo.tessera.constructor;
      const t = new T({ progressIntervalMs: 200 });
      const events = [];
      t.addEventListener('progress', (e) => events.push(e.detail));
      await t.VELA_SetCSPInfo(4096, csp);
      await t.VELA_SetKeyAlgorithm('RSA');
      const request = await t.VELA_PKCS10CertRequisition('CN=Progress,O=Demo Bank,C=CN', 1, 0);
      const running = events.filter((e) => e.operation === 'VELA_PKCS10CertRequisition' && e.phase === 'running');
      // Another long key, cancelled once it runs.
      const started = new Promise((ok) => t.addEventListener('progress', (e) => e.detail.phase === 'running' && ok()));
      const slow = t.VELA_PKCS10CertRequisition('CN=Cancelled,O=Demo Bank,C=CN', 1, 0).then(() => 'done', (e) => e.code);
      await started;
      t.cancel();
      const cancelled = await slow;
      await t.VELA_SetCSPInfo(1024, csp);
      const after = await t.VELA_PKCS10CertRequisition('CN=After Cancel,O=Demo Bank,C=CN', 1, 0).then(() => 'ok', (e) => e.message);
      return { request, running: running.length, last: running.at(-1), cancelled, after };
    }, MS_ENHANCED);
    await page.close();
    assertEqual(keyKind(r.request), 'RSA', 'RSA-4096 request');
    assert(r.running >= 1, `progress events while running: ${r.running}`);
    assertEqual(r.last.timeoutMs, 120000, 'limit for a 4096-bit key');
    assertEqual(r.cancelled, 'CANCELLED', 'the cancelled call');
    assertEqual(r.after, 'ok', 'the next call after the cancel');
  });

  await scenario('a page whose origin the user does not allow is refused, is not asked again and starts no host', async () => {
    const before = hostPids().length;
    const page = await context.newPage();
    await page.goto(refusedUrl);
    await page.waitForFunction(() => window.Tessera !== undefined);
    const [r] = await Promise.all([page.evaluate(async () => {
      const t = new window.Tessera();
      const check = await t.checkHost();
      let direct;
      try {
        await t.VELA_GetVersion();
      } catch (e) {
        direct = [e.code, e.reason];
      }
      return { extension: check.extension, host: check.host, code: check.error && check.error.code, reason: check.error && check.error.reason, direct };
    }), answerConsent(new URL(refusedUrl).origin, false)]);
    await page.close();
    assert(r.extension, 'the extension answers the page');
    assertEqual(r.host, false, 'host reachable');
    assertEqual(r.code, 'ORIGIN_NOT_ALLOWED', 'checkHost error');
    assertEqual(r.reason, 'user', 'refused by the user');
    assertEqual(JSON.stringify(r.direct), JSON.stringify(['ORIGIN_NOT_ALLOWED', 'user']), 'operation error, without a second question');
    assertEqual(hostPids().length, before, 'hosts started for the refused page');
  });

  await scenario('the options page lists the answers; a revoked origin is asked again', async () => {
    const options = await context.newPage();
    await options.goto(`chrome-extension://${EXTENSION_ID}/options.html`);
    await options.waitForSelector('body[data-ready]');
    const rows = await options.$$eval('#consents tbody tr', (trs) => trs.map((tr) => [tr.dataset.origin, tr.cells[1].textContent]));
    assertEqual(JSON.stringify(rows.sort()), JSON.stringify([[demoOrigin, 'allowed'], [new URL(refusedUrl).origin, 'not allowed']].sort()), 'answers listed');
    await options.click(`tr[data-origin="${demoOrigin}"] button.revoke`);
    await options.waitForFunction((o) => !document.querySelector(`tr[data-origin="${o}"]`), demoOrigin);
    await options.close();
    const [r] = await Promise.all([call(demoPage, 'VELA_GetVersion'), answerConsent(demoOrigin, true)]);
    assert(r.ok, `served after the user allowed it again: ${JSON.stringify(r)}`);
  });

  await scenario('a page that is not a secure context is told so, not "not installed"', async () => {
    const page = await context.newPage();
    await page.goto(demo.url.replace('127.0.0.1', 'insecure.test'));
    await page.waitForFunction(() => window.tesseraDemo !== undefined);
    const r = await page.evaluate(async () => {
      const c = await window.tesseraDemo.tessera.checkHost();
      return { secure: window.isSecureContext, extension: c.extension, code: c.error && c.error.code };
    });
    await page.waitForSelector('#status-extension[data-state="error"]');
    const shown = await page.textContent('#status-extension');
    await page.close();
    assertEqual(r.secure, false, 'the page is not a secure context');
    assertEqual(r.code, 'INSECURE_CONTEXT', 'checkHost error');
    assert(/secure/i.test(shown), `the demo says why: ${shown}`);
  });

  await scenario('a host killed in the middle of a call gives an error, and the next call reconnects', async () => {
    const page = await openDemo();
    const pid = hostPids().at(-1);
    assert(signalHost(pid, 'SIGSTOP'), `host ${pid} stopped`);
    await page.evaluate(() => {
      window.pendingCall = window.tesseraDemo.tessera.VELA_GetVersion().then(
        (v) => ({ ok: true, v }), (e) => ({ ok: false, code: e.code, message: e.message }));
    });
    // Once the background has written the request to the stopped host's
    // pipe, kill the host.
    const worker = context.serviceWorkers()[0];
    for (let i = 0; i < 200; i++) {
      const pending = await worker.evaluate(() => [...sessions.values()].reduce((n, s) => n + (s.inflight ? 1 : 0), 0));
      if (pending > 0) break;
      await page.waitForTimeout(50);
    }
    assert(signalHost(pid, 'SIGKILL'), `host ${pid} killed`);
    const r = await page.evaluate(() => window.pendingCall);
    assertEqual(r.ok, false, 'the pending call fails');
    assertEqual(r.code, 'HOST_EXITED', `error code (${r.message})`);
    const again = await checkHost(page);
    assert(again.host, `reconnected (${again.error && again.error.message})`);
    assert(hostPids().at(-1) !== pid, 'a new host process serves the page');
    await page.close();
  });

  await scenario('a host that does not answer in time is stopped and replaced', async () => {
    const page = await openDemo();
    const pid = hostPids().at(-1);
    assert(signalHost(pid, 'SIGSTOP'), `host ${pid} stopped`);
    const r = await call(page, 'VELA_GetVersion', { timeoutMs: 1000 });
    signalHost(pid, 'SIGKILL');
    assertEqual(r.ok, false, 'the call fails');
    assertEqual(r.error.code, 'TIMEOUT', `error code (${r.error.message})`);
    const again = await checkHost(page);
    assert(again.host, `a new host answers (${again.error && again.error.message})`);
    await page.close();
  });

  await scenario('a missing host manifest reads as "host not installed"', async () => {
    const aside = `${manifestPath}.aside`;
    renameSync(manifestPath, aside);
    let r;
    const page = await openDemo();
    try {
      r = await checkHost(page);
    } finally {
      renameSync(aside, manifestPath);
    }
    assertEqual(r.host, false, 'host reachable');
    assertEqual(r.error && r.error.code, 'HOST_NOT_INSTALLED', `error code (${r.error && r.error.message})`);
    const again = await checkHost(page);
    assert(again.host, 'the host is found once the manifest is back');
    await page.close();
  });

  await scenario('a manifest naming a program that is not there reads as "host not installed"', async () => {
    const original = readFileSync(manifestPath, 'utf8');
    const broken = JSON.parse(original);
    broken.path = join(work, 'no-such-dir', 'tessera-host');
    writeFileSync(manifestPath, JSON.stringify(broken));
    let r;
    const page = await openDemo();
    try {
      r = await checkHost(page);
    } finally {
      writeFileSync(manifestPath, original);
    }
    assertEqual(r.host, false, 'host reachable');
    assertEqual(r.error && r.error.code, 'HOST_NOT_INSTALLED', `error code (${r.error && r.error.message})`);
    await page.close();
  });
} finally {
  await context.close().catch(() => {});
  await demo.close();
  await new Promise((r) => refused.close(r));
  for (const pid of hostPids()) signalHost(pid, 'SIGKILL');
  if (!args.keep) rmSync(work, { recursive: true, force: true });
}

const count = (k) => results.filter((r) => r[0] === k).length;
console.log(`artefacts: ${args.artifacts}`);
console.log(`e2e: ${count('passed')} passed, ${count('failed')} failed, ${count('skipped')} skipped`);
process.exit(count('failed') ? 1 : 0);
