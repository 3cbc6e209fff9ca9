#!/usr/bin/env python3
"""Times confedit applying a batch of operations to a big file beside
confcheck of the same file.

    bench/edit_vs_check.py BUILD_DIR [--file FILE] [--ops 1000] [--runs 5] [--seed 7]

The file is by default the 100,000-entry plain file of the benchmarks
(entries_100000.conf in $NIVRA_BENCH_DIR, /tmp/nivra-bench when unset),
written by BUILD_DIR/bench/nivra_bench_conf when it is not there yet.  The
operations are --set, half of them replacing the value of a random entry and
half adding a new entry to a random section, all in one confedit call.

Three commands run RUNS times each, in rounds that rotate their order (so
that a slow spell of a shared machine does not land on one of them), after
one untimed round that also checks confedit's result:

  confcheck FILE > /dev/null          what the edit is measured against
  confedit COPY OPS...                saves a fresh copy of FILE (the copy
                                      made before the run, not timed)
  confedit - OPS... < FILE > /dev/null  the same edit, the text on stdout

Printed: the medians (min-max) of wall time and of user+sys time, and each
edit's ratio to confcheck.  report.py --edit-vs-check puts the same table
and the goal (the saving confedit's wall time at most 3x confcheck's) into
its report.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The saving confedit's wall time over confcheck's, at most.
GOAL_RATIO = 3.0


def default_file():
    return os.path.join(os.environ.get("NIVRA_BENCH_DIR", "/tmp/nivra-bench"), "entries_100000.conf")


def ensure_file(build, path):
    """Writes the benchmarks' 100,000-entry plain file the way they do, when
    path is where they keep it and it is missing."""
    if os.path.exists(path):
        return
    if path != default_file():
        sys.exit(f"{path}: no such file")
    generator = os.path.join(build, "bench", "nivra_bench_conf")
    # --rss loads the file, writing it first as every row does.
    subprocess.run([generator, "--rss", "nivra", "100000", "0"], check=True, stdout=subprocess.DEVNULL)


def entries_of(path):
    """(section, name) of every entry line, in file order: the lines of the
    benchmarks' plain files, '[section]' headers and 'name = value'."""
    out = []
    section = "default"
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            s = line.strip()
            if not s or s.startswith(("#", ";")):
                continue
            if s.startswith("[") and s.endswith("]"):
                section = s[1:-1]
            elif "=" in s:
                out.append((section, s.split("=", 1)[0].strip()))
    return out


def make_ops(entries, k, seed):
    """k --set operations: even ones replace a random entry's value, odd ones
    add new_I to a random entry's section (every section of the plain file
    has as many entries, so the sections are as likely).  Returns the
    arguments and the values the last replacement and the last addition
    leave, for the check."""
    rng = random.Random(seed)
    args = []
    last = {}
    for i in range(k):
        section, name = rng.choice(entries)
        kind = "replace" if i % 2 == 0 else "add"
        if kind == "add":
            name = f"new_{i}"
        value = f"value {rng.randrange(1000000)}"
        args += ["--set", section, name, value]
        last[kind] = (section, name, value)
    return args, last


def run(cmd, stdin=None, stdout=subprocess.DEVNULL):
    """(wall seconds, user+sys seconds) of one run of cmd, which must exit 0."""
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit(f"{cmd[0]} exited {p.returncode} (run it by hand to see why)")
    return wall, usage.ru_utime + usage.ru_stime


def lines_of(path):
    with open(path, "rb") as f:
        return f.read().count(b"\n")


def check_edit(confedit, confcheck, path, copy, ops, last, adds):
    """Runs the edit once, untimed, and checks that it did what was asked:
    one new line per addition and the last values set; exits otherwise."""
    shutil.copyfile(path, copy)
    r = subprocess.run([confedit, copy] + ops, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"confedit failed ({r.returncode}): {r.stderr.strip()}")
    if lines_of(copy) != lines_of(path) + adds:
        sys.exit(f"confedit's result has {lines_of(copy)} lines, not {lines_of(path)} + {adds}")
    for section, name, value in last.values():
        got = subprocess.run([confcheck, "--get", section, name, copy], capture_output=True).stdout
        if got.decode(errors="replace").rstrip("\n") != value:
            sys.exit(f"confedit's result: [{section}] {name} is {got!r}, not {value!r}")


