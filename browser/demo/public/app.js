// The demo enrollment page: the steps a bank's page takes, through tessera.js.
import { Tessera, TesseraError, parseCSPList, parseCertList } from './tessera.js';

const tessera = new Tessera();
const $ = (id) => document.getElementById(id);
let busy = false;

function setState(el, state, text) {
  el.dataset.state = state;
  el.textContent = text;
}

function shorten(value) {
  const s = typeof value === 'string' ? value : JSON.stringify(value);
  return s.length > 120 ? `${s.slice(0, 100)}… (${s.length} characters)` : s;
}

function log(text, failed = false) {
  const li = document.createElement('li');
  li.textContent = text;
  if (failed) li.className = 'fail';
  $('log').append(li);
  li.scrollIntoView({ block: 'nearest' });
}

function describe(e) {
  if (e instanceof TesseraError) {
    const desc = e.lastErrorDesc ? ` — ${e.lastErrorDesc.replace(/\s*\n\s*/g, ' ')}` : '';
    const zh = /^zh\b/i.test(navigator.language || '');
    const fix = (zh ? e.guidanceZh : e.guidance) || e.guidance;
    const base = e.code === 'AGENT' ? `${e.operation} failed (errorcode ${e.errorcode})${desc}` : `${e.code}: ${e.message}`;
    return fix ? `${base} — ${fix}` : base;
  }
  return String(e && e.message || e);
}

// Calls one operation and writes the call and its outcome to the log.
async function step(name, ...args) {
  const shown = args.map((a) => (typeof a === 'string' ? JSON.stringify(shorten(a)) : a)).join(', ');
  try {
    const result = await tessera[name](...args);
    log(`${name}(${shown}) → ${shorten(result)}`);
    return result;
  } catch (e) {
    log(`${name}(${shown}) ✗ ${describe(e)}`, true);
    followHost(e);
    throw e;
  }
}

// The status panel follows the host: a call that finds it gone, stopped or
// missing says so at once; the next answer shows it running again.
const HOST_GONE = new Set(['HOST_EXITED', 'HOST_NOT_INSTALLED', 'HOST_FORBIDDEN', 'HOST_ERROR', 'TIMEOUT', 'CANCELLED']);
function followHost(e) {
  if (e instanceof TesseraError && HOST_GONE.has(e.code)) {
    setState($('status-host'), 'error', `${describe(e)} — the next call starts a new host`);
  }
}

async function checkHost() {
  setState($('status-extension'), 'busy', 'checking…');
  setState($('status-host'), 'busy', 'checking…');
  const r = await tessera.checkHost();
  if (r.extension) setState($('status-extension'), 'ok', `installed (version ${r.extensionVersion})`);
  else if (r.error && r.error.code === 'INSECURE_CONTEXT') setState($('status-extension'), 'error', r.error.message);
  else setState($('status-extension'), 'error', 'not installed — add the Tessera extension to this browser');
  if (r.host) setState($('status-host'), 'ok', `running (version ${r.hostVersion})`);
  else if (r.extension) setState($('status-host'), 'error', r.error ? describe(r.error) : 'not available');
  else setState($('status-host'), 'error', 'unknown');
  $('enroll').disabled = !r.host || busy;
  if (r.host) {
    await loadProviders();
    await refreshCertificates();
  }
  return r;
}

async function loadProviders() {
  const select = $('csp');
  try {
    const names = parseCSPList(await tessera.VELA_GetCSPInfo());
    select.replaceChildren(...names.map((n) => new Option(n, n)));
    pickProvider();
  } catch (e) {
    select.replaceChildren(new Option('(no list: ' + describe(e) + ')', ''));
  }
}

// A provider that suits the chosen algorithm.
function pickProvider() {
  const alg = $('alg').value;
  const options = [...$('csp').options];
  const wanted = alg === 'SM2'
    ? options.find((o) => /sm2/i.test(o.value))
    : options.find((o) => o.value === 'Microsoft Enhanced Cryptographic Provider v1.0') ||
      options.find((o) => !/sm2/i.test(o.value));
  if (wanted) $('csp').value = wanted.value;
  $('keylen').value = alg === 'SM2' ? '256' : '2048';
}

