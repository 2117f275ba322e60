"""Intake of fanout_relayd over real sockets: every result code in the documented order,
every validation rule, dedupe and key defaults, checked by the reply and by --dump."""
import hashlib
import random
import sys
import unittest

import harness as h

BINARY = None
KEYS = """
[[keys]]
id = "team-key"
receivers = "oncall;lead"
cc = ["boss"]
subject = "from the key"

[[keys]]
id = "sms-only"
channels = ["sms"]
"""

GOOD_MAIL = dict(receivers="alice;bob", cc="carol", title="t", content="c",
                 attachments=[("a.txt", b"x")])


class IntakeResults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = h.start_relayd(BINARY, config=KEYS)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_each_row_gets_its_result(self):
        big = b"z" * 4194303
        rows = [
            # (name, channel, package, expected result)
            ("stored sms", "sms", h.request("sms"), 0),
            ("undecodable: shorter than a header", "sms", h.header()[:42], 4),
            ("undecodable: a reply package", "sms", h.request("sms", pkg_type=1), 4),
            ("undecodable: field cut short", "sms", h.request("sms")[:-2], 4),
            ("undecodable: trailing bytes", "sms", h.request("sms") + b"\0", 4),
            ("undecodable: attachment count beyond the bytes", "mail",
             h.request("mail", attachments=[])[:-4] + h.be32(1000000), 4),
            ("unknown key", "sms", h.request("sms", key_id="nope"), 5),
            ("key not for this channel", "zeph", h.request("zeph", key_id="sms-only"), 5),
            ("bad key before bad receivers", "sms",
             h.request("sms", key_id="nope", receivers="a b"), 5),
            ("no receiver left", "sms", h.request("sms", receivers=";;"), 2),
            ("receiver byte outside the set", "sms", h.request("sms", receivers="al ice"), 2),
            ("cc byte outside the set", "mail", h.request("mail", cc="c@rol"), 2),
            ("title not UTF-8", "zeph", h.request("zeph", title=b"\xff\xfe"), 2),
            ("content not UTF-8", "sms", h.request("sms", content=b"\xc3"), 2),
            ("sms content empty", "sms", h.request("sms", content=""), 2),
            ("zeph content empty", "zeph", h.request("zeph", content=""), 2),
            ("zeph title empty", "zeph", h.request("zeph", title=""), 2),
            ("lumo with neither content nor image", "lumo",
             h.request("lumo", content="", image=b""), 2),
            ("mail with 21 attachments", "mail",
             h.request("mail", attachments=[("f%d" % i, b"") for i in range(21)]), 2),
            ("mail over the attachment total", "mail",
             h.request("mail", attachments=[("a", big), ("b", b"1")]), 2),
            ("attachment name empty", "mail", h.request("mail", attachments=[("", b"1")]), 2),
            ("attachment name with a slash", "mail",
             h.request("mail", attachments=[("../x", b"1")]), 2),
            ("attachment name with NUL", "mail",
             h.request("mail", attachments=[("a\0b", b"1")]), 2),
            ("over 1000 receivers and cc", "mail",
             h.request("mail", receivers=";".join("r%d" % i for i in range(600)),
                       cc=";".join("c%d" % i for i in range(401))), 2),
            ("a receiver over 255 bytes", "sms", h.request("sms", receivers="r" * 256), 2),
            ("an attachment name over 255 bytes", "mail",
             h.request("mail", attachments=[("f" * 256, b"1")]), 2),
            ("mail at the attachment total", "mail",
             h.request("mail", attachments=[("a", big)]), 0),
            ("key fills empty receivers", "zeph",
             h.request("zeph", key_id="team-key", receivers="", title="", content="x"), 0),
        ]
        for i, (name, channel, package, expected) in enumerate(rows):
            got = h.send(self.server.port(channel), package)
            self.assertEqual(got, expected, "row %d: %s" % (i, name))

    def test_broken_frames_are_closed_without_reply(self):
        package = h.request("sms")
        rows = [
            ("first byte not STX", b"\x01" + h.frame(package)[1:]),
            ("length below the minimum", h.STX + h.be32(5) + h.ETX),
            ("length above max_package", h.STX + h.be32(0x7FFFFFFF) + package),
            ("last byte not ETX", h.frame(package)[:-1] + b"\x04"),
        ]
        for i, (name, data) in enumerate(rows):
            self.assertEqual(h.exchange(self.server.port("sms"), data), b"",
                             "row %d: %s" % (i, name))

    def test_reply_echoes_the_request_timestamp(self):
        reply = h.exchange(self.server.port("sms"), h.frame(h.request("sms", timestamp=424242)))
        self.assertEqual(h.parse_reply(reply), (1, 424242, 0))


