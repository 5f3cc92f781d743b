#!/usr/bin/env python3
"""Clients of kestrel's "preview.mp4" for bench/live_mp4.sh, all in one
process on loopback: N connections read the stream for S seconds. With a
packet trace (kestrel's KESTREL_PACKET_TRACE file) each fragment received
whole is matched to its packet by the packet's last bytes, and the time
from the packet's arrival at kestrel to the fragment's last byte on the
client's socket is reported; so is the time from each request to its first
whole fragment.
usage: live_mp4_clients.py PORT CLIENTS SECONDS [TRACE] [--discard]"""
import base64
import selectors
import socket
import sys
import time

port, count, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
trace = sys.argv[4] if len(sys.argv) > 4 and not sys.argv[4].startswith("--") else None
discard = "--discard" in sys.argv
auth = base64.b64encode(b"bench:bench").decode()
request = ("GET /preview.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic %s\r\n\r\n" % auth).encode()


def now_us():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000


class client:
    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setblocking(False)
        self.asked = now_us()
        self.sock.send(request)
        self.buffer = b""
        self.at = 0  # where the unread bytes of buffer begin
        self.header = None
        self.first_us = None
        self.fragments = []  # (received_us, last bytes of the mdat)
        self.bytes = 0

    def take(self, data, at):
        self.bytes += len(data)
        if discard:
            if self.first_us is None:
                self.first_us = at - self.asked
            return
        # The unread rest is kept as an offset into the buffer, so a chunk
        # of many boxes is not copied once per box.
        if self.at:
            self.buffer = self.buffer[self.at:]
            self.at = 0
        self.buffer += data
        if self.header is None:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            self.header = self.buffer[:end].decode("latin-1")
            self.at = end + 4
        # Whole boxes only; an mdat ends a fragment.
        buffer, at_box = self.buffer, self.at
        while len(buffer) - at_box >= 8:
            size = int.from_bytes(buffer[at_box:at_box + 4], "big")
            if size < 8 or len(buffer) - at_box < size:
                break
            if buffer[at_box + 4:at_box + 8] == b"mdat":
                if self.first_us is None:
                    self.first_us = at - self.asked
                self.fragments.append((at, buffer[at_box + size - 16:at_box + size].hex()))
            at_box += size
        self.at = at_box


clients = [client() for _ in range(count)]
selector = selectors.DefaultSelector()
for c in clients:
    selector.register(c.sock, selectors.EVENT_READ, c)
end = time.monotonic() + seconds
while time.monotonic() < end:
    for key, _ in selector.select(timeout=0.1):
        try:
            data = key.fileobj.recv(1 << 20)
        except BlockingIOError:
            continue
        if not data:
            selector.unregister(key.fileobj)
            continue
        key.data.take(data, now_us())

def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))] if values else float("nan")

firsts = [c.first_us / 1000 for c in clients if c.first_us is not None]
print("clients %d, %.0f s: %.1f MB received, first fragment after the request p50 %.1f ms, worst %.1f ms" %
      (count, seconds, sum(c.bytes for c in clients) / 1e6, pct(firsts, 50), max(firsts or [float("nan")])))
if trace:
    arrivals = {}
    with open(trace) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                arrivals.setdefault(parts[1], int(parts[0]))
    latencies = []
    for c in clients:
        for received, tail in c.fragments:
            arrived = arrivals.get(tail)
            # Live packets only: the cached interval arrived before the request.
            if arrived is not None and arrived > c.asked:
                latencies.append((received - arrived) / 1000)
    print("packet arrival at kestrel -> its fragment's last byte at the client: %d fragments, "
          "p50 %.2f ms, p99 %.2f ms, worst %.2f ms" %
          (len(latencies), pct(latencies, 50), pct(latencies, 99), max(latencies or [float("nan")])))