async function refreshCertificates() {
  const tbody = $('certs').tBodies[0];
  try {
    const records = parseCertList(await tessera.VELA_GetAllCertInfo());
    tbody.replaceChildren(...records.map((r) => {
      const tr = document.createElement('tr');
      for (const v of [r.subject, r.serial, r.notBefore, r.notAfter, r.provider]) {
        const td = document.createElement('td');
        td.textContent = v;
        tr.append(td);
      }
      return tr;
    }));
    $('certs-empty').hidden = records.length > 0;
    return records;
  } catch (e) {
    tbody.replaceChildren();
    $('certs-empty').hidden = false;
    $('certs-empty').textContent = `The list is not available: ${describe(e)}`;
    return [];
  }
}

async function issue(request, certType) {
  const res = await fetch('/api/issue', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ request, certType }),
  });
  const body = await res.json();
  if (!res.ok) throw new Error(`the CA refused the request: ${body.error}`);
  log(`CA issued the ${certType === 2 ? 'signature and encryption certificates' : 'certificate'}` +
    ` (proof of possession ${body.proofOfPossession})`);
  return body;
}

async function enroll(event) {
  event.preventDefault();
  if (busy) return;
  busy = true;
  $('enroll').disabled = true;
  $('cancel').hidden = false;
  $('log').replaceChildren();
  const csp = $('csp').value;
  const alg = $('alg').value;
  const keyLength = Number($('keylen').value);
  const certType = Number($('certtype').value);
  const subject = $('subject').value;
  window.tesseraDemo.lastError = null;
  setState($('result'), 'busy', 'Enrolling…');
  try {
    await step('VELA_SetCSPInfo', keyLength, csp);
    await step('VELA_SetKeyAlgorithm', alg);
    const request = await step('VELA_PKCS10CertRequisition', subject, certType, 0);
    const container = await step('VELA_GetContainer');
    const issued = await issue(request, certType);
    await step('VELA_ImportSignCert', certType === 2 ? 2 : 1, issued.signCert, container);
    if (certType === 2) {
      await step('VELA_ImportEncryptCert', issued.envelope, issued.encryptCert, container, 0);
    }
    await refreshCertificates();
    setState($('result'), 'done', `Enrolled: ${certType === 2 ? 'double' : 'single'} ${alg} certificate in container ${container}`);
  } catch (e) {
    window.tesseraDemo.lastError = e instanceof TesseraError
      ? { code: e.code, operation: e.operation, errorcode: e.errorcode, status: e.status }
      : { code: 'DEMO', message: String(e && e.message || e) };
    setState($('result'), 'error', `Enrollment failed: ${describe(e)}`);
  } finally {
    busy = false;
    $('enroll').disabled = false;
    $('cancel').hidden = true;
    $('progress').hidden = true;
  }
}

// What runs, for how long: the library's progress events.
tessera.addEventListener('progress', (e) => {
  const d = e.detail;
  const what = { consent: 'waiting for your answer in the Tessera window', queued: 'waiting for the host', running: 'running' }[d.phase];
  $('progress').hidden = !busy;
  $('progress').textContent = `${d.operation}: ${what}, ${Math.round(d.elapsedMs / 1000)} s` +
    (d.phase === 'running' ? ` (limit ${Math.round(d.timeoutMs / 1000)} s)` : '');
});
tessera.addEventListener('settingsrestored', (e) => {
  setState($('status-host'), 'ok', 'running (a new host process)');
  log(`A new Tessera host serves this page; its settings were made again: ${e.detail.settings.map(([op, a]) => `${op}(${a.join(', ')})`).join(', ')}`);
});
$('cancel').addEventListener('click', () => tessera.cancel());
$('enroll-form').addEventListener('submit', enroll);
$('alg').addEventListener('change', pickProvider);
$('recheck').addEventListener('click', () => checkHost());
$('refresh').addEventListener('click', () => refreshCertificates());

// The page's state, for scripts that drive it (the end-to-end test).
window.tesseraDemo = { tessera, checkHost, refreshCertificates, lastError: null, ready: checkHost() };
