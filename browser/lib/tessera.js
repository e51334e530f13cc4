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
  constructor({ message, code, operation = null, errorcode = null, lastErrorDesc = null, status = null, response = null, reason = null }) {
    super(message);
    this.name = 'TesseraError';
    // AGENT (the host answered with a non-zero errorcode), EXTENSION_MISSING,
    // INSECURE_CONTEXT, ORIGIN_NOT_ALLOWED, HOST_NOT_INSTALLED, HOST_FORBIDDEN, HOST_EXITED,
    // HOST_ERROR, TIMEOUT, BAD_ARGUMENT, BAD_REQUEST, BAD_RESPONSE, EXTENSION_ERROR.
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
  }
}

// The status at the end of a GetLastErrorDesc text, "...\n(0xa0072401)".
export function statusFromErrorDesc(text) {
  if (typeof text !== 'string') return null;
  const m = /\(0x([0-9a-f]{8})\)\s*$/i.exec(text);
  return m ? (parseInt(m[1], 16) | 0) : null;
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
  });
}

let idCounter = 0;
function newId() {
  idCounter += 1;
  const rnd = Math.floor(Math.random() * 0x7fffffff).toString(36);
  return `p${Date.now().toString(36)}-${rnd}-${idCounter}`;
}

export class Tessera {
  // options.timeoutMs: how long one call may take (default 120 s; key
  //   generation in a slow CSP can take long); each method also takes an
  //   options object as an extra last argument with its own timeoutMs.
  // options.extensionTimeoutMs: how long to wait for the extension to answer a
  //   presence probe (default 1500 ms).
  // options.window: the window to talk through (default: the global one).
  constructor(options = {}) {
    this.timeoutMs = options.timeoutMs ?? 120000;
    this.extensionTimeoutMs = options.extensionTimeoutMs ?? 1500;
    this.window = options.window ?? globalThis.window;
    this.extensionVersion = null;
    this._pending = new Map();
    this._extensionPresent = null;
    this._onMessage = (event) => this._receive(event);
    this.window.addEventListener('message', this._onMessage);
  }

  // Stops listening; pending calls fail.
  close() {
    this.window.removeEventListener('message', this._onMessage);
    for (const p of this._pending.values()) {
      clearTimeout(p.timer);
      p.reject(new TesseraError({ code: 'EXTENSION_ERROR', operation: p.operation, message: 'The Tessera client was closed.' }));
    }
    this._pending.clear();
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
    if (typeof data.hostSerial === 'string') this._hostSerialSeen = data.hostSerial;
    if (typeof data.event === 'string') {
      if (data.event === 'consent') clearTimeout(p.timer);
      else if (data.event === 'started') p.arm(p.limit);
      return;
    }
    this._pending.delete(data.id);
    clearTimeout(p.timer);
    if (data.type === 'pong') {
      this._extensionPresent = true;
      this.extensionVersion = data.version ?? null;
      p.resolve(data);
    } else if (data.error) {
      p.reject(new TesseraError({
        code: data.error.code || 'EXTENSION_ERROR',
        operation: data.error.operation || p.operation,
        message: data.error.message || 'The Tessera extension reported an error.',
        reason: data.error.reason || null,
      }));
    } else if (data.response && typeof data.response === 'object') {
      p.resolve(data.response);
    } else {
      p.reject(new TesseraError({ code: 'BAD_RESPONSE', operation: p.operation, message: 'The extension answered without a response.' }));
    }
  }

  // Posts one message to the content script. The timer is the safety net
  // for an extension that went away: it stops while the user is being asked
  // for consent and starts again, with the extension's own limit, when the
  // call is sent to the host (time in the queue does not count).
  _post(message, operation, timeoutMs, timeoutCode, extraMs = 0) {
    return new Promise((resolve, reject) => {
      const id = newId();
      const p = { resolve, reject, timer: null, operation, started: null };
      const arm = (ms) => {
        clearTimeout(p.timer);
        p.timer = setTimeout(() => {
          this._pending.delete(id);
          reject(new TesseraError({
            code: timeoutCode, operation,
            message: timeoutCode === 'EXTENSION_MISSING'
              ? 'The Tessera extension is not installed or not enabled for this page.'
              : `${operation} did not complete within ${timeoutMs} ms.`,
          }));
        }, ms);
      };
      p.arm = arm;
      p.limit = timeoutMs + extraMs;
      arm(p.limit);
      this._pending.set(id, p);
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

  // Sends one request and resolves with the host's response object.
  async request(operation, params, { timeoutMs } = {}) {
    await this._ensureExtension();
    const limit = timeoutMs ?? this.timeoutMs;
    // The extension applies the same limit; ours is the safety net for an
    // extension that went away, so it waits a little longer.
    const response = await this._post({ function: operation, params, timeoutMs: limit }, operation, limit, 'TIMEOUT', 2000);
    if (typeof response.errorcode !== 'number') {
      throw new TesseraError({ code: 'BAD_RESPONSE', operation, response, message: `The host's answer to ${operation} has no errorcode.` });
    }
    return response;
  }

  async _operation(operation, args) {
    let options = {};
    const kinds = OPERATIONS[operation];
    if (args.length === kinds.length + 1 && args[args.length - 1] && typeof args[args.length - 1] === 'object') {
      options = args[args.length - 1];
      args = args.slice(0, -1);
    }
    checkArguments(operation, args);
    const response = await this.request(operation, args, options);
    if (response.errorcode !== 0) {
      let lastErrorDesc = null;
      if (!NOT_RECORDING.has(operation)) {
        try {
          const desc = await this.request('GetLastErrorDesc', [], { timeoutMs: 10000 });
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
    return 'result' in response ? response.result : true;
  }

  // Tells whether the extension and the host are there. Never rejects:
  // { extension, extensionVersion, host, hostVersion, error }.
  async checkHost({ timeoutMs = 15000 } = {}) {
    const out = { extension: false, extensionVersion: null, host: false, hostVersion: null, error: null };
    try {
      await this._ensureExtension();
      out.extension = true;
      out.extensionVersion = this.extensionVersion;
      const r = await this.request('checkHost', [], { timeoutMs });
      if (r.function !== 'CheckHost' || r.errorcode !== 0) {
        throw new TesseraError({ code: 'BAD_RESPONSE', operation: 'checkHost', response: r, message: 'The host answered checkHost unexpectedly.' });
      }
      out.host = true;
      const v = await this.request('VELA_GetVersion', [], { timeoutMs });
      if (v.errorcode === 0 && typeof v.result === 'string') out.hostVersion = v.result;
    } catch (e) {
      out.error = e instanceof TesseraError ? e
        : new TesseraError({ code: 'EXTENSION_ERROR', operation: 'checkHost', message: String(e && e.message || e) });
    }
    return out;
  }

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
