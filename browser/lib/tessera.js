// tessera.js: the page side of Tessera. An ES module without dependencies.
//
//   import { Tessera } from './tessera.js';
//   const t = new Tessera();
//   const { host } = await t.checkHost();
//   await t.VELA_SetCSPInfo(2048, 'Microsoft Enhanced Cryptographic Provider v1.0');
//   await t.VELA_SetKeyAlgorithm('RSA');
//   const request = await t.VELA_PKCS10CertRequisition('CN=Alice,O=Bank,C=CN', 1, 0);
//
// Every operation of the host has one method with the same name and the same
// parameters, in the same order. A method resolves with the operation's value
// (a string, or true for the operations that answer with a boolean) and
// rejects with a TesseraError. The calls of one page go to one host process,
// which keeps the settings made by the setters between calls.

const CHANNEL = 'tessera';

// The library's version, and the host statuses of the system's error-text
// table: { name, status (signed 32-bit), hex, en, zh }. Both are filled in
// by build.mjs; the unbuilt source has none.
export const VERSION = /* @version */ null;
export const STATUSES = Object.freeze(/* @statuses */ []);
const STATUS_BY_NUMBER = new Map(STATUSES.map((s) => [s.status, s]));
const STATUS_BY_NAME = new Map(STATUSES.map((s) => [s.name, s]));

// The entry of a status, by number (signed or unsigned) or by name; null
// when the table does not have it (a system status).
export function statusInfo(code) {
  if (typeof code === 'string') return STATUS_BY_NAME.get(code) ?? null;
  if (typeof code === 'number') return STATUS_BY_NUMBER.get(code | 0) ?? null;
  return null;
}

// The common failures, with what to fix.
const GUIDANCE = {
  VELA_E_KEY_LENGTH_NOT_SUPPORTED: {
    en: 'Choose a key length the key store supports: 512 or 1024 bits for a Microsoft Base provider; 512 to 4096 bits for the other Microsoft providers; 256 for SM2.',
    zh: '请选择密钥库支持的密钥长度：Microsoft Base 提供者为 512 或 1024 位，其他 Microsoft 提供者为 512 至 4096 位，SM2 为 256 位。',
  },
  VELA_E_INVALID_KEY_ALGORITHM: {
    en: 'Set the key algorithm ("RSA" or "SM2") with VELA_SetKeyAlgorithm before the request, and a key store of that algorithm with VELA_SetCSPInfo.',
    zh: '请在申请前用 VELA_SetKeyAlgorithm 设置密钥算法（"RSA" 或 "SM2"），并用 VELA_SetCSPInfo 设置该算法的密钥库。',
  },
  NTE_KEYSET_NOT_DEF: {
    en: 'The key store (CSP) named is not installed on this computer: pick one of VELA_GetCSPInfo\'s names.',
    zh: '所指定的密钥库（CSP）未安装在本计算机上：请从 VELA_GetCSPInfo 列出的名称中选择。',
  },
  BAD_SUBJECT: {
    en: 'The subject DN cannot be read: write it as "CN=Name,O=Bank,C=CN", attribute=value pairs separated by commas.',
    zh: '无法解析主题 DN：请写成 "CN=姓名,O=银行,C=CN" 这样以逗号分隔的 属性=值 形式。',
  },
  ENVELOPE_REFUSED: {
    en: 'The CA\'s envelope of the encryption key was refused: check that the CA built it for this request\'s temporary key and algorithm (see the envelope format in the page API reference).',
    zh: 'CA 发来的加密密钥数字信封被拒绝：请检查 CA 是否针对本次申请的临时密钥和算法生成了信封（见页面接口文档中的信封格式）。',
  },
};
const ENVELOPE_STATUSES = new Set(['VELA_E_INVALID_ENVELOPE_TYPE', 'VELA_E_INVALID_PRIVATE_KEY_INFO', 'VELA_E_INVALID_PRIVATE_KEY',
  'VELA_E_INVALID_KEY_ENCRYPT_TYPE', 'VELA_E_INVALID_SESSION_KEY_TYPE', 'VELA_E_INVALID_KEY_DEVICE_TYPE', 'VELA_E_IMPORT_ENCRYPT_CERT',
  'VELA_E_ASN1_DECODE']);
