"""fanout_relayd under a service manager, emulated by a NOTIFY_SOCKET datagram socket: READY=1
with a STATUS line once every port listens, STOPPING=1 when a stop signal comes."""
import os
import socket
import sys
import tempfile
import unittest

import harness as h

BINARY = None


class Notify(unittest.TestCase):
    def test_ready_once_listening_then_stopping(self):
        folder = tempfile.mkdtemp(prefix="relayd_notify_")
        path = os.path.join(folder, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        manager.bind(path)
        manager.settimeout(10)
        os.environ["NOTIFY_SOCKET"] = path
        try:
            server = h.start_relayd(BINARY)
            try:
                ready = manager.recv(4096).decode()
                self.assertIn("READY=1", ready.splitlines())
                self.assertIn("STATUS=listening on 127.0.0.1", ready)
                self.assertEqual(h.send(server.port("sms"), h.request("sms")), 0)
                self.assertEqual(server.stop(), 0)
                self.assertIn("STOPPING=1", manager.recv(4096).decode().splitlines())
            finally:
                server.close()
        finally:
            del os.environ["NOTIFY_SOCKET"]
            manager.close()
            os.unlink(path)
            os.rmdir(folder)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    sys.argv.pop(1)
    unittest.main()
