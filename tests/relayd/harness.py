"""Test harness for fanout_relayd: the real server as a child process, raw request frames
built here independently of the product's encoders, and the client binary.

Every wait is bounded. Servers listen on loopback only; a test that does not need the
client's fixed ports runs on a port offset of its own, so such tests run in parallel.
"""
import json
import os
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

CHANNEL_PORTS = {"mail": 12460, "zeph": 12461, "lumo": 12462, "sms": 12463}
STX, ETX = b"\x02", b"\x03"


def be32(n):
    return struct.pack(">I", n)


def field(value):
    if isinstance(value, str):
        value = value.encode("utf-8")
    return be32(len(value)) + value


def header(timestamp=1796631889, pkg_type=0, cmd=1, version=1, result=0):
    return struct.pack(">BBBII", cmd, pkg_type, version, timestamp, result) + bytes(32)


def frame(payload):
    return STX + be32(len(payload) + 6) + payload + ETX


def request(channel, key_id="", sender="script", receivers="alice", cc="", title="t",
            content="hello", image=b"", attachments=(), timestamp=1796631889, pkg_type=0):
    """A request package of the channel's body layout; attachments as (name, bytes)."""
    body = field(key_id) + field(sender) + field(receivers)
    if channel == "lumo":
        body += field(content) + field(image)
    elif channel == "mail":
        body += field(cc) + field(title) + field(content) + be32(len(attachments))
        for name, data in attachments:
            body += field(name) + field(data)
    else:
        body += field(title) + field(content)
    return header(timestamp=timestamp, pkg_type=pkg_type) + body


def parse_reply(data):
    """(pkg_type, timestamp, result) of a reply frame, or None when it is not one."""
    if len(data) != 49 or data[:1] != STX or data[-1:] != ETX:
        return None
    _cmd, pkg_type, _ver, timestamp, result = struct.unpack(">BBBII", data[5:16])
    return pkg_type, timestamp, result


