#!/usr/bin/env python3
"""The PKCS #11 module seen by independent tools, after real enrollments.

  pkcs11_tools.py enroll STORE HOST     enrolls RSA (single and double) and SM2 into STORE
  pkcs11_tools.py check STORE MODULE    pkcs11-tool lists the token and objects and signs;
                                        OpenSSL verifies every signature with the certificate
  pkcs11_tools.py tls STORE MODULE      NSS's tstclnt with the module completes a TLS 1.3 handshake
                                        with client authentication against openssl s_server, which
                                        trusts the test CA and reports the enrolled subject
  pkcs11_tools.py nss STORE MODULE CERTUTIL
                                        tessera-certutil registers the module in a new NSS
                                        database, where NSS lists each certificate with its key
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ENROLL = os.path.join(HERE, "..", "..", "scripts", "enroll.py")
SM2_ID = "distid:1234567812345678"


def enroll(store, host):
    """Enrolls into STORE and keeps the test CA's RSA certificate beside it (STORE.ca-rsa.pem)."""
    shutil.rmtree(store, ignore_errors=True)
    done = subprocess.run([sys.executable, ENROLL, "--host", os.path.abspath(host), "--store", store, "--keep"],
                          check=True, capture_output=True, text=True)
    kept = done.stdout.rsplit("stores and CA kept in ", 1)[1].split()[0]
    shutil.copy(os.path.join(kept, "ca", "ca-rsa.pem"), store + ".ca-rsa.pem")
    shutil.rmtree(kept, ignore_errors=True)


