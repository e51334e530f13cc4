"""Shared pieces of the fault and load tests: a tessera-host process driven
over pipes as a browser drives it, whole enrollments against the OpenSSL
test CA, and checks of the key and certificate stores made with SQLite and
OpenSSL rather than with the project's own code.

The programs come from the environment: TESSERA_HOST (the built host).
TESSERA_LOAD_SCALE (a float, default 1) multiplies every count.
"""
import argparse
import base64
import json
import os
import random
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "install"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import test_ca  # noqa: E402
from enroll import split_double_request  # noqa: E402

HOST = os.environ.get("TESSERA_HOST", os.path.join(ROOT, "build", "linux", "host", "tessera-host"))
RSA_CSP = "Microsoft Enhanced Cryptographic Provider v1.0"
SM2_CSP = "Tessera SM2 Software CSP"
ERROR_INTERNAL = -2146893779  # the fallback answer's errorcode
MY_CERTIFICATES = "SOFTWARE\\MICROSOFT\\SYSTEMCERTIFICATES\\MY\\CERTIFICATES\\"


def scaled(count, variable=None):
    """count times TESSERA_LOAD_SCALE, or the value of variable when it is set."""
    if variable and os.environ.get(variable):
        return int(os.environ[variable])
    return max(1, int(count * float(os.environ.get("TESSERA_LOAD_SCALE", "1"))))


def replayable_random(test_name):
    """A random source whose start value is printed, and taken from TESSERA_LOAD_REPLAY to replay a run."""
    start = int(os.environ.get("TESSERA_LOAD_REPLAY") or random.SystemRandom().randrange(1 << 32))
    print("%s: random start %d (replay with TESSERA_LOAD_REPLAY=%d)" % (test_name, start, start), flush=True)
    return random.Random(start)


def frame(body):
    if not isinstance(body, bytes):
        body = json.dumps(body, ensure_ascii=False).encode()
    return struct.pack("<I", len(body)) + body


def parse(body):
    """A response's JSON; it must be UTF-8 text as the browser requires."""
    if body is None:
        return None
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise AssertionError("the answer is not UTF-8 JSON: %r (%s)" % (body[:80], e))


