#!/usr/bin/env python3
"""Rebuilds the fuzz corpora from real inputs: runs the enrollments of
scripts/enroll.py through a built tessera-host against the test CA and
keeps what crossed the wire (requests, frames, PKCS #10 requests, issued
certificates, envelopes, the CA-generated key), adds the certificates and
chain documents of the repository and the registry blobs inside them.
    make-corpus.py <tessera-host> [<corpus dir>]
"""
import base64
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "install"))
import enroll  # noqa: E402
import test_ca  # noqa: E402

OUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "corpus")
requests = []


def add(target, data):
    if isinstance(data, str):
        data = data.encode()
    directory = os.path.join(OUT, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, hashlib.sha1(data).hexdigest()[:16]), "wb") as f:
        f.write(data)


def b64(text):
    return base64.b64decode("".join(text.split()))


class RecordingHost(enroll.Host):
    def call(self, function, *params, show=False):
        request = {"function": function, "params": list(params), "randomId": "enroll-%d" % (self.count + 1)}
        requests.append(json.dumps(request, ensure_ascii=False))
        response = super().call(function, *params, show=show)
        result = response.get("result")
        if function == "VELA_PKCS10CertRequisition" and isinstance(result, str):
            add("der", b64(result))
            add("base64", result)
        for p in params:
            if isinstance(p, str) and "=" in p and function == "VELA_PKCS10CertRequisition":
                add("subject", p)
        return response


def enrollments():
    work = tempfile.mkdtemp(prefix="tessera-corpus-")
    env = dict(os.environ, TESSERA_STORE_DIR=os.path.join(work, "store"),
               TESSERA_MACHINE_STORE_DIR=os.path.join(work, "machine"))
    ca_dir = os.path.join(work, "ca")
    test_ca.init(ca_dir)
    host = RecordingHost(sys.argv[1], env)
    host.call("checkHost")
    host.call("VELA_GetCSPInfo")
    enroll.enroll(host, ca_dir, "rsa-single", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", 1,
                  "CN=Zhang San,OU=Retail,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/OU=Retail/CN=Zhang San", [])
    enroll.enroll(host, ca_dir, "sm2-single", "Tessera SM2 Software CSP", 256, "SM2", 1,
                  "CN=Li Si,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/CN=Li Si", [])
    enroll.enroll(host, ca_dir, "rsa-double", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", 2,
                  "CN=Wang Wu,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/CN=Wang Wu", ["--bits", "1024"])
    for name in ("VELA_GetAllCertInfo", "VELA_GetContainer", "GetLastErrorDesc", "VELA_HavePermissiontoGenerateKeyPair"):
        host.call(name)
    host.close()
    for path in glob.glob(os.path.join(ca_dir, "*.cert.b64")):
        add("der", b64(test_ca.read(path).decode()))
        add("base64", test_ca.read(path))
    for path in glob.glob(os.path.join(ca_dir, "*.envelope")):
        add("envelope", test_ca.read(path))
    for path in glob.glob(os.path.join(ca_dir, "*.enc.key.der")):
        add("pkcs1", test_ca.read(path))
        add("der", test_ca.read(path))
    shutil.rmtree(work)
    for bits in ("512", "1008", "2048"):
        key = subprocess.run(["openssl", "genrsa", "-traditional", bits], check=True, capture_output=True).stdout
        add("pkcs1", subprocess.run(["openssl", "rsa", "-traditional", "-outform", "DER"], input=key,
                                    check=True, capture_output=True).stdout)


def repository_inputs():
    for path in glob.glob(os.path.join(ROOT, "tests", "setup", "data", "*.der"))[:6]:
        with open(path, "rb") as f:
            add("der", f.read())
    for path in glob.glob(os.path.join(ROOT, "resources", "chains", "*.xml")):
        with open(path, "rb") as f:
            document = f.read()
        add("chaindoc", document)
        for content in re.findall(rb"<Content>(.*?)</Content>", document, re.S)[:2]:
            add("certblob", b64(content.decode()))
        for content in re.findall(rb"<P7bContent>(.*?)</P7bContent>", document, re.S)[:1]:
            add("der", b64(content.decode()))


def request_bounds():
    """Requests at and just past the value and depth bounds checked before parsing."""
    def values(n):
        return '{"function":"checkHost","params":[%s]}' % ",".join(["0"] * n)

    def nested(depth):
        return '{"function":"checkHost","params":%s%s}' % ("[" * depth, "]" * depth)

    for text in (values(253), values(254), nested(15), nested(16), "\ufeff" + values(254),
                 '{"function":"VELA_SetCSPInfo","params":[{"param":1024},{"param":"x"}],"m":[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]}',
                 '{"function":"checkHost","params":[],"randomId":"[[[[,,,,"}' + "," * 300):
        add("hostjson", text)


def main():
    enrollments()
    repository_inputs()
    request_bounds()
    for text in requests:
        add("hostjson", text)
        body = text.encode()
        add("frames", struct.pack("<I", len(body)) + body)
    # Conversations: settings and a request in one input, as a page sends them.
    for first in range(0, len(requests) - 2, 4):
        add("hostjson", "\n".join(requests[first:first + 3]))
    for extra in ("CN=a, O=b", "CN = a,E=user@example.com,SERIALNUMBER=42",
                  "jurisdictionOfIncorporationCountryName=CN,businessCategory=Bank,PostalCode=100000",
                  # values outside their string type's character set, next to valid ones
                  "CN=Zhang San,C=\u4e2d\u56fd", "C=C*,CN=a", "SERIALNUMBER=a_b@c",
                  "E=\u00fc@example.cn,CN=\u5f20\u4e09", "SERIALNUMBER=Az09 '()+-./:?,E=a_b~!#@x"):
        add("subject", extra)


if __name__ == "__main__":
    main()
