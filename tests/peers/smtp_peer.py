#!/usr/bin/python3
"""An SMTP server for delivery tests: accepts mail on loopback and reports each message.

    /usr/bin/python3 tests/peers/smtp_peer.py [--port 0] [--out FILE] [--quiet]
                                              [--reply CODE[:N]] [--stall SECONDS[:N]]
                                              [--auth]

--auth offers AUTH PLAIN and LOGIN without offering STARTTLS (a server a password must
never reach) and reports each login as {"event": "auth", "login", "password"}.

First line on stdout: {"event": "ready", "port": PORT}. Then, per message (answered at the
end of DATA with 250 unless scripted: see peer_script.py), one line
    {"event": "message", "seq", "reply", "client_gone", "mail_from", "rcpt_tos",
     "header_names", "subject", "from", "to", "cc", "date", "message_id", "x_fanout_id",
     "body_type", "body", "attachments": [{"filename", "content_type", "data_base64"}],
     "defects", "raw_base64"}
where the fields are what Python's email package (policy.default) reads from the raw bytes.
"""

import argparse
import asyncio
import base64
import email
import email.policy
import os
import sys
import threading

from aiosmtpd.smtp import SMTP, AuthResult

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_script  # noqa: E402

REPLIES = {250: "250 2.0.0 Ok: queued as {seq}", 451: "451 4.3.0 Try again later",
           550: "550 5.7.1 Rejected by policy"}


def addresses(message, name):
    header = message[name]
    return [address.addr_spec for address in header.addresses] if header is not None else []


def describe(raw):
    """The fields a test compares, as the email package reads them."""
    message = email.message_from_bytes(raw, policy=email.policy.default)
    body = message.get_body(preferencelist=("plain",))
    attachments = []
    for part in message.iter_attachments():
        data = part.get_payload(decode=True) or b""
        attachments.append({"filename": part.get_filename(),
                            "content_type": part.get_content_type(),
                            "data_base64": base64.b64encode(data).decode()})
    defects = [type(d).__name__ for part in message.walk() for d in part.defects]
    return {"header_names": list(message.keys()),
            "subject": str(message["Subject"]) if message["Subject"] is not None else None,
            "from": addresses(message, "From"), "to": addresses(message, "To"),
            "cc": addresses(message, "Cc"), "date": message["Date"],
            "message_id": message["Message-ID"], "x_fanout_id": message["X-Fanout-Id"],
            "body_type": body.get_content_type() if body is not None else None,
            "body_charset": body.get_content_charset() if body is not None else None,
            "body": body.get_content() if body is not None else None,
            "attachments": attachments, "defects": defects}


class Handler:
    def __init__(self, script, output, quiet):
        self._script = script
        self._output = output
        self._quiet = quiet

    async def handle_DATA(self, server, session, envelope):
        seq, code, _, stall = self._script.next()
        if stall:
            await asyncio.sleep(stall)
        if self._quiet:  # counted only: the peer's own cost stays that of SMTP
            return REPLIES.get(code, "{code} Scripted answer").format(seq=seq, code=code)
        record = {"event": "message", "seq": seq, "reply": code,
                  "client_gone": server.transport is None or server.transport.is_closing(),
                  "mail_from": envelope.mail_from, "rcpt_tos": list(envelope.rcpt_tos)}
        try:
            record.update(describe(envelope.original_content))
        except Exception as error:  # a test wants to see what could not be read
            record["parse_error"] = repr(error)
        record["raw_base64"] = base64.b64encode(envelope.original_content).decode()
        self._output.event(record)
        return REPLIES.get(code, "{code} Scripted answer").format(seq=seq, code=code)


def authenticator(output):
    """Reports each login and accepts it."""
    def check(_server, _session, _envelope, mechanism, auth_data):
        output.event({"event": "auth", "mechanism": mechanism,
                      "login": auth_data.login.decode("utf-8", "replace"),
                      "password": auth_data.password.decode("utf-8", "replace")})
        return AuthResult(success=True)
    return check


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    peer_script.add_common_options(parser)
    parser.add_argument("--auth", action="store_true",
                        help="offer AUTH without STARTTLS and report each login")
    args = parser.parse_args()
    script = peer_script.Script(250)
    peer_script.apply_common_options(args, script)
    output = peer_script.Output(args.out, args.quiet)

    loop = asyncio.new_event_loop()
    handler = Handler(script, output, args.quiet and not args.out)
    auth_options = {}
    if args.auth:
        auth_options = {"authenticator": authenticator(output), "auth_require_tls": False}
    server = loop.run_until_complete(loop.create_server(
        lambda: SMTP(handler, decode_data=False, data_size_limit=64 * 1024 * 1024,
                     **auth_options),
        host=args.host, port=args.port))
    threading.Thread(target=loop.run_forever, daemon=True).start()
    output.event({"event": "ready", "port": server.sockets[0].getsockname()[1]}, always=True)
    peer_script.serve_commands(script, output)


if __name__ == "__main__":
    main()
