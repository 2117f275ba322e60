"""The store's health under a running fanout_relayd: a full disk (a small tmpfs), the store
file deleted or replaced, --dump on a path with no store. Each failing spell costs two log
lines, no request is answered 0 that the store does not hold, and /readyz says 503 while a
write would fail."""
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

import harness as h

BINARY = None
FAILING = b"requests are closed unanswered"
RECOVERED = b"closed unanswered meanwhile"


def wait_status(url, status, timeout=10.0):
    """Polls url until it answers status; the last status seen."""
    deadline = time.monotonic() + timeout
    seen = None
    while time.monotonic() < deadline:
        seen = h.call(url, timeout=5)[0]
        if seen == status:
            break
        time.sleep(0.1)
    return seen


def fill(folder):
    """Writes a file into folder until the file system is full."""
    fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while True:
            os.write(fd, b"\0" * 65536)
    except OSError:
        pass
    finally:
        os.close(fd)


class StoreLostUnderTheRelay(unittest.TestCase):
    def test_deleted_or_replaced_store_gets_no_further_zero(self):
        def delete(path):
            for suffix in ("", "-wal", "-shm"):
                os.unlink(path + suffix)

        def replace(path):
            shutil.copyfile(path, path + ".copy")
            os.rename(path + ".copy", path)

        for name, change in (("deleted", delete), ("replaced", replace)):
            with self.subTest(name):
                server, url = h.start_with_http(BINARY)
                try:
                    store = os.path.join(server.dir, "fanout-relay.db")
                    self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
                    for suffix in ("", "-wal", "-shm"):
                        mode = stat.S_IMODE(os.stat(store + suffix).st_mode)
                        self.assertEqual(mode, 0o600, suffix)
                    change(store)
                    results = [h.send(server.port("sms"), h.request("sms", content="n%d" % i))
                               for i in range(5)]
                    self.assertEqual(results, [None] * 5)
                    self.assertEqual(wait_status(url + "/readyz", 503), 503)
                    self.assertEqual(h.call(url + "/livez")[0], 200)
                finally:
                    server.stop()
                    server.close()
                lines = [line for line in server.stderr.splitlines() if FAILING in line]
                self.assertEqual(len(lines), 1, server.stderr)
                self.assertIn(b"store fanout-relay.db", lines[0])
                self.assertIn(b"restart the relay", lines[0])


class FullDisk(unittest.TestCase):
    def setUp(self):
        self.mount = tempfile.mkdtemp(prefix="relayd_full_")
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", self.mount],
                              capture_output=True)
        if done.returncode != 0:
            os.rmdir(self.mount)
            self.skipTest("cannot mount a tmpfs: %r" % done.stderr)

    def tearDown(self):
        subprocess.run(["umount", self.mount], capture_output=True)
        os.rmdir(self.mount)

    def test_one_line_when_failing_one_when_recovered_and_readyz_follows(self):
        store = os.path.join(self.mount, "relay.db")
        server, url = h.start_with_http(BINARY, config='store = "%s"\n' % store)
        closed = 20
        try:
            self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
            fill(self.mount)
            content = "x" * 20000
            results = [h.send(server.port("sms"), h.request("sms", content=content + str(i)))
                       for i in range(closed)]
            self.assertEqual(results, [None] * closed)
            self.assertEqual(wait_status(url + "/readyz", 503), 503)
            os.unlink(os.path.join(self.mount, "filler"))
            self.assertEqual(wait_status(url + "/readyz", 200), 200)
            self.assertEqual(h.send(server.port("sms"), h.request("sms", content="after")), 0)
        finally:
            server.stop()
            server.close()
        failing = [line for line in server.stderr.splitlines() if FAILING in line]
        recovered = [line for line in server.stderr.splitlines() if RECOVERED in line]
        self.assertEqual(len(failing), 1, server.stderr)
        self.assertIn(store.encode(), failing[0])
        self.assertEqual(len(recovered), 1, server.stderr)
        self.assertIn(b"%d request(s) closed" % closed, recovered[0])


class DumpNeverCreates(unittest.TestCase):
    def test_dump_of_a_missing_store_fails_and_creates_nothing(self):
        server = h.Relayd(BINARY)
        try:
            path = os.path.join(server.dir, "missing.db")
            done = server.run("--dump", "--store", path)
            self.assertEqual(done.returncode, 2)
            self.assertIn(b"store " + path.encode(), done.stderr)
            self.assertEqual(sorted(os.listdir(server.dir)), ["relayd.toml"])
        finally:
            server.close()


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
