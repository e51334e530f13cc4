// The demo certificate authority: issues certificates for the PKCS #10
// requests of the enrollment page and, for double-certificate requests, the
// encryption certificate with its private key in the encrypted envelope that
// VELA_ImportEncryptCert reads. Keys, ciphers and signatures are OpenSSL's
// command line; this file composes the DER around them.
//
// Only for demonstrations and tests: the CA key lives unprotected in the
// state directory.

import { execFile } from 'node:child_process';
import { createHash, randomBytes, verify as verifySignature, createPublicKey } from 'node:crypto';
import { mkdir, readFile, writeFile, mkdtemp, rm, access } from 'node:fs/promises';
import { join } from 'node:path';
import { promisify } from 'node:util';
import * as der from './der.mjs';

const run = promisify(execFile);

export const OID = {
  rsaEncryption: '1.2.840.113549.1.1.1',
  sha1WithRSA: '1.2.840.113549.1.1.5',
  sha256WithRSA: '1.2.840.113549.1.1.11',
  ecPublicKey: '1.2.840.10045.2.1',
  sm2Curve: '1.2.156.10197.1.301',
  sm2WithSm3: '1.2.156.10197.1.501',
  challengePassword: '1.2.840.113549.1.9.7',
  temporaryKey: '1.2.840.113549.1.9.63',
  basicConstraints: '2.5.29.19',
  keyUsage: '2.5.29.15',
  subjectKeyId: '2.5.29.14',
  authorityKeyId: '2.5.29.35',
};

export class RequestError extends Error {}

async function openssl(args, options = {}) {
  try {
    return await run('openssl', args, { encoding: 'buffer', maxBuffer: 16 * 1024 * 1024, ...options });
  } catch (e) {
    const stderr = e.stderr ? e.stderr.toString().trim() : '';
    throw new Error(`openssl ${args[0]} failed: ${stderr || e.message}`);
  }
}

// The public-key bits of a SubjectPublicKeyInfo (the BIT STRING content
// without its unused-bits octet).
function spkiKeyBits(spki) {
  const [, bits] = der.children(der.readTlv(spki));
  return bits.content.subarray(1);
}

function rsaSpkiFromPkcs1(rsaPublicKey) {
  return der.seq(der.seq(der.oid(OID.rsaEncryption), der.nullValue()), der.bitString(rsaPublicKey));
}

function sm2SpkiFromPoint(x, y) {
  return der.seq(der.seq(der.oid(OID.ecPublicKey), der.oid(OID.sm2Curve)),
    der.bitString(Buffer.concat([Buffer.from([4]), x, y])));
}

// Modulus size in bits of an RSA SubjectPublicKeyInfo.
function rsaModulusBits(spki) {
  const [modulus] = der.children(der.readTlv(spkiKeyBits(spki)));
  let m = modulus.content;
  while (m.length && m[0] === 0) m = m.subarray(1);
  return m.length ? (m.length - 1) * 8 + (32 - Math.clz32(m[0])) : 0;
}

