"""fanout_relayd's intake against hostile peers over real sockets: partial frames, peers
outside allow, one address holding many connections, a tight descriptor limit. Each row
asserts what the attack costs the relay's memory (from /proc) and that a legitimate
client from another address is still answered within a second."""
import os
import random
import socket
import sys
import threading
import time
import unittest

import harness as h

BINARY = None
MIB = 1 << 20
ATTACKER = "127.0.0.2"  # the legitimate client comes from 127.0.0.1


def proc_kib(pid, field):
    with open("/proc/%d/status" % pid, encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for pid %d" % (field, pid))


def connect_from(source, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(5)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def partial_frames(port, count, size, sent):
    """count connections each sending the first `sent` bytes of a frame of `size` bytes;
    the relay may close some at once (over its budget)."""
    body = b"\0" * (sent - 5)
    socks = []
    for _ in range(count):
        sock = connect_from(ATTACKER, port)
        socks.append(sock)
        try:
            sock.sendall(h.STX + h.be32(size) + body)
        except OSError:
            pass  # closed without a reply: over the budget
    return socks


def whole_frames(port, count, size):
    """count sms requests of `size` content bytes sent at once, each waiting for its
    answer (or its close, over the budget)."""
    data = h.frame(h.request("sms", content="x" * size))

    def one():
        try:
            h.exchange(port, data, host="127.0.0.1", timeout=30)
        except OSError:
            pass  # closed while sending: over the budget

    threads = [threading.Thread(target=one) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return []


def idle(port, count):
    socks = []
    for _ in range(count):
        try:
            socks.append(connect_from(ATTACKER, port))
        except OSError:
            pass
    return socks


def closed_at_once(socks):
    """How many of socks the relay has closed (within a second)."""
    count = 0
    for sock in socks:
        sock.settimeout(1.0 / len(socks))
        try:
            count += sock.recv(1) == b""
        except ConnectionResetError:
            count += 1
        except socket.timeout:
            pass
    return count


class PrlimitRelayd(h.Relayd):
    """The relay under a descriptor limit of 200."""

    def base_args(self):
        return ["prlimit", "--nofile=200", "--"] + super().base_args()


class HostilePeers(unittest.TestCase):
    def legit_answered_within_a_second(self, server, row):
        started = time.monotonic()
        result = h.send(server.port("sms"), h.request("sms", content=row), timeout=1.0)
        self.assertEqual(result, 0, "row %s: the legitimate request" % row)
        self.assertLess(time.monotonic() - started, 1.0, "row %s" % row)

    def test_attacks_cost_bounded_memory_and_lock_nobody_out(self):
        rows = [
            # (name, config, server class, attack(port) -> sockets, MiB the relay's
            #  peak RSS may grow, check(self, server, sockets) or None)
            ("40 partial frames of 16 MiB", "", h.Relayd,
             lambda port: partial_frames(port, 40, 16 * MIB, 15 * MIB), 256 + 96, None),
            ("24 whole requests of 15 MiB at once", "", h.Relayd,
             lambda port: whole_frames(port, 24, 15 * MIB), 256 + 96, None),
            ("50 peers outside allow", 'allow = ["127.0.0.1/32"]\n', h.Relayd,
             lambda port: partial_frames(port, 50, 16 * MIB, 15 * MIB), 32,
             self.check_refused_peer),
            ("300 idle connections from one address", "", h.Relayd,
             lambda port: idle(port, 300), 32,
             lambda test, server, socks: test.assertGreaterEqual(closed_at_once(socks), 44)),
            ("260 idle connections under 200 descriptors", "", PrlimitRelayd,
             lambda port: idle(port, 260), 32, self.check_descriptor_limit),
        ]
        for i, (name, config, kind, attack, grow_mib, check) in enumerate(rows):
            row = "%d: %s" % (i, name)
            server = self.start(kind, config)
            socks = []
            try:
                before = proc_kib(server.proc.pid, "VmRSS")
                socks = attack(server.port("sms"))
                self.legit_answered_within_a_second(server, row)
                peak = proc_kib(server.proc.pid, "VmHWM")
                self.assertLess(peak - before, grow_mib * 1024, "row %s: KiB" % row)
                if check:
                    check(self, server, socks)
            finally:
                for sock in socks:
                    sock.close()
                server.close()

    @staticmethod
    def start(kind, config):
        for _ in range(8):
            server = kind(BINARY, config=config, port_offset=random.randrange(2000, 40000, 4))
            if server.start():
                return server
            server.close()
        raise RuntimeError("no free port offset for fanout_relayd")

    @staticmethod
    def stop(server, socks):
        for sock in socks:
            sock.close()
        server.stop()

    @staticmethod
    def check_refused_peer(test, server, socks):
        # A whole frame from outside allow is answered 1, its reason logged.
        sock = connect_from(ATTACKER, server.port("sms"))
        sock.sendall(h.frame(h.request("sms", timestamp=77)))
        reply = h.parse_reply(sock.recv(100))
        sock.close()
        test.assertEqual(reply, (1, 77, 1))
        HostilePeers.stop(server, socks)
        test.assertRegex(server.stderr.decode(),
                         r"refused 127\.0\.0\.2:\d+ sms result 1: address not in allow\n")

    @staticmethod
    def check_descriptor_limit(test, server, socks):
        HostilePeers.stop(server, socks)
        text = server.stderr.decode()
        test.assertRegex(text, r"max_connections \d+ \(lowered from 4096: 200 descriptors\)")
        test.assertLessEqual(text.count("Too many open files"), 1, text)


class RefusalLog(unittest.TestCase):
    def test_refusals_are_logged_at_most_ten_a_second(self):
        server = h.start_relayd(BINARY)
        try:
            for _ in range(30):
                self.assertEqual(h.send(server.port("sms"), h.request("sms", receivers="a b")),
                                 2)
            time.sleep(1.1)
            self.assertEqual(h.send(server.port("zeph"), h.request("zeph", title="")), 2)
            server.stop()
            lines = server.stderr.decode().splitlines()
            refused = [line for line in lines if " refused " in line]
            self.assertRegex(refused[0], r"^fanout_relayd: refused 127\.0\.0\.1:\d+ sms result 2: "
                                         r"receivers 'a b' hold a byte not allowed$")
            self.assertLessEqual(len(refused), 12, "\n".join(lines))
            self.assertRegex(lines[-1], r"zeph result 2: empty title$")
            self.assertRegex(lines[-2], r"^fanout_relayd: \d+ refusal lines left out$")
        finally:
            server.close()


if __name__ == "__main__":
    # Under the address sanitizer, freed memory waits in a quarantine that would count as
    # the relay's: the rows measure what the relay holds, so the quarantine is turned off.
    os.environ["ASAN_OPTIONS"] = ":".join(
        filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=0"]))
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
