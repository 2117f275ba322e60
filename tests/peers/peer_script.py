"""What the test peers share: scripted answers, stalls, and one JSON line per event.

A peer answers every message or request with its default code unless told otherwise:
    reply CODE [N] [retry-after=VALUE]   the next N (default 1) get CODE (HTTP: with a
                                        Retry-After header; "_" in VALUE for spaces)
    stall SECONDS [N]                   the next N (default 1) wait SECONDS first
    count                               prints {"event": "count", "received": R, "accepted": A}
    quit                                the peer exits (at the end of its input it keeps
                                        serving until SIGTERM)
Commands come one per line on standard input (each acknowledged with {"event": "ok"}) or
as --reply CODE[:N] / --stall SECONDS[:N] options at start.
"""

import json
import queue
import sys
import threading


class Script:
    """The queue of scripted answers and stalls, shared by the serving threads."""

    def __init__(self, default_code):
        self._lock = threading.Lock()
        self._default = default_code
        self._replies = []  # [code, retry_after or None], one entry per message
        self._stalls = []  # seconds, one entry per message
        self.received = 0
        self.accepted = 0

    def add_reply(self, code, count=1, retry_after=None):
        with self._lock:
            self._replies.extend([(code, retry_after)] * count)

    def add_stall(self, seconds, count=1):
        with self._lock:
            self._stalls.extend([seconds] * count)

    def next(self):
        """(sequence number, code, retry_after, stall seconds) for the next message."""
        with self._lock:
            self.received += 1
            code, retry_after = self._replies.pop(0) if self._replies else (self._default, None)
            stall = self._stalls.pop(0) if self._stalls else 0.0
            if 200 <= code < 300:
                self.accepted += 1
            return self.received, code, retry_after, stall


class Output:
    """JSON lines to standard output (unless quiet) and to an optional file, written by a
    thread of their own: a reader that is slow to read never holds up an answer."""

    def __init__(self, path, quiet):
        self._quiet = quiet
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._queue = queue.Queue()
        threading.Thread(target=self._write_all, daemon=True).start()

    def event(self, record, always=False):
        self._queue.put((json.dumps(record, ensure_ascii=False), always))

    def _write_all(self):
        while True:
            line, always = self._queue.get()
            if always or not self._quiet:
                sys.stdout.write(line + "\n")
                sys.stdout.flush()
            if self._file is not None and not always:
                self._file.write(line + "\n")
                self._file.flush()


def parse_count_option(text, convert):
    """"451:2" -> (451, 2); "451" -> (451, 1)."""
    value, _, count = text.partition(":")
    return convert(value), int(count) if count else 1


def add_common_options(parser):
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (loopback)")
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one")
    parser.add_argument("--out", help="also append every received message to this JSON-lines file")
    parser.add_argument("--quiet", action="store_true", help="no line per message on stdout")
    parser.add_argument("--reply", action="append", default=[], metavar="CODE[:N]",
                        help="answer the next N messages with CODE (repeatable, in order)")
    parser.add_argument("--stall", action="append", default=[], metavar="SECONDS[:N]",
                        help="wait SECONDS before answering the next N messages")


def apply_common_options(args, script):
    for text in args.reply:
        script.add_reply(*parse_count_option(text, int))
    for text in args.stall:
        script.add_stall(*parse_count_option(text, float))


def serve_commands(script, output):
    """Reads commands from standard input until "quit"; at its end (a peer started in
    the background with no input) keeps serving until a signal ends the process."""
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            if words[0] == "reply":
                retry_after = None
                rest = words[2:]
                if rest and rest[-1].startswith("retry-after="):
                    # "_" stands for a space, so an HTTP date fits in one word.
                    retry_after = rest.pop()[len("retry-after="):].replace("_", " ")
                script.add_reply(int(words[1]), int(rest[0]) if rest else 1, retry_after)
            elif words[0] == "stall":
                script.add_stall(float(words[1]), int(words[2]) if len(words) > 2 else 1)
            elif words[0] == "count":
                output.event({"event": "count", "received": script.received,
                              "accepted": script.accepted}, always=True)
                continue
            elif words[0] == "quit":
                return
            else:
                raise ValueError("unknown command")
            output.event({"event": "ok", "command": line.strip()}, always=True)
        except (ValueError, IndexError) as error:
            output.event({"event": "error", "command": line.strip(), "error": str(error)},
                         always=True)
    threading.Event().wait()
