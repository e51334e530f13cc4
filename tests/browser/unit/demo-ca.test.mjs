// The demo CA with requests laid out as the host writes them (the double
// requests' SET-less attributes included): what it issues must open and
// match, as the host's import will need it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createDecipheriv, createECDH, createPublicKey, generateKeyPairSync, sign, X509Certificate } from 'node:crypto';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as der from '../../../browser/demo/der.mjs';
import { DemoCA, OID, RequestError, parseRequest, sm2CiphertextToC1C3C2 } from '../../../browser/demo/ca.mjs';

let dir;
let ca;
before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'tessera-ca-test-'));
  ca = await new DemoCA(join(dir, 'ca')).init();
});
after(() => rmSync(dir, { recursive: true, force: true }));

const NAME = der.seq(
  der.set(der.seq(der.oid('2.5.4.3'), der.tlv(0x0c, Buffer.from('Zhang San 张三', 'utf8')))),
  der.set(der.seq(der.oid('2.5.4.6'), der.tlv(0x13, Buffer.from('CN')))),
);

function wrapBase64(bytes) {
  return bytes.toString('base64').replace(/.{64}/g, '$&\r\n').replace(/\r\n$/, '');
}

function temporaryKeyAttributes(keyBytes) {
  return der.tlv(0xa0,
    der.seq(der.oid(OID.challengePassword), der.tlv(0x13, Buffer.from('520913'))),
    der.seq(der.oid(OID.temporaryKey), der.octets(der.seq(der.integer(1), der.octets(keyBytes)))));
}

function rsaRequest({ bits = 1024, double = false } = {}) {
  const signing = generateKeyPairSync('rsa', { modulusLength: bits });
  const temp = double ? generateKeyPairSync('rsa', { modulusLength: 1024 }) : null;
  const spki = signing.publicKey.export({ type: 'spki', format: 'der' });
  const parts = [der.integer(0), NAME, spki];
  if (temp) parts.push(temporaryKeyAttributes(temp.publicKey.export({ type: 'pkcs1', format: 'der' })));
  const info = der.seq(...parts);
  const signature = sign('sha1', info, signing.privateKey);
  const request = der.seq(info, der.seq(der.oid(OID.sha1WithRSA), der.nullValue()), der.bitString(signature));
  return { text: wrapBase64(request), temp, spki };
}

function sm2Point() {
  const ecdh = createECDH('SM2');
  ecdh.generateKeys();
  const p = ecdh.getPublicKey();
  return { ecdh, x: p.subarray(1, 33), y: p.subarray(33, 65) };
}

function sm2Request() {
  const signing = sm2Point();
  const temp = sm2Point();
  const spki = der.seq(der.seq(der.oid(OID.ecPublicKey), der.oid(OID.sm2Curve)),
    der.bitString(Buffer.concat([Buffer.from([4]), signing.x, signing.y])));
  // The 136-byte temporary key: 0x0000B400, 256, X field, Y field.
  const blob = Buffer.concat([Buffer.from([0, 0xb4, 0, 0, 0, 1, 0, 0]), temp.x, Buffer.alloc(32), temp.y, Buffer.alloc(32)]);
  const info = der.seq(der.integer(0), NAME, spki, temporaryKeyAttributes(blob));
  const fakeSignature = der.seq(der.integer(Buffer.alloc(32, 1)), der.integer(Buffer.alloc(32, 2)));
  const request = der.seq(info, der.seq(der.oid(OID.sm2WithSm3), der.nullValue()), der.bitString(fakeSignature));
  return { text: wrapBase64(request), temp, spki };
}

function certificate(b64) {
  const bytes = Buffer.from(b64, 'base64');
  const x = new X509Certificate(bytes);
  const tbs = der.children(der.children(der.readTlv(bytes))[0]);
  return { x, subject: tbs[5].bytes, spki: tbs[6].bytes };
}

// Splits an envelope into its fields as the host reads it.
function readEnvelope(text) {
  const num = (at) => parseInt(text.slice(at, at + 16), 10);
  const head = { device: num(0), encrypt: num(16), session: num(32) };
  let at = 48;
  const pieces = [];
  for (let i = 0; i < 2; i++) {
    const n = num(at);
    at += 16;
    const piece = text.slice(at, at + n);
    at += n;
    pieces.push(piece);
  }
  const content = (piece) => {
    assert.ok(piece.endsWith(','), 'a piece ends with ","');
    const [int, oct] = der.children(der.readTlv(Buffer.from(piece.slice(0, -1), 'base64')));
    assert.equal(int.tag, 0x02);
    assert.equal(oct.tag, 0x04);
    return oct.content;
  };
  return { ...head, rest: text.slice(at), pieces, content };
}

test('a single RSA request: the certificate keeps the subject and key, and chains to the CA', async () => {
  const r = rsaRequest();
  const out = await ca.issue(r.text, 1);
  assert.equal(out.proofOfPossession, 'verified');
  const c = certificate(out.signCert);
  assert.ok(c.subject.equals(NAME), 'subject bytes unchanged');
  assert.ok(c.spki.equals(r.spki), 'public key unchanged');
  assert.ok(c.x.verify(new X509Certificate(Buffer.from(ca.certificateBase64, 'base64')).publicKey));
  assert.equal(out.envelope, undefined);
});