const STATUS_NAMES_OF_SYSTEM = new Map([[0x80090019 | 0, 'NTE_KEYSET_NOT_DEF'], [0x80090005 | 0, 'NTE_BAD_DATA'],
  [0x80004005 | 0, 'E_FAIL']]);

// A sentence that says what to fix after a failed operation, in 'en' or
// 'zh'; null when there is none for that failure.
export function guidanceFor(operation, status, lang = 'en') {
  const info = statusInfo(status);
  const name = info ? info.name : STATUS_NAMES_OF_SYSTEM.get(status | 0);
  let key = name && GUIDANCE[name] ? name : null;
  if (!key && operation === 'VELA_ImportEncryptCert' && name && ENVELOPE_STATUSES.has(name)) key = 'ENVELOPE_REFUSED';
  // A subject the host cannot read comes back as bad data (no "=") or an
  // unspecified error (an empty value).
  if (!key && operation === 'VELA_PKCS10CertRequisition' && (name === 'NTE_BAD_DATA' || name === 'E_FAIL')) key = 'BAD_SUBJECT';
  if (!key) return null;
  return GUIDANCE[key][lang === 'zh' ? 'zh' : 'en'];
}

function compareVersions(a, b) {
  const pa = String(a).split('.').map(Number);
  const pb = String(b).split('.').map(Number);
  for (let i = 0; i < Math.max(pa.length, pb.length); i++) {
    const d = (pa[i] || 0) - (pb[i] || 0);
    if (d) return d;
  }
  return 0;
}

// Which part to update when the versions of the library, the extension and
// the host differ: the oldest. Null when they agree (or one is unknown).
export function versionMismatch(versions) {
  const known = Object.entries(versions).filter(([, v]) => typeof v === 'string' && /^\d+(\.\d+)*$/.test(v));
  if (known.length < 2 || known.every(([, v]) => compareVersions(v, known[0][1]) === 0)) return null;
  const newest = known.reduce((a, [, v]) => (compareVersions(v, a) > 0 ? v : a), known[0][1]);
  const parts = known.filter(([, v]) => compareVersions(v, newest) < 0).map(([p]) => p);
  return { part: parts[0], parts, version: versions[parts[0]], expected: newest };
}

// Operation name -> parameter kinds, in position order.
export const OPERATIONS = Object.freeze({
  VELA_GetCSPInfo: [],
  VELA_GetAllCertInfo: [],
  VELA_SetCSPInfo: [['nKeyLength', 'integer'], ['CSPName', 'string']],
  VELA_SetKeyAlgorithm: [['KeyAlgorithm', 'string']],
  VELA_ImportEncryptCert: [['EncryptedPrivateKey', 'string'], ['EncryptPublicCert', 'string'],
    ['ContainerName', 'string'], ['nEncryptCertPrivateKeyFlags', 'integer']],
  VELA_GetContainer: [],
  VELA_ImportSignCert: [['nCertType', 'integer'], ['SignCert', 'string'], ['ContainerName', 'string']],
  VELA_PKCS10CertRequisition: [['SubjectDN', 'string'], ['nCertType', 'integer'], ['nSignPrivateKeyGenerateFlags', 'integer']],
  VELA_HavePermissiontoGenerateKeyPair: [],
  VELA_GetVersion: [],
  GetLastErrorDesc: [],
});

// Operations that do not record their status as the agent's last error: after
// they fail, GetLastErrorDesc would describe an earlier call.
const NOT_RECORDING = new Set(['VELA_HavePermissiontoGenerateKeyPair', 'VELA_GetVersion', 'GetLastErrorDesc']);

