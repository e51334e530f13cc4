"""Two and four hosts enrolling at once on one user store: every enrollment
succeeds, and each container ends up with exactly the certificates issued
for it. TESSERA_LOAD_SCALE scales the enrollments per host (default 3)."""
import base64
import os
import threading
import unittest

import hostlib as h

KINDS = [h.Enrollment("RSA", 1), h.Enrollment("SM2", 2, 256), h.Enrollment("RSA", 2), h.Enrollment("SM2", 1, 256)]


class ConcurrencyTests(unittest.TestCase):
    def run_hosts(self, count):
        store = h.temporary_store(self)
        ca = h.new_ca(os.path.join(store, "ca"))
        per_host = h.scaled(3)
        ca_lock = threading.Lock()
        issued = {}  # container -> set of certificate DER the CA issued for it
        failures = []
        hosts = [h.Host(store) for _ in range(count)]

        def work(index):
            try:
                for n in range(per_host):
                    kind = KINDS[(index + n) % len(KINDS)]
                    name = "h%d-%d" % (index, n)
                    container = h.enroll(hosts[index], ca, name, kind, lock=ca_lock)
                    stem = os.path.join(ca, name)
                    certs = {base64.b64decode(h.test_ca.read(stem + ".cert.b64"))}
                    if kind.cert_type == 2:
                        certs.add(base64.b64decode(h.test_ca.read(stem + ".enc.cert.b64")))
                    with ca_lock:
                        self.assertNotIn(container, issued)
                        issued[container] = certs
            except Exception as e:  # reported by the main thread
                failures.append("host %d: %s" % (index, e))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        for host in hosts:
            self.assertEqual(host.close(), 0)
            self.assertEqual(host.stderr(), b"")
        found, certificates = h.check_stores(self, store)
        self.assertEqual(sorted(name for _, name in found), sorted(issued))
        linked = {}
        for _, der, container, _, _ in certificates:
            linked.setdefault(container, set()).add(der)
        self.assertEqual(linked, issued)
        print("concurrency: %d hosts, %d enrollments, %d certificates" % (count, len(issued), len(certificates)))

    def test_two_hosts(self):
        self.run_hosts(2)

    def test_four_hosts(self):
        self.run_hosts(4)


if __name__ == "__main__":
    unittest.main()
