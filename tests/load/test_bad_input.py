"""Bad input from the page for every operation and parameter: each request
gets an error answer, the host goes on with the next request, and the
stores are not changed (their dump before and after is the same)."""
import base64
import json
import os
import time
import unittest

import hostlib as h

VERSION = {"function": "VELA_GetVersion", "params": []}
NTE_BAD_DATA = -2146893819
MIB = 1 << 20
FRAME = 64 * MIB  # the largest request a browser sends
HUGE = "A" * (1 << 20)
# Operations with parameters: (name, parameter kinds), as the page calls them.
OPERATIONS = [
    ("VELA_SetCSPInfo", ["int", "str"]),
    ("VELA_SetKeyAlgorithm", ["str"]),
    ("VELA_ImportEncryptCert", ["str", "str", "str", "int"]),
    ("VELA_ImportSignCert", ["int", "str", "str"]),
    ("VELA_PKCS10CertRequisition", ["str", "int", "int"]),
]
NO_PARAMETERS = ["VELA_GetCSPInfo", "VELA_GetAllCertInfo", "VELA_GetContainer",
                 "VELA_HavePermissiontoGenerateKeyPair", "VELA_GetVersion", "GetLastErrorDesc"]
WRONG_TYPES = {"int": [None, True, "1", [], {}, {"param": "1"}, {"other": 1}],
               "str": [None, False, 1, [], {}, {"param": 1}, {"other": "x"}]}
# Values of the right type that no import can accept.
BAD_STRINGS = ["", HUGE, "\udcff\udcfe not UTF-8", "MIIB\u0000AAAA", "{no such container}"]


def body(value):
    """JSON text; lone surrogates stand for the raw bytes of invalid UTF-8."""
    return json.dumps(value, ensure_ascii=False).encode("utf-8", "surrogateescape")


def good_params(kinds):
    return [1 if kind == "int" else "x" for kind in kinds]


def large_frames():
    """(label, request text of a whole 64 MiB frame, whether it is served): many small
    values, deep nesting and many members are refused before they are parsed, long
    strings are served. Blanks after the request fill the frame."""
    for label, text, served in large_requests():
        yield label, text + b" " * (FRAME - len(text)), served


