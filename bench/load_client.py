#!/usr/bin/env python3
"""Load client for bench/load: many HTTP requests to the CGI program, every reply checked.

bench/load starts receiver-sim and lighttpd first. Threads (one keep-alive connection
each) take the requests of a seeded plan in turn: list GETs and Play/Stop POSTs on the
non-local senders of the sender file. Every reply must be HTTP 200, text/xml, well-formed,
list exactly the non-local senders of the file in file order with their names (escaped),
addresses and application types, and show frames that the receiver can be in: each in
{-1, 1, 2, 3, 4}, each of 1-4 held by at most one sender. The body must also be byte for
byte the program's rendering of what it shows. After the run a final GET must agree with
the service's state file, and the service's command counters must show that every
request reached it: two list queries per request and one Start/Stop per action.

Exit codes: 0 all replies right; 1 some reply wrong; 2 bad command line.
"""
import argparse
import http.client
import itertools
import json
import os
import random
import resource
import statistics
import sys
import threading
import time
import xml.etree.ElementTree as ET

CGI_PATH = "/cgi-bin/screenreceiver.cgi"
# The web server starts the program only for requests that carry this header.
OWN = {"X-Requested-With": "screenreceiver"}
FORM_TYPE = "application/x-www-form-urlencoded"
ESCAPES = [("&", "Pa_Amp"), (";", "Pa_Note"), ("%", "Pa_Percent"), ("<", "Pa_Lt"),
           (">", "Pa_Gt"), ("+", "Pa_Add")]
FIELDS = ["username", "frame", "ip", "apptype"]


def escape_name(name):
    return "".join(dict(ESCAPES).get(c, c) for c in name)


def render(expected, frames):
    """The reply the program writes for the expected senders showing these frames."""
    lines = ["<return>", f"<total>{len(expected)}</total>"]
    for sender, frame in zip(expected, frames):
        lines += ["<conference>", f"<username>{sender['username']}</username>",
                  f"<frame>{frame}</frame>", f"<ip>{sender['ip']}</ip>",
                  f"<apptype>{sender['apptype']}</apptype>", "</conference>"]
    lines.append("</return>")
    return ("\n".join(lines) + "\n").encode()


def check_reply(status, ctype, body, expected):
    """Returns (frames shown, None) for a right reply, or (None, reason)."""
    if status != 200:
        return None, f"HTTP status {status}"
    if ctype.split(";")[0].strip() != "text/xml":
        return None, f"content type {ctype!r}"
    try:
        root = ET.fromstring(body)
    except ET.ParseError as e:
        return None, f"not well-formed XML: {e}"
    if root.tag != "return":
        return None, f"root element <{root.tag}>"
    children = list(root)
    if not children or children[0].tag != "total":
        return None, "no <total> first"
    confs = children[1:]
    if children[0].text != str(len(expected)) or len(confs) != len(expected):
        return None, (f"total {children[0].text} with {len(confs)} entries,"
                      f" expected {len(expected)}")
    frames = []
    for i, (conf, want) in enumerate(zip(confs, expected)):
        if conf.tag != "conference" or [c.tag for c in conf] != FIELDS:
            return None, f"entry {i} is not a <conference> with {FIELDS}"
        got = {c.tag: c.text or "" for c in conf}
        for field in ("username", "ip", "apptype"):
            if got[field] != want[field]:
                return None, f"entry {i} {field} {got[field]!r}, expected {want[field]!r}"
        if got["frame"] not in ("-1", "1", "2", "3", "4"):
            return None, f"entry {i} frame {got['frame']!r}"
        frames.append(int(got["frame"]))
    shown = [f for f in frames if f > 0]
    if len(shown) != len(set(shown)):
        return None, f"a frame held by two senders: {frames}"
    if body != render(expected, frames):
        return None, "body differs from the program's rendering of what it shows"
    return frames, None


def make_plan(n, seed, mix, senders):
    rng = random.Random(seed)
    plan = []
    for _ in range(n):
        r = rng.random() * 100
        if r < mix[0]:
            plan.append(("GET", None))
        elif r < mix[0] + mix[1]:
            plan.append(("POST", f"userid{rng.randrange(senders)}=Play{rng.randrange(5)}"))
        else:
            plan.append(("POST", f"userid{rng.randrange(senders)}=Stop"))
    return plan


