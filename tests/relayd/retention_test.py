"""Retention in a running fanout_relayd: final messages older than `retention` are deleted
with their attachments, newer ones stay, and /metrics counts what is stored. The relay's wall
clock is moved forward with libfaketime (its monotonic clock is left alone)."""
import glob
import os
import random
import shutil
import sys
import tempfile
import time
import unittest

import harness as h

BINARY = None


LIBFAKETIME = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]


class FakedRelayd(h.Relayd):
    """A relayd whose wall clock runs `faked` ahead ("+3d"), when set. The library is
    preloaded through env, which execs the relay in its place (the faketime command would
    stay its parent and keep the stop signal from it)."""
    faked = None

    def base_args(self):
        # A relay built with AddressSanitizer accepts a library preloaded before its own.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                      "verify_asan_link_order=0"]))
        prefix = ["env", "LD_PRELOAD=" + LIBFAKETIME, "FAKETIME=" + self.faked,
                  "FAKETIME_DONT_FAKE_MONOTONIC=1", "ASAN_OPTIONS=" + asan] if self.faked else []
        return prefix + super().base_args()


def stored(url):
    return h.samples(h.call(url + "/metrics")[1])


def start(workdir, port, faked=None):
    config = 'http = "127.0.0.1:%d"\nretention = "2d"\ndedupe_window = "1d"\n' % port
    for _ in range(8):
        server = FakedRelayd(BINARY, config=config, port_offset=random.randrange(2000, 40000, 4),
                             http=True, workdir=workdir)
        server.faked = faked
        if server.start():
            return server
        server.stop()
    raise RuntimeError("fanout_relayd did not start")


@unittest.skipUnless(LIBFAKETIME, "libfaketime is not installed")
class Retention(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="relayd_retention_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_old_final_messages_go_new_ones_stay(self):
        port = h.free_port()
        url = "http://127.0.0.1:%d" % port
        server = start(self.dir, port)
        try:
            for i in range(3):
                self.assertEqual(h.send(server.port("sms"), h.request("sms", content="o%d" % i)),
                                 0)
            mail = h.request("mail", attachments=[("a.bin", b"x" * 100000)])
            self.assertEqual(h.send(server.port("mail"), mail), 0)
            self.assertEqual(stored(url)['fanout_relay_stored_messages{status="captured"}'], 4)
        finally:
            server.stop()
        server = start(self.dir, port, faked="+3d")
        try:
            self.assertEqual(h.send(server.port("sms"), h.request("sms", content="new")), 0)
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline:
                if stored(url)['fanout_relay_stored_messages{status="captured"}'] == 1:
                    break
                time.sleep(0.2)
            contents = [record["content"] for record in server.dump()]
        finally:
            server.stop()
        self.assertEqual(contents, ["new"])
        self.assertIn(b"retention: deleted 4 message(s)", server.stderr)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