def measure(build, path=None, ops=1000, runs=5, seed=7):
    """Times the three commands; returns a dict of the figures (seconds)."""
    confedit = os.path.join(build, "tool", "confedit")
    confcheck = os.path.join(build, "tool", "confcheck")
    for tool in (confedit, confcheck):
        if not os.access(tool, os.X_OK):
            sys.exit(f"{tool}: not built (cmake --build {build} --target confedit confcheck)")
    path = path or default_file()
    ensure_file(build, path)
    entries = entries_of(path)
    if not entries:
        sys.exit(f"{path}: no entries")
    op_args, last = make_ops(entries, ops, seed)
    work = tempfile.mkdtemp(prefix="nivra-edit-vs-check-")
    copy = os.path.join(work, os.path.basename(path))
    try:
        check_edit(confedit, confcheck, path, copy, op_args, last, ops // 2)
        run([confcheck, path])  # the file in the page cache for every command alike

        def check():
            return run([confcheck, path])

        def edit_file():
            shutil.copyfile(path, copy)
            return run([confedit, copy] + op_args)

        def edit_stdin():
            with open(path, "rb") as f:
                return run([confedit, "-"] + op_args, stdin=f)

        commands = [("confcheck", check), ("confedit_file", edit_file), ("confedit_stdin", edit_stdin)]
        times = {name: {"wall": [], "cpu": []} for name, _ in commands}
        for r in range(runs):
            for name, fn in commands[r % 3:] + commands[:r % 3]:
                wall, cpu = fn()
                times[name]["wall"].append(wall)
                times[name]["cpu"].append(cpu)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return {"file": path, "entries": len(entries), "ops": ops, "runs": runs, "times": times}


def ratio(result, name, what):
    t = result["times"]
    return statistics.median(t[name][what]) / statistics.median(t["confcheck"][what])


def goal(result):
    """(text, measured, met) of the goal: the saving confedit's wall time at
    most GOAL_RATIO times confcheck's."""
    r = ratio(result, "confedit_file", "wall")
    return (f"confedit, {result['ops']:,} operations on {result['entries']:,} entries: "
            f"at most {GOAL_RATIO:g}x confcheck of the file",
            f"{r:.2f}x (user+sys {ratio(result, 'confedit_file', 'cpu'):.2f}x)", r <= GOAL_RATIO)


def table(result):
    """The Markdown lines of the figures."""
    def ms(values):
        v = [x * 1e3 for x in values]
        return f"{statistics.median(v):.1f} ({min(v):.1f}-{max(v):.1f})"

    rows = [("confcheck", "`confcheck FILE > /dev/null`"),
            ("confedit_file", "`confedit COPY OPS...` (saves)"),
            ("confedit_stdin", "`confedit - OPS... < FILE > /dev/null`")]
    lines = [f"confedit with {result['ops']:,} operations (half replacing a value, half adding an "
             f"entry) on {os.path.basename(result['file'])} ({result['entries']:,} entries) beside "
             f"confcheck of it, {result['runs']} run{'s' if result['runs'] != 1 else ''} each:",
             "",
             "| command | wall ms, median (min-max) | user+sys ms | wall / confcheck | user+sys / confcheck |",
             "|---|---|---|---|---|"]
    for name, text in rows:
        t = result["times"][name]
        lines.append(f"| {text} | {ms(t['wall'])} | {ms(t['cpu'])} | "
                     f"{ratio(result, name, 'wall'):.2f}x | {ratio(result, name, 'cpu'):.2f}x |")
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", help="the build directory (the bench preset's: build/bench)")
    ap.add_argument("--file", help="the file to edit (default: the benchmarks' 100,000-entry file)")
    ap.add_argument("--ops", type=int, default=1000, help="operations in the one confedit call")
    ap.add_argument("--runs", type=int, default=5, help="timed runs of each command")
    ap.add_argument("--seed", type=int, default=7, help="seed of the operations' choice")
    args = ap.parse_args()
    if args.ops < 2 or args.runs < 1:
        ap.error("--ops must be at least 2 and --runs at least 1")
    result = measure(args.build, args.file, args.ops, args.runs, args.seed)
    print("\n".join(table(result)))
    text, measured, met = goal(result)
    print(f"\n{text}: {measured}, {'met' if met else 'not met'}")


if __name__ == "__main__":
    main()
