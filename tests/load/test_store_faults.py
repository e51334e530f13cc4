"""The store's disk full or read-only, and the host's reader gone: a clear
error answer, nothing half-written, and the store works again once space or
permission returns.

Disk full is RLIMIT_FSIZE (SIGXFSZ ignored, so a write past the limit fails
with EFBIG), which needs no privilege. A read-only directory is chmod; as
root, whom chmod does not stop, the host runs as the user nobody."""
import os
import resource
import shutil
import signal
import unittest

import hostlib as h

NOBODY = 65534


def file_size_limit(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def as_nobody():
    """Runs the host as nobody (only needed, and only possible, as root)."""
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


class StoreFaultTests(unittest.TestCase):
    def setUp(self):
        self.store = h.temporary_store(self)
        self.ca = h.new_ca(os.path.join(self.store, "ca"))
        self.enrollment = h.Enrollment()
        self.popen = {}
        if os.geteuid() == 0:
            os.chmod(self.store, 0o755)
            os.makedirs(os.path.join(self.store, "user"), 0o700)
            os.chown(os.path.join(self.store, "user"), NOBODY, NOBODY)
            self.popen = {"preexec_fn": as_nobody}
        host = self.host()
        h.enroll(host, self.ca, "setup", self.enrollment)
        self.assertEqual(host.close(), 0)

    def host(self, preexec=None):
        popen = dict(self.popen)
        if preexec:
            first = popen.get("preexec_fn")
            popen["preexec_fn"] = lambda: (preexec(), first and first())
        return h.Host(self.store, **popen)

    def refused(self, host, function, *params):
        """The call fails with an error and a description, and the host goes on."""
        answer = host.call(function, *params)
        self.assertNotEqual(answer["errorcode"], 0, answer)
        self.assertTrue(host.ok("GetLastErrorDesc"))
        self.assertEqual(host.ok("VELA_GetVersion"), "3.2.0.3")
        return answer["errorcode"]

    def faulty_phases(self, preexec=None, apply=lambda: None, restore=lambda: None):
        """A request and an installation under the fault; both again after it is gone."""
        good = self.host()
        container, request = h.prepare(good, self.enrollment)
        self.assertEqual(good.close(), 0)
        cert, _ = h.issue(self.ca, "pending", self.enrollment, request)
        before = h.dump(h.user_db(self.store))
        apply()
        host = self.host(preexec)
        h.settings(host, self.enrollment)
        codes = [self.refused(host, "VELA_PKCS10CertRequisition", self.enrollment.subject, 1, 1),
                 self.refused(host, "VELA_ImportSignCert", 1, cert, container)]
        self.assertEqual(host.close(), 0)
        restore()
        self.assertEqual(h.dump(h.user_db(self.store)), before)
        h.check_stores(self, self.store, expect_certificates=1)
        host = self.host()
        h.install(host, self.enrollment, container, cert, None)
        h.enroll(host, self.ca, "after", self.enrollment)
        self.assertEqual(host.close(), 0)
        h.check_stores(self, self.store, expect_certificates=3)
        return codes

    def test_disk_full(self):
        # Every file of the store is larger than this, so any write that
        # extends one fails.
        print("disk full: errorcodes %s" % self.faulty_phases(file_size_limit(4096)))

    def test_read_only_store(self):
        user = os.path.join(self.store, "user")
        modes = {}

        def apply():
            for p in [os.path.join(user, f) for f in os.listdir(user)] + [user]:
                modes[p] = os.stat(p).st_mode & 0o777
                os.chmod(p, 0o500 if p == user else 0o400)

        def restore():
            for p, mode in modes.items():
                os.chmod(p, mode)
        self.addCleanup(restore)
        print("read-only store: errorcodes %s" % self.faulty_phases(apply=apply, restore=restore))

    def test_damaged_store_is_reported_not_listed_as_empty(self):
        db = h.user_db(self.store)
        for damage in ("truncated", "header overwritten"):
            backup = db + ".whole"
            shutil.copyfile(db, backup)
            if damage == "truncated":
                os.truncate(db, os.path.getsize(db) // 2)
            else:
                with open(db, "r+b") as f:
                    f.write(b"x" * 100)
            host = self.host()
            code = self.refused(host, "VELA_GetAllCertInfo")
            self.assertEqual(host.close(), 0)
            os.replace(backup, db)
            print("%s store: VELA_GetAllCertInfo errorcode %s" % (damage, code))

    def test_host_ends_with_minus_one_when_its_reader_has_gone(self):
        # The child starts with SIGPIPE at its default action, as from a browser.
        host = h.Host(self.store)
        host.process.stdout.close()
        host.send({"function": "checkHost", "params": []})
        self.assertEqual(host.close(), 255)
        self.assertEqual(host.stderr(), b"")


if __name__ == "__main__":
    unittest.main()
