// Minimal DER reading and writing for the demo CA: enough to take a PKCS #10
// request apart (subject, public key, the temporary key of a double request)
// and to compose the to-be-signed part of a certificate.

export class DerError extends Error {}

// Reads one TLV at `offset`. Returns { tag, constructed, start, headerLength,
// length, end, bytes (whole TLV), content }.
export function readTlv(buf, offset = 0) {
  if (offset + 2 > buf.length) throw new DerError('truncated DER header');
  const tag = buf[offset];
  if ((tag & 0x1f) === 0x1f) throw new DerError('multi-byte tags are not used here');
  let len = buf[offset + 1];
  let p = offset + 2;
  if (len & 0x80) {
    const n = len & 0x7f;
    if (n === 0 || n > 4) throw new DerError('unsupported DER length form');
    if (p + n > buf.length) throw new DerError('truncated DER length');
    len = 0;
    for (let i = 0; i < n; i++) len = len * 256 + buf[p + i];
    p += n;
  }
  const end = p + len;
  if (end > buf.length) throw new DerError('DER value runs past its container');
  return {
    tag, constructed: (tag & 0x20) !== 0, start: offset, headerLength: p - offset, length: len, end,
    bytes: buf.subarray(offset, end), content: buf.subarray(p, end),
  };
}

// The child TLVs of a constructed value.
export function children(tlv) {
  if (!tlv.constructed) throw new DerError('not a constructed value');
  const out = [];
  let p = 0;
  while (p < tlv.content.length) {
    const c = readTlv(tlv.content, p);
    out.push(c);
    p = c.end;
  }
  return out;
}

export function decodeOid(content) {
  const parts = [];
  let v = 0;
  for (const b of content) {
    v = v * 128 + (b & 0x7f);
    if (!(b & 0x80)) {
      parts.push(v);
      v = 0;
    }
  }
  if (!parts.length) throw new DerError('empty OID');
  const first = parts[0] < 80 ? Math.floor(parts[0] / 40) : 2;
  return [first, parts[0] - first * 40, ...parts.slice(1)].join('.');
}

function encodeLength(n) {
  if (n < 0x80) return Buffer.from([n]);
  const bytes = [];
  while (n > 0) {
    bytes.unshift(n & 0xff);
    n = Math.floor(n / 256);
  }
  return Buffer.from([0x80 | bytes.length, ...bytes]);
}

export function tlv(tag, ...contents) {
  const body = Buffer.concat(contents.map((c) => Buffer.from(c)));
  return Buffer.concat([Buffer.from([tag]), encodeLength(body.length), body]);
}

export const seq = (...c) => tlv(0x30, ...c);
export const set = (...c) => tlv(0x31, ...c);
export const octets = (b) => tlv(0x04, b);
export const bitString = (b) => tlv(0x03, Buffer.from([0]), b);
export const nullValue = () => Buffer.from([0x05, 0x00]);
export const boolTrue = () => Buffer.from([0x01, 0x01, 0xff]);

// INTEGER from a non-negative big-endian magnitude or a small number.
export function integer(value) {
  let b;
  if (typeof value === 'number') {
    let hex = value.toString(16);
    if (hex.length % 2) hex = '0' + hex;
    b = Buffer.from(hex, 'hex');
  } else {
    b = Buffer.from(value);
  }
  let i = 0;
  while (i < b.length - 1 && b[i] === 0 && !(b[i + 1] & 0x80)) i++;
  b = b.subarray(i);
  if (b[0] & 0x80) b = Buffer.concat([Buffer.from([0]), b]);
  return tlv(0x02, b);
}

export function oid(dotted) {
  const p = dotted.split('.').map(Number);
  const out = [p[0] * 40 + p[1]];
  for (const v of p.slice(2)) {
    const chunk = [v & 0x7f];
    let x = Math.floor(v / 128);
    while (x > 0) {
      chunk.unshift(0x80 | (x & 0x7f));
      x = Math.floor(x / 128);
    }
    out.push(...chunk);
  }
  return tlv(0x06, Buffer.from(out));
}

function two(n) {
  return String(n).padStart(2, '0');
}

// UTCTime for years 1950-2049, GeneralizedTime otherwise.
export function time(date) {
  const y = date.getUTCFullYear();
  const rest = two(date.getUTCMonth() + 1) + two(date.getUTCDate()) + two(date.getUTCHours()) +
    two(date.getUTCMinutes()) + two(date.getUTCSeconds()) + 'Z';
  if (y >= 1950 && y < 2050) return tlv(0x17, Buffer.from(two(y % 100) + rest, 'ascii'));
  return tlv(0x18, Buffer.from(String(y) + rest, 'ascii'));
}

export function toPem(der, label) {
  const b64 = Buffer.from(der).toString('base64').replace(/.{64}/g, '$&\n').replace(/\n$/, '');
  return `-----BEGIN ${label}-----\n${b64}\n-----END ${label}-----\n`;
}

export function fromPem(text) {
  return Buffer.from(text.replace(/-----[^-]+-----/g, '').replace(/\s+/g, ''), 'base64');
}
