#!/usr/bin/env python3
"""Changing web load on a kestrel for the soak benchmark (bench/soak.sh).

For SECONDS it keeps starting clients of every kind a month of use brings:
MJPEG viewers at several sizes that come and go, viewers that stop reading,
viewers that vanish in the middle of a part, bursts of preview.jpg at random
sizes, wrong passwords, and whole downloads of a recording when one exists.
Every client ends by itself within the time given; the script prints one
line of counts. Loopback only.

usage: soak_load.py PORT USER:PASSWORD SECONDS RECORDING_FOLDER
"""
import base64
import os
import random
import socket
import struct
import sys
import threading
import time

HOST = "127.0.0.1"
SIZES = ["w=640&h=360", "w=320&h=180", "w=1280&h=720", "w=160&h=90", "w=7&h=5", "w=1920&h=1080"]

counts = {}
counts_lock = threading.Lock()


def count(what):
    with counts_lock:
        counts[what] = counts.get(what, 0) + 1


def connect(timeout=5.0, source=None):
    return socket.create_connection((HOST, PORT), timeout=timeout,
                                    source_address=(source, 0) if source else None)


def request(path, credentials):
    auth = base64.b64encode(credentials.encode()).decode()
    return ("GET %s HTTP/1.1\r\nHost: %s\r\nAuthorization: Basic %s\r\n\r\n"
            % (path, HOST, auth)).encode()


def read_header(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            return None, b""
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), rest


def viewer(until, size, mode):
    """An MJPEG viewer: reads until its time is up ("watch"), stops reading
    while keeping the connection ("stall"), or closes abruptly in the middle
    of a part ("vanish")."""
    try:
        s = connect()
        s.sendall(request("/preview.mjpeg?" + size, CREDENTIALS))
        head, _ = read_header(s)
        if not head or " 200 " not in head.split("\r\n")[0]:
            count("mjpeg_refused")
            s.close()
            return
        if mode == "stall":
            time.sleep(max(0.0, until - time.time()))
        elif mode == "vanish":
            s.recv(random.randint(1, 20000))
            # RST instead of FIN: the server meets a reset in mid-send.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            while time.time() < until and s.recv(65536):
                pass
        s.close()
        count("mjpeg_" + mode)
    except OSError as error:
        count("mjpeg_error_" + type(error).__name__)


def fetch(path, credentials=None, source=None):
    """One request on its own connection; returns the status code or 0."""
    try:
        s = connect(source=source)
        s.sendall(request(path, credentials or CREDENTIALS))
        head, rest = read_header(s)
        if not head:
            s.close()
            return 0
        status = int(head.split(" ")[1])
        length = 0
        for line in head.split("\r\n")[1:]:
            name, _, value = line.partition(":")
            if name.lower() == "content-length":
                length = int(value)
        got = len(rest)
        while got < length:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            got += len(chunk)
        s.close()
        return status if got >= length else 0
    except OSError as error:
        count("error_" + type(error).__name__)
        return 0


def jpeg_burst():
    for _ in range(random.randint(5, 30)):
        w, h = random.randint(1, 2500), random.randint(1, 2500)
        count("jpeg_%d" % fetch("/preview.jpg?w=%d&h=%d&q=%d" % (w, h, random.randint(1, 100))))


def wrong_passwords():
    """From an address of their own (127.0.0.2), as a stranger on the
    network would: a server that locks such an address out keeps serving
    everyone else."""
    for _ in range(random.randint(1, 4)):
        status = fetch("/preview.jpg", "bench:wrong%d" % random.randint(0, 9), "127.0.0.2")
        count("wrong_password_%d" % status)


def download():
    """A whole recording, when one that is complete exists."""
    try:
        names = sorted(n for n in os.listdir(RECORDINGS) if n.endswith(".mp4"))
    except OSError:
        names = []
    if len(names) < 2:
        return
    name = random.choice(names[:-1])
    path = "/" + os.path.basename(os.path.normpath(RECORDINGS)) + "/" + name.replace(" ", "%20")
    count("download_%d" % fetch(path))


def main():
    deadline = time.time() + SECONDS
    threads = []
    while time.time() < deadline:
        left = deadline - time.time()
        kind = random.random()
        if kind < 0.45:
            mode = random.choice(["watch", "watch", "watch", "stall", "vanish"])
            target = threading.Thread(target=viewer, args=(
                time.time() + min(left, random.uniform(2, 20)), random.choice(SIZES), mode))
        elif kind < 0.75:
            target = threading.Thread(target=jpeg_burst)
        elif kind < 0.9:
            target = threading.Thread(target=wrong_passwords)
        else:
            target = threading.Thread(target=download)
        target.daemon = True
        target.start()
        threads.append(target)
        threads = [t for t in threads if t.is_alive()]
        time.sleep(random.uniform(0.1, 1.0))
    for t in threads:
        t.join(timeout=30)
    print(" ".join("%s=%d" % kv for kv in sorted(counts.items())))


if __name__ == "__main__":
    PORT = int(sys.argv[1])
    CREDENTIALS = sys.argv[2]
    SECONDS = float(sys.argv[3])
    RECORDINGS = sys.argv[4]
    main()
