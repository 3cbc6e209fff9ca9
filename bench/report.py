#!/usr/bin/env python3
"""Runs the benchmarks once and writes the Markdown result table.

    bench/report.py BUILD_DIR [--out bench/RESULTS.md] [--repetitions 5] [--quick] [--filter RE]

Every figure comes from this one run on this machine: medians and min-max
over the repetitions, ratios between peers computed from those medians.
--quick runs the small sizes once (a smoke pass: nothing is asserted).
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile


def run_json(binary, flags):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    cmd = [binary, "--benchmark_out=" + out, "--benchmark_out_format=json"] + flags
    print("+", " ".join(cmd), file=sys.stderr, flush=True)
    subprocess.run(cmd, check=True, stdout=sys.stderr)
    with open(out) as f:
        text = f.read()
    data = json.loads(text) if text.strip() else {"benchmarks": []}  # a filter may match nothing
    os.unlink(out)
    return data


def collect(data):
    """name -> list of per-repetition values (real time in ms, items/s)."""
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"]).replace("/real_time", "").replace("/manual_time", "")
        ms = b["real_time"] * {"ms": 1, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        runs.setdefault(name, []).append((ms, b.get("items_per_second", 0.0)))
    return runs


def phases(data):
    """name -> {"load": [...], "release": [...]} in ms per repetition."""
    out = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred") or "load_ms" not in b:
            continue
        name = b.get("run_name", b["name"]).replace("/manual_time", "")
        d = out.setdefault(name, {"load": [], "release": []})
        d["load"].append(b["load_ms"])
        d["release"].append(b["release_ms"])
    return out


def stat(values):
    return statistics.median(values), min(values), max(values)


def fmt_ms(values):
    med, lo, hi = stat(values)
    return f"{med:.2f} ({lo:.2f}-{hi:.2f})"


def ns_per_item(runs, name):
    if name not in runs:
        return None
    return [1e9 / ips for _, ips in runs[name] if ips > 0]


def cpu_name():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def rss(binary, peer, n, ref):
    out = subprocess.run([binary, "--rss", peer, str(n), str(ref)], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--filter", help="benchmark_filter for both binaries (a partial table)")
    args = ap.parse_args()
    conf_bin = os.path.join(args.build, "bench", "nivra_bench_conf")
    table_bin = os.path.join(args.build, "bench", "nivra_bench_lhash")

    if args.quick:
        common = ["--benchmark_min_time=0.01", "--benchmark_repetitions=1"]
        run_json(conf_bin, common + ["--benchmark_filter=entries:10000/"])
        run_json(table_bin, common + ["--benchmark_filter=/n:1000/"])
        print(f"quick pass: nivra rss/entry at 10k: {rss(conf_bin, 'nivra', 10000, 0):.1f} B")
        return

    # Repetitions of different benchmarks interleaved in random order, so that
    # a slow spell of a shared machine spreads over every row, not one.
    reps = ["--benchmark_repetitions=%d" % args.repetitions, "--benchmark_enable_random_interleaving=true"]
    if args.filter:
        reps.append("--benchmark_filter=" + args.filter)
    conf_data = run_json(conf_bin, reps)
    conf = collect(conf_data)
    phase = phases(conf_data)
    table = collect(run_json(table_bin, reps))

    peers = ["nivra", "gkeyfile", "inih_unordered_map", "inih_parse_only", "getline_split"]
    lines = []
    w = lines.append
    w("# Benchmark results")
    w("")
    w(f"Run on {datetime.date.today().isoformat()}, {cpu_name()}, {os.cpu_count()} cores, "
      f"{args.repetitions} repetitions; times are medians with (min-max) in ms.  Reproduce with")
    w("`bench/install-deps.sh && cmake --preset bench && cmake --build --preset bench && "
      "bench/report.py build/bench`.")
    w("")
    w("## Loading (open, parse, store, release): load plus release")
    w("")
    w("| entries | file | " + " | ".join(peers) + " |")
    w("|---" * (len(peers) + 2) + "|")
    ratios = {}
    for n in (10000, 100000, 1000000):
        for ref in (0, 1):
            row = []
            for p in peers:
                key = f"load/{p}/entries:{n}/ref:{ref}"
                row.append(fmt_ms([t for t, _ in conf[key]]) if key in conf else "-")
                if key in conf:
                    ratios[(p, n, ref)] = stat([t for t, _ in conf[key]])[0]
            if any(r != "-" for r in row):
                w(f"| {n:,} | {'references' if ref else 'plain'} | " + " | ".join(row) + " |")
    w("")
    w("Throughput of nivra relative to each peer (peer time / nivra time; above 1 is faster):")
    w("")
    w("| entries | file | " + " | ".join(peers[1:]) + " |")
    w("|---" * (len(peers) + 1) + "|")
    for n in (10000, 100000, 1000000):
        for ref in (0, 1):
            if ("nivra", n, ref) not in ratios:
                continue
            ours = ratios[("nivra", n, ref)]
            cells = [f"{ratios[(p, n, ref)] / ours:.2f}x" if (p, n, ref) in ratios else "-" for p in peers[1:]]
            w(f"| {n:,} | {'references' if ref else 'plain'} | " + " | ".join(cells) + " |")
    w("")
    w("## Load and release apart (ms, median (min-max))")
    w("")
    w("| entries | file | nivra load | gkeyfile load | nivra release | gkeyfile release |")
    w("|---|---|---|---|---|---|")
    ph = {}
    for n in (10000, 100000, 1000000):
        for ref in (0, 1):
            cells = []
            for part in ("load", "release"):
                for p in ("nivra", "gkeyfile"):
                    v = phase.get(f"load/{p}/entries:{n}/ref:{ref}")
                    cells.append(fmt_ms(v[part]) if v else "-")
                    if v:
                        ph[(p, part, n, ref)] = stat(v[part])[0]
            w(f"| {n:,} | {'references' if ref else 'plain'} | " + " | ".join(cells) + " |")
    w("")
    w("Cost per entry of nivra, load plus release (ns), and its growth from 10,000 entries:")
    w("")
    w("| file | 10,000 | 100,000 | 1,000,000 | growth to 1M | gkeyfile growth to 1M |")
    w("|---|---|---|---|---|---|")
    growth = {}
    for ref in (0, 1):
        per = {}
        for p in ("nivra", "gkeyfile"):
            for n in (10000, 100000, 1000000):
                if (p, n, ref) in ratios:
                    per[(p, n)] = ratios[(p, n, ref)] * 1e6 / n
        if all(("nivra", n) in per for n in (10000, 1000000)):
            growth[ref] = per[("nivra", 1000000)] / per[("nivra", 10000)]
            gk = (f"{per[('gkeyfile', 1000000)] / per[('gkeyfile', 10000)]:.2f}x"
                  if ("gkeyfile", 1000000) in per and ("gkeyfile", 10000) in per else "-")
            cells = [f"{per[('nivra', n)]:.0f}" if ("nivra", n) in per else "-" for n in (10000, 100000, 1000000)]
            w(f"| {'references' if ref else 'plain'} | " + " | ".join(cells) + f" | {growth[ref]:.2f}x | {gk} |")
    w("")
    w("## Lookups of every entry (ns per key, median (min-max))")
    w("")
    w("| entries | order | nivra | gkeyfile | inih_unordered_map |")
    w("|---|---|---|---|---|")
    lookup = {}
    for n in (10000, 100000, 1000000):
        for sh in (0, 1):
            cells = []
            for p in ("nivra", "gkeyfile", "inih_unordered_map"):
                v = ns_per_item(conf, f"lookup/{p}/entries:{n}/shuffled:{sh}")
                cells.append(f"{stat(v)[0]:.0f} ({stat(v)[1]:.0f}-{stat(v)[2]:.0f})" if v else "-")
                if v:
                    lookup[(p, n, sh)] = stat(v)[0]
            w(f"| {n:,} | {'shuffled' if sh else 'file order'} | " + " | ".join(cells) + " |")
    w("")
    w("## Resident memory after one load (bytes per entry)")
    w("")
    w("| entries | nivra | gkeyfile | inih_unordered_map |")
    w("|---|---|---|---|")
    mem = {}
    for n in (100000, 1000000):
        cells = []
        for p in ("nivra", "gkeyfile", "inih_unordered_map"):
            mem[(p, n)] = rss(conf_bin, p, n, 0)
            cells.append(f"{mem[(p, n)]:.0f}")
        w(f"| {n:,} | " + " | ".join(cells) + " |")
    w("")
    w("## Hash table (ns per operation, median (min-max))")
    w("")
    tables = ["lhash", "std_unordered_map", "absl_flat_hash_map"]
    w("| operation | N | " + " | ".join(tables) + " | lhash / std |")
    w("|---" * (len(tables) + 3) + "|")
    tab = {}
    for op in ("insert", "hit", "miss", "delete"):
        for n in (1000, 100000, 1000000, 10000000):
            cells = []
            for t in tables:
                v = ns_per_item(table, f"table/{op}/{t}/n:{n}")
                cells.append(f"{stat(v)[0]:.0f} ({stat(v)[1]:.0f}-{stat(v)[2]:.0f})" if v else "-")
                if v:
                    tab[(op, t, n)] = stat(v)[0]
            r = (f"{tab[(op, 'lhash', n)] / tab[(op, 'std_unordered_map', n)]:.2f}"
                 if (op, "lhash", n) in tab and (op, "std_unordered_map", n) in tab else "-")
            w(f"| {op} | {n:,} | " + " | ".join(cells) + f" | {r} |")
    w("")
    w("## Goals")
    w("")
    w("| goal | measured | met |")
    w("|---|---|---|")

    def goal(text, value, ok):
        w(f"| {text} | {value} | {'yes' if ok else 'no'} |")

    for n in (10000, 100000, 1000000):
        for ref in (0, 1):
            kind = f"{n:,}{' with references' if ref else ''}"
            if ("nivra", "load", n, ref) in ph and ("gkeyfile", "load", n, ref) in ph:
                r = ph[("gkeyfile", "load", n, ref)] / ph[("nivra", "load", n, ref)]
                goal(f"load {kind}: at least 1.2x GKeyFile's throughput", f"{r:.2f}x", r >= 1.2)
            if ("nivra", n, ref) in ratios and ("gkeyfile", n, ref) in ratios:
                r = ratios[("gkeyfile", n, ref)] / ratios[("nivra", n, ref)]
                goal(f"load plus release {kind}: at least 1.2x GKeyFile's", f"{r:.2f}x", r >= 1.2)
            if ("nivra", "release", n, ref) in ph and ("gkeyfile", "release", n, ref) in ph:
                a_, b_ = ph[("nivra", "release", n, ref)], ph[("gkeyfile", "release", n, ref)]
                goal(f"release {kind}: no slower than GKeyFile's", f"{a_:.2f} vs {b_:.2f} ms", a_ <= b_)
            if ("nivra", n, ref) in ratios and ("inih_unordered_map", n, ref) in ratios:
                r = ratios[("inih_unordered_map", n, ref)] / ratios[("nivra", n, ref)]
                goal(f"load plus release {kind}: at least 3x inih + unordered_map", f"{r:.2f}x", r >= 3)
            if ref and ("nivra", n, 1) in ratios and ("nivra", n, 0) in ratios:
                r = ratios[("nivra", n, 1)] / ratios[("nivra", n, 0)]
                goal(f"load {n:,} with references: at most 1.25x the plain file", f"{r:.2f}x", r <= 1.25)
    for ref, g in sorted(growth.items()):
        goal(f"cost per entry, {'references' if ref else 'plain'}: grows at most 2x from 10,000 to 1,000,000",
             f"{g:.2f}x", g <= 2)
    if ("nivra", 1000000, 0) in lookup and ("gkeyfile", 1000000, 0) in lookup:
        a_, b_ = lookup[("nivra", 1000000, 0)], lookup[("gkeyfile", 1000000, 0)]
        w(f"| file-order lookup at 1M (reported, no goal) | {a_:.0f} vs {b_:.0f} ns | - |")
    if ("nivra", 1000000, 1) in lookup and ("gkeyfile", 1000000, 1) in lookup:
        a, b = lookup[("nivra", 1000000, 1)], lookup[("gkeyfile", 1000000, 1)]
        goal("shuffled lookup at 1M: at most GKeyFile's ns/key", f"{a:.0f} vs {b:.0f} ns", a <= b)
    for op in ("insert", "hit"):
        for n in (1000, 100000, 1000000, 10000000):
            if (op, "lhash", n) in tab and (op, "std_unordered_map", n) in tab:
                a, b = tab[(op, "lhash", n)], tab[(op, "std_unordered_map", n)]
                goal(f"table {op} at N={n:,}: no slower than std::unordered_map", f"{a:.0f} vs {b:.0f} ns", a <= b)
    if ("nivra", 1000000) in mem:
        a, b = mem[("nivra", 1000000)], mem[("gkeyfile", 1000000)]
        goal("resident memory at 1M: at most GKeyFile's bytes per entry", f"{a:.0f} vs {b:.0f} B", a <= b)
    w("")
    analysis = os.path.join(os.path.dirname(__file__), "analysis.md")
    if os.path.exists(analysis):
        with open(analysis) as f:
            w(f.read())
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("wrote", args.out)


if __name__ == "__main__":
    main()