class Host:
    """One tessera-host process; standard error is collected in a file."""

    def __init__(self, store, program=HOST, env=None, **popen):
        self.store = store
        self.err = tempfile.TemporaryFile()
        self.error_text = b""
        environment = dict(os.environ, **store_environment(store))
        environment.update(env or {})
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.err, env=environment, **popen)
        self.count = 0

    @property
    def pid(self):
        return self.process.pid

    def send(self, request):
        self.process.stdin.write(frame(request))
        self.process.stdin.flush()

    def receive_raw(self):
        """The next response's bytes, or None when the host ended the conversation."""
        header = self.process.stdout.read(4)
        if len(header) != 4:
            return None
        (length,) = struct.unpack("<I", header)
        body = self.process.stdout.read(length)
        return body if len(body) == length else None

    def receive(self):
        """The next response (a dict), or None when the host ended the conversation."""
        return parse(self.receive_raw())

    def call(self, function, *params):
        self.count += 1
        token = "t%d" % self.count
        self.send({"function": function, "params": list(params), "randomId": token})
        response = self.receive()
        if response is None:
            raise AssertionError("the host ended the conversation at %s" % function)
        if response.get("randomId") != token:
            raise AssertionError("answer to %s carries token %r, not %r" % (function, response.get("randomId"), token))
        return response

    def ok(self, function, *params):
        response = self.call(function, *params)
        if response["errorcode"] != 0:
            raise AssertionError("%s failed: %r (%s)" % (function, response, self.call("GetLastErrorDesc")))
        return response.get("result")

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return -1

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def kill(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self._close_pipes()

    def close(self):
        """Ends the conversation; the exit code (negative: the signal that ended it)."""
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        code = self.process.wait(timeout=120)
        self._close_pipes()
        return code

    def stderr(self):
        """What the host wrote to standard error."""
        if not self.err.closed:
            self.err.seek(0)
            self.error_text = self.err.read()
        return self.error_text

    def _close_pipes(self):
        self.stderr()
        for pipe in (self.process.stdin, self.process.stdout, self.err):
            try:
                pipe.close()
            except (BrokenPipeError, OSError):
                pass


def store_environment(store):
    """The stores, and the user's temporary and cache folders, inside store."""
    for folder in ("tmp", "cache"):
        os.makedirs(os.path.join(store, folder), exist_ok=True)
    return {"TESSERA_STORE_DIR": os.path.join(store, "user"),
            "TESSERA_MACHINE_STORE_DIR": os.path.join(store, "machine"),
            "TMPDIR": os.path.join(store, "tmp"), "XDG_CACHE_HOME": os.path.join(store, "cache")}


def certificate_copies(store):
    """{name: bytes} of the diagnostic certificate copies the host keeps."""
    folder = os.path.join(store, "cache", "Tessera")
    if not os.path.isdir(folder):
        return {}
    out = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            out[name] = f.read()
    return out


def user_db(store):
    return os.path.join(store, "user", "tessera.db")


# ---------------------------------------------------------------- enrollment

class Enrollment:
    """What one enrollment asks for; defaults are small keys, so the tests run fast."""

    def __init__(self, algorithm="RSA", cert_type=1, bits=1024, subject="CN=Load Test,O=Tessera Bank,C=CN"):
        self.algorithm, self.cert_type, self.bits, self.subject = algorithm, cert_type, bits, subject
        self.csp = RSA_CSP if algorithm == "RSA" else SM2_CSP

    def ca_subject(self):
        return "/" + "/".join(reversed(self.subject.split(",")))


def new_ca(directory):
    test_ca.init(directory)
    return directory


def settings(host, enrollment):
    host.ok("VELA_SetCSPInfo", enrollment.bits, enrollment.csp)
    host.ok("VELA_SetKeyAlgorithm", enrollment.algorithm)


def prepare(host, enrollment):
    """Settings and the request; the container name and the request text."""
    settings(host, enrollment)
    request = host.ok("VELA_PKCS10CertRequisition", enrollment.subject, enrollment.cert_type, 1)
    return host.ok("VELA_GetContainer"), request


def issue(ca_dir, name, enrollment, request):
    """The CA's answer: the signature certificate, and for double certificates (envelope, certificate)."""
    stem = os.path.join(ca_dir, name)
    for suffix in (".req.b64", ".spki.der"):
        if os.path.exists(stem + suffix):
            os.remove(stem + suffix)
    test_ca.write(stem + ".algorithm", enrollment.algorithm)
    test_ca.write(stem + ".subject", enrollment.ca_subject())
    if enrollment.cert_type == 1:
        test_ca.write(stem + ".req.b64", request)
    else:
        spki, temp = split_double_request(request)
        test_ca.write(stem + ".spki.der", spki)
        test_ca.write(stem + ".temp.der", temp)
    args = argparse.Namespace(bits=1024, exponent=65537, order="C1C3C2", session=0, device=2, encrypt=1)
    test_ca.issue(ca_dir, name, args)
    cert = test_ca.read(stem + ".cert.b64").decode()
    if enrollment.cert_type == 1:
        return cert, None
    return cert, (test_ca.read(stem + ".envelope").decode(), test_ca.read(stem + ".enc.cert.b64").decode())


def install(host, enrollment, container, cert, encryption):
    settings(host, enrollment)
    host.ok("VELA_ImportSignCert", enrollment.cert_type, cert, container)
    if encryption:
        envelope, enc_cert = encryption
        host.ok("VELA_ImportEncryptCert", envelope, enc_cert, container, 1)


def enroll(host, ca_dir, name, enrollment, lock=None):
    """A whole enrollment; the container name. lock (if given) serialises the CA."""
    container, request = prepare(host, enrollment)
    if lock:
        with lock:
            cert, encryption = issue(ca_dir, name, enrollment, request)
    else:
        cert, encryption = issue(ca_dir, name, enrollment, request)
    install(host, enrollment, container, cert, encryption)
    return container


# ---------------------------------------------------------------- store checks

def openssl(*args, data=None):
    result = subprocess.run(["openssl"] + list(args), input=data, capture_output=True)
    if result.returncode != 0:
        raise AssertionError("openssl %s: %s" % (" ".join(args), result.stderr.decode(errors="replace")))
    return result.stdout


def certificate_public_key(der):
    """The certificate's public key as PEM; fails unless OpenSSL parses the whole certificate."""
    openssl("x509", "-inform", "DER", "-noout", "-text", data=der)
    return openssl("x509", "-inform", "DER", "-noout", "-pubkey", data=der)


def private_public_key(pkcs8):
    return openssl("pkey", "-inform", "DER", "-pubout", data=pkcs8)


def connect(db_path):
    return sqlite3.connect("file:%s?mode=ro" % db_path, uri=True, timeout=30)


def integrity(db_path):
    with connect(db_path) as db:
        return db.execute("PRAGMA integrity_check").fetchall()


def dump(db_path):
    """Every row of every table, in a fixed order (for before/after comparisons)."""
    if not os.path.exists(db_path):
        return {}
    with connect(db_path) as db:
        tables = [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")]
        return {t: sorted(db.execute("SELECT * FROM \"%s\"" % t).fetchall(), key=repr) for t in tables}


def containers(db_path):
    """{(family, name): {key_type: (pkcs8, certificate)}} of the key store."""
    result = {}
    if not os.path.exists(db_path):
        return result
    with connect(db_path) as db:
        for cid, family, name in db.execute("SELECT id, family, name FROM keystore_containers"):
            keys = db.execute("SELECT key_type, pkcs8, certificate FROM keystore_keys WHERE container_id=?", (cid,))
            result[(family, name)] = {k: (bytes(p), bytes(c) if c else None) for k, p, c in keys}
    return result


def blob_records(blob):
    records, i = {}, 0
    while i + 12 <= len(blob):
        pid, _, length = struct.unpack_from("<III", blob, i)
        records[pid & 0xFFFFFF] = blob[i + 12:i + 12 + (length & 0xFFFFFF)]
        i += 12 + (length & 0xFFFFFF)
    if i != len(blob):
        raise AssertionError("certificate blob runs past its end")
    return records


def utf16z(data, offset):
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le")


def my_certificates(db_path):
    """[(thumbprint, der, container, provider, keySpec)] of the user's "MY" store."""
    out = []
    if not os.path.exists(db_path):
        return out
    with connect(db_path) as db:
        rows = db.execute("SELECT key, data FROM registry_values WHERE name='BLOB' OR name='Blob'").fetchall()
    for key, data in rows:
        if not key.upper().startswith(MY_CERTIFICATES):
            continue
        records = blob_records(bytes(data))
        if 32 not in records:
            raise AssertionError("certificate %s has no certificate record" % key)
        container = provider = keyspec = None
        if 2 in records:
            info = records[2]
            name_at, provider_at, _, _, _, _, keyspec = struct.unpack_from("<7I", info, 0)
            container = utf16z(info, name_at) if name_at else None
            provider = utf16z(info, provider_at) if provider_at else None
        out.append((key.rsplit("\\", 1)[1], records[32], container, provider, keyspec))
    return out


def check_stores(test, store, expect_certificates=None, strict_links=True):
    """Integrity, no container without keys, every certificate complete and matching its key
    (strict_links=False lets a certificate be without a key link).

    Returns (containers, certificates) for further counting."""
    db = user_db(store)
    for path in (db, os.path.join(store, "machine", "machine.db")):
        if os.path.exists(path):
            test.assertEqual(integrity(path), [("ok",)], path)
    found = containers(db)
    keys_by_name = {}
    for (family, name), keys in found.items():
        test.assertTrue(keys, "container %s/%s has no key pair" % (family, name))
        keys_by_name.setdefault(name.lower(), []).append(keys)
        for key_type, (pkcs8, cert) in keys.items():
            public = private_public_key(pkcs8)
            if cert:
                test.assertEqual(certificate_public_key(cert), public, "certificate of %s/%d" % (name, key_type))
    certificates = my_certificates(db)
    for thumbprint, der, container, _, keyspec in certificates:
        public = certificate_public_key(der)
        if container is None and not strict_links:
            # An installation stopped between adding the certificate and
            # linking it to its key: a whole certificate without a key.
            continue
        candidates = keys_by_name.get((container or "").lower(), [])
        test.assertTrue(any(keyspec in k and private_public_key(k[keyspec][0]) == public for k in candidates),
                        "certificate %s is not linked to the key it certifies (container %s)" % (thumbprint, container))
    if expect_certificates is not None:
        test.assertEqual(len(certificates), expect_certificates)
    return found, certificates


def temporary_store(test):
    directory = tempfile.mkdtemp(prefix="tessera-load-")
    test.addCleanup(shutil.rmtree, directory, True)
    return directory

