#!/usr/bin/env python3
"""A short paired session over TCP only: the direct reader, kvx-reader and a
kvx-reader built from an earlier commit, every size in every round in shuffled
order, 2 GB per run; prints CPU s/GB and the medians of the paired ratios.

  bench/paired_tcp.py BUILD_BENCH_DIR BASELINE_KVX_READER [ROUNDS]

For when the whole bench/run is too long for a loaded machine; bench/run
builds the programs it needs.
"""
import os, random, re, statistics, subprocess, sys

BIN, OLD = sys.argv[1] + "/bench", sys.argv[2]
ROUNDS = int(sys.argv[3]) if len(sys.argv) > 3 else 7
jpeg = os.path.join(BIN, "frame.jpg")
if not os.path.exists(jpeg):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720", "-frames:v", "1",
                    "-q:v", "5", jpeg], check=True)
server = subprocess.Popen([f"{BIN}/bench-server", jpeg], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
port = server.stdout.readline().split()[1].decode()
sizes = {"jpeg": os.path.getsize(jpeg), "rgb": 1920 * 1080 * 3, "rgba": 3840 * 2160 * 4}
readers = {"direct": [f"{BIN}/raw-reader", "frame", port], "kvx": [f"{BIN}/kvx-reader", "tcp", port],
           "before": [OLD, "tcp", port]}
cpu_per_gb, loads, rng = {}, [], random.Random(2)
try:
    for _ in range(ROUNDS):
        loads.append(os.getloadavg()[0])
        jobs = [(s, k) for s in sizes for k in readers]
        rng.shuffle(jobs)
        for s, k in jobs:
            frames = int(2e9 / sizes[s]) + 1
            run = subprocess.run([f"{BIN}/measure"] + readers[k] + [f"/{s}?frames={frames}"], capture_output=True,
                                 text=True, timeout=120)
            cpu = float(re.search(r"cpu=(\S+)", run.stderr).group(1))
            cpu_per_gb.setdefault((s, k), []).append(cpu / (sizes[s] * frames / 1e9))
finally:
    server.stdin.close()
    server.wait(timeout=10)
for s in sizes:
    direct = cpu_per_gb[(s, "direct")]
    for k in ["kvx", "before", "direct"]:
        v = cpu_per_gb[(s, k)]
        print(f"{s:5} {k:7} CPU s/GB median {statistics.median(v):.3f}, ÷ direct (paired median) "
              f"{statistics.median([a / b for a, b in zip(v, direct)]):.3f}")
print("load average at the start of each round:", ", ".join(f"{x:.1f}" for x in loads))
