"""Delivery by a real fanout_relayd to real peers on loopback: an SMTP server (aiosmtpd)
and an HTTP receiver, both scripted. One row per failure class."""
import base64
import json
import signal
import sys
import time
import unittest

import harness as h

RELAYD = CLIENT = None
FAST_RETRY = """
[delivery]
retry_initial = "200ms"
retry_max = "400ms"
attempt_timeout = "5s"
"""


def config(smtp_port=None, http_port=None, extra=FAST_RETRY, secret=""):
    text = ""
    if smtp_port:
        text += '[mail]\nsmtp = "smtp://127.0.0.1:%d"\ndomain = "example.test"\n' % smtp_port
    if http_port:
        for channel in ("sms", "zeph", "lumo"):
            text += '[%s]\nwebhook = "http://127.0.0.1:%d/%s"\nsecret = "%s"\n' % (
                channel, http_port, channel, secret)
    return text + extra


def settled(status):
    return lambda record: record["status"] == status


class MailDelivery(unittest.TestCase):
    def setUp(self):
        self.smtp = h.Peer("smtp")
        self.addCleanup(self.smtp.close)
        self.server = h.start_relayd(RELAYD, config=config(smtp_port=self.smtp.port))
        self.addCleanup(self.server.close)

    def send_mail(self, **fields):
        self.assertEqual(h.send(self.server.port("mail"), h.request("mail", **fields)), 0)

    def test_utf8_mail_arrives_exactly(self):
        self.send_mail(receivers="alice;bob", cc="carol", title="周报：第 49 周", content="你好\n世界",
                       attachments=[("名单.txt", b"\x00\xffdata"), ("plain.bin", b"x" * 1000)])
        mail = self.smtp.wait_for("message")
        self.assertEqual(mail["subject"], "周报：第 49 周")
        self.assertEqual(mail["body"].rstrip("\r\n"), "你好\n世界")
        self.assertEqual(mail["to"], ["alice@example.test", "bob@example.test"])
        self.assertEqual(mail["cc"], ["carol@example.test"])
        self.assertEqual(sorted(mail["rcpt_tos"]), ["alice@example.test", "bob@example.test",
                                                    "carol@example.test"])
        self.assertEqual([(a["filename"], base64.b64decode(a["data_base64"]))
                          for a in mail["attachments"]],
                         [("名单.txt", b"\x00\xffdata"), ("plain.bin", b"x" * 1000)])
        record = h.wait_record(self.server, settled("delivered"))
        self.assertEqual(mail["x_fanout_id"], str(record["id"]))
        self.assertEqual(record["attempts"], 1)

    def test_title_cannot_inject_headers_or_recipients(self):
        rows = ["x\r\nBcc: eve@evil.test", "x\nBcc: eve@evil.test", "x\0Bcc: eve@evil.test",
                "x\r\n\r\nbody takeover"]
        for i, title in enumerate(rows):
            self.send_mail(receivers="alice", title=title, content="c%d" % i)
            mail = self.smtp.wait_for("message")
            self.assertIsNotNone(mail, "row %d" % i)
            self.assertEqual(mail["rcpt_tos"], ["alice@example.test"], "row %d" % i)
            self.assertNotIn("Bcc", mail["header_names"], "row %d" % i)
            self.assertEqual(mail["body"].rstrip("\r\n"), "c%d" % i, "row %d" % i)

    def test_451_then_accepted(self):
        self.smtp.command("reply 451 1")
        self.send_mail()
        record = h.wait_record(self.server, settled("delivered"))
        self.assertEqual([d["outcome"] for d in record["deliveries"]], ["retry", "delivered"])
        self.assertIn("451", record["deliveries"][0]["detail"])

    def test_550_fails_without_further_attempts(self):
        self.smtp.command("reply 550 5")
        self.send_mail()
        record = h.wait_record(self.server, settled("failed"))
        time.sleep(1.0)  # several retry periods: no attempt may follow a 5xx
        record = self.server.dump()[-1]
        self.assertEqual((record["status"], record["attempts"]), ("failed", 1))
        self.assertIn("550", record["last_error"])


