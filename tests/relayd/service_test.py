"""fanout_relayd under a service manager, emulated by a NOTIFY_SOCKET datagram socket: READY=1
with a STATUS line once every port listens, STATUS lines with the counts, RELOADING=1 and
READY=1 around a reload (SIGHUP), STOPPING=1 when a stop signal comes; the journal's
priority prefixes when standard error is the journal's stream."""
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import harness as h

BINARY = None


class Notify(unittest.TestCase):
    def test_ready_once_listening_then_stopping(self):
        manager = Manager()
        try:
            server = h.start_relayd(BINARY)
            try:
                ready = manager.next_with("READY=1")
                self.assertIn("STATUS=listening on 127.0.0.1", ready)
                self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
                self.assertEqual(server.stop(), 0)
                self.assertIsNotNone(manager.next_with("STOPPING=1"))
            finally:
                server.close()
        finally:
            manager.close()


class Manager:
    """A NOTIFY_SOCKET datagram socket set in this process's environment (the relay's)."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="relayd_notify_")
        self.path = os.path.join(self.folder, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.environ["NOTIFY_SOCKET"] = self.path

    def next_with(self, field, timeout=10.0):
        """The next notice holding the line field (skipping others), or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                notice = self.sock.recv(4096).decode()
            except socket.timeout:
                return None
            if any(line.startswith(field) for line in notice.splitlines()):
                return notice

    def close(self):
        del os.environ["NOTIFY_SOCKET"]
        self.sock.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def api_status(url, token):
    req = urllib.request.Request(url + "/api/v1/keys",
                                 headers={"Authorization": "Bearer " + token})
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status
    except urllib.error.HTTPError as err:
        return err.code


class Reload(unittest.TestCase):
    def test_hup_takes_keys_and_secrets_and_keeps_the_old_on_a_broken_file(self):
        """The key ring, the token and the webhook secret change with a reload, the
        delivered message's signature with them; a broken file changes nothing."""
        manager = Manager()
        folder = tempfile.mkdtemp(prefix="relayd_reload_")
        token, secret = os.path.join(folder, "token"), os.path.join(folder, "secret")
        for path in (token, secret):
            with open(path, "w") as out:
                out.write("first\n")
        # The first four deliveries stall together: each of the lane's four workers makes
        # a sender with the old secret.
        peer = h.Peer("http", "--secret", "second", "--stall", "1:4")
        config = ('http_token_file = "%s"\nrequire_key = true\n'
                  '[sms]\nwebhook = "http://127.0.0.1:%d/sms"\nsecret_file = "%s"\n'
                  '[[keys]]\nid = "old-key"\nreceivers = "alice"\n' % (token, peer.port, secret))
        try:
            server, url = h.start_with_http(BINARY, config=config)
            try:
                self.assertIn("READY=1", manager.next_with("READY=1").splitlines())
                sms = server.port("sms")
                for n in range(4):
                    self.assertEqual(h.send(sms, h.request("sms", key_id="old-key",
                                                           content=str(n))), 0)
                self.assertEqual(h.send(sms, h.request("sms", key_id="new-key")), 5)
                self.assertEqual(api_status(url, "first"), 200)
                for _ in range(4):
                    self.assertIs(peer.wait_for("request")["signature_ok"], False)

                with open(server.config_path) as src:
                    text = src.read()
                with open(server.config_path, "w") as out:
                    out.write("max_package = 4096\n" + text.replace("old-key", "new-key"))
                for path in (token, secret):
                    with open(path, "w") as out:
                        out.write("second\n")
                server.proc.send_signal(signal.SIGHUP)
                self.assertTrue(server.wait_log(b"reloaded:"), server.stderr)
                self.assertIn(b"fanout_relayd: reloaded: keys 1; secrets changed: http_token, "
                              b"sms.secret; needs a restart: max_package\n", server.stderr)
                self.assertIn("MONOTONIC_USEC=", manager.next_with("RELOADING=1"))
                self.assertIn("requests answered", manager.next_with("READY=1"))
                self.assertEqual(h.send(sms, h.request("sms", key_id="new-key")), 0)
                self.assertEqual(h.send(sms, h.request("sms", key_id="old-key")), 5)
                self.assertEqual(api_status(url, "second"), 200)
                self.assertEqual(api_status(url, "first"), 401)
                self.assertIs(peer.wait_for("request")["signature_ok"], True)

                with open(server.config_path, "a") as out:
                    out.write("[[keys]\n")
                server.proc.send_signal(signal.SIGHUP)
                self.assertTrue(server.wait_log(b"reload failed"), server.stderr)
                self.assertIsNotNone(manager.next_with("READY=1"))
                self.assertEqual(h.send(sms, h.request("sms", key_id="new-key", content="2")), 0)

                # The counts every few seconds, without a reload.
                status = manager.next_with("STATUS=", timeout=8)
                self.assertIn("8 requests answered (6 with 0)", status)
                self.assertEqual(server.stop(), 0)
                self.assertIsNotNone(manager.next_with("STOPPING=1"))
            finally:
                server.close()
        finally:
            peer.close()
            manager.close()
            shutil.rmtree(folder, ignore_errors=True)
        self.assertEqual(server.stderr.count(b"reloaded:"), 1, server.stderr)
        self.assertEqual(server.stderr.count(b"reload failed"), 1, server.stderr)


