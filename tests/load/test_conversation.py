"""A long conversation with one host: 10,000 requests of every operation,
failing ones included, a few of them whole enrollments with small keys.
Every answer is checked; resident memory at the end stays within a small
bound of what it was after the first hundred requests, and no descriptor
or key container is left behind. TESSERA_CONVERSATION_REQUESTS sets the
count (default 10,000 scaled by TESSERA_LOAD_SCALE); TESSERA_LOAD_REPLAY
replays a run; TESSERA_RSS_BOUND_KIB the bound (default 2048, 0: not
checked, as under the sanitizers, whose allocator keeps freed memory)."""
import os
import unittest

import hostlib as h

VERSION = "3.2.0.3"
KINDS = [h.Enrollment("RSA", 1, 512), h.Enrollment("SM2", 1, 256), h.Enrollment("RSA", 2, 1024),
         h.Enrollment("SM2", 2, 256)]


class Conversation:
    """The host and what its answers must be."""

    def __init__(self, test, store, ca):
        self.test, self.ca = test, ca
        self.host = h.Host(store)
        self.count = 0
        self.container = ""
        self.containers = 0
        self.certificates = 0
        self.listing = None

    def expect(self, function, params, errorcode=0, result=None):
        answer = self.host.call(function, *params)
        self.count += 1
        if errorcode is None:
            self.test.assertNotEqual(answer["errorcode"], 0, (function, params, answer))
            self.test.assertIs(answer["result"], False)
        else:
            self.test.assertEqual(answer["errorcode"], errorcode, (function, params, answer))
            if result is not None:
                self.test.assertEqual(answer["result"], result, (function, params))
        return answer.get("result")

    def enroll(self, kind):
        self.expect("VELA_SetCSPInfo", [kind.bits, kind.csp], result=True)
        self.expect("VELA_SetKeyAlgorithm", [kind.algorithm], result=True)
        request = self.expect("VELA_PKCS10CertRequisition", [kind.subject, kind.cert_type, 1])
        self.containers += 1
        self.container = self.expect("VELA_GetContainer", [])
        cert, encryption = h.issue(self.ca, "conversation", kind, request)
        self.expect("VELA_ImportSignCert", [kind.cert_type, cert, self.container], result=True)
        self.certificates += 1
        if encryption:
            self.expect("VELA_ImportEncryptCert", [encryption[0], encryption[1], self.container, 1], result=True)
            self.certificates += 1
        self.listing = self.expect("VELA_GetAllCertInfo", [])
        self.test.assertEqual(len(self.listing.split("||")), self.certificates)

    def cheap(self, rng, csp_list):
        """One of the quick requests, chosen at random."""
        choice = rng.randrange(12)
        if choice == 0:
            self.expect("checkHost", [], result=0)
        elif choice == 1:
            self.expect("VELA_GetVersion", [], result=VERSION)
        elif choice == 2:
            self.expect("VELA_GetCSPInfo", [], result=csp_list)
        elif choice == 3:
            self.expect("VELA_GetAllCertInfo", [], result=self.listing)
        elif choice == 4:
            self.expect("VELA_GetContainer", [], result=self.container)
        elif choice == 5:
            self.test.assertTrue(self.expect("GetLastErrorDesc", []))
        elif choice == 6:
            kind = rng.choice(KINDS)
            self.expect("VELA_SetCSPInfo", [kind.bits, kind.csp], result=True)
            self.expect("VELA_SetKeyAlgorithm", [kind.algorithm], result=True)
        elif choice == 7:
            self.expect("VELA_ImportSignCert", [1, "bm90IGEgY2VydGlmaWNhdGU=", self.container], None)
        elif choice == 8:
            self.expect("VELA_ImportEncryptCert", ["", "", "", 1], None)
        elif choice == 9:
            self.expect("VELA_PKCS10CertRequisition", ["CN=x", "1", 1], errorcode=-1610141180)
        elif choice == 10:
            self.expect("VELA_NoSuchOperation", [], errorcode=h.ERROR_INTERNAL)
        else:
            self.expect("VELA_SetCSPInfo", [1024], errorcode=-1)


class ConversationTests(unittest.TestCase):
    def test_long_conversation(self):
        rng = h.replayable_random("conversation")
        total = h.scaled(10000, "TESSERA_CONVERSATION_REQUESTS")
        bound = int(os.environ.get("TESSERA_RSS_BOUND_KIB", "2048"))
        store = h.temporary_store(self)
        c = Conversation(self, store, h.new_ca(os.path.join(store, "ca")))
        csp_list = c.expect("VELA_GetCSPInfo", [])
        for kind in KINDS:
            c.enroll(kind)
        # Key work is rare: a few enrollments and permission probes in all.
        slow_every = max(total // 40, 1)
        baseline = None
        while c.count < total:
            if c.count >= 100 and baseline is None:
                baseline = (c.host.rss_kib(), c.host.fd_count())
            if rng.randrange(slow_every) == 0:
                if rng.randrange(2):
                    c.enroll(rng.choice(KINDS))
                else:
                    c.expect("VELA_HavePermissiontoGenerateKeyPair", [], result=True)
            else:
                c.cheap(rng, csp_list)
        rss, fds = c.host.rss_kib(), c.host.fd_count()
        print("conversation: %d requests, %d containers; RSS %d KiB after 100, %d KiB at the end; %d descriptors"
              % (c.count, c.containers, baseline[0], rss, fds))
        self.assertEqual(fds, baseline[1])
        if bound:
            self.assertLessEqual(rss, baseline[0] + bound)
        self.assertEqual(c.host.close(), 0)
        self.assertEqual(c.host.stderr(), b"")
        found, certificates = h.check_stores(self, store, expect_certificates=c.certificates)
        self.assertEqual(len(found), c.containers)


if __name__ == "__main__":
    unittest.main()
