#!/usr/bin/env python3
"""Whole-process timing and peak memory of fanout_client against fanout_relay_sim.

Every process is started directly with posix_spawn (no shell in between) and timed from the
spawn to its reaping. Rounds are interleaved: each round runs every command once, so all of
them see the same machine load, and each ratio is the median of its per-round ratios:
  - fanout_client sms against a bare process start (/bin/true),
  - fanout_client sms against nc sending the same request frame, prebuilt, and reading the reply,
  - fanout_client mail with 20 attachments totalling 4194303 bytes against nc sending that
    frame, prebuilt,
and the peak resident memory of the client above idle (-v) while sending that mail, through
GNU time (a small parent).

Usage: bench/client_bench.py [--build build] [--rounds 200]   (needs nc and GNU time)
Loopback only; the simulator is started and stopped by the script.
"""
import argparse
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SMS_PORT = 12463
MAIL_PORT = 12460
ATTACH_TOTAL = 4194303
ATTACH_COUNT = 20


def field(data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + data


def head() -> bytes:
    return bytes([1, 0, 1]) + struct.pack(">II", int(time.time()), 0) + bytes(32)


def frame(payload: bytes) -> bytes:
    return b"\x02" + struct.pack(">I", len(payload) + 6) + payload + b"\x03"


def spawn_seconds(argv, stdin_path=None):
    """Wall time of one run of argv, spawned directly, output to /dev/null; fails on exit != 0."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    if stdin_path:
        actions.append((os.POSIX_SPAWN_OPEN, 0, stdin_path, os.O_RDONLY, 0))
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(argv)}")
    return elapsed


def peak_rss_kib(argv):
    """Peak resident memory of argv, through GNU time (a small parent, unlike Python)."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True)
    return int(out.stderr.strip().splitlines()[-1])


def wait_ready(sim):
    deadline = time.time() + 10
    while time.time() < deadline:
        line = sim.stderr.readline()
        if "listening" in line:
            return
        if not line and sim.poll() is not None:
            break
    sys.exit("fanout_relay_sim did not become ready")


def write_inputs(work):
    """The attachments and both prebuilt frames: (attachment paths, sms frame, mail frame)."""
    sms = head() + field(b"") + field(b"im_server") + field(b"u1") + field(b"") + field(b"hi")
    sms_frame = os.path.join(work, "sms.frame")
    with open(sms_frame, "wb") as f:
        f.write(frame(sms))
    paths, body = [], b""
    sizes = [ATTACH_TOTAL // ATTACH_COUNT] * ATTACH_COUNT
    sizes[-1] += ATTACH_TOTAL - sum(sizes)
    for i, size in enumerate(sizes):
        path = os.path.join(work, f"att{i:02d}.bin")
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
        body += field(os.path.basename(path).encode()) + field(data)
    mail = (head() + field(b"") + field(b"qem_mail") + field(b"u1") + field(b"")
            + field(b"") + field(b" ") + struct.pack(">I", ATTACH_COUNT) + body)
    mail_frame = os.path.join(work, "mail.frame")
    with open(mail_frame, "wb") as f:
        f.write(frame(mail))
    return paths, sms_frame, mail_frame


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=200)
    args = parser.parse_args()
    client = os.path.abspath(os.path.join(args.build, "bin", "fanout_client"))
    simbin = os.path.join(args.build, "bin", "fanout_relay_sim")
    nc = shutil.which("nc")
    true = shutil.which("true")
    if not nc or not os.path.exists("/usr/bin/time"):
        sys.exit("nc (netcat-openbsd) and GNU time are needed")

    work = tempfile.mkdtemp(prefix="fanout_bench_")
    sim = subprocess.Popen([simbin], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           text=True)
    try:
        wait_ready(sim)
        paths, sms_frame, mail_frame = write_inputs(work)
        # Measure the steady state, not the write-back of the files just made.
        os.sync()
        sms_cmd = [client, "sms", "-T", "u1", "-c", "hi", "-d", "utf8"]
        mail_cmd = [client, "mail", "-T", "u1", "-a", ";".join(paths)]
        runs = {
            "true": lambda: spawn_seconds([true]),
            "sms": lambda: spawn_seconds(sms_cmd),
            "nc sms": lambda: spawn_seconds([nc, "-N", "127.0.0.1", str(SMS_PORT)], sms_frame),
            "mail": lambda: spawn_seconds(mail_cmd),
            "nc mail": lambda: spawn_seconds([nc, "-N", "127.0.0.1", str(MAIL_PORT)], mail_frame),
        }
        for run in runs.values():  # warm-up
            run()
        times = {name: [] for name in runs}
        for _ in range(args.rounds):
            for name, run in runs.items():
                times[name].append(run())
        rss_idle = min(peak_rss_kib([client, "-v"]) for _ in range(5))
        rss_mail = max(peak_rss_kib(mail_cmd) for _ in range(5))

        def ratio(a, b):
            return statistics.median(x / y for x, y in zip(times[a], times[b]))

        print(f"{args.rounds} interleaved rounds, posix_spawn, loopback, simulator {simbin}")
        for name in runs:
            print(f"  {name:<10} median {statistics.median(times[name]) * 1000:8.3f} ms")
        above = (rss_mail - rss_idle) * 1024 / ATTACH_TOTAL
        print(f"  peak RSS: idle (-v) {rss_idle} KiB, mail {rss_mail} KiB")
        rows = [
            ("sms vs /bin/true", ratio("sms", "true"), 1.0),
            ("sms vs nc, prebuilt frame", ratio("sms", "nc sms"), 0.5),
            ("mail vs nc, prebuilt frame", ratio("mail", "nc mail"), 1.0),
            ("mail peak RSS above idle / attachment bytes", above, 2.0),
        ]
        for name, value, goal in rows:
            verdict = "ok" if value <= goal else "MISSED"
            print(f"{name:<44} {value:5.2f}x   (goal <= {goal:.1f}x) {verdict}")
    finally:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
