#!/usr/bin/env python3
"""Sends a burst of PTR queries at once and tells what came back.

usage: dns_burst.py SERVER COUNT WAIT_S ADDRESS...

Sends COUNT queries (one per ADDRESS, cycling through them, each with its
own ID) from one UDP socket to SERVER:53 as fast as it can, then collects
replies for WAIT_S seconds after the last send. Prints one line of
`key value` pairs: sent, replies by rcode (rcode_NOERROR, rcode_SERVFAIL,
rcode_REFUSED, ...), no_reply, and the slowest reply in milliseconds.
Meant for what a client sees when a forwarder is past its limits: a
dropped query and a REFUSED one look the same to a program that only
counts failures, not to its time-outs.
"""
import socket
import struct
import sys
import time

RCODES = {0: "NOERROR", 1: "FORMERR", 2: "SERVFAIL", 3: "NXDOMAIN", 4: "NOTIMP", 5: "REFUSED"}


def ptr_query(query_id, address):
    name = ".".join(reversed(address.split("."))) + ".in-addr.arpa"
    wire = b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0"
    # RD set, as glibc sends it; type PTR, class IN.
    return struct.pack(">HHHHHH", query_id, 0x0100, 1, 0, 0, 0) + wire + struct.pack(">HH", 12, 1)


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    server, count, wait = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    addresses = sys.argv[4:]
    if not 1 <= count <= 60000:
        sys.exit("dns_burst: COUNT must be 1..60000")
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.connect((server, 53))
    sent_at = {}
    for i in range(count):
        query_id = i + 1
        sock.send(ptr_query(query_id, addresses[i % len(addresses)]))
        sent_at[query_id] = time.monotonic()
    counts = {}
    slowest = 0.0
    deadline = time.monotonic() + wait
    while sent_at and time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            reply = sock.recv(4096)
        except socket.timeout:
            break
        except ConnectionRefusedError:
            counts["refused_by_kernel"] = counts.get("refused_by_kernel", 0) + 1
            continue
        if len(reply) < 12:
            continue
        query_id, flags = struct.unpack(">HH", reply[:4])
        start = sent_at.pop(query_id, None)
        if start is None:
            continue
        slowest = max(slowest, time.monotonic() - start)
        key = "rcode_" + RCODES.get(flags & 0xF, str(flags & 0xF))
        counts[key] = counts.get(key, 0) + 1
    fields = ["sent %d" % count]
    fields += ["%s %d" % (key, counts[key]) for key in sorted(counts)]
    fields += ["no_reply %d" % len(sent_at), "slowest_ms %d" % round(slowest * 1000)]
    print(" ".join(fields))


if __name__ == "__main__":
    main()