test('a double RSA request: the envelope opens with the temporary key and holds the encryption certificate\'s key', async () => {
  const r = rsaRequest({ bits: 2048, double: true });
  const out = await ca.issue(r.text, 2);
  const env = readEnvelope(out.envelope);
  assert.deepEqual([env.device, env.encrypt, env.session, env.rest], [1, 1, 306, '']);
  assert.match(out.envelope.slice(48, 64), /^0{12}\d{4}$/, 'zero-padded length field');
  const tempPem = join(dir, 'temp.pem');
  const sealed = join(dir, 'sealed.bin');
  writeFileSync(tempPem, r.temp.privateKey.export({ type: 'pkcs8', format: 'pem' }));
  writeFileSync(sealed, env.content(env.pieces[0]));
  const sessionKey = execFileSync('openssl', ['pkeyutl', '-decrypt', '-inkey', tempPem,
    '-pkeyopt', 'rsa_padding_mode:pkcs1', '-in', sealed]);
  assert.equal(sessionKey.length, 24);
  const d = createDecipheriv('des-ede3', sessionKey, null);
  const pkcs1 = Buffer.concat([d.update(env.content(env.pieces[1])), d.final()]);
  const encCert = certificate(out.encryptCert);
  const fromEnvelope = createPublicKey({ key: pkcs1, format: 'der', type: 'pkcs1' });
  assert.ok(fromEnvelope.export({ type: 'spki', format: 'der' }).equals(encCert.spki), 'key matches the encryption certificate');
  assert.equal(fromEnvelope.asymmetricKeyDetails.modulusLength, 2048, 'same size as the request key');
  assert.ok(encCert.subject.equals(NAME));
  assert.ok(certificate(out.signCert).spki.equals(r.spki));
});

test('a double SM2 request: the private scalar is SM2-encrypted (C1C3C2) under the temporary key', async () => {
  const r = sm2Request();
  const out = await ca.issue(r.text, 2);
  assert.equal(out.keyAlgorithm, 'SM2');
  const env = readEnvelope(out.envelope);
  assert.deepEqual([env.device, env.encrypt, env.session, env.pieces[0]], [1, 1, 0, '']);
  const raw = env.content(env.pieces[1]);
  assert.equal(raw.length, 96 + 32);
  // Back to OpenSSL's form SEQUENCE { x, y, C3, C2 } to decrypt it.
  const asDer = der.seq(der.integer(raw.subarray(0, 32)), der.integer(raw.subarray(32, 64)),
    der.octets(raw.subarray(64, 96)), der.octets(raw.subarray(96)));
  assert.ok(sm2CiphertextToC1C3C2(asDer).equals(raw));
  const keyPem = join(dir, 'sm2temp.pem');
  const sealed = join(dir, 'sm2sealed.bin');
  const pkcs8 = der.seq(der.integer(0), der.seq(der.oid(OID.ecPublicKey), der.oid(OID.sm2Curve)),
    der.octets(der.seq(der.integer(1), der.octets(r.temp.ecdh.getPrivateKey()))));
  writeFileSync(keyPem, der.toPem(pkcs8, 'PRIVATE KEY'));
  writeFileSync(sealed, asDer);
  const scalar = execFileSync('openssl', ['pkeyutl', '-decrypt', '-inkey', keyPem, '-in', sealed]);
  const check = createECDH('SM2');
  check.setPrivateKey(scalar);
  const encCert = certificate(out.encryptCert);
  const [, bits] = der.children(der.readTlv(encCert.spki));
  assert.ok(bits.content.subarray(1).equals(check.getPublicKey()), 'scalar matches the encryption certificate');
});

test('requests the CA must refuse', async () => {
  const single = rsaRequest();
  await assert.rejects(ca.issue(single.text, 2), RequestError, 'double without a temporary key');
  await assert.rejects(ca.issue(single.text, 3), RequestError);
  await assert.rejects(ca.issue('not base64!', 1), RequestError);
  await assert.rejects(ca.issue(Buffer.from([0x30, 0x03, 0x02, 0x01, 0x00]).toString('base64'), 1), RequestError);
  // A request whose signature does not match its key.
  const bytes = Buffer.from(single.text.replace(/\s/g, ''), 'base64');
  bytes[bytes.length - 1] ^= 1;
  await assert.rejects(ca.issue(bytes.toString('base64'), 1), /does not verify/);
});

test('request parsing accepts commas, line breaks and the standard attribute form', () => {
  const r = rsaRequest({ double: true });
  const withCommas = r.text.replace(/\r\n/g, ',\n');
  const parsed = parseRequest(withCommas);
  assert.equal(parsed.keyAlgorithm, 'RSA');
  assert.equal(parsed.challengePassword, '520913');
  assert.ok(parsed.temporaryKey.equals(r.temp.publicKey.export({ type: 'pkcs1', format: 'der' })));
});
