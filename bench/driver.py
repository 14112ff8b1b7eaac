#!/usr/bin/env python3
"""Runs the stream benchmarks in one interleaved session and writes RESULTS.md.

Every reader reads the same pre-built stream from one bench-server over
loopback; each run is a child process whose CPU time (user+sys) and peak RSS
come from wait4. Rounds run every reader of every size in a shuffled order, so
that the machine's changing load falls on all of them alike; ratios are taken
per round (paired) and their median is reported.
"""
import os, platform, random, re, shutil, statistics, subprocess, sys, time

BIN = sys.argv[1]            # build-bench/bench
OUT = sys.argv[2]            # RESULTS.md path
ROUNDS = int(os.environ.get("KVX_BENCH_ROUNDS", "3"))
SECONDS = float(os.environ.get("KVX_BENCH_SECONDS", "2.2"))   # target streaming time of the direct reader
MIN_BYTES = 300_000_000
RUN_TIMEOUT = 90

SIZES = [("jpeg", "50 KB JPEG"), ("rgb", "6,220,800 B RGB"), ("rgba", "33,177,600 B RGBA")]


def make_jpeg(path):
    """A real JPEG as close to 50 KB as ffmpeg's quality steps allow."""
    best = None
    for q in range(2, 12):
        candidate = f"{path}.q{q}.jpg"
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720",
                        "-frames:v", "1", "-q:v", str(q), candidate], check=True)
        size = os.path.getsize(candidate)
        if best is None or abs(size - 51200) < abs(best[1] - 51200):
            best = (candidate, size)
    shutil.copy(best[0], path)
    for q in range(2, 12):
        os.remove(f"{path}.q{q}.jpg")
    return best[1]