// Takes a request apart. Attributes are read in both the standard form
// SEQUENCE { OID, SET { value } } and the SET-less SEQUENCE { OID, value }
// that the double-certificate requests use.
export function parseRequest(text) {
  const body = String(text).replace(/-----[^-]+-----/g, '').replace(/[\s,]+/g, '');
  if (!/^[A-Za-z0-9+/]+=*$/.test(body)) throw new RequestError('the request is not Base64 text');
  const bytes = Buffer.from(body, 'base64');
  let top;
  try {
    top = der.readTlv(bytes);
    if (top.tag !== 0x30 || top.end !== bytes.length) throw new der.DerError('not one SEQUENCE');
    const [info, sigAlg, signature] = der.children(top);
    const parts = der.children(info);
    if (parts.length < 3 || parts[0].tag !== 0x02 || parts[1].tag !== 0x30 || parts[2].tag !== 0x30) {
      throw new der.DerError('unexpected CertificationRequestInfo');
    }
    const subject = parts[1].bytes;
    const spki = parts[2].bytes;
    const [alg] = der.children(parts[2]);
    const algParts = der.children(alg);
    const keyOid = der.decodeOid(algParts[0].content);
    const keyParam = algParts[1] && algParts[1].tag === 0x06 ? der.decodeOid(algParts[1].content) : null;
    let keyAlgorithm;
    if (keyOid === OID.rsaEncryption) keyAlgorithm = 'RSA';
    else if (keyOid === OID.ecPublicKey && keyParam === OID.sm2Curve) keyAlgorithm = 'SM2';
    else throw new RequestError(`unsupported public-key algorithm ${keyOid}`);

    const attributes = {};
    if (parts[3]) {
      if (parts[3].tag !== 0xa0) throw new der.DerError('unexpected element after the public key');
      for (const attr of der.children(parts[3])) {
        const [attrOid, value] = der.children(attr);
        const v = value.tag === 0x31 ? der.children(value)[0] : value;
        attributes[der.decodeOid(attrOid.content)] = v;
      }
    }
    let temporaryKey = null;
    const tk = attributes[OID.temporaryKey];
    if (tk) {
      const inner = der.readTlv(tk.content);
      const [, keyOctets] = der.children(inner);
      temporaryKey = keyOctets.content;
    }
    const sigAlgOid = der.decodeOid(der.children(sigAlg)[0].content);
    return {
      bytes, subject, spki, keyAlgorithm, tbs: info.bytes, sigAlgOid,
      signature: signature.content.subarray(1), temporaryKey,
      challengePassword: attributes[OID.challengePassword] ? attributes[OID.challengePassword].content.toString('latin1') : null,
    };
  } catch (e) {
    if (e instanceof RequestError) throw e;
    throw new RequestError(`the request is not a PKCS #10 request (${e.message})`);
  }
}

// The temporary public key of a double request as a SubjectPublicKeyInfo.
export function temporaryKeySpki(request) {
  const k = request.temporaryKey;
  if (!k) throw new RequestError('the request carries no temporary public key');
  if (request.keyAlgorithm === 'RSA') {
    der.readTlv(k); // must be one DER value (RSAPublicKey)
    return rsaSpkiFromPkcs1(k);
  }
  // SM2: 0x0000B400, bit length, X field (x most significant first, 32 bytes
  // + 32 more), Y field likewise.
  if (k.length !== 136) throw new RequestError(`the SM2 temporary key is ${k.length} bytes, not 136`);
  return sm2SpkiFromPoint(k.subarray(8, 40), k.subarray(72, 104));
}

// Proof of possession. RSA requests are verified (SHA-1 RSASSA-PKCS1-v1_5);
// the SM2 signature's digest is the key provider's own business, so SM2
// requests are accepted without it.
export function checkRequestSignature(request) {
  if (request.keyAlgorithm !== 'RSA') return 'not checked (SM2)';
  if (request.sigAlgOid !== OID.sha1WithRSA && request.sigAlgOid !== OID.sha256WithRSA) {
    throw new RequestError(`unexpected signature algorithm ${request.sigAlgOid}`);
  }
  const key = createPublicKey({ key: request.spki, format: 'der', type: 'spki' });
  const hash = request.sigAlgOid === OID.sha1WithRSA ? 'sha1' : 'sha256';
  if (!verifySignature(hash, request.tbs, key, request.signature)) {
    throw new RequestError('the request signature does not verify');
  }
  return 'verified';
}

function field16(n) {
  return String(n).padStart(16, '0');
}

// One envelope piece: SEQUENCE { INTEGER, OCTET STRING }, Base64, ",".
function envelopePiece(bytes) {
  return der.seq(der.integer(1), der.octets(bytes)).toString('base64') + ',';
}

// The envelope text: device type, encrypt type, session key type (306 =
// 3DES, 0 = none), then each piece after its length in characters.
export function composeEnvelope({ deviceType = 1, encryptType = 1, sessionKeyType, sessionKey, privateKey }) {
  const p1 = sessionKey ? envelopePiece(sessionKey) : '';
  const p2 = envelopePiece(privateKey);
  return field16(deviceType) + field16(encryptType) + field16(sessionKeyType) +
    field16(p1.length) + p1 + field16(p2.length) + p2;
}

// Raw C1 || C3 || C2 from OpenSSL's SM2 ciphertext SEQUENCE { x, y, C3, C2 }.
export function sm2CiphertextToC1C3C2(cipherDer) {
  const [x, y, c3, c2] = der.children(der.readTlv(cipherDer));
  const coord = (b) => {
    let v = b.content;
    while (v.length > 32 && v[0] === 0) v = v.subarray(1);
    return Buffer.concat([Buffer.alloc(32 - v.length), v]);
  };
  return Buffer.concat([coord(x), coord(y), c3.content, c2.content]);
}

