"""Delivery by a real fanout_relayd under trouble: a destination that stalls, a wall clock
stepped back or forward while the relay runs (libfaketime in the relay's process only,
through a timestamp file it rereads; its monotonic clock stays real), a stop with work in
flight, a crash. Real peers on loopback; small time settings keep each row to seconds."""
import os
from datetime import datetime
import signal
import socket
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

import harness as h

RELAYD = CLIENT = None
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def webhooks(port, channels=("sms", "zeph", "lumo")):
    return "".join('[%s]\nwebhook = "http://127.0.0.1:%d/%s"\n' % (c, port, c)
                   for c in channels)


def mail(port):
    return '[mail]\nsmtp = "smtp://127.0.0.1:%d"\n' % port


def delivery(**settings):
    return "[delivery]\n" + "".join('%s = "%s"\n' % kv for kv in settings.items())


def by_channel(records, channel):
    return [r for r in records if r["channel"] == channel]


def wait_all(server, channel, status, count, timeout):
    """Polls --dump until count messages of channel have status; returns the seconds taken
    (or None when the time ran out)."""
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        if sum(1 for r in by_channel(server.dump(), channel) if r["status"] == status) >= count:
            return time.monotonic() - start
        time.sleep(0.1)
    return None


class SteppedClock:
    """A wall-clock offset file libfaketime rereads at every clock read."""

    def __init__(self):
        fd, self.path = tempfile.mkstemp(prefix="faketime_")
        os.close(fd)
        self.step("+0")

    def step(self, offset):
        with open(self.path + ".new", "w") as out:
            out.write(offset + "\n")
        os.replace(self.path + ".new", self.path)

    def env(self):
        env = dict(os.environ)
        env.update(LD_PRELOAD=FAKETIME_LIB, FAKETIME_TIMESTAMP_FILE=self.path,
                   FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1")
        # A relay built with AddressSanitizer accepts a preloaded library only so.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                     "verify_asan_link_order=0"]))
        return env

    def close(self):
        os.unlink(self.path)


class DestinationsAreIndependent(unittest.TestCase):
    def test_stalled_mail_holds_up_no_other_channel(self):
        """An SMTP server that never answers, 100 mails queued: the webhook messages keep
        their pace and none fails for max_age."""
        smtp = h.Peer("smtp", "--stall", "600:1000")
        self.addCleanup(smtp.close)
        hook = h.Peer("http", "--quiet")
        self.addCleanup(hook.close)
        config = mail(smtp.port) + webhooks(hook.port) + delivery(
            attempt_timeout="1s", retry_initial="500ms", retry_max="1s", max_age="8s")
        server = h.start_relayd(RELAYD, config=config)
        self.addCleanup(server.close)
        for i in range(100):
            self.assertEqual(h.send(server.port("mail"), h.request("mail", title="m%d" % i)), 0)
        time.sleep(1.5)  # every mail slot is stalled by now
        for channel in ("sms", "zeph", "lumo"):
            image = b"\x89PNG" if channel == "lumo" else b""
            for i in range(10):
                package = h.request(channel, title="w%d" % i, content="w%d" % i, image=image)
                self.assertEqual(h.send(server.port(channel), package), 0)
        for channel in ("sms", "zeph", "lumo"):
            # Without the stalled mails this takes well under a second.
            self.assertIsNotNone(wait_all(server, channel, "delivered", 10, 5), channel)

    def test_retries_of_a_stalled_destination_keep_to_retry_max(self):
        smtp = h.Peer("smtp", "--stall", "600:1000")
        self.addCleanup(smtp.close)
        server = h.start_relayd(RELAYD, config=mail(smtp.port) + delivery(
            attempt_timeout="1s", retry_initial="500ms", retry_max="1s"))
        self.addCleanup(server.close)
        self.assertEqual(h.send(server.port("mail"), h.request("mail")), 0)
        # Six attempts: some worker's connection is used again after its stalled attempt.
        record = h.wait_record(server, lambda r: r["attempts"] >= 6, timeout=25)
        starts = [datetime.fromisoformat(d["at"]).timestamp() for d in record["deliveries"]]
        self.assertGreaterEqual(len(starts), 6, record)
        gaps = [b - a for a, b in zip(starts, starts[1:])]
        # attempt_timeout + retry_max, and the dispatcher's poll as slack.
        self.assertLessEqual(max(gaps), 1 + 1 + 1.5, gaps)


class ClockSteps(unittest.TestCase):
    def setUp(self):
        self.clock = SteppedClock()
        self.addCleanup(self.clock.close)
        self.hook = h.Peer("http")
        self.addCleanup(self.hook.close)

    def start(self, **settings):
        server = h.start_relayd(RELAYD, config=webhooks(self.hook.port, ("sms",)) +
                                delivery(**settings), env=self.clock.env())
        self.addCleanup(server.close)
        return server

    def test_step_back_during_a_retry_wait(self):
        server = self.start(retry_initial="2s", retry_max="3s")
        self.hook.command("reply 503 1")
        self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
        self.assertIsNotNone(self.hook.wait_for("request", 10))
        h.wait_record(server, lambda r: r["status"] == "queued" and r["attempts"] == 1)
        self.clock.step("-120")  # the retry is due in 1 to 3 s by the clock before the step
        start = time.monotonic()
        self.assertIsNotNone(self.hook.wait_for("request", 10), "the retry never came")
        # A few seconds' slack, not the two minutes of the step.
        self.assertLess(time.monotonic() - start, 3 + 2)
        self.assertEqual(h.wait_record(server, lambda r: r["status"] == "delivered")["status"],
                         "delivered")

    def test_step_back_keeps_arrival_order(self):
        server = self.start()
        self.assertEqual(h.send(server.port("sms"), h.request("sms", content="first")), 0)
        self.clock.step("-120")
        self.assertEqual(h.send(server.port("sms"), h.request("sms", content="second")), 0)
        second = h.wait_record(server, lambda r: r["status"] == "delivered", index=1)
        first = h.wait_record(server, lambda r: r["status"] == "delivered", index=0)
        self.assertLessEqual(first["received_at"], second["received_at"])

    def test_step_forward_during_a_stalled_post(self):
        server = self.start(attempt_timeout="15s")
        self.hook.command("stall 9 1")
        self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
        h.wait_record(server, lambda r: r["status"] == "delivering")
        time.sleep(0.5)  # the POST is under way; the peer answers it in 9 s
        self.clock.step("+120")
        # Leases are checked every few seconds: a second POST would start during the stall.
        self.assertIsNotNone(self.hook.wait_for("request", 15))
        self.assertIsNone(self.hook.wait_for("request", 4), "a second delivery started")
        record = h.wait_record(server, lambda r: r["status"] == "delivered")
        self.assertEqual((record["status"], record["attempts"]), ("delivered", 1))


class Stopping(unittest.TestCase):
    def test_sigterm_ends_within_5s_and_hands_claims_back(self):
        """A half-sent client, an idle one, an event stream and a stuck delivery: SIGTERM
        ends the relay within 5 s in all, and no message is left delivering."""
        smtp = h.Peer("smtp", "--stall", "600:1000")
        self.addCleanup(smtp.close)
        server, url = h.start_with_http(RELAYD, config=mail(smtp.port) + delivery(
            attempt_timeout="30s"))
        self.addCleanup(server.close)
        for i in range(20):
            self.assertEqual(h.send(server.port("mail"), h.request("mail", title="m%d" % i)), 0)
        half = socket.create_connection(("127.0.0.1", server.port("mail")))
        self.addCleanup(half.close)
        half.sendall(h.frame(h.request("mail"))[:20])
        idle = socket.create_connection(("127.0.0.1", server.port("sms")))
        self.addCleanup(idle.close)
        stream = urllib.request.urlopen(url + "/api/v1/events", timeout=30)
        self.addCleanup(stream.close)
        threading.Thread(target=lambda: stream.read(), daemon=True).start()
        h.wait_record(server, lambda r: r["status"] == "delivering", index=0)
        time.sleep(1.0)  # the attempts are stalled; more claims wait behind them
        start = time.monotonic()
        server.stop(signal.SIGTERM, timeout=20)
        self.assertLess(time.monotonic() - start, 5.5)
        statuses = [r["status"] for r in server.dump()]
        self.assertEqual(statuses.count("queued"), 20, statuses)

    def test_kill_9_then_restart_takes_claims_back_at_once(self):
        smtp = h.Peer("smtp", "--stall", "600:1")
        self.addCleanup(smtp.close)
        server = h.start_relayd(RELAYD, config=mail(smtp.port) + delivery(attempt_timeout="30s"))
        self.addCleanup(server.close)
        self.assertEqual(h.send(server.port("mail"), h.request("mail")), 0)
        h.wait_record(server, lambda r: r["status"] == "delivering")
        time.sleep(0.5)
        server.stop(signal.SIGKILL)
        self.assertTrue(server.start())
        start = time.monotonic()
        record = h.wait_record(server, lambda r: r["status"] == "delivered", timeout=20)
        self.assertEqual(record["status"], "delivered")
        # Not after the lease: at once.
        self.assertLess(time.monotonic() - start, 5)
        self.assertIsNotNone(smtp.wait_for("message", timeout=5))


if __name__ == "__main__":
    RELAYD, CLIENT = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