def run(argv):
    """(wall s, cpu s, peak RSS KiB, stdout, exit status) of one child, measured by `measure`."""
    child = subprocess.Popen([f"{BIN}/measure"] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        output, errors = child.communicate(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        child.kill()
        output, errors = child.communicate()
    m = re.search(r"measure wall=(\S+) cpu=(\S+) rss_kib=(\d+) status=(\d+)", errors.decode(errors="replace"))
    if not m:
        return float("nan"), float("nan"), 0, "", 1
    return float(m.group(1)), float(m.group(2)), int(m.group(3)), output.decode(errors="replace"), int(m.group(4))


def readers(port, size_name, frames, have_ffmpeg):
    target = f"/{size_name}?frames={frames}"
    url = f"http://127.0.0.1:{port}{target}"
    result = [
        ("limit", "1. limit: recv 64 KiB, discard", [f"{BIN}/raw-reader", "discard", str(port), target]),
        ("direct", "2. direct: recv body into frame buffer", [f"{BIN}/raw-reader", "frame", str(port), target]),
        ("curl", "3. curl -s -o /dev/null", ["curl", "-s", "-o", "/dev/null", url]),
        ("kvx-tcp", "5. kvx native, TCP", [f"{BIN}/kvx-reader", "tcp", str(port), target]),
        ("kvx-tunnel", "6. kvx native, usbmux tunnel*", [f"{BIN}/kvx-reader", "tunnel", str(port), target]),
    ]
    if size_name == "jpeg" and have_ffmpeg:
        result.insert(3, ("ffmpeg", "4. ffmpeg -f mpjpeg -c copy", [
            "ffmpeg", "-v", "quiet", "-f", "mpjpeg", "-i", url, "-c", "copy", "-f", "null", "-"]))
    return result


def median(values):
    return statistics.median(values) if values else float("nan")


def machine():
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = ""
    try:
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) // 1024 // 1024} GiB RAM"
    except OSError:
        pass
    glibc = platform.libc_ver()[1]
    return f"{model}, {os.cpu_count()} logical CPUs, {mem}, Linux {platform.release()}, glibc {glibc}"


def main():
    jpeg = os.path.join(BIN, "frame.jpg")
    jpeg_size = make_jpeg(jpeg)
    frame_sizes = {"jpeg": jpeg_size, "rgb": 1920 * 1080 * 3, "rgba": 3840 * 2160 * 4}
    load_before = os.getloadavg()
    server = subprocess.Popen([f"{BIN}/bench-server", jpeg], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(server.stdout.readline().split()[1])
    have_ffmpeg = shutil.which("ffmpeg") is not None
    try:
        # Calibrate: enough frames for MIN_BYTES and SECONDS of the direct reader.
        frames = {}
        for name, _ in SIZES:
            size = frame_sizes[name]
            probe = max(3, MIN_BYTES // size + 1)
            wall, _, _, _, _ = run([f"{BIN}/raw-reader", "frame", str(port), f"/{name}?frames={probe}"])
            rate = probe * size / max(wall, 1e-3)
            frames[name] = max(probe, int(SECONDS * rate / size) + 1)
            print(f"calibrated {name}: {frames[name]} frames ({frames[name] * size / 1e9:.2f} GB per run)", flush=True)
        samples = {}   # (size, reader) -> list of dicts, index = round
        rng = random.Random(1)
        for round_index in range(ROUNDS):
            jobs = [(name, reader) for name, _ in SIZES for reader in readers(port, name, frames[name], have_ffmpeg)]
            rng.shuffle(jobs)
            for name, (key, label, argv) in jobs:
                wall, cpu, rss, output, status = run(argv)
                size = frame_sizes[name]
                body = frames[name] * size
                got = re.search(r"bytes=(\d+)", output)
                # The limit reader counts every byte, part headers included.
                ok = status == 0 and (got is None or int(got.group(1)) >= body if key == "limit"
                                      else got is None or int(got.group(1)) == body)
                if key == "ffmpeg":
                    ok = True  # ffmpeg reports the unbounded HTTP/1.0 body's end as an error
                allocs = re.search(r"allocs_per_frame=([-0-9.]+)", output)
                samples.setdefault((name, key), []).append(dict(
                    label=label, wall=wall, cpu=cpu, rss=rss, ok=ok, bytes=body, frames=frames[name],
                    allocs=float(allocs.group(1)) if allocs else None))
                print(f"round {round_index + 1} {name:4} {key:10} {body / wall / 1e6:8.0f} MB/s "
                      f"{cpu / (body / 1e9):6.3f} CPU s/GB {rss / 1024:7.1f} MB {'ok' if ok else 'FAILED'}", flush=True)
    finally:
        server.stdin.close()
        server.wait(timeout=10)

    load_mid = os.getloadavg()
    print("latency trials ...", flush=True)
    latency = subprocess.run([f"{BIN}/kvx-latency", os.environ.get("KVX_BENCH_TRIALS", "10")],
                             capture_output=True, text=True, timeout=240).stdout
    micro = ""
    if os.path.exists(f"{BIN}/kvx-microbench"):
        print("micro-benchmarks ...", flush=True)
        micro = subprocess.run([f"{BIN}/kvx-microbench", "--benchmark_min_time=0.2"],
                               capture_output=True, text=True, timeout=240).stdout
    load_after = os.getloadavg()

    # ---- the table ----
    lines = []
    lines.append("| size | reader | MB/s median (min) | frames/s median | CPU s/GB median (min) | peak RSS MB | "
                 "MB/s ÷ limit | CPU/GB ÷ limit | CPU/GB ÷ direct (paired median) | ok |")
    lines.append("|---|---|---|---|---|---|---|---|---|---|")
    ratios = {}
    for name, title in SIZES:
        limit = samples[(name, "limit")]
        direct = samples[(name, "direct")]
        for key in ["limit", "direct", "curl", "ffmpeg", "kvx-tcp", "kvx-tunnel"]:
            runs = samples.get((name, key))
            if not runs:
                continue
            mbps = [r["bytes"] / r["wall"] / 1e6 for r in runs]
            fps = [r["frames"] / r["wall"] for r in runs]
            cpg = [r["cpu"] / (r["bytes"] / 1e9) for r in runs]
            vs_limit_speed = median([m / (l["bytes"] / l["wall"] / 1e6) for m, l in zip(mbps, limit)])
            vs_limit_cpu = median([c / max(l["cpu"] / (l["bytes"] / 1e9), 1e-9) for c, l in zip(cpg, limit)])
            vs_direct = [c / max(d["cpu"] / (d["bytes"] / 1e9), 1e-9) for c, d in zip(cpg, direct)]
            ratios[(name, key)] = dict(direct=median(vs_direct), cpg=median(cpg), runs=runs)
            lines.append(f"| {title} | {runs[0]['label']} | {median(mbps):.0f} ({min(mbps):.0f}) | {median(fps):.1f} | "
                         f"{median(cpg):.3f} ({min(cpg):.3f}) | {max(r['rss'] for r in runs) / 1024:.1f} | "
                         f"{vs_limit_speed:.2f} | {vs_limit_cpu:.2f} | {median(vs_direct):.2f} | "
                         f"{sum(r['ok'] for r in runs)}/{len(runs)} |")
    table = "\n".join(lines)

    # ---- targets ----
    checks = []
    def check(text, value, limit, unit=""):
        verdict = "met" if value <= limit else f"MISSED by {value / limit:.2f}x"
        checks.append(f"- {text}: {value:.3f}{unit} (target <= {limit}{unit}) — {verdict}")
    for name, title in SIZES:
        kvx = samples[(name, "kvx-tcp")]
        curl = samples[(name, "curl")]
        check(f"kvx TCP CPU/GB ÷ direct reader, {title} (median of paired ratios)", ratios[(name, "kvx-tcp")]["direct"], 1.12)
        vs_curl = median([(k["cpu"] / k["bytes"]) / max(c["cpu"] / c["bytes"], 1e-15) for k, c in zip(kvx, curl)])
        check(f"kvx TCP CPU/GB ÷ curl, {title} (median of paired ratios)", vs_curl, 1.1 if name == "rgba" else 0.9)
    for name, title in SIZES:
        for key in ["kvx-tcp", "kvx-tunnel"]:
            values = [r["allocs"] for r in samples[(name, key)] if r["allocs"] is not None]
            if values:
                check(f"heap allocations per frame after warm-up, {key}, {title} (max over runs)", max(values), 0)
    lat = {}
    for line in latency.splitlines():
        m = re.search(r"latency (\S+) min=(\S+) median=(\S+) max=(\S+) n=(\d+)", line)
        if m:
            lat[m.group(1)] = tuple(float(x) for x in m.group(2, 3, 4)) + (int(m.group(5)),)
    for key, limit, text in [("abort-tcp", 50, "Abort to destructor return, TCP (max)"),
                             ("abort-tunnel", 50, "Abort to destructor return, tunnel (max)"),
                             ("attach", 1100, "attach to OnDeviceFound (max)")]:
        if key in lat:
            check(text, lat[key][2], limit, " ms")
        else:
            checks.append(f"- {text}: not measured (trial failed)")
    lat_lines = ["| figure | min ms | median ms | max ms | trials |", "|---|---|---|---|---|"]
    names = {"abort-tcp": "Abort → destructor return, stalled stream, TCP",
             "abort-tunnel": "Abort → destructor return, stalled stream, usbmux tunnel",
             "frame-jpeg": "server wrote a 50 KB frame's last byte → OnNewImage entry (TCP, paced 20 ms)",
             "frame-rgb": "server wrote a 6 MB frame's last byte → OnNewImage entry (TCP, paced 20 ms)",
             "attach": "device attached at the daemon → OnDeviceFound (one device)"}
    for key, text in names.items():
        if key in lat:
            lo, mid, hi, n = lat[key]
            lat_lines.append(f"| {text} | {lo:.3f} | {mid:.3f} | {hi:.3f} | {n} |")

    frames_text = ", ".join(f"{n}: {frames[n]} frames ({frames[n] * frame_sizes[n] / 1e9:.2f} GB)" for n, _ in SIZES)
    managed_note = ("7. kvx managed: **skipped** — `managed/` holds no .NET assembly yet, so there is nothing to run on Mono."
                    if not any(f.endswith((".cs", ".dll")) for _, _, fs in os.walk(os.path.join(os.path.dirname(BIN), "..", "..", "managed")) for f in fs)
                    else "7. kvx managed: not wired into this benchmark yet.")
    text = f"""# kvx stream benchmarks

Written by `bench/run` on {time.strftime('%Y-%m-%d %H:%M %Z')}.

**Machine:** {machine()}.
**Load:** load average {load_before[0]:.1f} before the stream runs, {load_mid[0]:.1f} after them, {load_after[0]:.1f} at the end
(the machine is shared with other builds and test runs; absolute MB/s are therefore noisy, which is why
readers are interleaved and compared on CPU seconds per GB, paired per round).

**Method.** One `bench-server` writes a pre-built multipart/x-mixed-replace stream with large `send` calls
over 127.0.0.1. Per run and size: {frames_text} (at least 300 MB and about {SECONDS} s for the direct reader).
{ROUNDS} rounds; within a round every reader of every size runs once, in shuffled order. Each reader is a
child process: CPU = user+sys from `wait4`, peak RSS = `ru_maxrss`. Ratios are medians of per-round paired
ratios. "limit" is a C reader that `recv`s into one 64 KiB buffer and discards; "direct" is a C reader that
parses the part headers and `recv`s each body straight into a reused frame buffer.
\\* The tunnel runs through the simulated usbmux daemon in the reader's own process, with the real
libusbmuxd: its relay thread's CPU (a second copy of every byte through a UNIX socket) is counted with the reader.
{managed_note}

## Throughput and CPU

{table}

## Latency

{chr(10).join(lat_lines)}

## Targets

{chr(10).join(checks)}

## Where the CPU goes (perf, kvx native over TCP, on this machine)

- The kernel's copy out of the socket (`_copy_to_iter` under `recv`) and page-fault handling
  (`pvm_irq_enable`: this VM's paravirtualised interrupt enable, which page faults hit) dominate every
  reader. The body itself is received straight into the frame store (`KVX_MultipartLineReader::ReadSome`
  passes the store's memory to `recv`); there is no per-frame user-space copy of the body in steady state,
  and `recv` is tried before any `poll`.
- Frame store growth: `KVX_MultipartLineReader::ReadFrame` (streaming/KvxMultipartReader.cpp) used to
  grow the store by doubling while the first large frame arrived, each `NPT_DataBuffer::ReallocateBuffer`
  copying what was written so far into fresh, not yet faulted memory (8% of the reader's CPU in `memmove`
  plus 5% in page faults in a 150-frame RGB profile, more for the ~25-frame RGBA runs). A declared length
  up to 64 MiB is now reserved in one step, so nothing is copied; the RGBA ratio to the direct reader went
  from 1.65 (loaded machine) to about 1.26 (quiet machine).
- What is left against the direct reader (1.2-1.3x here in a quiet run, 0.9-1.1x in an earlier loaded
  one: single runs are bimodal, and 3 rounds are fewer than the 7 that give a steady paired median) has
  not been profiled yet; candidates are the part-header line reads and the per-frame delegate call path.
- The benchmark's own delegate must stay a no-op: an earlier version took a mutex and signalled a
  condition variable per frame, which alone cost 10% of the reader's CPU for 50 KB frames.
- The tunnel figures include the simulated daemon's relay thread in the same process (one more copy
  of every byte through a UNIX socket and a loopback TCP socket), so they bound what a real daemon
  would add rather than measure the library alone.

## Micro-benchmarks (`kvx-microbench`, Google Benchmark)

```
{micro.strip()}
```
"""
    with open(OUT, "w") as handle:
        handle.write(text)
    print()
    print(table)
    print()
    print("\n".join(lat_lines))
    print()
    print("\n".join(checks))
    print(f"\nwrote {OUT}")


if __name__ == "__main__":
    main()
