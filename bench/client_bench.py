#!/usr/bin/env python3
"""Whole-process timing and peak memory of fanout_client against fanout_relay_sim.

Runs every command many times in one go and reports medians:
  - a bare process start (/bin/true),
  - nc sending a prebuilt SMS frame and reading the reply,
  - fanout_client sms,
  - nc sending a prebuilt frame as large as the mail below,
  - fanout_client mail with 20 attachments totalling 4194303 bytes,
and the peak resident memory of the client: idle (-v) and sending that mail.

Usage: bench/client_bench.py [--build build] [--runs 200]   (needs hyperfine and nc)
Loopback only; the simulator is started and stopped by the script.
"""
import argparse
import os
import shutil
import signal
import json
import shlex
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


def measure(name, command, runs):
    """Median wall time of a shell-free command line, in milliseconds, via hyperfine."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(["hyperfine", "-N", "--warmup", "5", "--runs", str(runs),
                        "--export-json", out.name, command],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(out.name) as f:
            med = json.load(f)["results"][0]["median"] * 1000
    print(f"{name:<36} median {med:8.3f} ms")
    return med


def quoted(argv):
    return " ".join(shlex.quote(a) for a in argv)


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    client = os.path.join(args.build, "bin", "fanout_client")
    simbin = os.path.join(args.build, "bin", "fanout_relay_sim")
    nc = shutil.which("nc")
    if not nc:
        sys.exit("nc (netcat-openbsd) is needed")

    work = tempfile.mkdtemp(prefix="fanout_bench_")
    sim = subprocess.Popen([simbin], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           text=True)
    try:
        wait_ready(sim)
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

        # Measure the steady state, not the write-back of the files just made.
        os.sync()
        runs = args.runs
        # nc reads its frame from standard input, so every command of a comparison runs
        # under the same `sh -c 'exec ...'` wrapper.

        def sh(argv, stdin=None):
            redirect = f" < {shlex.quote(stdin)}" if stdin else ""
            return "sh -c " + shlex.quote("exec " + quoted(argv) + redirect)

        sms_cmd = [client, "sms", "-T", "u1", "-c", "hi", "-d", "utf8"]
        mail_cmd = [client, "mail", "-T", "u1", "-a", ";".join(paths)]
        print(f"{runs} runs each (hyperfine medians), loopback, simulator {simbin}")
        t_true = measure("/bin/true", "/bin/true", runs)
        t_sms_bare = measure("fanout_client sms", quoted(sms_cmd), runs)
        t_nc_sms = measure("sh + nc, prebuilt SMS frame",
                           sh([nc, "-N", "127.0.0.1", str(SMS_PORT)], sms_frame), runs)
        t_sms = measure("sh + fanout_client sms", sh(sms_cmd), runs)
        t_nc_mail = measure("sh + nc, prebuilt 4 MiB mail frame",
                            sh([nc, "-N", "127.0.0.1", str(MAIL_PORT)], mail_frame), runs)
        t_mail = measure("sh + fanout_client mail, 20 files", sh(mail_cmd), runs)
        rss_idle = min(peak_rss_kib([client, "-v"]) for _ in range(5))
        rss_mail = max(peak_rss_kib(mail_cmd) for _ in range(5))
        print(f"peak RSS: idle (-v) {rss_idle} KiB, mail {rss_mail} KiB")

        above = (rss_mail - rss_idle) * 1024
        print()
        print(f"sms vs /bin/true:         {t_sms_bare / t_true:5.2f}x   (goal <= 2)")
        print(f"sms vs nc:                {t_sms / t_nc_sms:5.2f}x   (goal <= 1)")
        print(f"mail vs nc:               {t_mail / t_nc_mail:5.2f}x   (goal <= 1.5)")
        print(f"mail peak above idle:     {above / ATTACH_TOTAL:5.2f}x attachment bytes "
              f"(goal <= 2.5)")
    finally:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
