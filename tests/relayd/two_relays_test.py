"""Two real fanout_relayd processes sharing one PostgreSQL database: a request offered to
both is stored once, keys registered on one are honoured and revoked on the other, every
message is delivered by exactly one relay, and a relay killed mid-delivery leaves its
message to the other. And one relay whose database refuses it while keys are looked up.

The server: FANOUT_TEST_PG_URL; else the cluster CTest started (FANOUT_TEST_PG_STATE, the
state folder of tools/pg_cluster.sh); else one this test starts. Each test gets a fresh
database of its own.
"""
import itertools
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import harness as h

RELAYD = CLIENT = None
PG_URL = None
OWN_CLUSTER = None
SKIP_EXIT = 77  # CTest's SKIP_RETURN_CODE for this test
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLUSTER_SCRIPT = os.path.join(ROOT, "tools", "pg_cluster.sh")
PSQL = next((p for p in ("/usr/lib/postgresql/15/bin/psql", "/usr/bin/psql")
             if os.access(p, os.X_OK)), "psql")
DATABASE_NUMBERS = itertools.count()
FAST = """
[delivery]
retry_initial = "200ms"
retry_max = "400ms"
attempt_timeout = "2s"
"""


def with_database(url, database):
    """The URL with its database name replaced."""
    at = url.index("/", url.index("://") + 3)
    query = url[url.index("?"):] if "?" in url else ""
    return url[:at] + "/" + database + query


def psql(url, sql):
    subprocess.run([PSQL, "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", url, "-c", sql],
                   check=True, capture_output=True, timeout=60)


def find_server():
    """The cluster URL; None (after saying why) when there are no server binaries."""
    global OWN_CLUSTER
    url = os.environ.get("FANOUT_TEST_PG_URL", "")
    if url:
        return url
    state = os.environ.get("FANOUT_TEST_PG_STATE", "")
    if state and os.path.exists(os.path.join(state, "url")):
        with open(os.path.join(state, "url"), encoding="utf-8") as f:
            return f.read().strip()
    OWN_CLUSTER = os.path.join(tempfile.mkdtemp(prefix="two_relays_"), "cluster")
    done = subprocess.run([CLUSTER_SCRIPT, "start", OWN_CLUSTER], capture_output=True,
                          timeout=120)
    if done.returncode == 3:
        os.rmdir(os.path.dirname(OWN_CLUSTER))
        print("PostgreSQL server binaries not found: skipping")
        return None
    if done.returncode != 0:
        raise RuntimeError("cannot start a PostgreSQL cluster: %r" % done.stderr)
    return done.stdout.decode().strip()


def settled(relay, count, timeout=30.0):
    """The records once there are count of them and none is waiting for delivery (or the
    last ones seen when the time ran out, so the assertion shows them)."""
    deadline = time.monotonic() + timeout
    while True:
        records = relay.dump()
        done = len(records) == count and all(r["status"] in ("delivered", "failed")
                                             for r in records)
        if done or time.monotonic() > deadline:
            return records
        time.sleep(0.2)