def large_requests():
    head = b'{"function":"checkHost","params":'
    yield "small values", head + b"[" + b",".join([b"0"] * ((FRAME - len(head) - 3) // 2)) + b"]}", False
    depth = (FRAME - len(head) - 1) // 2
    yield "nested arrays", head + b"[" * depth + b"]" * depth + b"}", False
    members = b',"m":0' * ((FRAME - len(head) - 3) // 6)
    yield "many members", head + b"[]" + members + b"}", False
    piece = b'"' + b"p" * (3 * MIB) + b'"'
    yield "3 MiB strings", head + b'[],"pad":[' + b",".join([piece] * (FRAME // len(piece) - 1)) + b"]}", True
    pad = head + b'[],"pad":"'
    yield "one string", pad + b"p" * (FRAME - len(pad) - 2) + b'"}', True


def cases(container, cert):
    """(label, request text) pairs that must all be refused."""
    out = [("not JSON", b"{function"), ("empty object", b"{}"), ("array", b"[]"),
           ("function not a string", b'{"function":7,"params":[]}'),
           ("no params", b'{"function":"VELA_GetVersion"}'),
           ("randomId not a string", b'{"function":"VELA_GetVersion","params":[],"randomId":1}'),
           ("unknown function", b'{"function":"VELA_Format","params":[]}'),
           ("NUL in the name", b'{"function":"VELA_GetVersion\\u0000","params":[]}'),
           ("deep nesting", b'{"function":"checkHost","params":' + b"[" * 100000 + b"]" * 100000 + b"}"),
           ("invalid UTF-8 name", b'{"function":"VELA_Get\xff\xfeVersion","params":[]}')]
    for name in NO_PARAMETERS:
        out.append(("%s with a parameter" % name, body({"function": name, "params": [1]})))
    for name, kinds in OPERATIONS:
        good = good_params(kinds)
        out.append(("%s without parameters" % name, body({"function": name, "params": []})))
        out.append(("%s with one too many" % name, body({"function": name, "params": good + [1]})))
        out.append(("%s with params not a list" % name, body({"function": name, "params": "x"})))
        for i, kind in enumerate(kinds):
            for wrong in WRONG_TYPES[kind]:
                params = list(good)
                params[i] = wrong
                out.append(("%s parameter %d = %r" % (name, i, wrong), body({"function": name, "params": params})))
    # Values of the right type for the installations, one parameter at a time.
    for value in BAD_STRINGS:
        for i in range(3):
            params = ["0000000000000002", cert, container, 1]
            params[i] = value
            out.append(("VELA_ImportEncryptCert parameter %d = %.20r" % (i, value),
                        body({"function": "VELA_ImportEncryptCert", "params": params})))
        for i in (1, 2):
            params = [1, cert, container]
            params[i] = value
            out.append(("VELA_ImportSignCert parameter %d = %.20r" % (i, value),
                        body({"function": "VELA_ImportSignCert", "params": params})))
    settings = [("VELA_SetKeyAlgorithm", [v]) for v in ["", "   ", "DSA", "RSA\u0000", HUGE]]
    settings += [("VELA_SetCSPInfo", [n, name]) for n, name in [
        (2048, "Microsoft Base Cryptographic Provider v1.0"), (3000, h.RSA_CSP), (-1, h.RSA_CSP),
        (2 ** 31 - 1, h.RSA_CSP), (1e300, h.RSA_CSP), (1024, ""), (1024, "   "), (1024, h.RSA_CSP + "\u0000")]]
    for name, params in settings:
        out.append(("%s%.30r" % (name, params), body({"function": name, "params": params})))
    for cert_type in (0, 4, -1, 2 ** 31 - 1):
        out.append(("VELA_ImportSignCert type %d" % cert_type,
                    body({"function": "VELA_ImportSignCert", "params": [cert_type, cert, container]})))
    # A whole 64 MiB frame (the largest a browser sends) holding one huge parameter.
    head = b'{"function":"VELA_ImportSignCert","params":[1,"'
    tail = b'","' + container.encode() + b'"]}'
    out.append(("64 MiB frame", head + b"A" * ((64 << 20) - len(head) - len(tail)) + tail))
    return out


class BadInputTests(unittest.TestCase):
    def setUp(self):
        self.store = h.temporary_store(self)
        self.ca = h.new_ca(os.path.join(self.store, "ca"))
        host = h.Host(self.store)
        self.container = h.enroll(host, self.ca, "setup", h.Enrollment())
        self.cert = h.test_ca.read(os.path.join(self.ca, "setup.cert.b64")).decode()
        self.assertEqual(host.close(), 0)

    def test_bad_requests_are_refused_and_nothing_is_written(self):
        before = h.dump(h.user_db(self.store))
        host = h.Host(self.store)
        host.ok("VELA_SetCSPInfo", 1024, h.RSA_CSP)
        host.ok("VELA_SetKeyAlgorithm", "RSA")
        all_cases = cases(self.container, self.cert)
        for label, text in all_cases:
            with self.subTest(label):
                host.send(text)
                host.send(VERSION)
                answer, following = host.receive_raw(), host.receive_raw()
                self.assertIsNotNone(following, "the host ended the conversation")
                answer = h.parse(answer)
                self.assertNotEqual(answer["errorcode"], 0)
                self.assertIs(answer["result"], False)
                self.assertEqual(h.parse(following)["result"], "3.2.0.3")
        self.assertEqual(host.close(), 0)
        self.assertEqual(host.stderr(), b"")
        self.assertEqual(h.dump(h.user_db(self.store)), before)
        h.check_stores(self, self.store, expect_certificates=1)
        # Nothing in the temporary folder; copies only of the certificate.
        self.assertEqual(os.listdir(os.path.join(self.store, "tmp")), [])
        copies = h.certificate_copies(self.store)
        self.assertLessEqual(len(copies), 16)
        self.assertEqual(set(copies.values()), {base64.b64decode(self.cert)})
        print("bad input: %d requests refused" % len(all_cases))

    def test_bad_subjects_fail_and_the_host_goes_on(self):
        # The subject is encoded before any key is generated: a subject no
        # request can carry fails and leaves no container behind.
        host = h.Host(self.store)
        host.ok("VELA_SetCSPInfo", 512, h.RSA_CSP)
        host.ok("VELA_SetKeyAlgorithm", "RSA")
        for label, subject in [("empty", ""), ("no value", "CN="), ("unknown attribute", "XX=a"),
                               ("long, unknown attribute last", "CN=" + "a" * 100000 + ",XX=b"),
                               ("10,000 RDNs, one unknown", ",".join(["CN=a"] * 9999 + ["XX=b"])),
                               ("two equals signs", "CN=a=b"),
                               ("outside PrintableString", "CN=a,C=\u4e2d\u56fd")]:
            with self.subTest(label):
                before = h.containers(h.user_db(self.store))
                answer = host.call("VELA_PKCS10CertRequisition", subject, 1, 1)
                self.assertNotEqual(answer["errorcode"], 0)
                self.assertEqual(h.containers(h.user_db(self.store)), before)
                self.assertEqual(host.ok("VELA_GetVersion"), "3.2.0.3")
        # A subject too long for any request is refused before a key is made.
        before = h.containers(h.user_db(self.store))
        answer = host.call("VELA_PKCS10CertRequisition", ",".join(["CN=a"] * 100000), 1, 1)
        self.assertEqual(answer["errorcode"], NTE_BAD_DATA)
        self.assertEqual(h.containers(h.user_db(self.store)), before)
        self.assertEqual(host.close(), 0)
        h.check_stores(self, self.store, expect_certificates=1)

    def test_certificate_copies_keep_the_newest_sixteen(self):
        folder = os.path.join(self.store, "cache", "Tessera")
        der = base64.b64decode(self.cert)
        self.assertEqual(list(h.certificate_copies(self.store).values()), [der])
        now = time.time()
        for i in range(20):
            path = os.path.join(folder, "old-%02d.VELA" % i)
            with open(path, "wb") as f:
                f.write(b"old")
            os.utime(path, (now - 3600 * (20 - i), now - 3600 * (20 - i)))
        host = h.Host(self.store)
        h.settings(host, h.Enrollment())
        host.ok("VELA_ImportSignCert", 1, self.cert, self.container)
        self.assertEqual(host.close(), 0)
        copies = h.certificate_copies(self.store)
        self.assertEqual(sorted(name for name in copies if name.startswith("old-")),
                         ["old-%02d.VELA" % i for i in range(6, 20)])
        self.assertEqual([copies[n] for n in copies if not n.startswith("old-")], [der, der])

    def test_certificates_too_large_to_list_are_not_installed(self):
        host = h.Host(self.store)
        # A page's own certificate for its own key, with a 50,000-character name.
        subject = "CN=" + "d" * 50000 + ",O=Tessera Bank"
        for kind in (h.Enrollment("RSA", 1, 1024, subject), h.Enrollment("SM2", 1, 256, subject)):
            with self.subTest(kind.algorithm):
                container, request = h.prepare(host, kind)
                cert, _ = h.issue(self.ca, "long-" + kind.algorithm, kind, request)
                answer = host.call("VELA_ImportSignCert", 1, cert, container)
                self.assertEqual(answer["errorcode"], NTE_BAD_DATA)
        self.assertEqual(len(host.ok("VELA_GetAllCertInfo").split("||")), 1)
        self.assertEqual(host.close(), 0)
        h.check_stores(self, self.store, expect_certificates=1)

    def test_large_frames_stay_within_their_memory_bound_and_give_it_back(self):
        # Peak: 16 MiB plus twice the frame. After each request the host is
        # back near its size before it (the sanitizers' allocator keeps freed
        # memory, so the bounds are not checked there).
        checked = os.environ.get("TESSERA_RSS_BOUND_KIB") != "0"
        host = h.Host(self.store)
        self.assertEqual(host.ok("VELA_GetVersion"), "3.2.0.3")
        baseline = host.rss_kib()
        for label, text, served in large_frames():
            with self.subTest(label):
                self.assertEqual(len(text), FRAME)
                host.send(text)
                answer = h.parse(host.receive_raw())
                self.assertEqual(answer["function"], "CheckHost" if served else "")
                self.assertEqual(answer["errorcode"], 0 if served else h.ERROR_INTERNAL)
                self.assertEqual(host.ok("VELA_GetVersion"), "3.2.0.3")
                after = host.rss_kib()
                print("%s: RSS %d KiB after (%d KiB before the first)" % (label, after, baseline))
                if checked:
                    self.assertLessEqual(after, baseline + 16 * 1024)
        peak = host.peak_rss_kib()
        print("large frames: peak RSS %d KiB" % peak)
        if checked:
            self.assertLessEqual(peak, (16 * MIB + 2 * FRAME) // 1024)
        self.assertEqual(host.close(), 0)

    def test_a_frame_over_64_mib_ends_the_conversation_unanswered(self):
        before = h.dump(h.user_db(self.store))
        host = h.Host(self.store)
        host.process.stdin.write(((64 << 20) + 1).to_bytes(4, "little"))
        host.process.stdin.flush()
        self.assertEqual(host.process.stdout.read(), b"")
        self.assertEqual(host.close(), 255)
        self.assertEqual(h.dump(h.user_db(self.store)), before)


if __name__ == "__main__":
    unittest.main()