def exchange(port, data, host="127.0.0.1", timeout=10.0):
    """Sends raw bytes and reads until the server closes: the reply bytes, b"" when it
    closed without answering."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as sock:
        sock.settimeout(timeout)
        sock.connect((host, port))
        sock.sendall(data)
        chunks = []
        while True:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def send(port, package, **kw):
    """The result code the server answers to one framed package, None when it closed."""
    reply = parse_reply(exchange(port, frame(package), **kw))
    return None if reply is None else reply[2]


class Relayd:
    """fanout_relayd in a scratch folder of its own, with its store there."""

    def __init__(self, binary, config="", args=(), port_offset=None, http=False, workdir=None,
                 env=None):
        self.binary = os.path.abspath(binary)
        self.own_dir = workdir is None
        self.dir = workdir or tempfile.mkdtemp(prefix="relayd_test_")
        self.config_path = os.path.join(self.dir, "relayd.toml")
        with open(self.config_path, "w", encoding="utf-8") as out:
            out.write(config)
        self.args = list(args)
        self.port_offset = port_offset
        self.http = http
        self.env = env  # the server's environment (None: this process's)
        self.proc = None
        self.stderr = b""
        self.exit_status = None

    def base_args(self):
        args = [self.binary, "-c", self.config_path]
        if self.port_offset is not None:
            args += ["--port-offset", str(self.port_offset)]
        if not self.http:
            args += ["--http", "off"]
        return args + self.args

    def port(self, channel):
        return CHANNEL_PORTS[channel] + (self.port_offset or 0)

    def start(self, timeout=10.0):
        """Starts and waits for the readiness line; False when it exited instead."""
        self.proc = subprocess.Popen(self.base_args(), cwd=self.dir, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=self.env)
        self.stderr = b""
        deadline = time.monotonic() + timeout
        while b"listening on" not in self.stderr:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("fanout_relayd did not get ready: %r" % self.stderr)
            ready, _, _ = select.select([self.proc.stderr], [], [], left)
            if ready:
                chunk = os.read(self.proc.stderr.fileno(), 65536)
                if not chunk:
                    self.exit_status = self.proc.wait(timeout=5)
                    return False
                self.stderr += chunk
        return True

    def wait_log(self, text, count=1, timeout=10.0):
        """Reads standard error while serving until text occurs count times in it; True
        when it did in time."""
        deadline = time.monotonic() + timeout
        while self.stderr.count(text) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.proc.stderr], [], [], left)
            if ready:
                chunk = os.read(self.proc.stderr.fileno(), 65536)
                if not chunk:
                    return False
                self.stderr += chunk
        return True

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        """Sends sig and returns the exit status (negative: killed by a signal)."""
        if self.proc is None:
            return None
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait(timeout=timeout)
        self.stderr += self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc = None
        return status

    def run(self, *extra, timeout=30.0):
        """Runs the binary once with this server's configuration (--dump, --check-config)."""
        return subprocess.run([self.binary, "-c", self.config_path] + list(extra), cwd=self.dir,
                              capture_output=True, timeout=timeout)

    def dump(self):
        done = self.run("--dump")
        if done.returncode != 0:
            raise AssertionError("--dump failed: %r" % done.stderr)
        return [json.loads(line) for line in done.stdout.decode("utf-8").splitlines()]

    def close(self):
        self.stop(signal.SIGKILL)
        if self.own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def start_relayd(binary, config="", args=(), tries=8, **kw):
    """A started relayd on a free port offset of its own."""
    for _ in range(tries):
        offset = random.randrange(2000, 40000, 4)
        server = Relayd(binary, config=config, args=args, port_offset=offset, **kw)
        if server.start():
            return server
        server.close()
    raise RuntimeError("no free port offset for fanout_relayd")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def start_with_http(binary, config="", **kw):
    """A relayd on a free port offset with its HTTP side on a free port: (server, url)."""
    for _ in range(5):
        port = free_port()
        try:
            server = start_relayd(binary, config='http = "127.0.0.1:%d"\n' % port + config,
                                  http=True, tries=2, **kw)
        except RuntimeError:
            continue  # the port was taken meanwhile
        return server, "http://127.0.0.1:%d" % port
    raise RuntimeError("no free HTTP port for fanout_relayd")


def call(url, method="GET", body=None, timeout=40):
    """(status, body text) of one HTTP request."""
    data = None if body is None else json.dumps(body).encode("utf-8")
    req = urllib.request.Request(url, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as resp:
            return resp.status, resp.read().decode("utf-8")
    except urllib.error.HTTPError as err:
        return err.code, err.read().decode("utf-8")


def samples(text):
    """The metric samples by name and labels."""
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            out[name] = float(value)
    return out


def run_client(binary, args, timeout=30.0, stdin=None):
    return subprocess.run([binary] + list(args), capture_output=True, timeout=timeout,
                          input=stdin)


PEERS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers")


class Peer:
    """A test peer (tests/peers/smtp_peer.py or http_peer.py) with its event lines."""

    def __init__(self, kind, *args, port=0):
        script = os.path.join(PEERS, "%s_peer.py" % kind)
        self.proc = subprocess.Popen(["/usr/bin/python3", script, "--port", str(port)] +
                                     list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.buffer = b""
        self.port = self.next_event(10)["port"]

    def next_event(self, timeout):
        """The next JSON line, or None when none comes in time."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    return None
                self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def wait_for(self, event, timeout=20):
        """The next line of the given event kind, skipping others; None on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.next_event(max(0.0, deadline - time.monotonic()))
            if line is None or line.get("event") == event:
                return line

    def command(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()
        return self.wait_for("ok", 10)

    def close(self):
        self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc.stdin.close()
        self.proc.stdout.close()


def wait_record(server, predicate, timeout=30.0, index=-1):
    """Polls --dump until the record at index satisfies predicate; returns it (or the last
    seen record when the time ran out, so the assertion shows it)."""
    deadline = time.monotonic() + timeout
    record = None
    while time.monotonic() < deadline:
        records = server.dump()
        if records:
            record = records[index]
            if predicate(record):
                return record
        time.sleep(0.1)
    return record