class TwoRelays(unittest.TestCase):
    """A fresh database per test; relays A and B on it, each with its HTTP side."""

    def setUp(self):
        self.database = "two_relays_%d_%d" % (os.getpid(), next(DATABASE_NUMBERS))
        psql(PG_URL, "CREATE DATABASE " + self.database)
        self.store = with_database(PG_URL, self.database)
        self.cleanup = []

    def tearDown(self):
        for close in reversed(self.cleanup):
            close()
        psql(PG_URL, "DROP DATABASE %s WITH (FORCE)" % self.database)

    def relay(self, config="", http=True):
        """A started relay on the shared store: (server, HTTP url or None)."""
        config = 'store = "%s"\n' % self.store + config
        if http:
            server, url = h.start_with_http(RELAYD, config)
        else:
            server, url = h.start_relayd(RELAYD, config=config), None
        self.cleanup.append(server.close)
        return server, url

    def peer(self, kind, *args):
        peer = h.Peer(kind, *args)
        self.cleanup.append(peer.close)
        return peer

    def test_request_offered_to_both_is_stored_once(self):
        relay_a, url_a = self.relay()
        relay_b, url_b = self.relay()
        package = h.request("sms", content="failover copy")
        self.assertEqual(h.send(relay_a.port("sms"), package), 0)
        self.assertEqual(h.send(relay_b.port("sms"), package), 0)
        for i, relay in enumerate((relay_a, relay_b)):
            records = relay.dump()
            self.assertEqual([r["content"] for r in records], ["failover copy"], "relay %d" % i)
        rows = [(url_a, 0), (url_b, 1)]  # (relay, duplicates it counted)
        for i, (url, expected) in enumerate(rows):
            status, text = h.call(url + "/metrics")
            self.assertEqual(status, 200, "row %d" % i)
            counted = sum(v for k, v in h.samples(text).items()
                          if k.startswith("fanout_relay_duplicates_total"))
            self.assertEqual(counted, expected, "row %d" % i)

    def test_failing_key_lookups_cost_one_line_per_spell(self):
        relay, _ = self.relay(http=False)
        sms = relay.port("sms")
        self.assertEqual(h.send(sms, h.request("sms", key_id="stored-or-not")), 5)
        psql(PG_URL, "ALTER DATABASE %s ALLOW_CONNECTIONS false" % self.database)
        psql(PG_URL, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                     "WHERE datname = '%s'" % self.database)
        try:
            closed = [h.send(sms, h.request("sms", key_id="stored-or-not", content=str(i)))
                      for i in range(5)]
        finally:
            psql(PG_URL, "ALTER DATABASE %s ALLOW_CONNECTIONS true" % self.database)
        self.assertEqual(closed, [None] * 5)
        deadline = time.monotonic() + 20
        while h.send(sms, h.request("sms", content="after")) != 0:
            self.assertLess(time.monotonic(), deadline, relay.stderr)
            time.sleep(0.2)
        relay.stop()
        failing = [line for line in relay.stderr.splitlines()
                   if b"requests are closed unanswered until" in line]
        self.assertEqual(len(failing), 1, relay.stderr)
        self.assertIn(b"looking up a key", failing[0])
        self.assertEqual(relay.stderr.count(b"closed unanswered meanwhile"), 1, relay.stderr)

    def test_key_registered_on_one_is_honoured_and_revoked_on_the_other(self):
        _, url_a = self.relay()
        relay_b, _ = self.relay(http=False)
        status, body = h.call(url_a + "/api/v1/keys", "POST",
                              {"receivers": "oncall", "channels": ["sms"]})
        self.assertEqual(status, 201, body)
        key_id = json.loads(body)["id"]
        self.assertEqual(h.send(relay_b.port("sms"), h.request(
            "sms", key_id=key_id, receivers="", content="by key")), 0)
        record = relay_b.dump()[-1]
        self.assertEqual((record["receivers"], record["key_id"]), (["oncall"], key_id))
        self.assertEqual(h.call(url_a + "/api/v1/keys/" + key_id, "DELETE")[0], 204)
        self.assertEqual(h.send(relay_b.port("sms"), h.request(
            "sms", key_id=key_id, receivers="", content="revoked")), 5)

    def test_messages_spread_over_both_are_delivered_once(self):
        http = self.peer("http")
        config = '[sms]\nwebhook = "http://127.0.0.1:%d/sms"\n' % http.port + FAST
        relays = [self.relay(config, http=False)[0] for _ in range(2)]
        count = 50
        for i in range(count):
            self.assertEqual(h.send(relays[i % 2].port("sms"), h.request(
                "sms", content="spread %d" % i)), 0, "message %d" % i)
        contents = []
        for _ in range(count):
            request = http.wait_for("request", timeout=30)
            self.assertIsNotNone(request, "arrived: %d" % len(contents))
            contents.append(json.loads(request["body"])["content"])
        self.assertEqual(sorted(contents), sorted("spread %d" % i for i in range(count)))
        self.assertIsNone(http.wait_for("request", timeout=1.0), "a message came twice")
        records = settled(relays[1], count)
        self.assertEqual(len(records), count)
        for record in records:
            self.assertEqual((record["status"], record["attempts"]), ("delivered", 1),
                             record["content"])

    def test_relay_killed_mid_delivery_leaves_the_message_to_the_other(self):
        smtp = self.peer("smtp", "--stall", "4:1")
        config = ('[mail]\nsmtp = "smtp://127.0.0.1:%d"\ndomain = "example.test"\n' %
                  smtp.port + FAST)
        relay_a, _ = self.relay(config, http=False)
        self.assertEqual(h.send(relay_a.port("mail"), h.request("mail", content="orphan")), 0)
        time.sleep(1.0)  # relay A holds the message, its attempt stalled inside the exchange
        relay_b, _ = self.relay(config, http=False)
        relay_a.stop(signal.SIGKILL)
        killed = time.monotonic()
        record = h.wait_record(relay_b, lambda r: r["status"] == "delivered", timeout=40)
        self.assertEqual(record["status"], "delivered", record)
        self.assertEqual(record["deliveries"][-1]["outcome"], "delivered")
        mail = smtp.wait_for("message", timeout=10)
        while mail is not None and mail.get("client_gone"):
            mail = smtp.wait_for("message", timeout=10)  # relay A's stalled copy
        self.assertIsNotNone(mail)
        self.assertEqual(mail["body"].rstrip("\r\n"), "orphan")
        self.assertIsNone(smtp.wait_for("message", timeout=1.0), "delivered twice")
        print("delivered by the other relay %.1f s after the kill" % (time.monotonic() - killed),
              file=sys.stderr)


def main():
    global RELAYD, CLIENT, PG_URL
    RELAYD, CLIENT = sys.argv.pop(1), sys.argv.pop(1)
    PG_URL = find_server()
    if PG_URL is None:
        sys.exit(SKIP_EXIT)
    try:
        result = unittest.main(exit=False).result
    finally:
        if OWN_CLUSTER:
            subprocess.run([CLUSTER_SCRIPT, "stop", OWN_CLUSTER], capture_output=True,
                           timeout=60)
            os.rmdir(os.path.dirname(OWN_CLUSTER))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
