#!/usr/bin/env python3
"""Lists what the installation mode puts into the machine stores from the
given CA-chain documents, so that an installer can check it afterwards:

    root THUMBPRINT
    intermediate THUMBPRINT NOT-AFTER

one line per certificate (thumbprints SHA-1, upper case; NOT-AFTER in
seconds since 1970). Roots are the documents' <EntryPoint> entries; the
intermediates are the certificates of <P7bContent> that are not
self-signed. The installation skips an intermediate whose validity has
ended, so the checker compares NOT-AFTER with its own clock.

    chain-list.py OUTPUT DOCUMENT...   (needs the openssl command)
"""
import base64
import re
import subprocess
import sys
import tempfile


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, check=True).stdout


def intermediates(p7b):
    pem = openssl("pkcs7", "-inform", "DER", "-print_certs", data=p7b).decode()
    for block in re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", pem, re.S):
        der = openssl("x509", "-outform", "DER", data=block.encode())
        info = openssl("x509", "-noout", "-subject", "-issuer", "-enddate", "-dateopt", "iso_8601",
                       "-nameopt", "RFC2253", data=block.encode()).decode()
        fields = dict(line.split("=", 1) for line in info.splitlines())
        if fields["subject"] == fields["issuer"]:
            continue
        with tempfile.NamedTemporaryFile() as f:
            f.write(der)
            f.flush()
            thumbprint = openssl("dgst", "-sha1", "-r", f.name).decode().split()[0].upper()
        not_after = subprocess.run(["date", "-u", "-d", fields["notAfter"], "+%s"], capture_output=True,
                                   text=True, check=True).stdout.strip()
        yield thumbprint, not_after


def main(output, documents):
    lines = []
    for path in documents:
        text = open(path, encoding="utf-8").read()
        lines += ["root %s" % t.strip().upper() for t in re.findall(r"<EntryPoint>([^<]*)</EntryPoint>", text)]
        p7b = re.search(r"<P7bContent>([^<]*)</P7bContent>", text)
        if p7b:
            lines += ["intermediate %s %s" % item for item in intermediates(base64.b64decode(p7b.group(1)))]
    with open(output, "w") as f:
        f.write("".join(line + "\n" for line in lines))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2:])