class Worker(threading.Thread):
    def __init__(self, host, port, plan, counter, deadline, expected, path=CGI_PATH,
                 check=True):
        super().__init__(daemon=True)
        self.host, self.port, self.plan, self.counter = host, port, plan, counter
        self.deadline, self.expected, self.path, self.check = deadline, expected, path, check
        self.latencies, self.wrong, self.done = [], [], 0
        self.conn = None

    def connect(self):
        if self.conn:
            self.conn.close()
        self.conn = http.client.HTTPConnection(self.host, self.port, timeout=90)

    def run(self):
        self.connect()
        for j in self.counter:
            if j >= len(self.plan) or time.monotonic() > self.deadline:
                break
            method, form = self.plan[j]
            start = time.perf_counter()
            try:
                if method == "GET":
                    self.conn.request("GET", self.path, headers=OWN)
                else:
                    self.conn.request("POST", self.path, body=form,
                                      headers={**OWN, "Content-Type": FORM_TYPE})
                resp = self.conn.getresponse()
                body = resp.read()
                elapsed = time.perf_counter() - start
                status, ctype = resp.status, resp.getheader("Content-Type", "")
                if resp.will_close:
                    self.connect()
            except (OSError, http.client.HTTPException) as e:
                self.wrong.append((j, method, form, f"request failed: {e!r}"))
                self.connect()
                continue
            self.latencies.append(elapsed)
            self.done += 1
            if self.check:
                _, reason = check_reply(status, ctype, body, self.expected)
                if reason:
                    self.wrong.append((j, method, form, reason))
            elif status != 200:
                self.wrong.append((j, method, form, f"HTTP status {status}"))
        self.conn.close()


def drive(host, port, plan, concurrency, deadline, expected, path=CGI_PATH, check=True):
    counter = itertools.count()  # next() on it is atomic under the GIL
    workers = [Worker(host, port, plan, counter, deadline, expected, path, check)
               for _ in range(concurrency)]
    cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join(max(1.0, deadline - time.monotonic() + 100))
    wall = time.perf_counter() - t0
    cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
    latencies = sorted(x for w in workers for x in w.latencies)
    wrong = [x for w in workers for x in w.wrong]
    done = sum(w.done for w in workers)
    return wall, cpu, latencies, wrong, done


