"""The HTTP side of the real fanout_relayd: metrics that move by exactly the requests sent,
lists that wait for a request, the event stream, and keys registered over HTTP that the
channel ports then honour."""
import json
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

import harness as h

BINARY = None


class RelaydHttp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server, cls.url = h.start_with_http(BINARY)

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        cls.server.close()
        assert status == 0, "fanout_relayd exited %r" % status

    def scrape(self):
        status, text = h.call(self.url + "/metrics")
        self.assertEqual(status, 200)
        return text

    def test_metrics_move_by_the_requests_sent(self):
        port = self.server.port("sms")
        before = h.samples(self.scrape())
        first = h.request("sms", content="metrics 1", timestamp=1)
        rows = [
            # (package, expected result)
            (first, 0),
            (h.request("sms", content="metrics 2", timestamp=2), 0),
            (first, 0),  # the same bytes again: a duplicate
            (h.request("sms", content=""), 2),
            (h.request("sms", pkg_type=1), 4),
        ]
        for i, (package, expected) in enumerate(rows):
            self.assertEqual(h.send(port, package), expected, "row %d" % i)
        deltas = {
            'fanout_relay_requests_total{channel="sms",result="0"}': 3,
            'fanout_relay_requests_total{channel="sms",result="2"}': 1,
            'fanout_relay_requests_total{channel="sms",result="4"}': 1,
            'fanout_relay_requests_total{channel="mail",result="0"}': 0,
            'fanout_relay_duplicates_total{channel="sms"}': 1,
            'fanout_relay_request_duration_seconds_count': 5,
            'fanout_relay_request_duration_seconds_bucket{le="+Inf"}': 5,
            'fanout_relay_queue_depth{channel="sms"}': 0,  # captured: nowhere to deliver
        }
        text = self.scrape()
        after = h.samples(text)
        for name, delta in deltas.items():
            self.assertEqual(after[name] - before[name], delta, name)
        deadline = time.monotonic() + 5
        while h.samples(self.scrape())["fanout_relay_connections"] != 0:
            self.assertLess(time.monotonic(), deadline, "connections still counted as open")
            time.sleep(0.05)
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as out:
            out.write(text)
            out.flush()
            with open(out.name) as stdin:
                check = subprocess.run(["/usr/bin/promtool", "check", "metrics"], stdin=stdin,
                                       capture_output=True, text=True, timeout=30)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_list_waits_for_a_request(self):
        answer = {}

        def ask():
            answer["reply"] = h.call(self.url + "/api/v1/messages?q=awaited&wait=20")

        asker = threading.Thread(target=ask)
        started = time.monotonic()
        asker.start()
        time.sleep(0.3)
        self.assertEqual(h.send(self.server.port("zeph"),
                                h.request("zeph", title="t", content="awaited zeph")), 0)
        asker.join(timeout=40)
        elapsed = time.monotonic() - started
        status, body = answer["reply"]
        self.assertEqual(status, 200)
        page = json.loads(body)
        self.assertEqual(page["total"], 1, body)
        self.assertEqual(page["messages"][0]["content"], "awaited zeph")
        self.assertLess(elapsed, 10, "the list waited for its time limit")

    def test_event_stream_brings_a_new_message(self):
        with urllib.request.urlopen(self.url + "/api/v1/events", timeout=10) as stream:
            self.assertEqual(stream.headers["Content-Type"], "text/event-stream")
            self.assertTrue(stream.readline().startswith(b"retry:"))
            self.assertEqual(h.send(self.server.port("lumo"),
                                    h.request("lumo", content="streamed 实时", image=b"\x89PNG")), 0)
            arrived = time.monotonic()
            lines = []
            while not any(line.startswith(b"data: ") and "streamed 实时".encode() in line
                          for line in lines):
                self.assertLess(time.monotonic() - arrived, 1.0, b"".join(lines))
                lines.append(stream.readline())
            self.assertIn(b"event: message\n", lines)

    def test_key_registered_over_http_is_honoured(self):
        status, body = h.call(self.url + "/api/v1/keys", "POST",
                              {"receivers": "bob;carol", "subject": "from the web",
                               "channels": ["sms"]})
        self.assertEqual(status, 201, body)
        key_id = json.loads(body)["id"]
        rows = [
            # (channel, package, expected result)
            ("sms", h.request("sms", key_id=key_id, receivers="", content="by key"), 0),
            ("zeph", h.request("zeph", key_id=key_id, receivers="", title="", content="x"), 5),
        ]
        for i, (channel, package, expected) in enumerate(rows):
            self.assertEqual(h.send(self.server.port(channel), package), expected, "row %d" % i)
        _, body = h.call(self.url + "/api/v1/messages?q=by%20key")
        record = json.loads(body)["messages"][0]
        self.assertEqual(record["receivers"], ["bob", "carol"])
        self.assertEqual(record["key_id"], key_id)
        self.assertEqual(h.call(self.url + "/api/v1/keys/" + key_id, "DELETE")[0], 204)
        self.assertEqual(h.send(self.server.port("sms"),
                                h.request("sms", key_id=key_id, content="revoked")), 5)

    def test_probes(self):
        self.assertEqual(h.call(self.url + "/livez")[0], 200)
        self.assertEqual(h.call(self.url + "/readyz")[0], 200)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
