#!/usr/bin/python3
"""Turns the JSON of policy_bench (and, when present, of scripts/bench-host)
into the Markdown tables of docs/performance.md, targets beside the figures.

usage: report.py POLICY_JSON [HOST_JSON]
"""
import json
import os
import platform
import sys

ALGORITHMS = ["RS256", "PS256", "ES256", "EdDSA", "HS256"]


def load_runs(path):
    """Benchmark name -> its run: the median of repetitions when there are
    repetitions, the single run otherwise."""
    with open(path) as f:
        document = json.load(f)
    runs, medians = {}, {}
    for run in document["benchmarks"]:
        name = run.get("run_name", run["name"])
        if run.get("run_type") == "aggregate":
            if run.get("aggregate_name") == "median":
                medians[name] = run
        else:
            runs.setdefault(name, run)
    runs.update(medians)
    return document.get("context", {}), runs


def ns(run):
    """CPU time per operation of one thread: on a shared machine, wall time
    also counts the other processes' turns on the CPU."""
    unit = run.get("time_unit", "ns")
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]
    return run["cpu_time"] * scale


def fmt(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def verdict(ok):
    return "met" if ok else "**missed**"


def machine(context):
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = context.get("load_avg") or []
    return (f"{os.cpu_count()} CPUs (nproc), {model}, {platform.system()} {platform.release()}; "
            f"load average at start {', '.join(f'{x:.2f}' for x in load) or 'unknown'}; "
            f"run {context.get('date', 'unknown')}")


def main():
    context, runs = load_runs(sys.argv[1])
    host = None
    if len(sys.argv) > 2 and os.path.exists(sys.argv[2]):
        with open(sys.argv[2]) as f:
            host = json.load(f)

    def get(name):
        return runs.get(name)

    out = []
    targets = []
    out.append(f"Machine: {machine(context)}.\n")

    walk = {n: get(f"user_walk/ascii/{n}") for n in (10, 1000, 100000)}
    walk_ns = {n: ns(r) for n, r in walk.items() if r}

    out.append("### Per request, by algorithm (µs; logger at warning; 3 keys in the set)\n")
    out.append("| alg | (1) raw verify | (2) secure_load_claims | (3) authenticated_userid, 10 users "
               "| 1,000 users | ratio 3/1 (10 / 1,000) | overhead 3-1-walk (10 / 1,000) | allocations per request |")
    out.append("|---|---|---|---|---|---|---|---|")
    for alg in ALGORITHMS:
        raw = get(f"raw_verify/{alg}/real_time/threads:1")
        slc = get(f"secure_load_claims/{alg}")
        a10 = get(f"authenticated_userid/{alg}/users:10/real_time/threads:1")
        a1k = get(f"authenticated_userid/{alg}/users:1000")
        if not (raw and slc and a10 and a1k):
            continue
        r, s, t10, t1k = ns(raw) / 1e3, ns(slc) / 1e3, ns(a10) / 1e3, ns(a1k) / 1e3
        o10 = t10 - r - walk_ns.get(10, 0) / 1e3
        o1k = t1k - r - walk_ns.get(1000, 0) / 1e3
        out.append(f"| {alg} | {fmt(r)} | {fmt(s)} | {fmt(t10)} | {fmt(t1k)} | {fmt(t10 / r)} / {fmt(t1k / r)} "
                   f"| {fmt(o10)} / {fmt(o1k)} | {fmt(a10['allocs'], 0)} |")
        targets.append((f"{alg}: overhead (10 users) ≤ 3 µs", f"{fmt(o10)} µs", o10 <= 3))
        if alg == "HS256":
            targets.append(("HS256: authenticated_userid (10 users) ≤ 4 µs", f"{fmt(t10)} µs", t10 <= 4))
        else:
            targets.append((f"{alg}: authenticated_userid (10 users) ≤ 1.2 × raw verify", f"{fmt(t10 / r)} ×",
                            t10 / r <= 1.2))
    out.append("")

    out.append("### The user walk alone (get_user_id_for_claims)\n")
    out.append("| users | ASCII: ns per walk | ASCII: ns per record | allocations per walk "
               "| non-ASCII: ns per walk | non-ASCII: ns per record | allocations per walk |")
    out.append("|---|---|---|---|---|---|---|")
    for n in (10, 1000, 100000):
        a, u = get(f"user_walk/ascii/{n}"), get(f"user_walk/non_ascii/{n}")
        if not (a and u):
            continue
        out.append(f"| {n:,} | {fmt(ns(a), 0)} | {fmt(ns(a) / n)} | {fmt(a['allocs'])} "
                   f"| {fmt(ns(u), 0)} | {fmt(ns(u) / n)} | {fmt(u['allocs'])} |")
        if n == 100000:
            targets.append(("walk, ASCII, 100,000 users ≤ 5 ns/record, no allocation per record",
                            f"{fmt(ns(a) / n)} ns, {fmt(a['allocs'])} allocations per walk",
                            ns(a) / n <= 5 and a["allocs"] < 2))
            targets.append(("walk, non-ASCII, 100,000 users ≤ 50 ns/record", f"{fmt(ns(u) / n)} ns",
                            ns(u) / n <= 50))
    out.append("")

    header = get("token_from_header/1KB")
    if header:
        out.append(f"get_token_from_header, {int(header['header_bytes'])}-byte header: "
                   f"{fmt(ns(header), 0)} ns, {fmt(header['allocs'], 0)} allocation(s).\n")

    out.append("### Two threads against one policy (operations per second)\n")
    out.append("| what | 1 thread | 2 threads | ratio |")
    out.append("|---|---|---|---|")
    two_thread_raw = {}
    for alg in ALGORITHMS:
        for label, base in (("raw verify", f"raw_verify/{alg}"),
                            ("authenticated_userid", f"authenticated_userid/{alg}/users:10")):
            one, two = get(f"{base}/real_time/threads:1"), get(f"{base}/real_time/threads:2")
            if not (one and two):
                continue
            ratio = two["items_per_second"] / one["items_per_second"]
            out.append(f"| {alg} {label} | {one['items_per_second']:,.0f} | {two['items_per_second']:,.0f} "
                       f"| {fmt(ratio)} |")
            if label == "raw verify":
                two_thread_raw[alg] = two["items_per_second"]
            else:
                targets.append((f"{alg}: two threads ≥ 1.8 × one", f"{fmt(ratio)} ×", ratio >= 1.8))
    out.append("")

    if host:
        alg = host.get("alg", "ES256")
        out.append(f"### The reference host under wrk ({host.get('seconds', 10)} s each, "
                   f"{host.get('connections')} connections, {host.get('threads')} wrk threads, "
                   f"host threads {host.get('host_threads')}, {alg} token)\n")
        out.append("| request | status | requests/s | p50 ms | p90 ms | p99 ms | errors |")
        out.append("|---|---|---|---|---|---|---|")
        for case in host["cases"]:
            lat = case.get("latency_ms", {})
            out.append(f"| {case['name']} | {case.get('status', '-')} | {case['requests_per_second']:,.0f} "
                       f"| {fmt(lat.get('50'))} | {fmt(lat.get('90'))} | {fmt(lat.get('99'))} "
                       f"| {case.get('errors', 0)} |")
        raw2 = two_thread_raw.get(alg)
        valid = next((c for c in host["cases"] if c["name"].startswith("valid")), None)
        if raw2 and valid:
            out.append(f"\nRaw {alg} verify with two threads: {raw2:,.0f}/s; the host's valid-JWT rate is "
                       f"{fmt(valid['requests_per_second'] / raw2)} of it.")
            targets.append((f"host valid-JWT rate ≥ 0.5 × two-thread raw {alg} verify",
                            f"{fmt(valid['requests_per_second'] / raw2)} ×",
                            valid["requests_per_second"] / raw2 >= 0.5))
        out.append("")

    out.append("### Targets (reported, never asserted)\n")
    out.append("| target | measured | |")
    out.append("|---|---|---|")
    for name, value, ok in targets:
        out.append(f"| {name} | {value} | {verdict(ok)} |")
    print("\n".join(out))


if __name__ == "__main__":
    main()