def cpu_seconds(pid):
    """CPU time of a process and of its children that it has waited for (the CGI runs of
    the web server), from /proc; None when unreadable."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        # utime, stime, cutime, cstime are fields 14-17; the split starts at field 3.
        return sum(int(x) for x in fields[11:15]) / ticks
    except (OSError, ValueError, IndexError):
        return None


def pct(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = int(round(p / 100.0 * (len(sorted_values) - 1)))
    return sorted_values[k]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--port", type=int, required=True, help="lighttpd port on 127.0.0.1")
    ap.add_argument("--senders", required=True, help="the sender file receiver-sim serves")
    ap.add_argument("--state-file", required=True, help="receiver-sim's state file")
    ap.add_argument("--requests", type=int, default=10000)
    ap.add_argument("--concurrency", type=int, default=32)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--mix", default="70/15/15", help="percent GET/Play/Stop")
    ap.add_argument("--ceiling-requests", type=int, default=3000,
                    help="requests of a static file first, to show the client's own limit"
                         " (0: skip)")
    ap.add_argument("--server-pid", action="append", default=[], metavar="NAME=PID",
                    help="a server process whose CPU time (with its waited-for children)"
                         " is reported per request; repeatable")
    ap.add_argument("--max-seconds", type=float, default=1200,
                    help="stop sending after this long (the rest counts as wrong)")
    args = ap.parse_args()
    try:
        mix = [float(x) for x in args.mix.split("/")]
        assert len(mix) == 3 and abs(sum(mix) - 100) < 1e-6 and min(mix) >= 0
    except (ValueError, AssertionError):
        ap.error("--mix must be three percentages that add up to 100, like 70/15/15")
    if args.requests < 1 or not 1 <= args.concurrency <= 32:
        ap.error("--requests must be at least 1 and --concurrency from 1 to 32")

    with open(args.senders) as f:
        file_senders = json.load(f)["senders"]
    listed = [s for s in file_senders if not s.get("local", False)]
    expected = [{"username": escape_name(s["name"]), "ip": s["ip"],
                 "apptype": str(s.get("appType", 0)), "id": s["id"]} for s in listed]
    host = "127.0.0.1"

    if args.ceiling_requests > 0:
        plan = [("GET", None)] * args.ceiling_requests
        wall, cpu, lat, wrong, done = drive(host, args.port, plan, args.concurrency,
                                            time.monotonic() + 300, expected, "/", False)
        print(f"client ceiling: {done} GETs of the static page in {wall:.2f} s ="
              f" {done / wall:.0f} req/s (p50 {pct(lat, 50) * 1000:.2f} ms),"
              f" client CPU {cpu / done * 1e6:.0f} us/request"
              + (f", {len(wrong)} failed" if wrong else ""))

    plan = make_plan(args.requests, args.seed, mix, len(expected))
    plays = sum(1 for m, f in plan if f and "=Play" in f)
    stops = sum(1 for m, f in plan if f and f.endswith("=Stop"))
    gets = len(plan) - plays - stops
    servers = [tuple(x.split("=", 1)) for x in args.server_pid]
    server_cpu0 = {name: cpu_seconds(pid) for name, pid in servers}
    wall, cpu, lat, wrong, done = drive(host, args.port, plan, args.concurrency,
                                        time.monotonic() + args.max_seconds, expected)
    server_cpu1 = {name: cpu_seconds(pid) for name, pid in servers}
    missing = len(plan) - done - sum(1 for w in wrong if w[3].startswith("request failed"))
    if missing > 0:
        wrong.append((None, None, None, f"{missing} request(s) not sent before the time limit"))

    # The final state: one more GET, compared with the service's own record.
    conn = http.client.HTTPConnection(host, args.port, timeout=90)
    conn.request("GET", CGI_PATH, headers=OWN)
    resp = conn.getresponse()
    body = resp.read()
    conn.close()
    frames, reason = check_reply(resp.status, resp.getheader("Content-Type", ""), body, expected)
    with open(args.state_file) as f:
        state = json.load(f)
    if reason:
        wrong.append(("final", "GET", None, reason))
    else:
        by_id = {s["id"]: s["frame"] for s in state.get("senders", [])}
        want = [(by_id[s["id"]] or -1) if s["id"] in by_id else "absent" for s in expected]
        if frames != want:
            wrong.append(("final", "GET", None, f"frames {frames}, the service holds {want}"))
        holders = {int(k): v for k, v in state.get("frames", {}).items() if v is not None}
        for sender, frame in zip(expected, frames):
            if frame > 0 and holders.get(frame) != sender["id"]:
                wrong.append(("final", "GET", None,
                              f"frame {frame} shown for {sender['id']}, service: {holders}"))
    commands = state.get("commands", {})
    want_counts = {"GetNonLocalSenderList": 2 * (done + 1), "StartPlayImage": plays,
                   "StopPlayImage": stops}
    for name, count in want_counts.items():
        if commands.get(name, 0) != count:
            wrong.append(("final", None, None,
                          f"service counted {commands.get(name, 0)} {name}, expected {count}"))
    for name in commands:
        if name not in want_counts:
            wrong.append(("final", None, None, f"service counted unexpected {name}"))

    print(f"requests: {len(plan)} ({gets} GET list, {plays} POST Play, {stops} POST Stop;"
          f" seed {args.seed}), concurrency {args.concurrency}, keep-alive")
    print(f"completed: {done} in {wall:.2f} s = {done / wall:.1f} requests/s")
    print(f"latency: p50 {pct(lat, 50) * 1000:.1f} ms, p90 {pct(lat, 90) * 1000:.1f} ms,"
          f" p99 {pct(lat, 99) * 1000:.1f} ms, max {pct(lat, 100) * 1000:.1f} ms"
          + (f", mean {statistics.mean(lat) * 1000:.1f} ms" if lat else ""))
    print(f"client CPU: {cpu:.2f} s = {cpu / wall * 100:.0f}% of one core,"
          f" {cpu / max(done, 1) * 1e6:.0f} us/request")
    parts = []
    for name, _ in servers:
        if server_cpu0[name] is not None and server_cpu1[name] is not None:
            used = server_cpu1[name] - server_cpu0[name]
            parts.append(f"{name} {used / max(done, 1) * 1000:.2f} ms")
    if parts:
        print("server CPU per request: " + ", ".join(parts) +
              f" (machine: {os.cpu_count()} CPUs x {wall:.1f} s ="
              f" {os.cpu_count() * wall / max(done, 1) * 1000:.2f} ms per request available)")
    print(f"final state: frames {frames}; service commands {json.dumps(commands, sort_keys=True)}")
    print(f"wrong replies: {len(wrong)}")
    for j, method, form, why in wrong[:10]:
        print(f"  request {j} {method or ''} {form or ''}: {why}")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