class IntakeRecords(unittest.TestCase):
    def setUp(self):
        self.server = h.start_relayd(BINARY, config=KEYS)

    def tearDown(self):
        self.server.close()

    def test_duplicate_is_answered_0_and_stored_once(self):
        package = h.request("mail", **GOOD_MAIL)
        for _ in range(3):
            self.assertEqual(h.send(self.server.port("mail"), package), 0)
        other_channel = h.request("zeph", title="t", content="c")
        self.assertEqual(h.send(self.server.port("zeph"), other_channel), 0)
        records = self.server.dump()
        self.assertEqual([r["channel"] for r in records], ["mail", "zeph"])

    def test_record_holds_the_request_and_key_defaults(self):
        self.assertEqual(h.send(self.server.port("mail"), h.request(
            "mail", key_id="team-key", receivers="", cc="", title="", content="正文",
            attachments=[("名单.txt", b"\x00\x01abc")])), 0)
        self.assertEqual(h.send(self.server.port("lumo"), h.request(
            "lumo", receivers="x;;y", content="", image=b"\x89PNG....")), 0)
        mail, lumo = self.server.dump()
        self.assertEqual(mail["receivers"], ["oncall", "lead"])
        self.assertEqual(mail["cc"], ["boss"])
        self.assertEqual(mail["title"], "from the key")
        self.assertEqual(mail["content"], "正文")
        self.assertEqual(mail["status"], "captured")
        self.assertEqual(mail["attachments"], [{
            "index": 0, "name": "名单.txt", "size": 5,
            "sha256": hashlib.sha256(b"\x00\x01abc").hexdigest()}])
        self.assertEqual(mail["key_id"], "team-key")
        self.assertTrue(mail["peer"].startswith("127.0.0.1:"))
        self.assertEqual(mail["timestamp"], 1796631889)
        self.assertEqual(lumo["receivers"], ["x", "y"])
        self.assertEqual(lumo["cc"], [])
        self.assertEqual(lumo["image_size"], 8)
        self.assertLess(mail["id"], lumo["id"])


class IntakePolicy(unittest.TestCase):
    def test_rows_of_policy(self):
        rows = [
            # (name, config, channel, package, expected)
            ("client outside allow", 'allow = ["10.0.0.0/8"]\n', "sms", h.request("sms"), 1),
            ("no key while require_key", "require_key = true\n" + KEYS, "sms",
             h.request("sms"), 5),
            ("key while require_key", "require_key = true\n" + KEYS, "sms",
             h.request("sms", key_id="sms-only"), 0),
            ("package over max_package", "max_package = 100\n", "sms",
             h.request("sms", content="x" * 200), None),
        ]
        for i, (name, config, channel, package, expected) in enumerate(rows):
            server = h.start_relayd(BINARY, config=config)
            try:
                self.assertEqual(h.send(server.port(channel), package), expected,
                                 "row %d: %s" % (i, name))
            finally:
                server.close()


class Lifecycle(unittest.TestCase):
    def test_refusals_at_start_exit_2_with_one_line(self):
        busy = h.start_relayd(BINARY)
        try:
            rows = [
                # (name, config, Relayd arguments, a fragment of the line on stderr)
                ("unknown option", "", dict(args=["--frobnicate"]), "--frobnicate"),
                ("bad configuration", 'max_connections = "many"\n', {}, "relayd.toml:1:"),
                ("port taken", "", dict(port_offset=busy.port_offset), "Address already in use"),
                ("store cannot be opened", "", dict(args=["--store", "/nonexistent/dir/x.db"]),
                 "/nonexistent/dir/x.db"),
                ("public http without a token", "", dict(args=["--http", "0.0.0.0:12999"]),
                 "http_token"),
            ]
            for i, (name, config, kwargs, fragment) in enumerate(rows):
                server = h.Relayd(BINARY, config=config, **kwargs)
                try:
                    self.assertFalse(server.start(), "row %d: %s" % (i, name))
                    self.assertEqual(server.exit_status, 2, "row %d: %s" % (i, name))
                    self.assertIn(fragment.encode(), server.stderr, "row %d: %s" % (i, name))
                    self.assertEqual(len(server.stderr.strip().splitlines()), 1,
                                     "row %d: %s" % (i, name))
                finally:
                    server.close()
        finally:
            busy.close()

    def test_check_config_agrees_with_serving(self):
        rows = [
            # (name, config for an HTTP port, whether it is accepted)
            ("a domain with an empty label", '[mail]\ndomain = "a..b"\n', False),
            ("a sender with an empty label", '[mail]\nfrom = "a@b..c"\n', False),
            ("http on the IPv4-mapped loopback", 'http = "[::ffff:127.0.0.1]:%d"\n', True),
        ]
        for i, (name, config, accepted) in enumerate(rows):
            # Another test may take the free port before the relay binds it: try another.
            for _ in range(8):
                port = h.free_port()
                server = h.Relayd(BINARY, config=config.replace("%d", str(port)),
                                  port_offset=random.randrange(2000, 40000, 4), http=True)
                checked = server.run("--check-config")
                started = server.start()
                if started or b"in use" not in server.stderr:
                    break
                server.close()
            try:
                self.assertEqual(checked.returncode, 0 if accepted else 2,
                                 "row %d: %s: %r" % (i, name, checked.stderr))
                self.assertEqual(started, accepted,
                                 "row %d: %s: %r" % (i, name, server.stderr))
                if accepted:
                    status, _ = h.call("http://127.0.0.1:%d/livez" % port)
                    self.assertEqual(status, 200, "row %d: %s" % (i, name))
                else:
                    self.assertEqual(server.exit_status, 2, "row %d: %s" % (i, name))
                    self.assertIn(checked.stderr.strip(), server.stderr, "row %d: %s" % (i, name))
            finally:
                server.close()

    def test_sigterm_answers_then_exits_0(self):
        server = h.start_relayd(BINARY)
        try:
            self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
            self.assertEqual(server.stop(), 0)
            self.assertEqual(len(server.dump()), 1)
        finally:
            server.close()


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