export class DemoCA {
  constructor(dir, { subject = '/CN=Tessera Demo CA/O=Tessera Demo' } = {}) {
    this.dir = dir;
    this.subject = subject;
    this.keyPath = join(dir, 'ca.key');
    this.certPath = join(dir, 'ca.pem');
    this.issued = [];
  }

  async init() {
    await mkdir(this.dir, { recursive: true });
    const exists = await access(this.certPath).then(() => true, () => false);
    if (!exists) {
      await openssl(['genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048', '-out', this.keyPath]);
      await openssl(['req', '-x509', '-new', '-key', this.keyPath, '-subj', this.subject, '-days', '3650', '-sha256',
        '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign,cRLSign',
        '-addext', 'subjectKeyIdentifier=hash', '-out', this.certPath]);
    }
    this.certDer = der.fromPem(await readFile(this.certPath, 'utf8'));
    const tbs = der.children(der.children(der.readTlv(this.certDer))[0]);
    const hasVersion = tbs[0].tag === 0xa0;
    this.issuerName = tbs[hasVersion ? 5 : 4].bytes;
    this.keyId = createHash('sha1').update(spkiKeyBits(tbs[hasVersion ? 6 : 5].bytes)).digest();
    return this;
  }

  get certificateBase64() {
    return this.certDer.toString('base64');
  }

  // Signs a to-be-signed certificate with the CA key and returns the DER.
  async signCertificate({ subject, spki, keyUsage, work }) {
    const now = Date.now();
    const serial = randomBytes(16);
    serial[0] &= 0x7f;
    if (serial[0] === 0) serial[0] = 1;
    const ku = { sign: [6, 0xc0], exchange: [5, 0xa0], encrypt: [4, 0x30] }[keyUsage];
    const extensions = der.seq(
      der.seq(der.oid(OID.basicConstraints), der.boolTrue(), der.octets(der.seq())),
      der.seq(der.oid(OID.keyUsage), der.boolTrue(), der.octets(der.tlv(0x03, Buffer.from(ku)))),
      der.seq(der.oid(OID.subjectKeyId), der.octets(der.octets(createHash('sha1').update(spkiKeyBits(spki)).digest()))),
      der.seq(der.oid(OID.authorityKeyId), der.octets(der.seq(der.tlv(0x80, this.keyId)))),
    );
    const algorithm = der.seq(der.oid(OID.sha256WithRSA), der.nullValue());
    const tbs = der.seq(
      der.tlv(0xa0, der.integer(2)),
      der.integer(serial),
      algorithm,
      this.issuerName,
      der.seq(der.time(new Date(now - 5 * 60 * 1000)), der.time(new Date(now + 365 * 24 * 3600 * 1000))),
      subject,
      spki,
      der.tlv(0xa3, extensions),
    );
    const tbsPath = join(work, `tbs-${serial.toString('hex')}.der`);
    await writeFile(tbsPath, tbs);
    const { stdout: signature } = await openssl(['dgst', '-sha256', '-sign', this.keyPath, tbsPath]);
    const cert = der.seq(tbs, algorithm, der.bitString(signature));
    const certPath = join(work, `cert-${serial.toString('hex')}.pem`);
    await writeFile(certPath, der.toPem(cert, 'CERTIFICATE'));
    await openssl(['verify', '-CAfile', this.certPath, certPath]);
    this.issued.push({ serial: serial.toString('hex'), keyUsage, at: new Date(now).toISOString() });
    return cert;
  }

