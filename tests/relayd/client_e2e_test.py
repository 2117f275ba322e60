"""The real client against a real fanout_relayd on the client's built-in addresses and
fixed ports: one row per channel with GBK text, which arrives as UTF-8 in the record, and
one refusal per failure class the client reports."""
import hashlib
import os
import sys
import tempfile
import unittest

import harness as h

RELAYD = CLIENT = None
GBK = "中文标题".encode("gbk")
GBK_BODY = "你好，世界".encode("gbk")


class ClientAgainstRelayd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = h.Relayd(RELAYD, config='listen = ["127.0.0.1", "127.0.0.2"]\n'
                              '[[keys]]\nid = "mail-only"\nchannels = ["mail"]\n')
        if not cls.server.start():
            raise RuntimeError("fanout_relayd did not start: %r" % cls.server.stderr)
        cls.files = tempfile.mkdtemp(prefix="relayd_e2e_")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def file(self, name, data):
        path = os.path.join(self.files, name)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def test_each_channel_arrives_as_utf8(self):
        image = self.file("pic.png", b"\x89PNG\r\n\x1a\n" + bytes(range(256)))
        notes = self.file("notes.txt", b"line\n")
        rows = [
            (["sms", "-T", "alice", "-c", GBK_BODY],
             {"channel": "sms", "receivers": ["alice"], "content": "你好，世界", "title": ""}),
            (["zeph", "-T", "alice;bob", "-S", GBK, "-c", GBK_BODY],
             {"channel": "zeph", "receivers": ["alice", "bob"], "title": "中文标题"}),
            (["lumo", "-T", "carol", "-i", image],
             {"channel": "lumo", "image_size": 264, "content": ""}),
            (["mail", "-T", "dave", "-C", "erin", "-S", GBK, "-c", GBK_BODY, "-a", notes],
             {"channel": "mail", "cc": ["erin"], "title": "中文标题",
              "attachments": [{"index": 0, "name": "notes.txt", "size": 5,
                               "sha256": hashlib.sha256(b"line\n").hexdigest()}]}),
        ]
        for i, (args, expected) in enumerate(rows):
            done = h.run_client(CLIENT, args + ["-d", "gbk"])
            self.assertEqual(done.returncode, 0, "row %d: %r" % (i, done.stdout))
            record = self.server.dump()[-1]
            for key, value in expected.items():
                self.assertEqual(record[key], value, "row %d: %s" % (i, key))

    def test_refusals_reach_the_client_as_failures(self):
        rows = [
            (["sms", "-T", "alice", "-c", "x", "-d", "utf8", "-k", "unknown"], b"err_code:5"),
            (["sms", "-T", "alice", "-c", "x", "-d", "utf8", "-k", "mail-only"], b"err_code:5"),
        ]
        for i, (args, text) in enumerate(rows):
            done = h.run_client(CLIENT, args)
            self.assertEqual(done.returncode, 1, "row %d" % i)
            self.assertIn(text, done.stdout, "row %d" % i)


class ClientGbkMail(unittest.TestCase):
    """The real client on the fixed ports: GBK text arrives as UTF-8 mail."""

    def test_gbk_from_the_client_arrives_as_utf8(self):
        smtp = h.Peer("smtp")
        server = h.Relayd(RELAYD, config='[mail]\nsmtp = "smtp://127.0.0.1:%d"\n'
                          'domain = "example.test"\n' % smtp.port)
        try:
            self.assertTrue(server.start(), server.stderr)
            done = h.run_client(CLIENT, ["mail", "-T", "alice", "-C", "bob", "-S",
                                         "中文标题".encode("gbk"), "-c",
                                         "你好，世界".encode("gbk"), "-d", "gbk"])
            self.assertEqual(done.returncode, 0, done.stdout)
            mail = smtp.wait_for("message")
            self.assertEqual(mail["subject"], "中文标题")
            self.assertEqual(mail["body"].rstrip("\r\n"), "你好，世界")
            self.assertEqual(sorted(mail["rcpt_tos"]), ["alice@example.test", "bob@example.test"])
        finally:
            server.close()
            smtp.close()


if __name__ == "__main__":
    RELAYD, CLIENT = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