def tool(module, *args):
    done = subprocess.run(["pkcs11-tool", "--module", module] + list(args), capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit("pkcs11-tool %s failed:\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    return done.stdout


def openssl(*args, data=None):
    return subprocess.run(["openssl"] + list(args), input=data, capture_output=True)


def der_integer(value):
    value = value.lstrip(b"\0") or b"\0"
    if value[0] & 0x80:
        value = b"\0" + value
    return b"\x02" + bytes([len(value)]) + value


def check(store, module):
    os.environ["TESSERA_STORE_DIR"] = store
    work = tempfile.mkdtemp(prefix="tessera-p11-")
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    slots = tool(module, "-L")
    expect("token label        : Tessera" in slots and "readonly" in slots, "-L lists the token")
    objects = tool(module, "-O")
    for label in ("Zhang San", "Li Si", "Wang Wu"):
        expect("label:      %s" % label in objects, "-O lists the objects of %s" % label)
    # Three certificates of the single RSA and SM2 enrollments and the double one's two.
    expect(objects.count("Certificate Object") == 4, "four certificates")
    expect(objects.count("Private Key Object; RSA") == 3 and objects.count("Private Key Object; EC") == 1,
           "a private key per certificate")

    data = os.path.join(work, "data")
    with open(data, "wb") as f:
        f.write(b"Transfer 100.00 CNY to account 6222 0000 1234\n")
    message = open(data, "rb").read()
    for label, kind in (("Zhang San", "rsa"), ("Li Si", "sm2")):
        cert = os.path.join(work, label + ".der")
        tool(module, "--read-object", "--type", "cert", "--label", label, "-o", cert)
        key = os.path.join(work, label + ".pub")
        out = openssl("x509", "-inform", "DER", "-in", cert, "-pubkey", "-noout")
        open(key, "wb").write(out.stdout)
        spki = openssl("pkey", "-pubin", "-in", key, "-outform", "DER").stdout
        ident = find_id(objects, label)
        signature = os.path.join(work, label + ".sig")
        if kind == "rsa":
            cases = [
                ("SHA256-RSA-PKCS", data, ["dgst", "-sha256", "-verify", key, "-signature", signature, data]),
                ("SHA1-RSA-PKCS", data, ["dgst", "-sha1", "-verify", key, "-signature", signature, data]),
                ("SHA384-RSA-PKCS", data, ["dgst", "-sha384", "-verify", key, "-signature", signature, data]),
            ]
            for mechanism, infile, verify in cases:
                tool(module, "--sign", "-m", mechanism, "--id", ident, "-i", infile, "-o", signature)
                expect(openssl(*verify).returncode == 0, "%s signature verifies" % mechanism)
            digest = os.path.join(work, "digest")
            open(digest, "wb").write(hashlib.sha256(message).digest())
            tool(module, "--sign", "-m", "RSA-PKCS-PSS", "--hash-algorithm", "SHA256", "--mgf", "MGF1-SHA256",
                 "--id", ident, "-i", digest, "-o", signature)
            expect(openssl("pkeyutl", "-verify", "-pubin", "-inkey", key, "-in", digest, "-sigfile", signature,
                           "-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt", "digest:sha256",
                           "-pkeyopt", "rsa_pss_saltlen:32").returncode == 0, "PSS signature verifies")
            # Raw PKCS #1: the signature recovers the block that was given.
            tool(module, "--sign", "-m", "RSA-PKCS", "--id", ident, "-i", data, "-o", signature)
            recovered = openssl("pkeyutl", "-verifyrecover", "-pubin", "-inkey", key, "-in", signature).stdout
            expect(recovered == message, "RSA-PKCS signature recovers the data")
            plain = os.urandom(32)
            ciphertext = openssl("pkeyutl", "-encrypt", "-pubin", "-inkey", key, data=plain).stdout
            encrypted = os.path.join(work, "ct")
            open(encrypted, "wb").write(ciphertext)
            tool(module, "--decrypt", "-m", "RSA-PKCS", "--id", ident, "-i", encrypted, "-o", signature)
            expect(open(signature, "rb").read() == plain, "RSA-PKCS decryption gives the plaintext")
        else:
            tool(module, "--sign", "-m", "0xD4530001", "--id", ident, "-i", data, "-o", signature)
            raw = open(signature, "rb").read()
            expect(len(raw) == 64, "SM2 signature is r || s")
            body = der_integer(raw[:32]) + der_integer(raw[32:])
            open(signature + ".der", "wb").write(b"\x30" + bytes([len(body)]) + body)
            verify = ["pkeyutl", "-verify", "-pubin", "-inkey", key, "-rawin", "-digest", "sm3",
                      "-in", data, "-sigfile", signature + ".der"]
            expect(openssl(*verify, "-pkeyopt", SM2_ID).returncode == 0, "SM2 signature verifies")
            expect(openssl(*verify, "-pkeyopt", "distid:1234567812345679").returncode != 0,
                   "SM2 signature covers the distinguishing identifier")
        expect(hashlib.sha1(spki_bits(spki)).hexdigest() == ident, "CKA_ID of %s" % label)
    shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


def find_id(listing, label):
    """The CKA_ID of the private key labelled label."""
    objects = []
    for line in listing.splitlines():
        if line and not line[0].isspace():
            objects.append([line])
        elif objects:
            objects[-1].append(line.strip())
    for lines in objects:
        if lines[0].startswith("Private Key Object") and "label:      " + label in lines:
            return next(l.split()[1] for l in lines if l.startswith("ID:"))
    raise SystemExit("no private key labelled " + label)


def spki_bits(spki):
    """The subjectPublicKey bits of a DER SubjectPublicKeyInfo."""
    def item(buf, i):
        length = buf[i + 1]
        start = i + 2
        if length & 0x80:
            n = length & 0x7F
            length = int.from_bytes(buf[start:start + n], "big")
            start += n
        return start, start + length
    start, _ = item(spki, 0)
    _, end = item(spki, start)  # the algorithm
    bits_start, bits_end = item(spki, end)
    return spki[bits_start + 1:bits_end]  # less the unused-bits byte


def nss(store, module, certutil):
    os.environ["TESSERA_STORE_DIR"] = store
    work = tempfile.mkdtemp(prefix="tessera-nss-")
    db = os.path.join(work, "nssdb")
    failures = []
    subprocess.run([certutil, "nss-register", db, os.path.abspath(module)], check=True, stdout=subprocess.DEVNULL)
    certs = subprocess.run(["certutil", "-d", "sql:" + db, "-L", "-h", "all"], capture_output=True, text=True).stdout
    keys = subprocess.run(["certutil", "-d", "sql:" + db, "-K", "-h", "Tessera"], capture_output=True,
                          text=True).stdout
    for label in ("Zhang San", "Li Si", "Wang Wu"):
        # "u" in the trust column: NSS found the private key of the certificate.
        if not any(line.startswith("Tessera:" + label) and line.split()[-1] == "u,u,u"
                   for line in certs.splitlines()):
            failures.append("NSS lists %s with its key" % label)
        if label not in keys:
            failures.append("NSS lists the key of %s" % label)
    subprocess.run([certutil, "nss-unregister", db], check=True, stdout=subprocess.DEVNULL)
    modules = subprocess.run(["modutil", "-dbdir", "sql:" + db, "-list"], capture_output=True, text=True).stdout
    if "Tessera" in modules:
        failures.append("nss-unregister removes the module")
    shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tls(store, module):
    os.environ["TESSERA_STORE_DIR"] = store
    work = tempfile.mkdtemp(prefix="tessera-tls-")
    db = os.path.join(work, "nssdb")
    os.mkdir(db)
    subprocess.run(["certutil", "-N", "-d", "sql:" + db, "--empty-password"], check=True)
    subprocess.run(["modutil", "-dbdir", "sql:" + db, "-add", "Tessera", "-libfile", os.path.abspath(module),
                    "-force"], check=True, capture_output=True)
    key, cert = os.path.join(work, "server.key"), os.path.join(work, "server.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1"],
                   check=True, capture_output=True)
    port = free_port()
    # s_server -www answers the request with a page describing the
    # connection, the client certificate included. Its standard input stays
    # open (a closed one makes it stop before accepting).
    server = subprocess.Popen(["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert", cert,
                               "-key", key, "-tls1_3", "-Verify", "1", "-verify_return_error",
                               "-CAfile", store + ".ca-rsa.pem", "-naccept", "1", "-www"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = ""
    while line not in ("ACCEPT\n",) and server.poll() is None:  # listening
        line = server.stdout.readline()
    client = subprocess.Popen(["tstclnt", "-h", "127.0.0.1", "-p", str(port), "-d", "sql:" + db,
                               "-n", "Tessera:Zhang San", "-V", "tls1.3:tls1.3", "-o"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    watchdog = threading.Timer(60, lambda: (client.kill(), server.kill()))
    watchdog.start()
    client.stdin.write("GET / HTTP/1.0\r\n\r\n")
    client.stdin.flush()
    page = []
    for line in client.stdout:  # the page ends the exchange; the tools wait for more
        page.append(line)
        if "</HTML>" in line:
            break
    watchdog.cancel()
    client.kill()
    server.kill()
    client.wait()
    server.wait()
    shutil.rmtree(work, ignore_errors=True)
    text = "".join(page)
    expected = ["Protocol  : TLSv1.3", "Peer signature type: RSA-PSS", "Verify return code: 0 (ok)",
                "Subject: C=CN, O=Tessera Bank, OU=Retail, CN=Zhang San"]
    missing = [e for e in expected if e not in text]
    if missing:
        print("FAILED: the server's page lacks %s\n%s" % (missing, text))
        return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "tls":
        sys.exit(tls(sys.argv[2], sys.argv[3]))
    if sys.argv[1] == "nss":
        sys.exit(nss(sys.argv[2], sys.argv[3], sys.argv[4]))
    if sys.argv[1] == "enroll":
        enroll(sys.argv[2], sys.argv[3])
        sys.exit(0)
    sys.exit(check(sys.argv[2], sys.argv[3]))
