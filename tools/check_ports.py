#!/usr/bin/env python3
"""Checks that the fixed channel ports are free before a demo or a test binds them.

Usage: tools/check_ports.py [ADDR ...]     (default: 127.0.0.1 127.0.0.2)

Tries to bind the four channel ports (12460 mail, 12461 zeph, 12462 lumo, 12463 sms)
on each address, as the relay simulator does. Exits 0 when all are free; otherwise
prints one line per program that holds some of them, naming the ports, the program
and what to stop, and exits 1.
"""

import errno
import os
import socket
import sys

PORTS = {12460: "mail", 12461: "zeph", 12462: "lumo", 12463: "sms"}
DEFAULT_ADDRS = ["127.0.0.1", "127.0.0.2"]


def is_taken(addr, port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((addr, port))
        except OSError as err:
            if err.errno == errno.EADDRINUSE:
                return True
            raise
    return False


def listening_inodes(addr, port):
    """Socket inodes of the sockets listening on port at addr, the wildcard or IPv6."""
    # /proc/net/tcp writes an IPv4 address as the hex digits of its in-memory bytes.
    addrs = {socket.inet_aton(a)[::-1].hex().upper() for a in (addr, "0.0.0.0")}
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table, encoding="ascii") as f:
                rows = f.readlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()  # local address:port, state in [3], inode in [9]
            local_addr, local_port = fields[1].rsplit(":", 1)
            ipv4_elsewhere = table.endswith("tcp") and local_addr not in addrs
            if int(local_port, 16) == port and fields[3] == "0A" and not ipv4_elsewhere:
                inodes.add(fields[9])
    return inodes


def holder(addr, port):
    """(program name, pid) of a process listening on addr:port, or None."""
    inodes = listening_inodes(addr, port)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
            links = {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in fds}
            if any(f"socket:[{inode}]" in links for inode in inodes):
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    program = f.read().split(b"\0")[0].decode(errors="replace")
                return os.path.basename(program), int(pid)
        except OSError:
            continue
    return None


def main(argv):
    addrs = argv[1:] or DEFAULT_ADDRS
    taken = {}  # holder -> {addr: [port, ...]}
    for addr in addrs:
        for port in PORTS:
            if is_taken(addr, port):
                taken.setdefault(holder(addr, port), {}).setdefault(addr, []).append(str(port))
    for owner, where in taken.items():
        ports = "; ".join(f"{addr} port {','.join(ports)}" for addr, ports in where.items())
        if owner:
            name, pid = owner
            print(f"channel ports in use ({ports}) by {name}, pid {pid}: "
                  f"stop it (kill {pid}) and try again")
        else:
            print(f"channel ports in use ({ports}) by another program: "
                  f"stop what listens there (ss -ltnp shows it) and try again")
    return 1 if taken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
