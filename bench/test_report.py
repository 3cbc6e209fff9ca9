#!/usr/bin/env python3
"""Tests of what the report and edit_vs_check.py decide from the figures.

    python3 -m unittest discover -s bench -p 'test_*.py'
"""
import os
import tempfile
import unittest

import edit_vs_check
import report


def run(name, **counters):
    b = {"run_type": "iteration", "name": name, "real_time": 2.0, "time_unit": "ms"}
    b.update(counters)
    return b


def goals_of(rows, evc=None):
    """(goal text, met) of every goal line that rows give."""
    out = []
    report.edit_goals(lambda text, value, ok: out.append((text, ok)), rows, evc)
    return out


def evc_of(check, edit):
    t = {"wall": [check], "cpu": [check]}
    e = {"wall": [edit], "cpu": [edit]}
    # Without the save, quicker: the goal is the saving run's.
    s = {"wall": [edit / 2], "cpu": [edit / 2]}
    return {"file": "f.conf", "entries": 10, "ops": 4, "runs": 1,
            "times": {"confcheck": t, "confedit_file": e, "confedit_stdin": s}}


class EditRows(unittest.TestCase):
    def test_names_lose_the_run_suffixes_and_failed_runs_drop(self):
        data = {"benchmarks": [
            run("edit/nivra/entries:100/ops:1/mix:0/iterations:1/manual_time", share_of_load=2.0),
            run("edit_one/nivra/entries:100000/iterations:5000/manual_time", us_median=3.0),
            run("doc_read/nivra/entries:10000/manual_time", bytes=5.0),
            run("doc_read/nivra/entries:10000/manual_time", error_occurred=True),
            dict(run("doc_read/nivra/entries:10000/manual_time"), run_type="aggregate"),
        ]}
        rows = report.edit_rows(data)
        self.assertEqual(sorted(rows), ["doc_read/nivra/entries:10000", "edit/nivra/entries:100/ops:1/mix:0",
                                        "edit_one/nivra/entries:100000"])
        self.assertEqual(len(rows["doc_read/nivra/entries:10000"]), 1)
        self.assertEqual(report.edit_rows(None), {})

    def test_validation_rows_have_no_phases(self):
        data = {"benchmarks": [run("validate/nivra/entries:1000/file:2/manual_time", load_ms=1.0),
                               run("load/nivra/entries:100/file:2/manual_time", load_ms=1.0, release_ms=0.5)]}
        self.assertEqual(list(report.phases(data)), ["load/nivra/entries:100/file:2"])


class EditSection(unittest.TestCase):
    def test_columns_take_the_counters_each_row_has(self):
        rows = {"doc_read/nivra/entries:10000": [run("d", share_of_load=1.25, bytes=2.5e6, share_of_budget=0.5)],
                "edit/nivra/entries:10/ops:1/mix:0": [run("e", us_per_op=7.0, share_of_load=3.0,
                                                          doc_bytes_after=1e6, share_of_budget_after=1.5)],
                "edit_one/nivra/entries:100000": [run("o", us_median=4.0)]}
        lines = []
        report.edit_section(lines.append, rows, evc_of(0.1, 0.2))
        row = {line.split(" | ")[0][2:]: line.split(" | ")[1:] for line in lines if line.startswith("| ")}
        self.assertEqual(row["doc_read/nivra/entries:10000"][1:], ["-", "1.25x", "2.50 MB", "0.50x |"])
        self.assertEqual(row["edit/nivra/entries:10/ops:1/mix:0"][1:], ["7.0", "3.00x", "1.00 MB", "1.50x |"])
        self.assertEqual(row["edit_one/nivra/entries:100000"][1:], ["4.0 (median of the calls)", "-", "-", "- |"])
        self.assertTrue(any("2.00x" in line and "saves" in line for line in lines))


class EditGoals(unittest.TestCase):
    def test_each_goal_is_met_at_its_bound_and_missed_past_it(self):
        read_at = {"share_of_load": 1.5, "bytes": 1.0, "share_of_budget": 1.0}
        cases = [  # (row, counters at the bounds, counters with one past, the goals met then)
            ("edit/nivra/entries:100000/ops:10000/mix:0", {"share_of_load": 1.0}, {"share_of_load": 1.01}, [False]),
            ("edit/nivra/entries:100000/ops:10000/mix:1", {"share_of_load": 1.0}, {"share_of_load": 1.01}, [False]),
            ("edit_one/nivra/entries:100000", {"us_median": 5.0}, {"us_median": 5.1}, [False]),
            ("doc_read/nivra/entries:100000", read_at, dict(read_at, share_of_load=1.51), [False, True]),
            ("doc_read/nivra/entries:10000", read_at, dict(read_at, share_of_budget=1.01), [True, False]),
            ("edit/nivra/entries:100000/ops:1000/mix:0", {"doc_bytes_after": 1.0, "share_of_budget_after": 1.0},
             {"doc_bytes_after": 1.0, "share_of_budget_after": 1.01}, [False]),
        ]
        for name, at, past, met_past in cases:
            with self.subTest(name=name):
                met = goals_of({name: [run(name, **at)]})
                self.assertEqual([ok for _, ok in met], [True] * len(met_past))
                self.assertEqual([ok for _, ok in goals_of({name: [run(name, **past)]})], met_past)

    def test_the_median_of_the_repetitions_decides(self):
        name = "edit_one/nivra/entries:100000"
        self.assertEqual(goals_of({name: [run(name, us_median=v) for v in (4.0, 9.0, 4.5)]})[0][1], True)

    def test_rows_that_did_not_run_give_no_goal(self):
        self.assertEqual(goals_of({"edit/nivra/entries:10000/ops:100/mix:0": [run("e", share_of_load=9.0)]}), [])

    def test_confedit_goal_is_three_times_confcheck_wall_time(self):
        self.assertEqual(goals_of({}, evc_of(0.25, 0.75))[0][1], True)
        self.assertEqual(goals_of({}, evc_of(0.25, 0.76))[0][1], False)


class EditVsCheckOps(unittest.TestCase):
    def setUp(self):
        fd, self.path = tempfile.mkstemp(suffix=".conf")
        with os.fdopen(fd, "w") as f:
            f.write("top = 1\n[a]\n# note\nx = 1\ny = 2\n\n[b]\n; other\nz = a = b\n")

    def tearDown(self):
        os.unlink(self.path)

    def test_entries_in_file_order_with_their_sections(self):
        self.assertEqual(edit_vs_check.entries_of(self.path),
                         [("default", "top"), ("a", "x"), ("a", "y"), ("b", "z")])

    def test_half_replace_entries_half_add_new_ones_and_last_values_match(self):
        entries = edit_vs_check.entries_of(self.path)
        args, last = edit_vs_check.make_ops(entries, 10, 1)
        ops = [args[i:i + 4] for i in range(0, len(args), 4)]
        self.assertEqual(len(ops), 10)
        self.assertTrue(all(op[0] == "--set" for op in ops))
        sections = {s for s, _ in entries}
        replaced = [op for op in ops if (op[1], op[2]) in entries]
        added = [op for op in ops if op[2].startswith("new_")]
        self.assertEqual((len(replaced), len(added)), (5, 5))
        self.assertEqual(len({op[2] for op in added}), 5)
        self.assertTrue(all(op[1] in sections for op in added))
        self.assertEqual(last["replace"], tuple(replaced[-1][1:]))
        self.assertEqual(last["add"], tuple(added[-1][1:]))
        self.assertEqual(edit_vs_check.make_ops(entries, 10, 1)[0], args)


if __name__ == "__main__":
    unittest.main()
