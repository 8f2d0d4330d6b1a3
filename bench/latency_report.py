#!/usr/bin/env python3
"""Runs the latency comparison through latency-launch and reports it.

Used by bench/latency, which builds the programs and starts the receiver service first.
latency-launch starts the CGI program, the floor client and a trivial program (/bin/true,
to show what starting any process costs here) in rounds, each run directly as a web server
runs it for the page's empty GET (REQUEST_METHOD=GET, an empty QUERY_STRING, HTTP_HOST and
HTTP_X_REQUESTED_WITH), and prints one line per run. The figure that counts is the median
over rounds of (program time / floor time) of the same round; the floor client is a C
program without the C++ runtime, so the ratio includes what the C++ runtime and the engine
cost at start-up. Also reported: CPU time (user + system, all threads) and peak RSS per
run, and system calls per run counted with strace -c -f. Run as root, everything is
measured twice: as an unprivileged account (as deployed: no real-time scheduling for the
engine's threads) and as root.

Exit codes: 0 measured (targets are reported; with --enforce-targets a miss gives 1);
1 a run failed or the outputs differ; 2 bad command line.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

TARGET_TIME_RATIO = 1.2  # unprivileged, as a web server runs it
TARGET_TIME_RATIO_ROOT = 1.3
TARGET_CPU_RATIO = 1.2
TARGET_RSS_RATIO = 1.5
MIN_RUNS = 100
# What latency-launch passes: an empty GET as a web server hands it over from the page.
RUN_ENV = {"REQUEST_METHOD": "GET", "QUERY_STRING": "", "GATEWAY_INTERFACE": "CGI/1.1",
           "PATH": "/usr/bin:/bin", "HTTP_HOST": "127.0.0.1",
           "HTTP_X_REQUESTED_WITH": "screenreceiver"}


def pct(values, p):
    ordered = sorted(values)
    k = int(round(p / 100.0 * (len(ordered) - 1)))
    return ordered[max(0, min(len(ordered) - 1, k))]


def stripped_size(path, work):
    copy = os.path.join(work, os.path.basename(path) + ".stripped")
    subprocess.run(["strip", "-o", copy, path], check=True)
    return os.path.getsize(copy)


def parse_runs(text, names):
    runs = {n: [] for n in names}
    for line in text.splitlines():
        name, wall, user, sys_, rss, code, same = line.split()
        runs[name].append({"wall": int(wall) / 1e9, "cpu": (int(user) + int(sys_)) / 1e6,
                           "rss": int(rss), "code": int(code), "same": same == "1"})
    return runs


def as_user(user, cmd):
    return [shutil.which("runuser") or "runuser", "-u", user, "--"] + cmd if user else cmd


def syscalls_per_run(path, work, runs, user):
    """System calls of one run (all threads), averaged over `runs` runs under strace -c -f;
    None when strace is missing."""
    if shutil.which("strace") is None:
        return None
    total = 0
    for i in range(runs):
        count = os.path.join(work, f"strace-{os.path.basename(path)}.txt")
        with open(os.devnull, "wb") as null:
            subprocess.run(as_user(user, ["strace", "-f", "-c", "-o", count, path]), env=RUN_ENV,
                           stdout=null, check=True, timeout=60)
        with open(count) as f:
            total += int(next(line for line in f if line.rstrip().endswith(" total")).split()[3])
    return total / runs


def measure(args, label, user):
    """One launcher run of every program as `user` (None: as we are); prints the figures
    and returns them, or None when a run failed or the outputs differ."""
    work = args.work
    program, floor, launcher = args.program, args.floor, args.launcher
    if user:
        # The account may not reach the build tree (a checkout in a private folder): it
        # gets copies in a temporary folder of its own.
        work = args.copies = tempfile.mkdtemp(prefix="latency-")
        os.chmod(work, 0o755)
        for name in ("program", "floor", "launcher"):
            copy = os.path.join(work, name)
            shutil.copy2(getattr(args, name), copy)
            os.chmod(copy, 0o755)
        program, floor, launcher = (os.path.join(work, n) for n in ("program", "floor", "launcher"))
        shutil.chown(work, user)
    names = ["program", "floor", "launch"]
    cmd = as_user(user, [launcher, work, str(args.runs), str(args.warmup), f"program={program}",
                         f"floor={floor}", "launch=/bin/true"])
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, timeout=1800)
    raw = os.path.join(args.work, f"runs-{label}.txt")
    with open(raw, "w") as f:
        f.write(proc.stdout)
    if proc.returncode != 0:
        print(f"latency: latency-launch failed (exit {proc.returncode})", file=sys.stderr)
        return None
    runs = parse_runs(proc.stdout, names)
    failed = [(n, r["code"]) for n in ("program", "floor") for r in runs[n] if r["code"] != 0]
    if failed:
        print(f"latency: {len(failed)} run(s) exited non-zero, first: {failed[0]}",
              file=sys.stderr)
        return None
    with open(os.path.join(work, "program.out"), "rb") as f:
        program_out = f.read()
    with open(os.path.join(work, "floor.out"), "rb") as f:
        floor_out = f.read()
    drift = sum(not r["same"] for n in ("program", "floor") for r in runs[n])
    if b"<conference>" not in program_out:
        print("latency: the reply lists no senders:\n" + program_out.decode(errors="replace"),
              file=sys.stderr)
        return None
    if program_out != floor_out or drift:
        print(f"latency: the program's and the floor client's outputs differ; see {work}/"
              "program.out and floor.out", file=sys.stderr)
        return None

    ratios = [p["wall"] / f["wall"] for p, f in zip(runs["program"], runs["floor"])]
    fig = {"ratio": statistics.median(ratios)}
    med = {n: statistics.median(r["wall"] for r in runs[n]) for n in names}
    cpu = {n: statistics.median(r["cpu"] for r in runs[n]) for n in names}
    rss = {n: statistics.median(r["rss"] for r in runs[n]) for n in names}
    calls = {n: syscalls_per_run(p, work, args.strace_runs, user)
             for n, p in (("program", program), ("floor", floor))}
    fig["cpu"] = cpu["program"] / cpu["floor"]
    fig["rss"] = rss["program"] / rss["floor"]

    def ms(s):
        return f"{s * 1000:.2f} ms"

    print(f"-- {label}: {args.runs} rounds (after {args.warmup} warm-up rounds); raw data: {raw};"
          f" outputs byte-identical ({len(program_out)} bytes; every run compared)")
    for n, text in (("program", "CGI program"), ("floor", "floor client"), ("launch", "/bin/true")):
        w = [r["wall"] for r in runs[n]]
        line = (f"{text:13s} wall median {ms(med[n])} (p10 {ms(pct(w, 10))},"
                f" p90 {ms(pct(w, 90))}, max {ms(max(w))})  CPU (user+system) median"
                f" {ms(cpu[n])}  peak RSS median {rss[n]:.0f} KiB")
        if calls.get(n) is not None:
            line += f"  system calls {calls[n]:.0f}"
        print(line)
    target = TARGET_TIME_RATIO_ROOT if label == "root" else TARGET_TIME_RATIO
    fig["ratio_ok"] = fig["ratio"] <= target
    print(f"time ratio program/floor: median of per-round ratios {fig['ratio']:.3f}"
          f" (p10 {pct(ratios, 10):.3f}, p90 {pct(ratios, 90):.3f}),"
          f" target <= {target}: {'met' if fig['ratio_ok'] else 'MISSED'}")
    print(f"CPU time ratio program/floor: {fig['cpu']:.2f}, target <= {TARGET_CPU_RATIO}:"
          f" {'met' if fig['cpu'] <= TARGET_CPU_RATIO else 'MISSED'}")
    print(f"peak RSS ratio program/floor: {fig['rss']:.2f}, target <= {TARGET_RSS_RATIO}:"
          f" {'met' if fig['rss'] <= TARGET_RSS_RATIO else 'MISSED'}")
    if calls["program"] is None:
        print("system calls: not counted (strace is not installed)")
    return fig


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
    ap.add_argument("--strace-runs", type=int, default=5,
                    help="runs of each under strace -c -f to count system calls (default 5)")
    ap.add_argument("--user", default="nobody",
                    help="as root, the unprivileged account to measure as too (default nobody)")
    ap.add_argument("--enforce-targets", action="store_true",
                    help="exit 1 when a time, CPU or memory target is missed")
    args = ap.parse_args()
    if args.runs < MIN_RUNS:
        ap.error(f"--runs must be at least {MIN_RUNS}")
    if args.strace_runs < 1:
        ap.error("--strace-runs must be at least 1")

    # As root the engine's threads get SCHED_RR; a web server runs the program as an
    # ordinary account, where they do not. Root measures both, unprivileged first.
    modes = [("unprivileged", None)]
    if os.geteuid() == 0:
        modes = [("unprivileged", args.user), ("root", None)]
    figures = []
    args.copies = None
    for label, user in modes:
        try:
            fig = measure(args, label, user)
        finally:
            if args.copies:
                shutil.rmtree(args.copies, ignore_errors=True)
                args.copies = None
        if fig is None:
            return 1
        figures.append(fig)
    print(f"stripped size: program {stripped_size(args.program, args.work)} bytes,"
          f" floor client {stripped_size(args.floor, args.work)} bytes")
    missed = any(not f["ratio_ok"] or f["cpu"] > TARGET_CPU_RATIO or f["rss"] > TARGET_RSS_RATIO
                 for f in figures)
    return 1 if args.enforce_targets and missed else 0


if __name__ == "__main__":
    sys.exit(main())
