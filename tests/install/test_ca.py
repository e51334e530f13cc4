#!/usr/bin/env python3
"""A throw-away certificate authority for the installation tests, played by
the OpenSSL command line. It issues certificates for the requests the system
emits and builds the encrypted envelope of a double-certificate enrollment
as a CA does.

  test_ca.py init DIR                  RSA and SM2 CA keys and certificates
  test_ca.py issue DIR NAME [options]  issue for DIR/NAME.* (see below)
  test_ca.py issue-all DIR             issue for every NAME.algorithm in DIR,
                                       with the options in NAME.ca-args

Inputs written by the request side, per enrollment NAME:
  NAME.req.b64     the Base64 request text (single-certificate requests), or
  NAME.spki.der    the request's SubjectPublicKeyInfo (double requests,
  NAME.temp.der    which OpenSSL cannot load) and the temporary public key
  NAME.subject     subject for the certificate, in OpenSSL's /A=v/B=w form
  NAME.algorithm   "RSA" or "SM2"
Outputs:
  NAME.cert.b64    the issued certificate, Base64 DER on one line
  NAME.serial      its serial number, lower-case hexadecimal
  NAME.enc.cert.b64, NAME.envelope, NAME.enc.key.der  (double requests)
"""
import argparse
import base64
import os
import secrets
import subprocess
import sys

SM2_ID = "distid:1234567812345678"


def run(*args, data=None):
    result = subprocess.run(list(args), input=data, capture_output=True)
    if result.returncode != 0:
        sys.stderr.write("command failed: %s\n%s" % (" ".join(args), result.stderr.decode(errors="replace")))
        raise SystemExit(2)
    return result.stdout


def der_length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def der(tag, content):
    return bytes([tag]) + der_length(len(content)) + content


def der_items(data):
    """The (tag, content) pairs of one level of DER."""
    items, i = [], 0
    while i < len(data):
        tag, first = data[i], data[i + 1]
        i += 2
        if first & 0x80:
            n = first & 0x7F
            length = int.from_bytes(data[i:i + n], "big")
            i += n
        else:
            length = first
        items.append((tag, data[i:i + length]))
        i += length
    return items


def path(directory, name, suffix):
    return os.path.join(directory, name + suffix)


def read(p):
    with open(p, "rb") as f:
        return f.read()


