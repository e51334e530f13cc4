// End-to-end test in headless Firefox (Debian's firefox-esr): the extension
// installed through WebDriver BiDi, the host manifest in a temporary home,
// the demo page and CA on loopback. (WebDriver BiDi does not navigate to
// extension pages, so revoking in the options page is left to the Chromium
// run.)
//
//   node firefox-e2e.mjs [--host PATH]
//
// Exit code: 0 when nothing failed, 1 otherwise.
import { execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';
import { startDemo } from '../../browser/demo/server.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '..', '..');
const hostArg = process.argv.indexOf('--host') > 0 ? process.argv[process.argv.indexOf('--host') + 1] : null;
const MS_ENHANCED = 'Microsoft Enhanced Cryptographic Provider v1.0';
const results = [];
class Skip extends Error {}

async function scenario(name, fn) {
  try {
    await fn();
    results.push('passed');
    console.log(`ok - ${name}`);
  } catch (e) {
    if (e instanceof Skip) {
      results.push('skipped');
      console.log(`skip - ${name}: ${e.message}`);
      return;
    }
    results.push('failed');
    console.log(`not ok - ${name}\n  ${String(e && e.stack || e).split('\n').join('\n  ')}`);
  }
}
function assertEqual(actual, expected, message) {
  if (JSON.stringify(actual) !== JSON.stringify(expected)) {
    throw new Error(`${message}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
  }
}

const work = mkdtempSync(join(tmpdir(), 'tessera-ff-'));
const home = join(work, 'home');
const pidFile = join(work, 'host.pids');
mkdirSync(home, { recursive: true });
const hostCommand = hostArg
  ? `exec ${JSON.stringify(resolve(hostArg))} "$@"`
  : `exec ${JSON.stringify(process.execPath)} ${JSON.stringify(join(here, 'fixtures', 'standin-host.mjs'))} "$@"`;
const wrapper = join(work, 'tessera-host-wrapper.sh');
writeFileSync(wrapper, `#!/bin/sh\necho $$ >> ${JSON.stringify(pidFile)}\n${hostCommand}\n`);
chmodSync(wrapper, 0o755);
const hostPids = () => (existsSync(pidFile) ? readFileSync(pidFile, 'utf8').split('\n').filter(Boolean).map(Number) : []);

const demo = await startDemo({ port: 0, state: join(work, 'ca') });
const demoOrigin = new URL(demo.url).origin;
// The policy's allowlist (Firefox's managed storage in this home) admits the
// demo under its other loopback name without asking.
const policyUrl = demo.url.replace('127.0.0.1', 'localhost');
// A second server: an origin the user is asked about and refuses.
const other = await startDemo({ port: 0, state: join(work, 'ca2') });
execFileSync('bash', [join(repo, 'browser', 'native', 'install-linux.sh'), '--browsers', 'firefox', '--host', wrapper,
  '--allowed-origins', new URL(policyUrl).origin], { stdio: 'pipe', env: { PATH: process.env.PATH, HOME: home, XDG_CONFIG_HOME: '' } });
const browser = await puppeteer.launch({
  browser: 'firefox',
  executablePath: process.env.FIREFOX || '/usr/bin/firefox-esr',
  headless: true,
  env: {
    PATH: process.env.PATH, HOME: home, TMPDIR: work,
    TESSERA_STORE_DIR: join(work, 'store-user'), TESSERA_MACHINE_STORE_DIR: join(work, 'store-machine'),
  },
  extraPrefsFirefox: { 'network.dns.localDomains': 'insecure.test' },
});

// The extension's consent window: checks the origin it names and answers it.
async function answerConsent(origin, allow) {
  // Firefox reports the extension window's address as about:blank; ask the
  // pages themselves.
  let win = null;
  for (let i = 0; i < 100 && !win; i++) {
    for (const p of await browser.pages()) {
      const href = await p.evaluate(() => location.href).catch(() => '');
      if (/^moz-extension:\/\/[^/]+\/consent\.html/.test(href)) win = p;
    }
    if (!win) await new Promise((r) => setTimeout(r, 200));
  }
  if (!win) throw new Error('no consent window');
  await win.waitForSelector('body[data-origin]');
  assertEqual(await win.$eval('body', (b) => b.dataset.origin), origin, 'origin named in the consent window');
  await win.click(allow ? '#allow' : '#deny');
}

async function openDemo(url = demo.url) {
  const page = await browser.newPage();
  await page.goto(url);
  await page.waitForFunction(() => window.tesseraDemo !== undefined);
  await page.evaluate(() => window.tesseraDemo.ready);
  return page;
}

let demoPage;
try {
  await browser.installExtension(join(repo, 'browser', 'extension'));

  await scenario('consent granted: the demo page reaches the host', async () => {
    [demoPage] = await Promise.all([openDemo(), answerConsent(demoOrigin, true)]);
    const r = await demoPage.evaluate(async () => {
      const c = await window.tesseraDemo.tessera.checkHost();
      return [c.extension, c.host, c.hostVersion, c.error && c.error.code];
    });
    assertEqual(r, [true, true, '3.2.0.3', null], 'checkHost');
  });

  await scenario('consent denied: the page is refused and starts no host', async () => {
    const before = hostPids().length;
    const page = await browser.newPage();
    await page.goto(other.url);
    await page.waitForFunction(() => window.tesseraDemo !== undefined);
    const [r] = await Promise.all([
      page.evaluate(async () => { const e = (await window.tesseraDemo.tessera.checkHost()).error; return [e.code, e.reason]; }),
      answerConsent(new URL(other.url).origin, false),
    ]);
    await page.close();
    assertEqual(r, ['ORIGIN_NOT_ALLOWED', 'user'], 'checkHost error');
    assertEqual(hostPids().length, before, 'hosts started');
  });

  await scenario('an origin on the policy allowlist is admitted without a question', async () => {
    const pagesBefore = (await browser.pages()).length;
    const page = await openDemo(policyUrl);
    const r = await page.evaluate(async () => {
      const c = await window.tesseraDemo.tessera.checkHost();
      return [c.host, c.error && c.error.code];
    });
    const pagesAfter = (await browser.pages()).length;
    await page.close();
    assertEqual(r, [true, null], 'checkHost');
    assertEqual(pagesAfter, pagesBefore + 1, 'no window but the page itself');
  });

  await scenario('an insecure page is told so', async () => {
    const page = await browser.newPage();
    await page.goto(demo.url.replace('127.0.0.1', 'insecure.test'));
    await page.waitForFunction(() => window.tesseraDemo !== undefined);
    const r = await page.evaluate(async () => (await window.tesseraDemo.tessera.checkHost()).error.code);
    await page.close();
    assertEqual(r, 'INSECURE_CONTEXT', 'checkHost error');
  });

  // The four enrollment kinds through the demo page's form.
  for (const [alg, certType, keyLength] of [['RSA', 1, 1024], ['SM2', 1, 256], ['RSA', 2, 1024], ['SM2', 2, 256]]) {
    await scenario(`${certType === 2 ? 'double' : 'single'} ${alg} enrollment through the page`, async () => {
      if (!hostArg) throw new Skip('the stand-in host has no key stores');
      await demoPage.evaluate(() => window.tesseraDemo.checkHost());
      const csps = await demoPage.$$eval('#csp option', (o) => o.map((x) => x.value));
      const csp = alg === 'SM2' ? csps.find((c) => /sm2/i.test(c)) : MS_ENHANCED;
      if (!csp) throw new Skip(`no ${alg} key store is listed`);
      await demoPage.select('#alg', alg);
      await demoPage.select('#csp', csp);
      await demoPage.select('#keylen', String(keyLength));
      await demoPage.select('#certtype', String(certType));
      const issuedBefore = demo.ca.issued.length;
      await demoPage.click('#enroll');
      await demoPage.waitForSelector('#result[data-state="done"], #result[data-state="error"]', { timeout: 120000 });
      assertEqual(await demoPage.$eval('#result', (e) => e.dataset.state), 'done', await demoPage.$eval('#result', (e) => e.textContent));
      assertEqual(demo.ca.issued.length - issuedBefore, certType, 'certificates issued');
    });
  }

  const keyKind = (b64) => {
    const der = Buffer.from(b64, 'base64');
    return der.includes(Buffer.from('2a864886f70d010101', 'hex')) ? 'RSA'
      : der.includes(Buffer.from('2a8648ce3d0201', 'hex')) ? 'SM2' : 'unknown';
  };

  await scenario('checkHost names the part to update when the versions differ', async () => {
    const r = await demoPage.evaluate(async () => {
      const T = window.tesseraDemo.tessera.constructor;
      const c = await new T({ libraryVersion: '3.1.0.0' }).checkHost();
      return [c.error && c.error.code, c.error && c.error.part];
    });
    assertEqual(r, ['VERSION_MISMATCH', 'library'], 'old library');
  });

  await scenario('a value the host cannot take is refused in the page', async () => {
    const r = await demoPage.evaluate(() => window.tesseraDemo.tessera.VELA_PKCS10CertRequisition('CN=A\u0000', 1, 0)
      .then(() => 'sent', (e) => e.code));
    assertEqual(r, 'BAD_ARGUMENT', 'refused');
  });

  await scenario('two sessions started together each get their own algorithm; progress events while an RSA-4096 key is made', async () => {
    if (!hostArg) throw new Skip('the stand-in host has no key stores');
    const csps = await demoPage.$$eval('#csp option', (o) => o.map((x) => x.value));
    const sm2 = csps.find((c) => /sm2/i.test(c));
    if (!sm2) throw new Skip('no SM2 key store is listed');
    const r = await demoPage.evaluate(async (rsaCsp, smCsp) => {
      const T = window.tesseraDemo.tessera.constructor;
      const a = new T({ progressIntervalMs: 200 });
      const b = new T();
      let running = 0;
      a.addEventListener('progress', (e) => { if (e.detail.phase === 'running' && e.detail.operation === 'VELA_PKCS10CertRequisition') running += 1; });
      const run = (t, n, name, alg) => t.session(async (s) => {
        await s.VELA_SetCSPInfo(n, name);
        await s.VELA_SetKeyAlgorithm(alg);
        return s.VELA_PKCS10CertRequisition(`CN=Session ${alg},O=Demo Bank,C=CN`, 1, 0);
      });
      const out = await Promise.all([run(a, 4096, rsaCsp, 'RSA'), run(b, 256, smCsp, 'SM2')]);
      return [...out, running];
    }, MS_ENHANCED, sm2);
    assertEqual([keyKind(r[0]), keyKind(r[1])], ['RSA', 'SM2'], 'keys of the two sessions');
    if (!(r[2] >= 1)) throw new Error(`progress events while running: ${r[2]}`);
  });

  // The host processes still running (only the demo page's: the other pages are closed).
  const liveHosts = () => hostPids().filter((pid) => {
    try {
      process.kill(pid, 0);
      return readFileSync(`/proc/${pid}/stat`, 'utf8').split(' ')[2] !== 'Z';
    } catch {
      return false;
    }
  });

  await scenario('after a timeout the replacement host continues with the page\'s settings', async () => {
    if (!hostArg) throw new Skip('the stand-in host has no key stores');
    await demoPage.evaluate(async (csp) => {
      const T = window.tesseraDemo.tessera.constructor;
      window.t3 = new T();
      window.restored3 = 0;
      window.t3.addEventListener('settingsrestored', () => { window.restored3 += 1; });
      await window.t3.VELA_SetCSPInfo(1024, csp);
      await window.t3.VELA_SetKeyAlgorithm('RSA');
    }, MS_ENHANCED);
    const pids = liveHosts();
    assertEqual(pids.length, 1, 'one running host');
    process.kill(pids[0], 'SIGSTOP');
    const r = await demoPage.evaluate(async () => {
      const first = await window.t3.VELA_GetVersion({ timeoutMs: 1000 }).then(() => 'ok', (e) => e.code);
      const p10 = await window.t3.VELA_PKCS10CertRequisition('CN=After Timeout,O=Demo Bank,C=CN', 1, 0).then((v) => v, (e) => e.message);
      return [first, p10, window.restored3];
    });
    process.kill(pids[0], 'SIGKILL');
    assertEqual([r[0], keyKind(r[1]), r[2]], ['TIMEOUT', 'RSA', 1], 'timeout, then a request with the restored settings');
  });

  await scenario('a killed host is replaced, and the next calls continue with the page\'s settings restored', async () => {
    if (!hostArg) throw new Skip('the stand-in host has no key stores');
    const r = await demoPage.evaluate(async (csp) => {
      const T = window.tesseraDemo.tessera.constructor;
      window.t2 = new T();
      window.restored = 0;
      window.t2.addEventListener('settingsrestored', () => { window.restored += 1; });
      await window.t2.VELA_SetCSPInfo(1024, csp);
      await window.t2.VELA_SetKeyAlgorithm('RSA');
      return true;
    }, MS_ENHANCED);
    assertEqual(r, true, 'settings made');
    // Only the demo page's host is still running; the other pages are closed.
    let killed = 0;
    for (const pid of hostPids()) {
      try {
        process.kill(pid, 'SIGKILL');
        killed += 1;
      } catch { /* already gone */ }
    }
    assertEqual(killed, 1, 'hosts killed');
    const next = await demoPage.evaluate(async () => {
      let first;
      try {
        await window.t2.VELA_GetVersion();
        first = 'ok';
      } catch (e) {
        first = e.code;
      }
      const p10 = await window.t2.VELA_PKCS10CertRequisition('CN=Firefox,O=Demo Bank,C=CN', 1, 0).then(() => 'ok', (e) => e.message);
      return [first, p10, window.restored];
    });
    assertEqual(next.slice(1), ['ok', 1], 'request on the new host after the restore');
  });
} finally {
  await browser.close().catch(() => {});
  await demo.close();
  await other.close();
  for (const pid of hostPids()) {
    try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
  }
  rmSync(work, { recursive: true, force: true });
}
const failed = results.filter((r) => r === 'failed').length;
const skipped = results.filter((r) => r === 'skipped').length;
console.log(`firefox e2e: ${results.length - failed - skipped} passed, ${failed} failed, ${skipped} skipped`);
process.exit(failed ? 1 : 0);
