"""The host killed (SIGKILL) at random moments while it generates requests
and while it installs certificates: the stores stay sound and the next host
enrolls. TESSERA_KILL_COUNT sets the number of kills (default 100, scaled by
TESSERA_LOAD_SCALE); TESSERA_LOAD_REPLAY replays a run."""
import os
import time
import unittest

import hostlib as h

KINDS = [h.Enrollment("RSA", 1), h.Enrollment("RSA", 2), h.Enrollment("SM2", 1, 256), h.Enrollment("SM2", 2, 256)]


def install_requests(enrollment, container, cert, encryption):
    requests = [{"function": "VELA_ImportSignCert", "params": [enrollment.cert_type, cert, container]}]
    if encryption:
        requests.append({"function": "VELA_ImportEncryptCert",
                         "params": [encryption[0], encryption[1], container, 1]})
    return requests


class KillTests(unittest.TestCase):
    def setUp(self):
        self.store = h.temporary_store(self)
        self.ca = h.new_ca(os.path.join(self.store, "ca"))

    def timed(self, host, requests):
        """Sends the requests at once and waits for their answers; the seconds taken."""
        start = time.monotonic()
        for request in requests:
            host.send(request)
        for _ in requests:
            self.assertEqual(host.receive()["errorcode"], 0)
        return time.monotonic() - start

    def measure(self, kind):
        """How long one request and one installation of this kind take here."""
        host = h.Host(self.store)
        host.ok("VELA_SetCSPInfo", kind.bits, kind.csp)
        host.ok("VELA_SetKeyAlgorithm", kind.algorithm)
        request_time = self.timed(host, [{"function": "VELA_PKCS10CertRequisition",
                                          "params": [kind.subject, kind.cert_type, 1]}])
        request = host.ok("VELA_PKCS10CertRequisition", kind.subject, kind.cert_type, 1)
        container = host.ok("VELA_GetContainer")
        cert, encryption = h.issue(self.ca, "measure", kind, request)
        install_time = self.timed(host, install_requests(kind, container, cert, encryption))
        self.assertEqual(host.close(), 0)
        return request_time, install_time

    def test_kills_leave_sound_stores(self):
        rng = h.replayable_random("kill")
        count = h.scaled(100, "TESSERA_KILL_COUNT")
        times = {id(kind): self.measure(kind) for kind in KINDS}
        kills = {"request": 0, "install": 0}
        for i in range(count):
            kind = rng.choice(KINDS)
            phase = rng.choice(("request", "install"))
            request_time, install_time = times[id(kind)]
            host = h.Host(self.store)
            host.ok("VELA_SetCSPInfo", kind.bits, kind.csp)
            host.ok("VELA_SetKeyAlgorithm", kind.algorithm)
            if phase == "request":
                requests, window = [{"function": "VELA_PKCS10CertRequisition",
                                     "params": [kind.subject, kind.cert_type, 1]}], request_time
            else:
                request = host.ok("VELA_PKCS10CertRequisition", kind.subject, kind.cert_type, 1)
                container = host.ok("VELA_GetContainer")
                cert, encryption = h.issue(self.ca, "kill%d" % i, kind, request)
                requests, window = install_requests(kind, container, cert, encryption), install_time
            for request in requests:
                host.send(request)
            time.sleep(rng.uniform(0, window * 1.2))
            host.kill()
            kills[phase] += 1
        print("kill: %d kills during requests, %d during installations" % (kills["request"], kills["install"]))
        # The host adds a certificate to the store, then links it to its key;
        # a kill between the two leaves the certificate without the link.
        found, certificates = h.check_stores(self, self.store, strict_links=False)
        print("kill: %d containers, %d certificates, %d of them not linked to a key"
              % (len(found), len(certificates), sum(1 for c in certificates if c[2] is None)))
        host = h.Host(self.store)
        for n, kind in enumerate(KINDS):
            h.enroll(host, self.ca, "after%d" % n, kind)
        self.assertEqual(host.close(), 0)
        after, more = h.check_stores(self, self.store, strict_links=False)
        self.assertEqual(len(after), len(found) + len(KINDS))
        self.assertEqual(len(more), len(certificates) + 6)


if __name__ == "__main__":
    unittest.main()