def write(p, data):
    with open(p, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def init(directory):
    os.makedirs(directory, exist_ok=True)
    rsa_key, rsa_cert = path(directory, "ca-rsa", ".key"), path(directory, "ca-rsa", ".pem")
    run("openssl", "genrsa", "-out", rsa_key, "2048")
    run("openssl", "req", "-new", "-x509", "-key", rsa_key, "-sha256", "-days", "30",
        "-subj", "/C=CN/O=Tessera Test/CN=Tessera Test RSA CA", "-out", rsa_cert)
    sm2_key, sm2_cert = path(directory, "ca-sm2", ".key"), path(directory, "ca-sm2", ".pem")
    run("openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:SM2", "-out", sm2_key)
    run("openssl", "req", "-new", "-x509", "-key", sm2_key, "-sm3", "-sigopt", SM2_ID, "-days", "30",
        "-subj", "/C=CN/O=Tessera Test/CN=Tessera Test SM2 CA", "-out", sm2_cert)
    # Serials start at a random point: stores that outlive a run (a Wine
    # prefix keeps the user's store) must not see a second certificate with
    # the same serial from a new CA.
    write(path(directory, "serial", ""), str(secrets.randbits(48) << 12))


def next_serial(directory):
    p = path(directory, "serial", "")
    value = int(read(p).decode()) + 1
    write(p, str(value))
    return "%x" % value


def ca_options(directory, algorithm):
    base = "ca-rsa" if algorithm == "RSA" else "ca-sm2"
    options = ["-CA", path(directory, base, ".pem"), "-CAkey", path(directory, base, ".key")]
    if algorithm == "SM2":
        options += ["-sm3", "-sigopt", SM2_ID]
    else:
        options += ["-sha256"]
    return options


def issue_from_request(directory, name, algorithm, serial):
    request = base64.b64decode(b"".join(read(path(directory, name, ".req.b64")).split()))
    req_der = path(directory, name, ".req.der")
    write(req_der, request)
    verify = ["-vfyopt", SM2_ID] if algorithm == "SM2" else []
    run("openssl", "req", "-inform", "DER", "-in", req_der, "-verify", "-noout", *verify)
    return run("openssl", "x509", "-req", "-inform", "DER", "-in", req_der, *verify,
               *ca_options(directory, algorithm), "-set_serial", "0x" + serial, "-days", "365",
               "-extfile", path(directory, name, ".ext"), "-outform", "DER")


def issue_for_key(directory, name, algorithm, public_pem, subject, serial):
    return run("openssl", "x509", "-new", "-force_pubkey", public_pem, "-subj", subject,
               *ca_options(directory, algorithm), "-set_serial", "0x" + serial, "-days", "365",
               "-extfile", path(directory, name, ".ext"), "-outform", "DER")


def public_pem_from_spki(directory, name):
    pem = path(directory, name, ".spki.pem")
    run("openssl", "pkey", "-pubin", "-inform", "DER", "-in", path(directory, name, ".spki.der"), "-out", pem)
    return pem


def sm2_public_pem(directory, stem, x, y):
    algorithm = der(0x30, der(0x06, bytes.fromhex("2a8648ce3d0201")) + der(0x06, bytes.fromhex("2a811ccf5501822d")))
    spki = der(0x30, algorithm + der(0x03, b"\x00\x04" + x + y))
    write(path(directory, stem, ".der"), spki)
    pem = path(directory, stem, ".pem")
    run("openssl", "pkey", "-pubin", "-inform", "DER", "-in", path(directory, stem, ".der"), "-out", pem)
    return pem


def piece(key_bytes):
    """One envelope piece: SEQUENCE { INTEGER, OCTET STRING } in Base64, ',' appended."""
    value = der(0x30, der(0x02, b"\x01") + der(0x04, key_bytes))
    return base64.b64encode(value).decode() + ","


def field(value):
    return "%016d" % value


def envelope(device, encrypt, session_type, session_piece, private_piece):
    return (field(device) + field(encrypt) + field(session_type) + field(len(session_piece)) + session_piece +
            field(len(private_piece)) + private_piece)


def rsa_envelope(directory, name, args):
    temp = path(directory, name, ".temp.der")
    temp_pem = path(directory, name, ".temp.pem")
    run("openssl", "rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", temp, "-pubout", "-out", temp_pem)
    key_pem = path(directory, name, ".enc.key.pem")
    run("openssl", "genrsa", "-out", key_pem, str(args.bits))
    if args.exponent != 65537:
        run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % args.bits,
            "-pkeyopt", "rsa_keygen_pubexp:%d" % args.exponent, "-out", key_pem)
    pkcs1 = run("openssl", "rsa", "-in", key_pem, "-traditional", "-outform", "DER")
    write(path(directory, name, ".enc.key.der"), pkcs1)
    session = os.urandom(24)
    encrypted_key = run("openssl", "enc", "-des-ede3", "-K", session.hex(), "-nosalt", data=pkcs1)
    encrypted_session = run("openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", temp_pem,
                            "-pkeyopt", "rsa_padding_mode:pkcs1", data=session)
    public = path(directory, name, ".enc.pub.pem")
    run("openssl", "pkey", "-in", key_pem, "-pubout", "-out", public)
    return envelope(args.device, args.encrypt, 306, piece(encrypted_session), piece(encrypted_key)), public


def sm2_envelope(directory, name, args):
    temp = read(path(directory, name, ".temp.der"))
    if len(temp) != 136:
        raise SystemExit("temporary SM2 key must be 136 bytes, got %d" % len(temp))
    temp_pem = sm2_public_pem(directory, name + ".temp-spki", temp[8:40], temp[72:104])
    key_pem = path(directory, name, ".enc.key.pem")
    run("openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:SM2", "-out", key_pem)
    private_der = run("openssl", "pkey", "-in", key_pem, "-outform", "DER")
    items = der_items(der_items(private_der)[0][1])
    if items[1][0] == 0x30:  # PKCS #8 around the ECPrivateKey
        items = der_items(der_items(items[2][1])[0][1])
    scalar = items[1][1].rjust(32, b"\x00")
    write(path(directory, name, ".enc.key.der"), private_der)
    write(path(directory, name, ".enc.scalar"), scalar)
    cipher = der_items(run("openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", temp_pem, data=scalar))
    x, y, c3, c2 = [content for _, content in der_items(cipher[0][1])]
    c1 = x.lstrip(b"\x00").rjust(32, b"\x00") + y.lstrip(b"\x00").rjust(32, b"\x00")
    raw = c1 + (c2 + c3 if args.order == "C1C2C3" else c3 + c2)
    public = path(directory, name, ".enc.pub.pem")
    run("openssl", "pkey", "-in", key_pem, "-pubout", "-out", public)
    session_piece = piece(os.urandom(16)) if args.session == 306 else ""
    return envelope(args.device, args.encrypt, args.session, session_piece, piece(raw)), public


