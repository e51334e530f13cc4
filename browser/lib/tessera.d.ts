// Types of tessera.js, the page library of Tessera.

export type TesseraErrorCode =
  | 'AGENT'
  | 'EXTENSION_MISSING'
  | 'EXTENSION_ERROR'
  | 'INSECURE_CONTEXT'
  | 'ORIGIN_NOT_ALLOWED'
  | 'HOST_REPLACED'
  | 'CANCELLED'
  | 'VERSION_MISMATCH'
  | 'HOST_NOT_INSTALLED'
  | 'HOST_FORBIDDEN'
  | 'HOST_EXITED'
  | 'HOST_ERROR'
  | 'TIMEOUT'
  | 'BAD_ARGUMENT'
  | 'BAD_REQUEST'
  | 'BAD_RESPONSE';

/** A response object as the host writes it. */
export interface HostResponse {
  function: string;
  errorcode: number;
  result?: string | boolean | number;
  randomId?: string;
}

export class TesseraError extends Error {
  readonly name: 'TesseraError';
  /** What failed: 'AGENT' when the host answered with a non-zero errorcode. */
  readonly code: TesseraErrorCode;
  /** The operation that failed. */
  readonly operation: string | null;
  /** The host's errorcode ('AGENT' only). */
  readonly errorcode: number | null;
  /** The agent's GetLastErrorDesc text after the failure, where the operation records one. */
  readonly lastErrorDesc: string | null;
  /** The status named at the end of lastErrorDesc, as a signed 32-bit number. */
  readonly status: number | null;
  /** The host's response ('AGENT' and 'BAD_RESPONSE'). */
  readonly response: HostResponse | null;
  /** ORIGIN_NOT_ALLOWED: who refused. */
  readonly reason: 'policy' | 'user' | 'dismissed' | null;
  /** HOST_REPLACED: the serial of the host that now serves the page. */
  readonly hostSerial: string | null;
  /** AGENT: the name of the status in the error-text table (null for a system status). */
  readonly statusName: StatusName | null;
  /** What to fix, for the common failures (English and Chinese). */
  readonly guidance: string | null;
  readonly guidanceZh: string | null;
  /** VERSION_MISMATCH: the (first) part to update, and all of them. */
  readonly part: VersionedPart | null;
  readonly parts?: VersionedPart[];
}

export type VersionedPart = 'library' | 'extension' | 'host';

/** Names of the system's own statuses (filled in by the build). */
export type StatusName = string;

export interface StatusEntry {
  name: StatusName;
  /** The status as the host reports it: a signed 32-bit number. */
  status: number;
  /** The status as 0xA007xxxx. */
  hex: string;
  /** English text. */
  en: string;
  /** Chinese text. */
  zh: string;
}

/** The library's version (the build's; null in the unbuilt source). */
export const VERSION: string | null;
/** Every status of the system's error-text table. */
export const STATUSES: ReadonlyArray<StatusEntry>;
/** The entry of a status by number (signed or unsigned) or name. */
export function statusInfo(code: number | StatusName): StatusEntry | null;
/** What to fix after a failed operation, for the common failures. */
export function guidanceFor(operation: string, status: number, lang?: 'en' | 'zh'): string | null;
/** Which parts are older than the newest; null when the known versions agree. */
export function versionMismatch(versions: Partial<Record<VersionedPart, string | null>>):
  { part: VersionedPart; parts: VersionedPart[]; version: string; expected: string } | null;

/** The key algorithm; the host also takes it in lower case. */
export type KeyAlgorithm = 'RSA' | 'SM2';

export interface CallOptions {
  /** How long this call may take once sent to the host, in milliseconds (1 s to 10 min). */
  timeoutMs?: number;
  /** Cancels this call: a queued call is dropped, a running one stops the host. */
  signal?: AbortSignal;
}

export interface ProgressDetail {
  operation: string;
  /** consent: the user is being asked; queued: waiting for the host; running: the host works on it. */
  phase: 'consent' | 'queued' | 'running';
  /** Time in this phase. */
  elapsedMs: number;
  timeoutMs: number;
}

export type Setting = ['VELA_SetCSPInfo', [number, string]] | ['VELA_SetKeyAlgorithm', [string]];

export interface SettingsRestoredDetail {
  /** The settings made again on the new host, in the page's order. */
  settings: Setting[];
  hostSerial: string;
}

export interface TesseraOptions {
  /** Default time limit of a call in milliseconds (120000). */
  timeoutMs?: number;
  /** How long to wait for the extension to answer a presence probe (1500). */
  extensionTimeoutMs?: number;
  /** How often a running call reports progress (1000). */
  progressIntervalMs?: number;
  /** The window to talk through (the global window). */
  window?: Window;
  /** The library version checkHost compares (the build's). */
  libraryVersion?: string;
}