class JournalPriorities(unittest.TestCase):
    def test_each_line_carries_its_priority_when_stderr_is_the_journal(self):
        folder = tempfile.mkdtemp(prefix="relayd_journal_")
        config = os.path.join(folder, "relayd.toml")
        with open(config, "w") as out:
            out.write("require_key = true\n")
        log_path = os.path.join(folder, "stderr")
        try:
            for journal in (True, False):
                with self.subTest(journal=journal), open(log_path, "wb") as log:
                    info = os.fstat(log.fileno())
                    env = dict(os.environ, JOURNAL_STREAM="%d:%d" % (
                        info.st_dev, info.st_ino + (0 if journal else 1)))
                    proc, offset = start_logging(config, folder, env, log, log_path)
                    try:
                        self.assertTrue(wait_file(log_path, b"listening on"))
                        refused = h.send(12463 + offset, h.request("sms"))
                        self.assertEqual(refused, 5)
                        proc.send_signal(signal.SIGHUP)
                        self.assertTrue(wait_file(log_path, b"reloaded:"))
                        with open(config, "a") as out:
                            out.write("nonsense\n")
                        proc.send_signal(signal.SIGHUP)
                        self.assertTrue(wait_file(log_path, b"reload failed"))
                        proc.send_signal(signal.SIGTERM)
                        self.assertEqual(proc.wait(timeout=10), 0)
                    finally:
                        proc.kill()
                        proc.wait(timeout=10)
                        with open(config, "w") as out:
                            out.write("require_key = true\n")
                    with open(log_path, "rb") as src:
                        lines = src.read().splitlines()
                    rows = ((b"<6>", b"listening on"), (b"<4>", b"refused "),
                            (b"<6>", b"reloaded: keys 0"), (b"<3>", b"reload failed"))
                    for prefix, text in rows:
                        want = (prefix if journal else b"") + b"fanout_relayd: " + text
                        self.assertTrue(any(line.startswith(want) for line in lines),
                                        (want, lines))
                    self.assertTrue(all(line.startswith(b"<") == journal for line in lines),
                                    lines)
        finally:
            shutil.rmtree(folder, ignore_errors=True)


def start_logging(config, folder, env, log, log_path, tries=8):
    """The relay started on a free port offset, its stderr into log (emptied before each
    try: a concurrent test may hold the ports of an offset); (process, offset)."""
    for _ in range(tries):
        offset = random.randrange(2000, 40000, 4)
        log.seek(0)
        log.truncate()
        proc = subprocess.Popen(
            [BINARY, "-c", config, "--http", "off", "--port-offset", str(offset)],
            cwd=folder, stdout=subprocess.DEVNULL, stderr=log, env=env)
        deadline = time.monotonic() + 20
        while proc.poll() is None and time.monotonic() < deadline:
            if wait_file(log_path, b"listening on", timeout=0.1):
                return proc, offset
        proc.kill()
        proc.wait(timeout=10)
    raise RuntimeError("no free port offset for fanout_relayd")


def wait_file(path, text, timeout=10.0):
    """Polls the file until it holds text; True when it did in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, "rb") as src:
            if text in src.read():
                return True
        time.sleep(0.05)
    return False


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
