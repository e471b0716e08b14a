#!/usr/bin/env python3
"""A paced UDP stream through the lab and back, timed on the machine's one steady clock.

  udp_stream.py reflect PORT       in wan: send every datagram back to where it came from, with
                                   the time it left; print the up direction's figures once the
                                   stream has been quiet for 2 s (at most 60 s in all)
  udp_stream.py send ADDR PORT N   in lan: N datagrams of 172 bytes every 20 ms; print the down
                                   direction's figures of the replies

Figures: "DIR count N min MS median MS max MS jitter MS reordered N", the one-way delay from the
send time each datagram carries, and the interarrival jitter of RFC 3550 on those send times (so
that the sender's own pacing does not count)."""
import select
import socket
import statistics
import struct
import sys
import time

FORM = "!IQQ"  # sequence, send time (ns), reflect time (ns)
SIZE = 172


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def figures(name, rows):
    # rows: (sequence, sent ns, arrived ns) in arrival order
    if not rows:
        print(f"{name} count 0")
        return
    delays = [(a - s) / 1e6 for _, s, a in rows]
    jitter = 0.0
    for i in range(1, len(rows)):
        jitter += (abs(delays[i] - delays[i - 1]) - jitter) / 16
    reordered = sum(1 for i in range(1, len(rows)) if rows[i][0] < rows[i - 1][0])
    print(f"{name} count {len(rows)} min {min(delays):.2f} median {statistics.median(delays):.2f} "
          f"max {max(delays):.2f} jitter {jitter:.2f} reordered {reordered}", flush=True)


def reflect(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))
    rows, start, last = [], time.monotonic(), None
    while time.monotonic() - start < 60 and (last is None or time.monotonic() - last < 2):
        if not select.select([s], [], [], 0.2)[0]:
            continue
        data, peer = s.recvfrom(2048)
        t = now_ns()
        last = time.monotonic()
        seq, sent, _ = struct.unpack_from(FORM, data)
        rows.append((seq, sent, t))
        s.sendto(struct.pack(FORM, seq, sent, now_ns()).ljust(SIZE, b"\xff"), peer)
    figures("up", rows)


def send(addr, port, n):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setblocking(False)
    rows, start = [], now_ns()
    deadline = start + n * 20_000_000 + 2_000_000_000
    i = 0
    while now_ns() < deadline:
        t = now_ns()
        if i < n and t >= start + i * 20_000_000:
            s.sendto(struct.pack(FORM, i, now_ns(), 0).ljust(SIZE, b"\xff"), (addr, port))
            i += 1
            continue
        due = start + i * 20_000_000 if i < n else deadline
        if select.select([s], [], [], max(0, due - t) / 1e9)[0]:
            data = s.recv(2048)
            seq, _, reflected = struct.unpack_from(FORM, data)
            rows.append((seq, reflected, now_ns()))
    figures("down", rows)


if __name__ == "__main__":
    if sys.argv[1:2] == ["reflect"] and len(sys.argv) == 3:
        reflect(int(sys.argv[2]))
    elif sys.argv[1:2] == ["send"] and len(sys.argv) == 5:
        send(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        sys.exit(__doc__)
