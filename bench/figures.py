#!/usr/bin/env python3
"""Figures of the benchmark run (scripts/bench).

  figures.py tolv-cpu RUNNER TOLV N    runs `RUNNER -- TOLV TXPOWER` N times on the simulated
                                       board; prints "tolv cpu=<ms> wall=<ms>" (medians)
  figures.py table DIR [--write FILE]  reads the outputs in DIR, prints the Markdown table and
                                       the machine line, and writes both to FILE

DIR holds codec.json (Google Benchmark JSON), read_latency.txt, rt.txt, tolv.txt,
machine.txt and, optionally, soak.txt (the totals of scripts/soak).
"""
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import time

LINE_BYTES_PER_S = 115200 / 10  # the ODU line: 10 bits per byte


def tolv_cpu(runner, tolv, n):
    cpu, wall = [], []
    for _ in range(n):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.monotonic()
        done = subprocess.run([runner, "--", tolv, "TXPOWER"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, check=False)
        wall.append((time.monotonic() - t0) * 1000)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if done.returncode != 0 or b"txpower:" not in done.stdout:
            sys.exit("tolv failed: " + done.stdout.decode(errors="replace"))
        cpu.append((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000)
    print("tolv cpu=%.2f wall=%.1f n=%d" % (statistics.median(cpu), statistics.median(wall), n))


def fields(line):
    """key=value pairs of one output line, values as floats where they are numbers."""
    out = {}
    for key, value in re.findall(r"(\w+)=([-\d.]+)", line):
        out[key] = float(value)
    return out


def line_starting(path, prefix):
    with open(path) as f:
        for line in f:
            if line.startswith(prefix):
                return line
    sys.exit("%s: no line starting with %r" % (path, prefix))


def mb(bytes_per_s):
    return "%.0f MB/s" % (bytes_per_s / 1e6)


def table(d, write):
    with open(os.path.join(d, "codec.json")) as f:
        runs = json.load(f)["benchmarks"]
    bench = {}
    for r in runs:
        if r.get("run_type") == "aggregate" and r.get("aggregate_name") != "median":
            continue
        bench[r["run_name"]] = r["bytes_per_second"]

    rows = []
    for n in (107, 4096):
        ours = bench["BM_FcsOurs/%d" % n]
        boost = bench["BM_FcsBoost/%d" % n]
        rows.append(("FCS-16 over %d bytes, ours (Boost.CRC)" % n,
                     "%s (%s), %.2f x" % (mb(ours), mb(boost), ours / boost),
                     "at least Boost.CRC (1.00 x)"))
    line_target = "at least 100 x line rate (%.1f MB/s)" % (100 * LINE_BYTES_PER_S / 1e6)
    rows.append(("Stuff + unstuff, 107 random bytes", mb(bench["BM_StuffUnstuffTypical"]),
                 line_target))
    rows.append(("Stuff + unstuff, 64 flag bytes (worst case)",
                 mb(bench["BM_StuffUnstuffWorst/64"]), line_target))

    lat_path = os.path.join(d, "read_latency.txt")
    head = line_starting(lat_path, "answer delay")
    delay = re.search(r"answer delay (\d+) us", head).group(1)
    for mode, name in (("polled", "polled"), ("interrupt", "interrupt mode")):
        v = fields(line_starting(lat_path, mode + " "))
        rows.append(("Read latency, %s (median, p95; n=%d)" % (name, v["n"]),
                     "%.1f ms, %.1f ms" % (v["median"], v["p95"]),
                     "floor %.1f ms + at most 10 ms" % v["floor"]))
    for mode in ("polled", "interrupt"):
        v = fields(line_starting(lat_path, mode + " "))
        rows.append(("Processor time per read, %s, in process" % mode, "%.2f ms" % v["cpu"],
                     "under 10 %% of the read (%.1f ms)" % (v["median"] / 10)))
    v = fields(line_starting(lat_path, "back-to-back "))
    rows.append(("Read back to back, interrupt mode: latency, processor time (median)",
                 "%.1f ms, %.1f ms" % (v["median"], v["cpu"]),
                 "floor %.1f ms + at most 10 ms; no processor target (the 50 ms gap "
                 "spins)" % v["floor"]))
    t = fields(line_starting(os.path.join(d, "tolv.txt"), "tolv "))
    rows.append(("Processor time per `tolv TXPOWER` (whole process, median of %d)" % t["n"],
                 "%.1f ms of %.0f ms wall" % (t["cpu"], t["wall"]),
                 "under 10 %% of its wall time (%.0f ms)" % (t["wall"] / 10)))

    rt_path = os.path.join(d, "rt.txt")
    idle = re.search(r"= ([\d.]+) %", line_starting(rt_path, "idle:")).group(1)
    rows.append(("Idle processor time of the runtime threads", "%s %% of one core" % idle,
                 "under 1 % of one core"))
    tick = fields(line_starting(rt_path, "tick period:"))
    rows.append(("Tick period (median; p5..p95; n=%d)" % tick["n"],
                 "%.2f ms; %.2f..%.2f ms" % (tick["median"], tick["p5"], tick["p95"]),
                 "38 ms +- 1 ms (median)"))
    sig = fields(line_starting(rt_path, "signal to handler:"))
    rows.append(("Event signal to handler (median, p95; max; n=%d)" % sig["n"],
                 "%.1f us, %.1f us; %.0f us" % (sig["median"], sig["p95"], sig["max"]),
                 "p95 under 1 ms"))

    with open(os.path.join(d, "machine.txt")) as f:
        machine = f.read().strip()
    out = ["| Figure | Value | Target |", "|---|---|---|"]
    out += ["| %s | %s | %s |" % r for r in rows]
    text = "\n".join(out) + "\n\n" + machine + "\n"
    text += ("\nRead latency is measured on the simulated board (ODU answer delay %s us, "
             "line 115200 bit/s); the floor is what the protocol itself takes: the fixed waits "
             "and the frames on the line.\n" % delay)
    print(text, end="")

    soak_path = os.path.join(d, "soak.txt")
    soak = ""
    if os.path.exists(soak_path):
        with open(soak_path) as f:
            lines = [l.strip() for l in f if l.startswith("soak total:")]
        if lines:
            soak = "\n## Fault soak\n\n" + "\n".join("    " + l for l in lines) + "\n"
            print(soak, end="")

    if write:
        with open(write, "w") as f:
            f.write("# Figures\n\nWritten by `scripts/bench`; `scripts/soak --full` gives the soak "
                    "totals.\n\n" + text)
            if soak:
                f.write(soak)
            if os.path.exists(os.path.join(os.path.dirname(write), "read_latency.png")):
                f.write("\n![Read latency per mode](read_latency.png)\n")


def main(argv):
    if len(argv) == 5 and argv[1] == "tolv-cpu":
        tolv_cpu(argv[2], argv[3], int(argv[4]))
    elif len(argv) in (3, 5) and argv[1] == "table":
        table(argv[2], argv[4] if len(argv) == 5 and argv[3] == "--write" else None)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