export class TesseraError extends Error {
  constructor({ message, code, operation = null, errorcode = null, lastErrorDesc = null, status = null, response = null,
    reason = null, hostSerial = null, part = null }) {
    super(message);
    this.name = 'TesseraError';
    // AGENT (the host answered with a non-zero errorcode), EXTENSION_MISSING,
    // INSECURE_CONTEXT, ORIGIN_NOT_ALLOWED, HOST_NOT_INSTALLED, HOST_FORBIDDEN, HOST_EXITED,
    // HOST_ERROR, TIMEOUT, CANCELLED, VERSION_MISMATCH, BAD_ARGUMENT, BAD_REQUEST, BAD_RESPONSE, EXTENSION_ERROR.
    this.code = code;
    this.operation = operation;
    this.errorcode = errorcode;
    this.lastErrorDesc = lastErrorDesc;
    // The status that the error text names as "(0x........)", as a signed 32-bit number.
    this.status = status;
    this.response = response;
    // ORIGIN_NOT_ALLOWED: 'policy', 'user' (the user said no) or 'dismissed'
    // (the question was closed without an answer).
    this.reason = reason;
    // HOST_REPLACED: the serial of the host that now serves the page.
    this.hostSerial = hostSerial;
    // AGENT: the status's name in the error-text table, and what to fix.
    const info = statusInfo(status ?? errorcode);
    this.statusName = info ? info.name : null;
    this.guidance = operation && (status ?? errorcode) !== null ? guidanceFor(operation, status ?? errorcode) : null;
    this.guidanceZh = operation && (status ?? errorcode) !== null ? guidanceFor(operation, status ?? errorcode, 'zh') : null;
    // VERSION_MISMATCH: the part to update ('library', 'extension' or 'host').
    this.part = part;
  }
}

// The status at the end of a GetLastErrorDesc text, "...\n(0xa0072401)".
export function statusFromErrorDesc(text) {
  if (typeof text !== 'string') return null;
  const m = /\(0x([0-9a-f]{8})\)\s*$/i.exec(text);
  return m ? (parseInt(m[1], 16) | 0) : null;
}