def issue(directory, name, args):
    algorithm = read(path(directory, name, ".algorithm")).decode().strip().upper()
    write(path(directory, name, ".ext"), "keyUsage=critical,digitalSignature,nonRepudiation\n"
          "subjectKeyIdentifier=hash\n")
    serial = next_serial(directory)
    if os.path.exists(path(directory, name, ".req.b64")):
        cert = issue_from_request(directory, name, algorithm, serial)
    else:
        subject = read(path(directory, name, ".subject")).decode().strip()
        cert = issue_for_key(directory, name, algorithm, public_pem_from_spki(directory, name), subject, serial)
        write(path(directory, name, ".ext"), "keyUsage=critical,keyEncipherment,dataEncipherment\n")
        text, public = (rsa_envelope if algorithm == "RSA" else sm2_envelope)(directory, name, args)
        enc_serial = next_serial(directory)
        enc_cert = issue_for_key(directory, name, algorithm, public, subject, enc_serial)
        write(path(directory, name, ".enc.cert.b64"), base64.b64encode(enc_cert))
        write(path(directory, name, ".enc.serial"), enc_serial)
        write(path(directory, name, ".envelope"), text)
    write(path(directory, name, ".cert.b64"), base64.b64encode(cert))
    write(path(directory, name, ".serial"), serial)


def issue_all(directory, parser):
    if not os.path.exists(path(directory, "ca-rsa", ".pem")):
        init(directory)
    names = sorted(f[:-len(".algorithm")] for f in os.listdir(directory) if f.endswith(".algorithm"))
    for name in names:
        extra = read(path(directory, name, ".ca-args")).decode().split() if os.path.exists(
            path(directory, name, ".ca-args")) else []
        args = parser.parse_args(["issue", directory, name] + extra)
        issue(directory, name, args)
        for suffix in (".cert.b64", ".enc.cert.b64"):
            if os.path.exists(path(directory, name, suffix)):
                cert = path(directory, name, suffix + ".der")
                write(cert, base64.b64decode(read(path(directory, name, suffix))))
                ca = path(directory, "ca-rsa" if read(path(directory, name, ".algorithm")).strip() == b"RSA"
                          else "ca-sm2", ".pem")
                sm2 = ["-vfyopt", SM2_ID] if ca.endswith("ca-sm2.pem") else []
                run("openssl", "verify", "-CAfile", ca, *sm2, to_pem(cert))
    print("issued %d enrollments" % len(names))


def to_pem(der_path):
    pem = der_path + ".pem"
    run("openssl", "x509", "-inform", "DER", "-in", der_path, "-out", pem)
    return pem


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["init", "issue", "issue-all"])
    parser.add_argument("directory")
    parser.add_argument("name", nargs="?")
    parser.add_argument("--bits", type=int, default=2048, help="size of the CA-generated RSA key")
    parser.add_argument("--exponent", type=int, default=65537, help="its public exponent")
    parser.add_argument("--order", choices=["C1C3C2", "C1C2C3"], default="C1C3C2")
    parser.add_argument("--session", type=int, default=0, help="session key type of an SM2 envelope")
    parser.add_argument("--device", type=int, default=2)
    parser.add_argument("--encrypt", type=int, default=1)
    args = parser.parse_args()
    if args.command == "init":
        init(args.directory)
    elif args.command == "issue":
        issue(args.directory, args.name, args)
    else:
        issue_all(args.directory, parser)


if __name__ == "__main__":
    main()
