#!/usr/bin/env python3
"""Runs the latency comparison through latency-launch and reports it.

Used by bench/latency, which builds the programs and starts the receiver service first.
latency-launch starts the CGI program, the floor client and a trivial program (/bin/true,
to show what starting any process costs here) in rounds, each run directly with
REQUEST_METHOD=GET and an empty QUERY_STRING, and prints one line per run. The figure
that counts is the median over rounds of (program time / floor time) of the same round;
the floor client is a C program without the C++ runtime, so the ratio includes what the
C++ runtime and the engine cost at start-up.

Exit codes: 0 measured (targets are reported; with --enforce-targets a miss gives 1);
1 a run failed or the outputs differ; 2 bad command line.
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys

TARGET_TIME_RATIO = 1.2
TARGET_RSS_RATIO = 1.5
MIN_RUNS = 100


def pct(values, p):
    ordered = sorted(values)
    k = int(round(p / 100.0 * (len(ordered) - 1)))
    return ordered[max(0, min(len(ordered) - 1, k))]


def stripped_size(path, work):
    copy = os.path.join(work, os.path.basename(path) + ".stripped")
    subprocess.run(["strip", "-o", copy, path], check=True)
    return os.path.getsize(copy)


def main():
    # Leave by an exception on TERM, so that subprocess.run stops the launcher too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--launcher", required=True, help="latency-launch")
    ap.add_argument("--program", required=True, help="the CGI program")
    ap.add_argument("--floor", required=True, help="the floor client")
    ap.add_argument("--work", required=True, help="directory for outputs and raw data")
    ap.add_argument("--runs", type=int, default=200, help="runs of each (default 200)")
    ap.add_argument("--warmup", type=int, default=5, help="unmeasured runs of each first")
    ap.add_argument("--enforce-targets", action="store_true",
                    help="exit 1 when the time or memory target is missed")
    args = ap.parse_args()
    if args.runs < MIN_RUNS:
        ap.error(f"--runs must be at least {MIN_RUNS}")

    names = ["program", "floor", "launch"]
    cmd = [args.launcher, args.work, str(args.runs), str(args.warmup),
           f"program={args.program}", f"floor={args.floor}", "launch=/bin/true"]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, timeout=1800)
    raw = os.path.join(args.work, "runs.txt")
    with open(raw, "w") as f:
        f.write(proc.stdout)
    if proc.returncode != 0:
        print(f"latency: latency-launch failed (exit {proc.returncode})", file=sys.stderr)
        return 1

    runs = {n: [] for n in names}
    for line in proc.stdout.splitlines():
        name, wall, user, sys_, rss, code, same = line.split()
        runs[name].append({"wall": int(wall) / 1e9, "cpu": (int(user) + int(sys_)) / 1e6,
                           "rss": int(rss), "code": int(code), "same": same == "1"})

    failed = [(n, r["code"]) for n in ("program", "floor") for r in runs[n] if r["code"] != 0]
    if failed:
        print(f"latency: {len(failed)} run(s) exited non-zero, first: {failed[0]}",
              file=sys.stderr)
        return 1
    with open(os.path.join(args.work, "program.out"), "rb") as f:
        program_out = f.read()
    with open(os.path.join(args.work, "floor.out"), "rb") as f:
        floor_out = f.read()
    drift = sum(not r["same"] for n in ("program", "floor") for r in runs[n])
    identical = program_out == floor_out and drift == 0
    if b"<conference>" not in program_out:
        print("latency: the reply lists no senders:\n" + program_out.decode(errors="replace"),
              file=sys.stderr)
        return 1

    ratios = [p["wall"] / f["wall"] for p, f in zip(runs["program"], runs["floor"])]
    ratio = statistics.median(ratios)
    med = {n: statistics.median(r["wall"] for r in runs[n]) for n in names}
    cpu = {n: statistics.median(r["cpu"] for r in runs[n]) for n in names}
    rss = {n: statistics.median(r["rss"] for r in runs[n]) for n in names}
    rss_ratio = rss["program"] / rss["floor"]
    size_prog = stripped_size(args.program, args.work)
    size_floor = stripped_size(args.floor, args.work)

    def ms(s):
        return f"{s * 1000:.2f} ms"

    print(f"rounds: {args.runs} (after {args.warmup} warm-up rounds); raw data: {raw}")
    print(f"outputs: {'byte-identical' if identical else 'DIFFERENT'}"
          f" ({len(program_out)} bytes; every run compared with the first)")
    for n, label in (("program", "CGI program"), ("floor", "floor client"),
                     ("launch", "/bin/true")):
        w = [r["wall"] for r in runs[n]]
        print(f"{label:13s} wall median {ms(med[n])} (p10 {ms(pct(w, 10))}, p90 {ms(pct(w, 90))},"
              f" max {ms(max(w))})"
              f"  CPU median {ms(cpu[n])}  peak RSS median {rss[n]:.0f} KiB")
    verdict = "met" if ratio <= TARGET_TIME_RATIO else "MISSED"
    print(f"time ratio program/floor: median of per-round ratios {ratio:.3f}"
          f" (p10 {pct(ratios, 10):.3f}, p90 {pct(ratios, 90):.3f}),"
          f" target <= {TARGET_TIME_RATIO}: {verdict}")
    verdict = "met" if rss_ratio <= TARGET_RSS_RATIO else "MISSED"
    print(f"peak RSS ratio program/floor: {rss_ratio:.2f}, target <= {TARGET_RSS_RATIO}: {verdict}")
    print(f"stripped size: program {size_prog} bytes, floor client {size_floor} bytes")
    if not identical:
        print("latency: the program's and the floor client's outputs differ; see"
              f" {args.work}/program.out and floor.out", file=sys.stderr)
        return 1
    if args.enforce_targets and (ratio > TARGET_TIME_RATIO or rss_ratio > TARGET_RSS_RATIO):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