class PeerDownThenUp(unittest.TestCase):
    def test_mail_waits_for_the_peer_and_arrives_once(self):
        probe = h.Peer("smtp")
        port = probe.port
        probe.close()  # the port is now free: nothing answers there
        server = h.start_relayd(RELAYD, config=config(smtp_port=port))
        smtp = None
        try:
            self.assertEqual(h.send(server.port("mail"), h.request("mail")), 0)
            h.wait_record(server, lambda r: r["attempts"] >= 2)
            smtp = h.Peer("smtp", port=port)
            self.assertIsNotNone(smtp.wait_for("message"))
            record = h.wait_record(server, settled("delivered"))
            self.assertEqual(record["deliveries"][-1]["outcome"], "delivered")
            self.assertTrue(all(d["outcome"] == "retry" for d in record["deliveries"][:-1]))
            self.assertIsNone(smtp.wait_for("message", timeout=1.0))
        finally:
            server.close()
            if smtp:
                smtp.close()


class Webhooks(unittest.TestCase):
    def setUp(self):
        self.http = h.Peer("http", "--secret", "s3cret")
        self.addCleanup(self.http.close)
        self.server = h.start_relayd(RELAYD, config=config(http_port=self.http.port,
                                                           secret="s3cret"))
        self.addCleanup(self.server.close)

    def test_outcomes_by_status(self):
        rows = [
            # (scripted reply, expected final status, expected outcomes)
            (None, "delivered", ["delivered"]),
            ("reply 503 1", "delivered", ["retry", "delivered"]),
            ("reply 429 1 retry-after=1", "delivered", ["retry", "delivered"]),
            ("reply 400 3", "failed", ["failed"]),
        ]
        for i, (script, status, outcomes) in enumerate(rows):
            if script:
                self.http.command(script)
            self.assertEqual(h.send(self.server.port("zeph"), h.request(
                "zeph", title="t%d" % i, content="内容 %d" % i)), 0, "row %d" % i)
            record = h.wait_record(self.server, lambda r: r["status"] in ("delivered", "failed"))
            self.assertEqual(record["status"], status, "row %d" % i)
            self.assertEqual([d["outcome"] for d in record["deliveries"]], outcomes,
                             "row %d" % i)

    def test_body_and_signature(self):
        self.assertEqual(h.send(self.server.port("lumo"), h.request(
            "lumo", receivers="a;b", content="图", image=b"\x89PNG\0")), 0)
        request = self.http.wait_for("request")
        self.assertTrue(request["signature_ok"])
        body = json.loads(request["body"])
        self.assertEqual(body["receivers"], ["a", "b"])
        self.assertEqual(body["channel"], "lumo")
        self.assertEqual(base64.b64decode(body["image_base64"]), b"\x89PNG\0")
        self.assertEqual(request["path"], "/lumo")


class CrashMidDelivery(unittest.TestCase):
    def test_kill_9_mid_delivery_delivers_after_restart(self):
        smtp = h.Peer("smtp", "--stall", "3:1")
        server = h.start_relayd(RELAYD, config=config(smtp_port=smtp.port))
        try:
            self.assertEqual(h.send(server.port("mail"), h.request("mail")), 0)
            time.sleep(1.0)  # the first attempt is stalled inside the SMTP exchange
            server.stop(signal.SIGKILL)
            self.assertTrue(server.start())
            record = h.wait_record(server, settled("delivered"), timeout=60)
            self.assertEqual(record["status"], "delivered")
            self.assertIsNotNone(smtp.wait_for("message", timeout=10))
        finally:
            server.close()
            smtp.close()


class SynchronousMode(unittest.TestCase):
    def test_answer_follows_the_first_attempt(self):
        rows = [
            # (peer option, expected result code, expected status)
            ((), 0, "delivered"),
            (("--reply", "550:1"), 3, "failed"),
            (("--stall", "3:1"), 3, "failed"),
        ]
        sync = FAST_RETRY + 'sync = true\nsync_timeout = "1s"\n'
        for i, (peer_args, result, status) in enumerate(rows):
            smtp = h.Peer("smtp", *peer_args)
            server = h.start_relayd(RELAYD, config=config(smtp_port=smtp.port, extra=sync))
            try:
                self.assertEqual(h.send(server.port("mail"), h.request("mail")), result,
                                 "row %d" % i)
                time.sleep(1.0)  # a failed message is never retried
                record = server.dump()[-1]
                self.assertEqual(record["status"], status, "row %d" % i)
                self.assertEqual(record["attempts"], 1, "row %d" % i)
            finally:
                server.close()
                smtp.close()


if __name__ == "__main__":
    RELAYD, CLIENT = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
