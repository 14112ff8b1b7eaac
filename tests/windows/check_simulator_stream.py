#!/usr/bin/env python3
"""A check run by hand (it needs both builds): kvx.exe under Wine streams from
the app simulator that the Linux kvx serves on loopback.

usage: check_simulator_stream.py LINUX_KVX WINE_RUN KVX_EXE WORK_DIR

Starts `kvx simulate --format rgb --size 64x48` (Linux), finds its app's
loopback port, runs `kvx.exe stream --url http://127.0.0.1:PORT/ --frames 30
--size 64x48 --out WORK_DIR` under Wine, and checks that 30 pictures were
saved, each 64x48, whose bar codes (the frame number along the top edge, 24
cells, white for 1) count up by one. Ends the simulator it started.
"""
import os
import re
import shutil
import subprocess
import sys
import time

WIDTH, HEIGHT, FRAMES, BITS = 64, 48, 30, 24


def app_ports(pid):
    listing = subprocess.run(["ss", "-ltnpH"], stdout=subprocess.PIPE, check=True).stdout.decode()
    return [int(m.group(1)) for line in listing.splitlines() if "pid=%d," % pid in line
            for m in [re.search(r"127\.0\.0\.1:(\d+)", line)] if m]


def frame_number(path):
    data = open(path, "rb").read()
    header = data.split(b"\n", 3)
    if header[0] != b"P6" or header[1].split() != [str(WIDTH).encode(), str(HEIGHT).encode()]:
        raise ValueError("%s: not a %dx%d PPM" % (path, WIDTH, HEIGHT))
    pixels = header[3]
    if len(pixels) != WIDTH * HEIGHT * 3:
        raise ValueError("%s: %d bytes of pixels" % (path, len(pixels)))
    number = 0
    for cell in range(BITS):
        x = (2 * cell + 1) * WIDTH // (2 * BITS)  # the middle of the cell
        number = number * 2 + (1 if pixels[(8 * WIDTH + x) * 3] > 127 else 0)
    return number


def main():
    linux_kvx, wine_run, kvx_exe, work = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    sim = subprocess.Popen([linux_kvx, "simulate", "--format", "rgb", "--size", "%dx%d" % (WIDTH, HEIGHT)],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        sim.stdout.readline()  # USBMUXD_SOCKET_ADDRESS=...
        sim.stdout.readline()  # device ...
        ports = []
        for _ in range(50):
            ports = app_ports(sim.pid)
            if ports:
                break
            time.sleep(0.1)
        if len(ports) != 1:
            print("FAILED: app ports %r" % ports)
            return 1
        url = "http://127.0.0.1:%d/" % ports[0]
        run = subprocess.run([wine_run, kvx_exe, "stream", "--url", url, "--frames", str(FRAMES), "--size",
                              "%dx%d" % (WIDTH, HEIGHT), "--out", work],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        print(run.stdout.decode(errors="replace"))
    finally:
        sim.stdin.write(b"quit\n")
        sim.stdin.close()
        try:
            sim.wait(timeout=20)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
    saved = sorted(os.listdir(work))
    numbers = [frame_number(os.path.join(work, name)) for name in saved]
    print("%s: %d frames from %s, numbers %s" % (kvx_exe, len(saved), url, numbers))
    if run.returncode != 0 or len(saved) != FRAMES or numbers != list(range(numbers[0], numbers[0] + FRAMES)):
        print("FAILED")
        return 1
    print("%d frames, each the simulator's picture, in order" % FRAMES)
    return 0


if __name__ == "__main__":
    sys.exit(main())