export interface HostCheck {
  extension: boolean;
  extensionVersion: string | null;
  host: boolean;
  hostVersion: string | null;
  libraryVersion: string | null;
  /** Also VERSION_MISMATCH, with host true, when the versions differ. */
  error: TesseraError | null;
}

export interface CertRecord {
  subject: string;
  serial: string;
  notBefore: string;
  notAfter: string;
  provider: string;
}

/** The Tessera release this library belongs to. */
export const VERSION: string;

export const OPERATIONS: Readonly<Record<string, ReadonlyArray<readonly [string, 'string' | 'integer']>>>;

export function statusFromErrorDesc(text: string | null): number | null;
/** Where a string holds U+0000 or a lone surrogate, which the host cannot take; null when sound. */
export function unsendableAt(text: string): { index: number; what: string } | null;
/** The default time limit of a request generating a key of this many bits. */
export function defaultTimeoutFor(bits: number): number;
/** Splits the text of VELA_GetCSPInfo into provider names. */
export function parseCSPList(text: string): string[];
/** Splits the text of VELA_GetAllCertInfo into records. */
export function parseCertList(text: string): CertRecord[];

export interface TesseraEventMap {
  progress: CustomEvent<ProgressDetail>;
  settingsrestored: CustomEvent<SettingsRestoredDetail>;
}

export class Tessera extends EventTarget {
  constructor(options?: TesseraOptions);
  timeoutMs: number;
  extensionTimeoutMs: number;
  progressIntervalMs: number;
  readonly extensionVersion: string | null;
  /** The settings the page made, restored on a new host. */
  readonly settings: Setting[];

  addEventListener<K extends keyof TesseraEventMap>(type: K, listener: (event: TesseraEventMap[K]) => void,
    options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;

  /**
   * Runs fn as one exclusive sequence on the page's host: calls of other
   * sessions and plain calls started later wait until it ends. Use `t`, not
   * this object, inside fn.
   */
  session<R>(fn: (t: Tessera) => Promise<R>): Promise<R>;
  /** Cancels the running and waiting calls of this object (CANCELLED). */
  cancel(): void;

  /** Whether the extension and the host are there; never rejects. */
  checkHost(options?: CallOptions): Promise<HostCheck>;
  /** Sends one request as it is and resolves with the host's response object. */
  request(operation: string, params: unknown[], options?: CallOptions): Promise<HostResponse>;
  /** Stops listening; pending calls fail. */
  close(): void;

  /** The installed CSPs' names, parsed. */
  getProviders(options?: CallOptions): Promise<string[]>;
  /** The user's certificates with private keys, parsed. */
  getCertificates(options?: CallOptions): Promise<CertRecord[]>;

  /** Names of the installed CSPs, joined by "||". */
  VELA_GetCSPInfo(options?: CallOptions): Promise<string>;
  /** The user's certificates with private keys: "subject;serial;from;to;CSP" records joined by "||". */
  VELA_GetAllCertInfo(options?: CallOptions): Promise<string>;
  /** nKeyLength: 512/1024 for a Microsoft Base provider, 512 to 4096 for other Microsoft providers; 256 for SM2. */
  VELA_SetCSPInfo(nKeyLength: number, CSPName: string, options?: CallOptions): Promise<true>;
  VELA_SetKeyAlgorithm(KeyAlgorithm: 'RSA' | 'SM2' | 'rsa' | 'sm2', options?: CallOptions): Promise<true>;
  /**
   * Installs the encryption certificate of a double enrollment and its private key from the CA's envelope.
   * nEncryptCertPrivateKeyFlags: import flags of the key: 0, or 1 (CRYPT_EXPORTABLE) to make it exportable.
   */
  VELA_ImportEncryptCert(EncryptedPrivateKey: string, EncryptPublicCert: string, ContainerName: string,
    nEncryptCertPrivateKeyFlags: number, options?: CallOptions): Promise<true>;
  /** The key container of the last request or encryption-certificate import. */
  VELA_GetContainer(options?: CallOptions): Promise<string>;
  /** nCertType: 1 exchange key, 2 signature key, 3 two-certificate installation. */
  VELA_ImportSignCert(nCertType: 1 | 2 | 3, SignCert: string, ContainerName: string, options?: CallOptions): Promise<true>;
  /**
   * nCertType: 1 single, 2 double certificate. nSignPrivateKeyGenerateFlags: generation flags of the
   * new signature key, the lower 16 bits only: 0, 1 (CRYPT_EXPORTABLE), 2 (CRYPT_USER_PROTECTED) or both.
   * Resolves with the Base64 PKCS #10 request.
   */
  VELA_PKCS10CertRequisition(SubjectDN: string, nCertType: 1 | 2, nSignPrivateKeyGenerateFlags: number,
    options?: CallOptions): Promise<string>;
  VELA_HavePermissiontoGenerateKeyPair(options?: CallOptions): Promise<true>;
  VELA_GetVersion(options?: CallOptions): Promise<string>;
  GetLastErrorDesc(options?: CallOptions): Promise<string>;
}

export default Tessera;
