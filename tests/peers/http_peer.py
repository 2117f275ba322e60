#!/usr/bin/python3
"""An HTTP receiver for webhook tests: answers POSTs on loopback and reports each one.

    /usr/bin/python3 tests/peers/http_peer.py [--port 0] [--out FILE] [--quiet]
                                              [--secret SECRET] [--reply CODE[:N]]
                                              [--stall SECONDS[:N]]

First line on stdout: {"event": "ready", "port": PORT}. Then, per request (answered 200
unless scripted, see peer_script.py; "reply 429 1 retry-after=2" adds a Retry-After
header), one line
    {"event": "request", "seq", "status", "method", "path", "headers" (names in lower
     case), "body" (text), "client_port", "signature_ok" (null without --secret)}
signature_ok: X-Fanout-Signature is "sha256=" and the hex HMAC-SHA256 of the body with
SECRET, checked with Python's hmac.
"""

import argparse
import hashlib
import hmac
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_script  # noqa: E402


def make_handler(script, output, secret):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keep-alive: a sender may reuse its connection

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            seq, code, retry_after, stall = script.next()
            if stall:
                time.sleep(stall)
            signature_ok = None
            if secret is not None:
                expected = "sha256=" + hmac.new(secret.encode(), body, hashlib.sha256).hexdigest()
                signature_ok = hmac.compare_digest(
                    expected, self.headers.get("X-Fanout-Signature", ""))
            output.event({"event": "request", "seq": seq, "status": code,
                          "method": self.command, "path": self.path,
                          "headers": {k.lower(): v for k, v in self.headers.items()},
                          "body": body.decode("utf-8", errors="replace"),
                          "client_port": self.client_address[1],
                          "signature_ok": signature_ok})
            if code in (204, 304):
                answer = b""  # these statuses have no body
            elif 200 <= code < 300:
                answer = b'{"ok": true}'
            else:
                answer = b"scripted failure"
            try:
                self.send_response(code)
                if retry_after is not None:
                    self.send_header("Retry-After", retry_after)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True  # the sender gave up waiting (a stall)

        def log_message(self, *args):
            pass

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    peer_script.add_common_options(parser)
    parser.add_argument("--secret", help="check X-Fanout-Signature with this secret")
    args = parser.parse_args()
    script = peer_script.Script(200)
    peer_script.apply_common_options(args, script)
    output = peer_script.Output(args.out, args.quiet)

    server = ThreadingHTTPServer((args.host, args.port),
                                 make_handler(script, output, args.secret))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    output.event({"event": "ready", "port": server.server_address[1]}, always=True)
    peer_script.serve_commands(script, output)


if __name__ == "__main__":
    main()