  // Issues for one request. certType 1: one certificate for the request's
  // key. certType 2: the signature certificate, plus an encryption key pair
  // made here, its certificate and the envelope that only the request's
  // temporary key opens.
  async issue(requestText, certType) {
    const request = parseRequest(requestText);
    if (certType !== 1 && certType !== 2) throw new RequestError('certType must be 1 (single) or 2 (double)');
    if (certType === 2 && !request.temporaryKey) throw new RequestError('a double-certificate request needs a temporary key');
    const proof = checkRequestSignature(request);
    const work = await mkdtemp(join(this.dir, 'issue-'));
    try {
      const signCert = await this.signCertificate({
        subject: request.subject, spki: request.spki, keyUsage: certType === 1 ? 'exchange' : 'sign', work,
      });
      const out = { keyAlgorithm: request.keyAlgorithm, proofOfPossession: proof, signCert: signCert.toString('base64') };
      if (certType === 2) {
        const enc = request.keyAlgorithm === 'RSA'
          ? await this.rsaEncryptionKey(request, work)
          : await this.sm2EncryptionKey(request, work);
        const encryptCert = await this.signCertificate({ subject: request.subject, spki: enc.spki, keyUsage: 'encrypt', work });
        out.encryptCert = encryptCert.toString('base64');
        out.envelope = enc.envelope;
      }
      return out;
    } finally {
      await rm(work, { recursive: true, force: true });
    }
  }

  // RSA: a fresh key of the request key's size as PKCS #1 DER, 3DES-ECB under
  // a random 24-byte session key, the session key RSA-encrypted (PKCS #1 v1.5)
  // under the temporary key.
  async rsaEncryptionKey(request, work) {
    const bits = Math.max(1024, rsaModulusBits(request.spki));
    const key = join(work, 'enc.key');
    await openssl(['genpkey', '-algorithm', 'RSA', '-pkeyopt', `rsa_keygen_bits:${bits}`, '-out', key]);
    const { stdout: pkcs1 } = await openssl(['rsa', '-in', key, '-traditional', '-outform', 'DER']);
    const { stdout: spki } = await openssl(['pkey', '-in', key, '-pubout', '-outform', 'DER']);
    const sessionKey = randomBytes(24);
    const plainPath = join(work, 'enc.pkcs1.der');
    await writeFile(plainPath, pkcs1);
    const { stdout: encryptedKey } = await openssl(['enc', '-des-ede3', '-K', sessionKey.toString('hex'), '-in', plainPath]);
    const tempPath = join(work, 'temp.pem');
    await writeFile(tempPath, der.toPem(temporaryKeySpki(request), 'PUBLIC KEY'));
    const sessionPath = join(work, 'session.bin');
    await writeFile(sessionPath, sessionKey);
    const { stdout: encryptedSession } = await openssl(['pkeyutl', '-encrypt', '-pubin', '-inkey', tempPath,
      '-pkeyopt', 'rsa_padding_mode:pkcs1', '-in', sessionPath]);
    return {
      spki,
      envelope: composeEnvelope({ sessionKeyType: 306, sessionKey: encryptedSession, privateKey: encryptedKey }),
    };
  }

  // SM2: a fresh SM2 key; its 32-byte private scalar SM2-encrypted under the
  // temporary key, as raw C1 || C3 || C2, without a session key.
  async sm2EncryptionKey(request, work) {
    const key = join(work, 'enc.key');
    await openssl(['genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:SM2', '-out', key]);
    const { stdout: pkcs8 } = await openssl(['pkey', '-in', key, '-outform', 'DER']);
    const { stdout: spki } = await openssl(['pkey', '-in', key, '-pubout', '-outform', 'DER']);
    // PKCS #8 around an ECPrivateKey, or the ECPrivateKey itself (OpenSSL
    // writes either, depending on version and key type).
    let ecKey = der.children(der.readTlv(pkcs8));
    if (ecKey[2] && ecKey[2].tag === 0x04) ecKey = der.children(der.readTlv(ecKey[2].content));
    const scalar = ecKey[1];
    let d = scalar.content;
    while (d.length > 32 && d[0] === 0) d = d.subarray(1);
    d = Buffer.concat([Buffer.alloc(32 - d.length), d]);
    const scalarPath = join(work, 'scalar.bin');
    await writeFile(scalarPath, d);
    const tempPath = join(work, 'temp.pem');
    await writeFile(tempPath, der.toPem(temporaryKeySpki(request), 'PUBLIC KEY'));
    const { stdout: cipher } = await openssl(['pkeyutl', '-encrypt', '-pubin', '-inkey', tempPath, '-in', scalarPath]);
    return {
      spki,
      envelope: composeEnvelope({ sessionKeyType: 0, sessionKey: null, privateKey: sm2CiphertextToC1C3C2(cipher) }),
    };
  }
}
