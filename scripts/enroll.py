#!/usr/bin/env python3
"""Runs whole enrollments through the built tessera-host, the way a bank's
page does, against a throw-away test CA (OpenSSL): a single RSA, a single
SM2 and a double RSA enrollment with its encryption envelope. Prints every
request and response, then the certificates now installed.

By default the key store and certificate stores live in a new temporary
directory, so the user's real store is left alone; --store DIR uses DIR.
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "install"))
import test_ca  # noqa: E402


class Host:
    def __init__(self, program, env):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        self.count = 0

    def call(self, function, *params, show=True):
        self.count += 1
        request = {"function": function, "params": list(params), "randomId": "enroll-%d" % self.count}
        body = json.dumps(request, ensure_ascii=False).encode()
        self.process.stdin.write(struct.pack("<I", len(body)) + body)
        self.process.stdin.flush()
        header = self.process.stdout.read(4)
        if len(header) != 4:
            raise SystemExit("the host ended the conversation")
        (length,) = struct.unpack("<I", header)
        response = json.loads(self.process.stdout.read(length))
        if show:
            print("  -> %s(%s)" % (function, ", ".join(shorten(p) for p in params)))
            print("  <- errorcode %d, result %s" % (response["errorcode"], shorten(response.get("result"))))
        return response

    def close(self):
        self.process.stdin.close()
        code = self.process.wait()
        err = self.process.stderr.read()
        if err:
            raise SystemExit("the host wrote to standard error: %r" % err)
        return code


def shorten(value):
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 90 else text[:60] + "...(%d characters)" % len(text)


def check(response, what):
    if response["errorcode"] != 0:
        raise SystemExit("%s failed with errorcode %d" % (what, response["errorcode"]))
    return response.get("result")


def enroll(host, ca_dir, name, csp, bits, algorithm, cert_type, subject, ca_subject, ca_args):
    print("\n==> %s: %s, %s, %d bits, %s certificate" % (name, csp, algorithm, bits,
                                                         "single" if cert_type == 1 else "double"))
    check(host.call("VELA_SetCSPInfo", bits, csp), "VELA_SetCSPInfo")
    check(host.call("VELA_SetKeyAlgorithm", algorithm), "VELA_SetKeyAlgorithm")
    request = check(host.call("VELA_PKCS10CertRequisition", subject, cert_type, 1), "VELA_PKCS10CertRequisition")
    container = check(host.call("VELA_GetContainer"), "VELA_GetContainer")
    print("     request (%d characters of Base64, 64 to a line):" % len(request))
    for line in request.split("\r\n")[:3]:
        print("       " + line)
    print("       ...")
    stem = os.path.join(ca_dir, name)
    test_ca.write(stem + ".algorithm", algorithm)
    test_ca.write(stem + ".subject", ca_subject)
    if cert_type == 1:
        test_ca.write(stem + ".req.b64", request)
    else:
        spki, temp = split_double_request(request)
        test_ca.write(stem + ".spki.der", spki)
        test_ca.write(stem + ".temp.der", temp)
    parser = argparse.ArgumentParser()
    parser.add_argument("--bits", type=int, default=2048)
    parser.add_argument("--exponent", type=int, default=65537)
    parser.add_argument("--order", default="C1C3C2")
    parser.add_argument("--session", type=int, default=0)
    parser.add_argument("--device", type=int, default=2)
    parser.add_argument("--encrypt", type=int, default=1)
    test_ca.issue(ca_dir, name, parser.parse_args(ca_args))
    cert = test_ca.read(stem + ".cert.b64").decode()
    print("     the CA issued serial %s" % test_ca.read(stem + ".serial").decode())
    check(host.call("VELA_ImportSignCert", 1 if cert_type == 1 else 2, cert, container), "VELA_ImportSignCert")
    if cert_type == 2:
        envelope = test_ca.read(stem + ".envelope").decode()
        enc_cert = test_ca.read(stem + ".enc.cert.b64").decode()
        print("     and the encryption certificate, serial %s, with its envelope" %
              test_ca.read(stem + ".enc.serial").decode())
        check(host.call("VELA_ImportEncryptCert", envelope, enc_cert, container, 1), "VELA_ImportEncryptCert")


def split_double_request(request_b64):
    """The request's public key info and temporary key (OpenSSL cannot load the request)."""
    import base64
    der = base64.b64decode("".join(request_b64.split()))
    info = test_ca.der_items(test_ca.der_items(der)[0][1])[0]
    parts = test_ca.der_items(info[1])
    spki = bytes([parts[2][0]]) + test_ca.der_length(len(parts[2][1])) + parts[2][1]
    attribute = test_ca.der_items(parts[3][1])[1]
    octets = test_ca.der_items(attribute[1])[1][1]
    temp = test_ca.der_items(test_ca.der_items(octets)[0][1])[1][1]
    return spki, temp


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default=os.path.join(HERE, "..", "build", "linux", "host", "tessera-host"))
    parser.add_argument("--store", help="store directory (default: a new temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary stores and CA for inspection")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tessera-enroll-")
    store = args.store or os.path.join(work, "store")
    env = dict(os.environ, TESSERA_STORE_DIR=store, TESSERA_MACHINE_STORE_DIR=os.path.join(work, "machine"))
    ca_dir = os.path.join(work, "ca")
    test_ca.init(ca_dir)
    print("==> key and certificate stores in %s; test CA in %s" % (store, ca_dir))
    host = Host(args.host, env)
    host.call("checkHost")
    host.call("VELA_GetVersion")
    csps = check(host.call("VELA_GetCSPInfo"), "VELA_GetCSPInfo")
    print("     providers: " + ", ".join(csps.split("||")))
    enroll(host, ca_dir, "rsa-single", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, "RSA", 1,
           "CN=Zhang San,OU=Retail,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/OU=Retail/CN=Zhang San", [])
    enroll(host, ca_dir, "sm2-single", "Tessera SM2 Software CSP", 256, "SM2", 1,
           "CN=Li Si,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/CN=Li Si", [])
    enroll(host, ca_dir, "rsa-double", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, "RSA", 2,
           "CN=Wang Wu,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/CN=Wang Wu", ["--bits", "2048"])
    print("\n==> certificates now installed (subject; serial; valid from; valid to; CSP):")
    listing = check(host.call("VELA_GetAllCertInfo", show=False), "VELA_GetAllCertInfo")
    for record in listing.split("||"):
        print("     " + record)
    code = host.close()
    print("\n==> host exit code %d" % code)
    if args.keep:
        print("    stores and CA kept in %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
