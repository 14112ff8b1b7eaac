#!/usr/bin/env python3
"""Streams from a companion-app stand-in on Linux loopback into a Windows
program running under Wine, and checks that every frame arrived byte-exact.

usage: check_stream.py EMULATOR PROGRAM KIND WORK_DIR
KIND "c": PROGRAM is the C test program (URL FRAMES OUT_DIR); KIND "cli":
PROGRAM is kvx.exe, run as `kvx stream --url URL --frames N --out OUT_DIR`.

The server sends a multipart/x-mixed-replace stream of FRAMES parts of varied
sizes (1 byte to 300 KB) and types, each body pseudo-random bytes from a fixed
seed, then closes. Only this script's server and the program's one process
are started; both end before it returns.
"""
import os
import random
import shutil
import socket
import subprocess
import sys
import threading

FRAMES = 12
BOUNDARY = b"kvxwinboundary"


def make_frames():
    rng = random.Random(20261209)
    sizes = [1, 2, 100, 4096, 65535, 65536, 65537, 300000, 7, 123456, 99999, 250000]
    types = ["image/jpeg", "image/rgb", "image/rgba"]
    return [(types[i % 3], bytes(rng.getrandbits(8) for _ in range(sizes[i]))) for i in range(FRAMES)]


def serve(listener, frames, served):
    listener.settimeout(90)
    try:
        connection, _ = listener.accept()
    except OSError:
        return
    with connection:
        connection.settimeout(90)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = connection.recv(4096)
            if not chunk:
                return
            head += chunk
        served.append(head.split(b"\r\n", 1)[0].decode("latin-1"))
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=" + BOUNDARY +
                           b"\r\nConnection: close\r\n\r\n")
        for content_type, body in frames:
            connection.sendall(b"--" + BOUNDARY + b"\r\nContent-Type: " + content_type.encode() +
                               b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body + b"\r\n")
        connection.sendall(b"--" + BOUNDARY + b"--\r\n")


def main():
    emulator, program, kind, work = sys.argv[1:5]
    frames = make_frames()
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    url = "http://127.0.0.1:%d/stream" % listener.getsockname()[1]
    served = []
    server = threading.Thread(target=serve, args=(listener, frames, served))
    server.start()
    if kind == "c":
        command = [emulator, program, url, str(FRAMES), work]
    else:
        command = [emulator, program, "stream", "--url", url, "--frames", str(FRAMES), "--out", work]
    try:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    finally:
        listener.close()
        server.join()
    output = run.stdout.decode(errors="replace")
    print(output)
    failures = []
    if run.returncode != 0:
        failures.append("exit status %d" % run.returncode)
    if not served or not served[0].startswith("GET /stream HTTP/1."):
        failures.append("request line %r" % (served[:1],))
    if kind == "c":
        names = ["frame-%04d.bin" % i for i in range(FRAMES)]
        types = open(os.path.join(work, "types.txt")).read().split()
        if types != [t for t, _ in frames]:
            failures.append("content types %r" % types)
    else:
        # kvx stream names frames by number with an extension from the type.
        saved = sorted(os.listdir(work))
        names = saved if len(saved) == FRAMES else []
        if not names:
            failures.append("saved files %r" % saved)
    for i, name in enumerate(names):
        path = os.path.join(work, name)
        data = open(path, "rb").read() if os.path.exists(path) else None
        if data != frames[i][1]:
            failures.append("%s differs (%s bytes, %d expected)" %
                            (name, "no" if data is None else len(data), len(frames[i][1])))
    if failures:
        print("FAILED: " + "; ".join(failures))
        return 1
    print("%d frames byte-exact" % FRAMES)
    return 0


if __name__ == "__main__":
    sys.exit(main())
