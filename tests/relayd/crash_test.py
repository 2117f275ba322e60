"""Acknowledged means stored: concurrent senders, kill -9 at random moments, restart,
--dump. Every request answered 0 is in the store exactly once; nothing else is."""
import random
import signal
import sys
import threading
import time
import unittest

import harness as h

BINARY = None
SENDERS = 8


def sender(port, prefix, acked, attempted, stop):
    n = 0
    while not stop.is_set():
        n += 1
        content = "%s-%d" % (prefix, n)
        attempted.add(content)
        try:
            result = h.send(port, h.request("sms", content=content), timeout=5)
        except OSError:
            result = None
            time.sleep(0.01)
        if result == 0:
            acked.append(content)


class CrashSafety(unittest.TestCase):
    def test_kill_9_loses_no_acknowledged_request(self):
        server = h.start_relayd(BINARY)
        acked, attempted = [], set()
        try:
            for round_no in range(4):
                stop = threading.Event()
                threads = [threading.Thread(target=sender, args=(
                    server.port("sms"), "r%d-s%d" % (round_no, i), acked, attempted, stop))
                    for i in range(SENDERS)]
                for thread in threads:
                    thread.start()
                time.sleep(random.uniform(0.2, 0.8))
                server.stop(signal.SIGKILL)
                stop.set()
                for thread in threads:
                    thread.join(timeout=10)
                self.assertTrue(server.start(), server.stderr)
            records = server.dump()
        finally:
            server.close()
        stored = [r["content"] for r in records]
        self.assertGreater(len(acked), 0)
        self.assertEqual(len(stored), len(set(stored)), "a request stored twice")
        missing = set(acked) - set(stored)
        self.assertEqual(missing, set(), "acknowledged but lost")
        self.assertEqual(set(stored) - attempted, set(), "stored but never sent")
        ids = [r["id"] for r in records]
        self.assertEqual(ids, sorted(ids))


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