// Where a string holds what the host cannot take: U+0000 (the host's strings
// end there) or a lone surrogate (not UTF-8). Null when the string is sound.
export function unsendableAt(text) {
  const m = /\u0000|[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/.exec(text);
  if (!m) return null;
  const code = m[0].charCodeAt(0);
  return { index: m.index, what: code === 0 ? 'U+0000' : `a lone surrogate U+${code.toString(16).toUpperCase()}` };
}

function checkSendable(operation, name, value) {
  const bad = typeof value === 'string' ? unsendableAt(value) : null;
  if (bad) {
    throw new TesseraError({
      code: 'BAD_ARGUMENT', operation,
      message: `${operation}: ${name} holds ${bad.what} at position ${bad.index}, which the host cannot take; nothing was sent.`,
    });
  }
}

function checkArguments(operation, args) {
  const kinds = OPERATIONS[operation];
  if (args.length !== kinds.length) {
    throw new TesseraError({
      code: 'BAD_ARGUMENT', operation,
      message: `${operation} takes ${kinds.length} argument(s), got ${args.length}.`,
    });
  }
  kinds.forEach(([name, kind], i) => {
    const v = args[i];
    const ok = kind === 'string' ? typeof v === 'string'
      : Number.isInteger(v) && v >= -2147483648 && v <= 2147483647;
    if (!ok) {
      throw new TesseraError({
        code: 'BAD_ARGUMENT', operation,
        message: `${operation}: ${name} must be ${kind === 'string' ? 'a string' : 'a 32-bit integer'}.`,
      });
    }
    checkSendable(operation, name, v);
  });
}

let idCounter = 0;
function newId() {
  idCounter += 1;
  const rnd = Math.floor(Math.random() * 0x7fffffff).toString(36);
  return `p${Date.now().toString(36)}-${rnd}-${idCounter}`;
}

// The host's settings that the library keeps for the page, in the order a
// page makes them, and the operations that make them.
const SETTINGS = ['VELA_SetCSPInfo', 'VELA_SetKeyAlgorithm'];
// Operations that generate keys; their default time limit follows the key length.
const KEY_GENERATING = new Set(['VELA_PKCS10CertRequisition']);

// The default time limit of a call that generates a key of `bits` bits. RSA
// key generation grows steeply with the length (RSA-8192 takes about 14 s,
// RSA-16384 minutes); 600 s is the most the extension allows.
export function defaultTimeoutFor(bits) {
  if (!Number.isInteger(bits) || bits <= 4096) return 120000;
  return bits <= 8192 ? 300000 : 600000;
}

// One lock per window: the calls of every Tessera object of a page go to the
// same host, so a session excludes them all.
const locks = new WeakMap();
function lockOf(win) {
  let lock = locks.get(win);
  if (!lock) {
    lock = { tail: Promise.resolve(), shared: new Set() };
    locks.set(win, lock);
  }
  return lock;
}

function makeEvent(type, detail) {
  if (typeof CustomEvent === 'function') return new CustomEvent(type, { detail });
  const e = new Event(type);
  e.detail = detail;
  return e;
}

export class Tessera extends EventTarget {
  // options.timeoutMs: how long one call may take (default 120 s; key
  //   generation gets more by its key length, see defaultTimeoutFor); each
  //   method also takes an options object as an extra last argument with its
  //   own timeoutMs and signal (an AbortSignal that cancels the call).
  // options.extensionTimeoutMs: how long to wait for the extension to answer a
  //   presence probe (default 1500 ms).
  // options.progressIntervalMs: how often a running call reports progress (1000).
  // options.window: the window to talk through (default: the global one).
  //
  // Events: 'progress' ({ operation, phase: 'consent' | 'queued' | 'running',
  // elapsedMs, timeoutMs }) while a call runs; 'settingsrestored'
  // ({ settings, hostSerial }) after the page's settings were made again on a
  // new host.
  constructor(options = {}) {
    super();
    this.timeoutMs = options.timeoutMs ?? 120000;
    this._explicitTimeout = options.timeoutMs !== undefined;
    this.extensionTimeoutMs = options.extensionTimeoutMs ?? 1500;
    this.progressIntervalMs = options.progressIntervalMs ?? 1000;
    this.window = options.window ?? globalThis.window;
    this.extensionVersion = null;
    // The version checkHost compares; a page may name the one it was written for.
    this.libraryVersion = options.libraryVersion ?? VERSION;
    this._pending = new Map();
    this._extensionPresent = null;
    // Shared with the session handles of this object.
    this._state = { hostSerial: null, settings: new Map(), restores: 0 };
    this._session = null;
    this._root = this;
    this._onMessage = (event) => this._receive(event);
    this.window.addEventListener('message', this._onMessage);
  }

  // The settings the page made, as [operation, arguments] pairs.
  get settings() {
    return [...this._state.settings.entries()].map(([op, args]) => [op, [...args]]);
  }

  // Stops listening; pending calls fail.
  close() {
    this.window.removeEventListener('message', this._onMessage);
    for (const p of this._pending.values()) this._settle(p, null, 'EXTENSION_ERROR', 'The Tessera client was closed.');
    this._pending.clear();
  }

  // Cancels the calls of this object that are running or waiting; the
  // extension stops the host if one was in flight, and the next call gets a
  // new host with the page's settings restored.
  cancel() {
    for (const [id, p] of [...this._pending]) {
      if (p.operation === 'ping') continue;
      this._cancelOne(id, p);
    }
  }

  _cancelOne(id, p) {
    this._pending.delete(id);
    this.window.postMessage({ channel: CHANNEL, direction: 'to-extension', id, type: 'cancel' }, this.window.location.origin);
    this._settle(p, null, 'CANCELLED', `${p.operation} was cancelled.`);
  }

  _settle(p, value, code, message) {
    clearTimeout(p.timer);
    clearInterval(p.ticker);
    if (p.signal && p.onAbort) p.signal.removeEventListener('abort', p.onAbort);
    if (code) p.reject(new TesseraError({ code, operation: p.operation, message }));
    else p.resolve(value);
  }

  _progress(p, phase) {
    p.phase = phase;
    if (phase === 'running') p.startedAt = Date.now();
    const emit = () => this._root.dispatchEvent(makeEvent('progress', {
      operation: p.operation, phase: p.phase, elapsedMs: Date.now() - p.startedAt, timeoutMs: p.timeoutMs,
    }));
    clearInterval(p.ticker);
    emit();
    p.ticker = setInterval(emit, this.progressIntervalMs);
  }

  _receive(event) {
    if (event.source !== this.window) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== 'from-extension') return;
    if (data.type === 'ready') {
      this._extensionPresent = true;
      this.extensionVersion = data.version ?? null;
      return;
    }
    const p = this._pending.get(data.id);
    if (!p) return;
    if (typeof data.hostSerial === 'string') p.hostSerial = data.hostSerial;
    if (typeof data.event === 'string') {
      if (data.event === 'consent') {
        clearTimeout(p.timer);
        if (p.progress) this._progress(p, 'consent');
      } else if (data.event === 'started') {
        p.arm(p.limit);
        if (typeof data.hostSerial === 'string') this._state.hostSerial = data.hostSerial;
        if (p.progress) this._progress(p, 'running');
      }
      return;
    }
    this._pending.delete(data.id);
    if (data.type === 'pong') {
      this._extensionPresent = true;
      this.extensionVersion = data.version ?? null;
      this._settle(p, data);
    } else if (data.error) {
      clearTimeout(p.timer);
      clearInterval(p.ticker);
      p.reject(new TesseraError({
        code: data.error.code || 'EXTENSION_ERROR',
        operation: data.error.operation || p.operation,
        message: data.error.message || 'The Tessera extension reported an error.',
        reason: data.error.reason || null,
        hostSerial: typeof data.hostSerial === 'string' ? data.hostSerial : null,
      }));
    } else if (data.response && typeof data.response === 'object') {
      if (typeof data.hostSerial === 'string') this._state.hostSerial = data.hostSerial;
      this._settle(p, data.response);
    } else {
      this._settle(p, null, 'BAD_RESPONSE', 'The extension answered without a response.');
    }
  }

  // Posts one message to the content script. The timer is the safety net
  // for an extension that went away: it stops while the user is being asked
  // for consent and starts again, with the extension's own limit, when the
  // call is sent to the host (time in the queue does not count).
  _post(message, operation, timeoutMs, timeoutCode, extraMs = 0, { signal, progress = false } = {}) {
    return new Promise((resolve, reject) => {
      const id = newId();
      const p = { resolve, reject, timer: null, ticker: null, operation, timeoutMs, progress, startedAt: Date.now(), signal };
      p.arm = (ms) => {
        clearTimeout(p.timer);
        p.timer = setTimeout(() => {
          this._pending.delete(id);
          this._settle(p, null, timeoutCode, timeoutCode === 'EXTENSION_MISSING'
            ? 'The Tessera extension is not installed or not enabled for this page.'
            : `${operation} did not complete within ${timeoutMs} ms.`);
        }, ms);
      };
      p.limit = timeoutMs + extraMs;
      if (signal) {
        if (signal.aborted) {
          reject(new TesseraError({ code: 'CANCELLED', operation, message: `${operation} was cancelled.` }));
          return;
        }
        p.onAbort = () => { if (this._pending.get(id) === p) this._cancelOne(id, p); };
        signal.addEventListener('abort', p.onAbort);
      }
      p.arm(p.limit);
      this._pending.set(id, p);
      if (progress) this._progress(p, 'queued');
      this.window.postMessage(Object.assign({ channel: CHANNEL, direction: 'to-extension', id }, message), this.window.location.origin);
    });
  }

  // Resolves when the extension's content script answers a probe.
  async _ensureExtension() {
    if (this.window.isSecureContext === false) {
      throw new TesseraError({
        code: 'INSECURE_CONTEXT', operation: 'ping',
        message: `This page (${this.window.location.origin}) is not a secure context: Tessera serves only https pages ` +
          '(and http://localhost or http://127.0.0.1 for development).',
      });
    }
    if (this._extensionPresent) return;
    await this._post({ type: 'ping' }, 'ping', this.extensionTimeoutMs, 'EXTENSION_MISSING');
  }

  // Runs fn on the page's host after every session started before it. A
  // session (shared false) also waits for the calls started before it, and
  // every call started after it waits for its end; plain calls (shared true)
  // may run side by side, the extension queues them. fn gets a handle of this
  // object whose calls run inside the same turn.
  async _exclusive(fn, shared = false) {
    if (this._session && this._session.active) return fn(this);
    const lock = lockOf(this.window);
    const inner = Object.create(this);
    inner._session = { active: true };
    let done;
    const marker = new Promise((r) => { done = r; });
    let before;
    if (shared) {
      before = lock.tail;
      lock.shared.add(marker);
    } else {
      before = Promise.all([lock.tail, ...lock.shared]);
      lock.shared = new Set();
      lock.tail = marker;
    }
    try {
      await before;
      return await fn(inner);
    } finally {
      inner._session.active = false;
      lock.shared.delete(marker);
      done();
    }
  }

  // Runs fn(t) as one exclusive sequence: no call of another session or
  // object of this page reaches the host until it ends, so settings made in
  // it hold for its requests. `t` has the methods of this object and is good
  // only while fn runs. Resolves with what fn resolves with.
  session(fn) {
    return this._exclusive((t) => fn(t));
  }

  // Makes the page's settings again on a new host and says so.
  async _restoreSettings(hostSerial) {
    const restored = [];
    for (const [op, args] of this._state.settings) {
      const r = await this._send(op, args, { timeoutMs: 30000 }, hostSerial);
      if (r.errorcode !== 0) {
        throw new TesseraError({
          code: 'HOST_EXITED', operation: op, response: r,
          message: `The page's settings could not be restored on a new host (${op} failed with errorcode ${r.errorcode}).`,
        });
      }
      restored.push([op, [...args]]);
    }
    this._state.hostSerial = hostSerial;
    this._state.restores += 1;
    this._root.dispatchEvent(makeEvent('settingsrestored', { settings: restored, hostSerial }));
  }

  _send(operation, params, { timeoutMs, signal } = {}, hostSerial = null, progress = false) {
    const limit = timeoutMs ?? this.timeoutMs;
    const message = { function: operation, params, timeoutMs: limit };
    if (hostSerial) message.hostSerial = hostSerial;
    return this._post(message, operation, limit, 'TIMEOUT', 2000, { signal, progress });
  }

  // Sends one request and resolves with the host's response object. When
  // the page has made settings and a new host serves it (after a timeout, a
  // cancel or a host exit), the settings are made again first.
  async request(operation, params, options = {}) {
    if (!Array.isArray(params)) throw new TesseraError({ code: 'BAD_ARGUMENT', operation, message: 'params must be an array.' });
    params.forEach((v, i) => checkSendable(operation, `parameter ${i}`, v && typeof v === 'object' ? v.param : v));
    await this._ensureExtension();
    return this._exclusive(async (me) => {
      let response;
      for (let attempt = 0; ; attempt++) {
        const serial = me._state.settings.size ? me._state.hostSerial : null;
        try {
          response = await me._send(operation, params, options, serial, options.progress !== false);
          break;
        } catch (e) {
          if (!(e instanceof TesseraError) || e.code !== 'HOST_REPLACED' || attempt >= 2) throw e;
          await me._restoreSettings(e.hostSerial);
        }
      }
      if (typeof response.errorcode !== 'number') {
        throw new TesseraError({ code: 'BAD_RESPONSE', operation, response, message: `The host's answer to ${operation} has no errorcode.` });
      }
      return response;
    }, true);
  }

  _timeoutFor(operation, options) {
    if (options.timeoutMs !== undefined || this._explicitTimeout || !KEY_GENERATING.has(operation)) return options.timeoutMs;
    const csp = this._state.settings.get('VELA_SetCSPInfo');
    return csp ? Math.max(this.timeoutMs, defaultTimeoutFor(csp[0])) : undefined;
  }

  async _operation(operation, args) {
    let options = {};
    const kinds = OPERATIONS[operation];
    if (args.length === kinds.length + 1 && args[args.length - 1] && typeof args[args.length - 1] === 'object') {
      options = args[args.length - 1];
      args = args.slice(0, -1);
    }
    checkArguments(operation, args);
    return this._exclusive(async (me) => {
      const response = await me.request(operation, args, { ...options, timeoutMs: me._timeoutFor(operation, options) });
      if (response.errorcode !== 0) {
        let lastErrorDesc = null;
        if (!NOT_RECORDING.has(operation)) {
          try {
            const desc = await me.request('GetLastErrorDesc', [], { timeoutMs: 10000, progress: false });
            if (desc.errorcode === 0 && typeof desc.result === 'string') lastErrorDesc = desc.result;
          } catch (e) {
            // The description is a courtesy; the failure itself is what counts.
          }
        }
        const hex = (response.errorcode >>> 0).toString(16).padStart(8, '0');
        throw new TesseraError({
          code: 'AGENT', operation, errorcode: response.errorcode, lastErrorDesc,
          status: statusFromErrorDesc(lastErrorDesc), response,
          message: `${operation} failed with errorcode ${response.errorcode} (0x${hex})` +
            (lastErrorDesc ? `: ${lastErrorDesc.replace(/\s*\n\s*/g, ' ')}` : '.'),
        });
      }
      if (SETTINGS.includes(operation)) {
        // Kept in the page's order: a CSP set again moves behind the algorithm.
        this._state.settings.delete(operation);
        this._state.settings.set(operation, [...args]);
      }
      return 'result' in response ? response.result : true;
    }, true);
  }

  // Tells whether the extension and the host are there. Never rejects:
  // { extension, extensionVersion, host, hostVersion, error }.
  async checkHost({ timeoutMs = 15000 } = {}) {
    const out = { extension: false, extensionVersion: null, host: false, hostVersion: null, libraryVersion: this.libraryVersion, error: null };
    try {
      await this._ensureExtension();
      out.extension = true;
      out.extensionVersion = this.extensionVersion;
      const r = await this.request('checkHost', [], { timeoutMs, progress: false });
      if (r.function !== 'CheckHost' || r.errorcode !== 0) {
        throw new TesseraError({ code: 'BAD_RESPONSE', operation: 'checkHost', response: r, message: 'The host answered checkHost unexpectedly.' });
      }
      out.host = true;
      const v = await this.request('VELA_GetVersion', [], { timeoutMs, progress: false });
      if (v.errorcode === 0 && typeof v.result === 'string') out.hostVersion = v.result;
      out.libraryVersion = this.libraryVersion;
      const mismatch = versionMismatch({ library: this.libraryVersion, extension: this.extensionVersion, host: out.hostVersion });
      if (mismatch) {
        const what = { library: 'the page library (tessera.js)', extension: 'the Tessera extension', host: 'the Tessera host program' };
        const e = new TesseraError({
          code: 'VERSION_MISMATCH', operation: 'checkHost', part: mismatch.part,
          message: `Versions differ (library ${this.libraryVersion}, extension ${this.extensionVersion}, host ${out.hostVersion}): ` +
            `update ${mismatch.parts.map((p) => what[p]).join(' and ')} to ${mismatch.expected}.`,
        });
        e.parts = mismatch.parts;
        throw e;
      }
    } catch (e) {
      out.error = e instanceof TesseraError ? e
        : new TesseraError({ code: 'EXTENSION_ERROR', operation: 'checkHost', message: String(e && e.message || e) });
    }
    return out;
  }

  // Typed results beside the raw calls.
  async getProviders(options) { return parseCSPList(await this._operation('VELA_GetCSPInfo', options ? [options] : [])); }
  async getCertificates(options) { return parseCertList(await this._operation('VELA_GetAllCertInfo', options ? [options] : [])); }

  VELA_GetCSPInfo(...a) { return this._operation('VELA_GetCSPInfo', a); }
  VELA_GetAllCertInfo(...a) { return this._operation('VELA_GetAllCertInfo', a); }
  VELA_SetCSPInfo(...a) { return this._operation('VELA_SetCSPInfo', a); }
  VELA_SetKeyAlgorithm(...a) { return this._operation('VELA_SetKeyAlgorithm', a); }
  VELA_ImportEncryptCert(...a) { return this._operation('VELA_ImportEncryptCert', a); }
  VELA_GetContainer(...a) { return this._operation('VELA_GetContainer', a); }
  VELA_ImportSignCert(...a) { return this._operation('VELA_ImportSignCert', a); }
  VELA_PKCS10CertRequisition(...a) { return this._operation('VELA_PKCS10CertRequisition', a); }
  VELA_HavePermissiontoGenerateKeyPair(...a) { return this._operation('VELA_HavePermissiontoGenerateKeyPair', a); }
  VELA_GetVersion(...a) { return this._operation('VELA_GetVersion', a); }
  GetLastErrorDesc(...a) { return this._operation('GetLastErrorDesc', a); }
}

// The listing texts of the host, split into their fields.
export function parseCSPList(text) {
  return typeof text === 'string' && text.length ? text.split('||') : [];
}

export function parseCertList(text) {
  if (typeof text !== 'string' || !text.length) return [];
  return text.split('||').map((record) => {
    const f = record.split(';');
    // The subject itself may hold ';' in a value; the last four fields are fixed.
    const provider = f.pop();
    const notAfter = f.pop();
    const notBefore = f.pop();
    const serial = f.pop();
    return { subject: f.join(';'), serial, notBefore, notAfter, provider };
  });
}

export default Tessera;
