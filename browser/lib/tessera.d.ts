// Types of tessera.js, the page library of Tessera.

export type TesseraErrorCode =
  | 'AGENT'
  | 'EXTENSION_MISSING'
  | 'EXTENSION_ERROR'
  | 'ORIGIN_NOT_ALLOWED'
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
}

export interface CallOptions {
  /** How long this call may take, in milliseconds (1 s to 10 min). */
  timeoutMs?: number;
}

export interface TesseraOptions {
  /** Default time limit of a call in milliseconds (120000). */
  timeoutMs?: number;
  /** How long to wait for the extension to answer a presence probe (1500). */
  extensionTimeoutMs?: number;
  /** The window to talk through (the global window). */
  window?: Window;
}

export interface HostCheck {
  extension: boolean;
  extensionVersion: string | null;
  host: boolean;
  hostVersion: string | null;
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
/** Splits the text of VELA_GetCSPInfo into provider names. */
export function parseCSPList(text: string): string[];
/** Splits the text of VELA_GetAllCertInfo into records. */
export function parseCertList(text: string): CertRecord[];

export class Tessera {
  constructor(options?: TesseraOptions);
  timeoutMs: number;
  extensionTimeoutMs: number;
  readonly extensionVersion: string | null;

  /** Whether the extension and the host are there; never rejects. */
  checkHost(options?: CallOptions): Promise<HostCheck>;
  /** Sends one request as it is and resolves with the host's response object. */
  request(operation: string, params: unknown[], options?: CallOptions): Promise<HostResponse>;
  /** Stops listening; pending calls fail. */
  close(): void;

  /** Names of the installed CSPs, joined by "||". */
  VELA_GetCSPInfo(options?: CallOptions): Promise<string>;
  /** The user's certificates with private keys: "subject;serial;from;to;CSP" records joined by "||". */
  VELA_GetAllCertInfo(options?: CallOptions): Promise<string>;
  VELA_SetCSPInfo(nKeyLength: number, CSPName: string, options?: CallOptions): Promise<true>;
  /** "RSA" or "SM2". */
  VELA_SetKeyAlgorithm(KeyAlgorithm: string, options?: CallOptions): Promise<true>;
  VELA_ImportEncryptCert(EncryptedPrivateKey: string, EncryptPublicCert: string, ContainerName: string,
    nEncryptCertPrivateKeyFlags: number, options?: CallOptions): Promise<true>;
  /** The key container of the last request or encryption-certificate import. */
  VELA_GetContainer(options?: CallOptions): Promise<string>;
  /** nCertType: 1 exchange key, 2 signature key, 3 two-certificate installation. */
  VELA_ImportSignCert(nCertType: number, SignCert: string, ContainerName: string, options?: CallOptions): Promise<true>;
  /** nCertType: 1 single, 2 double certificate. Resolves with the Base64 PKCS #10 request. */
  VELA_PKCS10CertRequisition(SubjectDN: string, nCertType: number, nSignPrivateKeyGenerateFlags: number,
    options?: CallOptions): Promise<string>;
  VELA_HavePermissiontoGenerateKeyPair(options?: CallOptions): Promise<true>;
  VELA_GetVersion(options?: CallOptions): Promise<string>;
  GetLastErrorDesc(options?: CallOptions): Promise<string>;
}

export default Tessera;
