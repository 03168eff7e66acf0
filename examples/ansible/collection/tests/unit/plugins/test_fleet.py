# SPDX-License-Identifier: MIT
"""The role's judgement of qb40tool's runs (plugins/plugin_utils/fleet.py),
on reports shaped as the tool writes them. Run from an installed copy of
the collection, with Ansible's collection loader set up first, as
examples/ansible/ci-check.sh runs them all."""

import json
import os
import tempfile
import unittest

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet

DIGEST = "ab" * 32


def controller(bus, chip=77, before=(1, 0, 0), seen=None, planned=None, upgrade=None, step=None, mux=None):
    return {"bus": bus, "address": "0xC0", "mux": mux, "chip_id": chip, "model": "QB40%d" % chip,
            "firmware_before": list(before), "firmware_last_seen": list(seen or before),
            "planned": planned, "upgrade": upgrade, "failed_step": step}


def report(rc, controllers=(), plan=False, complete=True, signal=None, family="4077", version=(1, 2, 0),
           matched=None):
    return {"complete": complete, "exit_code": None if signal or not complete else rc, "signal": signal,
            "plan": plan, "exit_meaning": {0: "done", 4: "not every controller upgraded"}.get(rc),
            "image": {"file": "fw_%s.bin" % family, "family": family, "version": list(version),
                      "sha256": "cd" * 32, "sha256_expected": DIGEST if matched is not None else None,
                      "sha256_matched": matched},
            "bmcs": [{"index": 0, "controllers": list(controllers)}]}


def step(kind, rc, rep, label="discovery", family="4077", **more):
    return dict({"kind": kind, "label": label, "family": family, "rc": rc,
                 "report": json.dumps(rep) if rep is not None else None,
                 "report_file": "h.%s.json" % label, "log_file": "h.%s.log.txt" % label, "log_fetched": True}, **more)


class Inputs(unittest.TestCase):
    def test_image_family_is_the_first_key_in_the_tools_order(self):
        for name, family in [("fw_4077.bin", "4077"), ("/x/qb4080_v1.bin", "4080"), ("fw_4083_4073.bin", "4073"),
                             ("fw_4083.bin", "4083"), ("fw_4077.img", None), ("firmware.bin", None)]:
            self.assertEqual(fleet.image_family(name), family, name)

    def test_images_name_every_bad_value(self):
        with tempfile.TemporaryDirectory() as d:
            image, other = os.path.join(d, "fw_4077.bin"), os.path.join(d, "fw_4080.bin")
            for path in (image, other):
                open(path, "w").close()
            cases = [
                ((image, "not-a-digest", {}), "'not-a-digest' is not 64 hexadecimal digits"),
                ((os.path.join(d, "nothere_4077.bin"), None, {}), "nothere_4077.bin: no such file on the control node"),
                ((os.path.join(d, "fw.bin"), None, {}), "its name holds no family key"),
                ((None, None, {}), "neither qb40tool_upgrade_image nor qb40tool_upgrade_images is set"),
                ((None, None, {"4080": {"image": image}}), "is a 4077 image for qb40tool, not 4080"),
                ((None, None, {"4099": {"image": image}}), "4099 is not a family key"),
                ((None, None, {"4080": {"image": other, "sha256": "12"}}), "'12' is not 64 hexadecimal digits"),
                ((None, None, {"4080": {"image": other, "digest": DIGEST}}), "unknown field(s) digest"),
            ]
            for (single, digest, mapping), problem in cases:
                found = fleet.images(single, digest, mapping)
                self.assertTrue(any(problem in p for p in found["problems"]), (problem, found["problems"]))

    def test_images_resolve_to_absolute_paths_and_lower_case_digests(self):
        with tempfile.TemporaryDirectory() as d:
            for name in ("fw_4077.bin", "fw_4080.bin"):
                open(os.path.join(d, name), "w").close()
            one = fleet.images("fw_4077.bin", DIGEST.upper(), {}, base=d)
            self.assertEqual(one, {"images": {"4077": {"image": os.path.join(d, "fw_4077.bin"), "sha256": DIGEST}},
                                   "problems": []})
            two = fleet.images(None, None, {"4080": {"image": "fw_4080.bin"}, 4077: "fw_4077.bin"}, base=d)
            self.assertEqual((sorted(two["images"]), two["problems"]), (["4077", "4080"], []))
            # A group's one image and a server's own for another family go together;
            # the server's own for the same family replaces it.
            both = fleet.images("fw_4077.bin", DIGEST, {"4080": {"image": "fw_4080.bin", "sha256": DIGEST}}, base=d)
            self.assertEqual({k: v["sha256"] for k, v in both["images"].items()}, {"4077": DIGEST, "4080": DIGEST})
            replaced = fleet.images("fw_4077.bin", DIGEST, {"4077": {"image": "fw_4080.bin"}}, base=d)
            self.assertIn("is a 4080 image for qb40tool, not 4077", replaced["problems"][0])

    def test_relative_images_are_taken_from_where_ansible_playbook_runs(self):
        with tempfile.TemporaryDirectory() as d:
            os.mkdir(os.path.join(d, "images"))
            for name in ("fw_4077.bin", "fw_4080.bin"):
                open(os.path.join(d, "images", name), "w").close()
            here = os.getcwd()
            os.chdir(d)
            try:
                found = fleet.images("images/fw_4077.bin", DIGEST, {"4080": {"image": "images/../images/fw_4080.bin"}})
            finally:
                os.chdir(here)
            self.assertEqual(found["problems"], [])
            self.assertEqual({k: v["image"] for k, v in found["images"].items()},
                             {"4077": os.path.join(os.path.realpath(d), "images", "fw_4077.bin"),
                              "4080": os.path.join(os.path.realpath(d), "images", "fw_4080.bin")})

    def test_canary(self):
        fleet_of = ["a", "b", "c", "d"]
        cases = [
            # canary, the inventory's servers, this run's, batches: the problem, or none
            ([], fleet_of, fleet_of, [1, 5, "25%"], None),
            (["a"], fleet_of, fleet_of, [1, 5, "25%"], None),
            (fleet_of, fleet_of, fleet_of, ["100%"], "names every server (4)"),
            (["d", "c", "b", "a"], fleet_of, ["a", "b"], ["100%"], "names every server (4)"),
            (["a", "b"], fleet_of, fleet_of, [1, 5, "25%"], "names 2 servers (a, b), more than the first batch "
                                                              "after it holds (1, from qb40tool_upgrade_batches)"),
            (["a", "b"], fleet_of, fleet_of, [2, 5], None),
            (["a", "b"], fleet_of, fleet_of, ["50%"], None),
            (["a", "b", "c"], fleet_of, fleet_of, ["50%"], "more than the first batch after it holds (2"),
            (["a", "b"], fleet_of, fleet_of, 2, None),
            # --limit leaves one of them out: only this run's count.
            (["a", "b"], fleet_of, ["a", "c", "d"], [1], None),
            # A fleet of one server: its canary is the fleet, and no worse for it.
            (["a"], ["a"], ["a"], [1], None),
            # Bad batches are said by their own check.
            (["a", "b"], fleet_of, fleet_of, [0], None),
        ]
        for canary, inventory, play, batches, problem in cases:
            got = fleet.canary_problems(canary, inventory, play, batches)
            if problem is None:
                self.assertEqual(got, [], (canary, play, batches))
            else:
                self.assertEqual(len(got), 1, (canary, play, batches))
                self.assertIn(problem, got[0])
        for size, servers, want in (("25%", 12, 3), ("25%", 2, 1), ("100%", 7, 7), (5, 3, 5), ("12.5%", 16, 2)):
            self.assertEqual(fleet.batch_size(size, servers), want, (size, servers))

    def test_rollout_order_batches_and_problems(self):
        servers = ["a", "b", "c", "d"]
        cases = [
            # canary as given, the servers it names, batches, budget: order, serial, problem
            ("canary", ["c"], [1, 5, "25%"], 0, ["c", "a", "b", "d"], [1, 1, 5, "25%"], None),
            # [] is no canary: the first batch is the first servers.
            ([], [], [2, "100%"], "10", servers, [2, "100%"], None),
            ("canary", [], [1], 0, servers, [1], "qb40tool_upgrade_canary canary names no server of the inventory"),
            ("backplanes", servers, ["100%"], 0, servers, [4, "100%"], "names every server (4)"),
            (["c", "d"], ["c", "d"], [1], 0, ["c", "d", "a", "b"], [2, 1], "more than the first batch after it"),
            ("canary", ["c"], [0], 0, ["c", "a", "b", "d"], [1, 0], "qb40tool_upgrade_batches: 0 is neither"),
            ("canary", ["c"], [1], 101, ["c", "a", "b", "d"], [1, 1], "qb40tool_upgrade_max_fail_percentage: 101"),
            # A canary --limit leaves out: the first batch is the first of the batches.
            ("canary", ["x"], 3, 0, servers, [3], None),
        ]
        for canary, named, batches, budget, order, serial, problem in cases:
            inventory = servers + [h for h in named if h not in servers]
            problems, plan = fleet.rollout(servers, canary, named, inventory, batches, budget)
            self.assertEqual((plan["order"], plan["serial"]), (order, serial), canary)
            if problem is None:
                self.assertEqual((problems, plan["max_fail_percentage"]), ([], int(budget)))
            else:
                self.assertTrue(any(problem in p for p in problems), (problem, problems))

    def test_batches(self):
        for batches in ([1, 5, "25%"], 3, ["100%"], [2, "12.5%"]):
            self.assertEqual(fleet.batches_problems(batches), [], batches)
        for batches in ([0], [], ["0%"], ["150%"], ["x"], [True], [-1]):
            self.assertNotEqual(fleet.batches_problems(batches), [], batches)

    def test_numbers(self):
        problems = fleet.number_problems({"a": [0, 1, 64], "b": ["5", 1, None], "c": [None, 1, 2], "d": ["x", 0, None]})
        self.assertEqual([p.split(":")[0] for p in problems], ["a", "d"])


class Judge(unittest.TestCase):
    """One run, as the wrappers and the report tell it."""

    def test_states(self):
        up = controller("0x01", seen=(1, 2, 0), upgrade="upgraded")
        same = controller("0x02", before=(1, 2, 0), upgrade="same_version")
        bad = controller("0x02", upgrade="version_mismatch", step="read_back")
        cases = [
            # step, state, meaning starts with, stop
            (step("upgrade", 0, report(0, [up, same])), "upgraded", "done", False),
            (step("upgrade", 0, report(0, [same])), "unchanged", "done", False),
            (step("upgrade", 4, report(4, [up, bad])), "failed", "not every controller upgraded", False),
            (step("upgrade", 1, report(1, matched=False)), "refused", "image fw_4077.bin has SHA-256", False),
            (step("upgrade", 171, report(171)), "failed", "no controller found", False),
            (step("plan", 4, report(4, [controller("0x01", planned="upgrade")], plan=True)), "planned",
             "would upgrade 1 of 1", False),
            (step("plan", 0, report(0, [controller("0x01", planned="same_version")], plan=True)), "unchanged",
             "nothing to upgrade", False),
            (step("plan", 5, report(5, [controller("0x02", chip=80, planned="other_family")], plan=True)),
             "refused", "another family: QB4080 at BMC 0 bus 0x02", False),
            (step("plan", 5, report(5, [], plan=True)), "refused", "command line or report file refused", False),
            (step("plan", 171, report(171, plan=True)), "refused", "no controller found", False),
            # What is not known stops the rollout.
            (step("upgrade", None, None, unreachable=True), "unreachable",
             "run may still be in progress; rerun the plan when it is back", True),
            (step("plan", None, None, unreachable=True), "unreachable", "not planned: unreachable", True),
            (step("upgrade", 75, None), "failed", "another run holds the lock", True),
            (step("upgrade", 137, report(None, complete=False)), "failed",
             "killed at the time bound after the stop grace (its report never ended)", True),
            (step("upgrade", 124, report(None, [up], signal="SIGTERM")), "failed",
             "stopped by SIGTERM at the time bound", True),
            (step("upgrade", 143, report(None, signal="SIGTERM")), "failed", "stopped by SIGTERM", True),
            (step("upgrade", 0, report(None, complete=False)), "failed", "ended with 0, its report says the run never",
             True),
            (step("upgrade", 0, report(4)), "failed", "ended with 0, its report says 4", True),
            (step("upgrade", 0, report(0, plan=True)), "failed", "the report is not this run's", True),
            (step("upgrade", None, None), "failed", "no end seen within the time bound", True),
            (step("upgrade", 5, None, stderr="timeout: failed to run command 'qb40tool'"), "failed",
             "ended with 5 and no report: timeout: failed to run command 'qb40tool'", True),
            (step("upgrade", 5, None), "failed", "ended with 5 and no report: nothing on its output (quiet mode)",
             True),
            (step("upgrade", None, None, error="Could not find or access 'fw_4077.bin'"), "failed",
             "the run was never started: Could not find", False),
            ({"kind": "role", "error": "Run the plan: boom"}, "failed", "the role failed: Run the plan: boom", True),
            # Brought back afterwards by --tags fetch: the report alone.
            (step("upgrade", None, report(0, [up]), fetched=True), "upgraded", "done", False),
            (step("upgrade", None, report(None, complete=False), fetched=True), "failed",
             "its report says the run has not ended", True),
            (step("upgrade", None, None, fetched=True), "failed", "no report on the server", True),
        ]
        for s, state, meaning, stop in cases:
            j = fleet.judge(s)
            self.assertEqual((j["state"], j["stop"]), (state, stop), (s, j))
            self.assertTrue(j["meaning"].startswith(meaning), (meaning, j["meaning"]))

    def test_failing_controllers_are_named_with_their_step(self):
        bad = controller("0x02", upgrade="version_mismatch", step="read_back")
        j = fleet.judge(step("upgrade", 4, report(4, [bad])))
        self.assertEqual(j["failing"], ["BMC 0 bus 0x02 address 0xC0 QB4077 version_mismatch at read_back "
                                        "(firmware 1.0.0)"])


IMAGES = {"4077": {"image": "/i/fw_4077.bin", "sha256": DIGEST}, "4080": {"image": "/i/fw_4080.bin", "sha256": None}}


class Runs(unittest.TestCase):
    """The runs a server needs, from its first plan."""

    def discovery(self, rc, controllers):
        return step("plan", rc, report(rc, controllers, plan=True))

    def test_one_family_the_first_plan_stands(self):
        d = fleet.runs(self.discovery(4, [controller("0x01", planned="upgrade")]), IMAGES, [], 2)
        self.assertEqual((d["refused"], d["reuse"], [(r["label"], r["args"], r["expect"]) for r in d["runs"]]),
                         (None, True, [("4077", [], 2)]))

    def test_families_split_by_bus_each_with_its_image(self):
        found = [controller("0x01", planned="upgrade"), controller("0x02", chip=80, planned="other_family"),
                 controller("0x03", chip=80, planned="not_reached")]
        d = fleet.runs(self.discovery(5, found), IMAGES, [], 3)
        self.assertEqual((d["refused"], d["reuse"]), (None, False))
        self.assertEqual([(r["label"], r["image"], r["sha256"], r["args"], r["expect"]) for r in d["runs"]],
                         [("4077", "/i/fw_4077.bin", DIGEST, ["-b11"], 1),
                          ("4080", "/i/fw_4080.bin", None, ["-b23"], 2)])

    def test_a_family_on_both_sides_of_another_gets_a_run_per_range(self):
        found = [controller("0x01"), controller("0x02", chip=80, planned="other_family"), controller("0x05")]
        d = fleet.runs(self.discovery(5, found), IMAGES, [], None)
        self.assertEqual([(r["label"], r["args"], r["expect"]) for r in d["runs"]],
                         [("4077.b1-1", ["-b11"], None), ("4080", ["-b22"], None), ("4077.b5-5", ["-b55"], None)])

    def test_refusals(self):
        other = controller("0x02", chip=80, planned="other_family")
        cases = [
            ([controller("0x01"), other], {"4077": IMAGES["4077"]}, [],
             "QB4080 at BMC 0 bus 0x02 address 0xC0: another family, and no image for 4080"),
            ([controller("0x02"), other], IMAGES, [], "bus 0x02 holds controllers of several families"),
            ([controller("0x01"), controller("0x12", chip=80, planned="other_family")], IMAGES, [],
             "behind a mux or channel"),
            ([controller("0x01"), other], IMAGES, ["-b12"], "qb40tool_upgrade_extra_args sets the buses"),
        ]
        for found, images, extra, reason in cases:
            d = fleet.runs(self.discovery(5, found), images, extra, None)
            self.assertEqual(d["runs"], [])
            self.assertIn(reason, d["refused"] or "")

    def test_another_single_family_gets_its_own_image(self):
        found = [controller("0x01", chip=80, planned="other_family"), controller("0x02", chip=80,
                                                                                 planned="not_reached")]
        d = fleet.runs(self.discovery(5, found), IMAGES, [], None)
        self.assertEqual((d["reuse"], [(r["label"], r["args"]) for r in d["runs"]]), (False, [("4080", [])]))

    def test_a_first_plan_that_went_wrong_stands_for_the_server(self):
        for s in (step("plan", None, None, unreachable=True), step("plan", 1, report(1, plan=True, matched=False)),
                  step("plan", 171, report(171, plan=True))):
            self.assertTrue(fleet.runs(s, IMAGES, [], None)["reuse"])


class Record(unittest.TestCase):
    """The server's record from its steps."""

    def test_plan_says_what_the_upgrade_would_do(self):
        s = [step("plan", 4, report(4, [controller("0x01", planned="upgrade"),
                                        controller("0x02", before=(1, 2, 0), planned="same_version")], plan=True))]
        d = fleet.runs(s[0], IMAGES, [], None)
        r = fleet.record(s, d, "h", "plan")
        self.assertEqual((r["status"], r["exit"], r["meaning"], r["batch"]),
                         ("planned", 4, "would upgrade 1 of 2 controllers", None))
        self.assertEqual([(c["before"], c["after"]) for c in r["controllers"]],
                         [("1.0.0", "1.2.0"), ("1.2.0", "1.2.0")])
        self.assertEqual((r["reports"], r["logs"]), (["h.discovery.json"], ["h.discovery.log.txt"]))

    def test_a_refused_plan_changes_nothing(self):
        s = [step("plan", 5, report(5, [controller("0x01", planned="upgrade"),
                                        controller("0x02", chip=80, planned="other_family")], plan=True))]
        r = fleet.record(s, fleet.runs(s[0], {"4077": IMAGES["4077"]}, [], None), "h", "plan")
        self.assertEqual(r["status"], "refused")
        self.assertTrue(r["meaning"].startswith("QB4080 at BMC 0 bus 0x02"), r["meaning"])
        self.assertEqual([c["after"] for c in r["controllers"]], ["1.0.0", "1.0.0"])

    def test_mixed_families_upgraded_run_by_run(self):
        first = step("plan", 5, report(5, [controller("0x01", planned="upgrade"),
                                           controller("0x02", chip=80, planned="other_family")], plan=True))
        d = fleet.runs(first, IMAGES, [], None)
        plans = [first, step("plan", 4, report(4, [controller("0x01", planned="upgrade")], plan=True), label="4077"),
                 step("plan", 4, report(4, [controller("0x02", chip=80, planned="upgrade")], plan=True, family="4080",
                                        version=(1, 3, 0)), label="4080", family="4080")]
        self.assertEqual([r["label"] for r in fleet.upgrades(plans, d)], ["4077", "4080"])
        self.assertTrue(fleet.ok(plans, d))
        plan = fleet.record(plans, d, "h", "plan")
        self.assertEqual((plan["status"], [c["after"] for c in plan["controllers"]]), ("planned", ["1.2.0", "1.3.0"]))
        made = plans + [
            step("upgrade", 0, report(0, [controller("0x01", seen=(1, 2, 0), upgrade="upgraded")]), label="4077"),
            step("upgrade", 0, report(0, [controller("0x02", chip=80, seen=(1, 3, 0), upgrade="upgraded")],
                                      family="4080"), label="4080")]
        r = fleet.record(made, d, "h", "upgrade", batch="2")
        self.assertEqual((r["status"], r["batch"], [c["after"] for c in r["controllers"]]),
                         ("upgraded", 2, ["1.2.0", "1.3.0"]))
        # A run the plans asked for and never made is no "unchanged".
        r = fleet.record(made[:-1], d, "h", "upgrade")
        self.assertEqual((r["status"], r["meaning"], r["stop"]), ("failed", "the run of 4080 was never made", True))

    def test_killed_run_leaves_its_controllers_unknown(self):
        first = step("plan", 4, report(4, [controller("0x01", planned="upgrade")], plan=True))
        d = fleet.runs(first, IMAGES, [], None)
        r = fleet.record([first, step("upgrade", 137, report(None, [controller("0x01")], complete=False),
                                      label="4077")], d, "h", "upgrade")
        self.assertEqual((r["status"], r["stop"], r["controllers"][0]["after"]), ("failed", True, "?"))

    def test_a_server_never_reached(self):
        for kind, mode, meaning in (("plan", "plan", "not planned: unreachable"),
                                    ("upgrade", "upgrade", "run may still be in progress; rerun the plan when it is back")):
            r = fleet.record([{"kind": kind, "label": "discovery" if kind == "plan" else "4077", "unreachable": True}],
                             {"reuse": True}, "h", mode)
            self.assertEqual((r["status"], r["meaning"], r["stop"]), ("unreachable", meaning, True))

    def test_nothing_to_upgrade_runs_nothing(self):
        first = step("plan", 0, report(0, [controller("0x01", before=(1, 2, 0), planned="same_version")], plan=True))
        d = fleet.runs(first, IMAGES, [], None)
        self.assertEqual(fleet.upgrades([first], d), [])
        r = fleet.record([first], d, "h", "upgrade")
        self.assertEqual((r["status"], r["meaning"], r["exit"]), ("unchanged", "nothing to upgrade", 0))


class Rollout(unittest.TestCase):
    def test_stopped_by(self):
        ok = {"host": "a", "status": "upgraded", "batch": 1}
        failed = {"host": "b", "status": "failed", "batch": 2}
        cases = [
            ([ok], 0, {}),
            ([ok, failed, {"host": "c", "status": "upgraded", "batch": 2}], 0, "b"),
            ([ok, failed, {"host": "c", "status": "upgraded", "batch": 2}], 50, {}),
            ([ok, failed, {"host": "c", "status": "upgraded", "batch": 2}], 49, "b"),
            ([ok, {"host": "d", "status": "unreachable", "stop": True, "batch": 2}], 100, "d"),
            ([ok, {"host": "e", "status": "running", "batch": 2}], 100, "e"),
        ]
        for records, budget, host in cases:
            got = fleet.stopped_by(records, budget)
            self.assertEqual(got.get("host", {}) if host else got, host, (records, budget))

    def test_summary_has_every_targeted_server(self):
        records = [{"host": "b", "status": "upgraded", "batch": 1, "exit": 0, "meaning": "done",
                    "controllers": [{"bus": "0x01", "address": "0xC0", "before": "1.0.0", "after": "1.2.0"}]},
                   {"host": "c", "status": "running", "batch": 2}]
        s = fleet.summary(records, ["b", "c", "a"], {"mode": "upgrade", "id": "r"})
        self.assertEqual([(r["host"], r["status"]) for r in s["json"]["servers"]],
                         [("b", "upgraded"), ("c", "unreachable"), ("a", "not_run")])
        self.assertEqual(s["json"]["counts"], {"upgraded": 1, "unreachable": 1, "not_run": 1})
        self.assertEqual(s["text"].splitlines()[2].split()[:5], ["b", "1", "upgraded", "0", "1/1"])
        self.assertIn("| b | 1 | upgraded | 0 | 1/1 | done | 0x01 0xC0 1.0.0>1.2.0 |", s["markdown"])

    def test_the_gate_reads_the_records_before_the_batch(self):
        with tempfile.TemporaryDirectory() as d:
            self.assertEqual(fleet.gate(fleet.run_records(d, ["c"])), {"batch": 1, "stopped_by": {}})
            for record in ({"host": "a", "status": "upgraded", "batch": 1}, {"host": "b", "status": "upgraded",
                                                                               "batch": 2}):
                fleet.write_record(d, record)
            # c, of the batch beginning, has begun already: its record is not the gate's.
            fleet.keep(d, "c", 3)
            self.assertEqual(fleet.gate(fleet.run_records(d, ["c", "x"])), {"batch": 3, "stopped_by": {}})
            fleet.write_record(d, {"host": "b", "status": "unreachable", "batch": 2, "stop": True})
            self.assertEqual(fleet.gate(fleet.run_records(d, ["c"]), 100)["stopped_by"],
                             {"host": "b", "status": "unreachable"})
            # A server that began and left no record but "running" vanished.
            self.assertEqual(fleet.gate(fleet.run_records(d, ["b"]))["stopped_by"], {"host": "c", "status": "vanished"})

    def test_keep_writes_the_record_and_the_plans_files(self):
        with tempfile.TemporaryDirectory() as d:
            self.assertEqual(fleet.keep(d, "h", "3"), {"host": "h", "status": "running", "batch": 3})
            stopped = fleet.keep(d, "h", 4, "upgrade", stopped_by={"host": "g", "status": "unreachable"})
            self.assertEqual((stopped["status"], stopped["meaning"]),
                             ("not_run", "not run: the rollout stopped at g (unreachable)"))
            plan = step("plan", 5, report(5, [controller("0x02", chip=80, planned="other_family")], plan=True),
                        keep=True, log="Plan: ...", report_file="h.plan.json", log_file="h.plan.log.txt")
            r = fleet.keep(d, "h", 0, "plan", [plan], fleet.runs(plan, {"4077": IMAGES["4077"]}, [], None))
            self.assertEqual((r["status"], r["batch"], r["reports"], r["logs"]),
                             ("refused", None, ["h.plan.json"], ["h.plan.log.txt"]))
            with open(os.path.join(d, "h.record.json")) as f:
                self.assertEqual(json.load(f), r)
            with open(os.path.join(d, "h.plan.log.txt")) as f:
                self.assertEqual(f.read(), "Plan: ...\n")
            with open(os.path.join(d, "h.plan.json")) as f:
                self.assertEqual(json.load(f)["exit_code"], 5)

    def test_a_run_gets_a_directory_of_its_own(self):
        with tempfile.TemporaryDirectory() as d:
            reports = os.path.join(d, "reports")
            rollout = {"order": ["b", "a"], "canary": ["b"], "serial": [1, 1, 5, "25%"], "max_fail_percentage": 0}
            first = fleet.start_run(reports, "upgrade", rollout, now=1700000000)
            second = fleet.start_run(reports, "plan", rollout, now=1700000001)
            self.assertNotEqual(first["run_dir"], second["run_dir"])
            self.assertTrue(os.path.basename(first["run_dir"]).startswith("20231114T221320Z-upgrade."))
            with open(os.path.join(first["run_dir"], "run.json")) as f:
                run = json.load(f)
            self.assertEqual((run["order"], run["mode"], run["started"]),
                             (["b", "a"], "upgrade", "2023-11-14T22:13:20Z"))
            # A summary alone takes the latest run; a named run is taken as it is.
            self.assertEqual(fleet.start_run(reports, "summary", rollout)["run_dir"],
                             max(first["run_dir"], second["run_dir"]))
            self.assertEqual(fleet.start_run(reports, "fetch", rollout, run_dir=first["run_dir"])["run_dir"],
                             first["run_dir"])
            with self.assertRaises(ValueError):
                fleet.start_run(os.path.join(d, "none"), "summary", rollout)
            # A fetch fills a run that exists, never a new one; the latest
            # rollout is named, not the plan after it.
            with self.assertRaisesRegex(ValueError, "qb40tool_upgrade_run_dir=DIR \\(the latest rollout is %s\\)" %
                                        first["run_dir"]):
                fleet.start_run(reports, "fetch", rollout)
            self.assertEqual(len(os.listdir(reports)), 2)
            with self.assertRaisesRegex(ValueError, "no rollout in"):
                fleet.start_run(os.path.join(d, "none"), "fetch", rollout)

    def test_the_budget_is_a_number_in_run_json(self):
        with tempfile.TemporaryDirectory() as d:
            rollout = fleet.start_run(d, "upgrade", {"order": ["a"], "serial": [1, "25%"], "max_fail_percentage": "10"})
            with open(os.path.join(rollout["run_dir"], "run.json")) as f:
                run = json.load(f)
            self.assertEqual((run["max_fail_percentage"], run["serial"]), (10, [1, "25%"]))
            fleet.summary_files(rollout["run_dir"])
            with open(os.path.join(rollout["run_dir"], "summary.json")) as f:
                self.assertEqual(json.load(f)["max_fail_percentage"], 10)

    def test_a_server_not_run_says_what_stopped_the_rollout_before_it(self):
        canary = {"host": "k", "status": "failed", "batch": 1, "exit": 4, "meaning": "not every controller upgraded",
                  "stop": False, "controllers": []}
        rows = fleet.summary([canary], ["k", "a", "b"], {"mode": "upgrade", "id": "r", "max_fail_percentage": 0})
        self.assertEqual([r["meaning"] for r in rows["json"]["servers"][1:]],
                         ["not run: the rollout stopped at k (failed; 1 of 1 servers of batch 1 failed)"] * 2)
        # Within the budget, before the canary ended, or in a plan: nothing stopped it.
        for records, budget, mode in (([canary], 100, "upgrade"), ([], 0, "upgrade"), ([canary], 0, "plan")):
            rows = fleet.summary(records, ["k", "a"], {"mode": mode, "id": "r", "max_fail_percentage": budget})
            self.assertEqual(rows["json"]["servers"][1]["meaning"], "not run")

    def test_failure_names_why_and_the_log(self):
        record = {"status": "failed", "exit": 4, "meaning": "not every controller upgraded",
                  "failing": ["BMC 0 bus 0x02 address 0xC0 QB4077 version_mismatch at read_back (firmware 1.0.0)"],
                  "logs": ["h.4077.log.txt"]}
        self.assertEqual(fleet.failure(record, "/r"),
                         "failed (exit 4): not every controller upgraded; not on the image: "
                         "BMC 0 bus 0x02 address 0xC0 QB4077 version_mismatch at read_back (firmware 1.0.0); "
                         "log: /r/h.4077.log.txt")

    def test_summary_files_from_the_records_in_the_run_directory(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "run.json"), "w") as f:
                json.dump({"mode": "plan", "id": "r", "order": ["x", "y"]}, f)
            fleet.write_record(d, {"host": "y", "status": "planned", "controllers": []})
            fleet.summary_files(d)
            with open(os.path.join(d, "summary.json")) as f:
                written = json.load(f)
            self.assertEqual([(r["host"], r["status"]) for r in written["servers"]],
                             [("x", "not_run"), ("y", "planned")])
            self.assertEqual(sorted(os.listdir(d)), ["run.json", "summary.json", "summary.md", "summary.txt",
                                                     "y.record.json"])


class Names(unittest.TestCase):
    """Every log of a run's directory is HOST.LABEL.log.txt, whichever run made it."""

    def test_plans(self):
        one = fleet.runs(step("plan", 4, report(4, [controller("0x01", planned="upgrade")], plan=True)), IMAGES)
        split = {"reuse": False, "runs": [{"label": "4077"}, {"label": "4080"}]}
        refused = {"reuse": False, "refused": "another family", "runs": []}
        discovery = {"kind": "plan", "label": "discovery", "family": "4077", "log": "Plan: ..."}
        cases = [
            (discovery, one, "h.plan.json", "h.4077.log.txt", "Plan: ..."),
            # The families split: the first plan's log is no family's.
            (discovery, split, "h.plan.json", "h.4077.log.txt", None),
            (discovery, refused, "h.plan.json", "h.4077.log.txt", "Plan: ..."),
            (dict(discovery, label="4080", family="4080"), split, "h.plan.4080.json", "h.4080.log.txt", "Plan: ..."),
        ]
        for plan, decision, report_file, log_file, log in cases:
            named = fleet.named_plan("h", plan, decision)
            self.assertEqual((named["report_file"], named["log_file"], named["log"]), (report_file, log_file, log))

    def test_a_jobs_runs(self):
        ended = {"label": "4077", "family": "4077", "began": 1, "ended": 2, "rc": 0, "report_text": "{}", "log": "L"}
        failed = dict(ended, label="4080.b2-3", rc=4)
        running = {"label": "4080", "family": "4080", "began": 3}
        waiting = {"label": "4083", "family": "4083"}
        cases = [
            # runs, unreachable: (label, rc, unreachable, log file) of each step
            ([ended], None, [("4077", 0, False, "h.4077.log.txt")]),
            ([ended, failed, waiting], None, [("4077", 0, False, "h.4077.log.txt"),
                                               ("4080.b2-3", 4, False, "h.4080.b2-3.log.txt")]),
            ([ended, running, waiting], None, [("4077", 0, False, "h.4077.log.txt"), ("4080", None, False,
                                                                                       "h.4080.log.txt")]),
            ([ended, running, waiting], "gone", [("4077", 0, False, "h.4077.log.txt"), ("4080", None, True,
                                                                                         "h.4080.log.txt")]),
            ([waiting], "gone", [("4083", None, True, "h.4083.log.txt")]),
        ]
        for runs, unreachable, want in cases:
            steps = fleet.job_steps("h", {"runs": runs}, unreachable)
            self.assertEqual([(s["label"], s["rc"], s["unreachable"], s["log_file"]) for s in steps], want)
        lost = fleet.job_steps("h", {"runs": [running]}, "gone")[0]
        self.assertEqual(fleet.judge(lost)["state"], "unreachable")
        self.assertIn("no end seen", fleet.judge(fleet.job_steps("h", {"runs": [running]})[0])["meaning"])

    def test_fetch_names_its_logs_as_the_rollout_does(self):
        up = json.dumps(report(0, [controller("0x01", seen=(1, 2, 0), upgrade="upgraded")]))
        job = {"runs": [{"label": "4077", "began": 1, "ended": 2, "rc": 0, "report_text": up, "log": "first"},
                        {"label": "4080", "began": 3, "report_text": up}]}
        logs = {"log": "the last run's", "logprev": "the one before"}
        steps = fleet.fetched_steps("h", {"job": job, "reports": [], "logs": logs})
        self.assertEqual([(s["report_file"], s["log_file"], s["log"]) for s in steps],
                         [("h.4077.json", "h.4077.log.txt", "first"), ("h.4080.json", "h.4080.log.txt",
                                                                       "the last run's")])
        # Upgrades that left no job: every report, by age.
        reports = [{"name": "qb40tool-report.%s.json" % label, "text": up} for label in ("4080", "4077.b1-1", "4077")]
        steps = fleet.fetched_steps("h", {"job": None, "reports": reports, "logs": logs})
        self.assertEqual([(s["log_file"], s["log"]) for s in steps],
                         [("h.4080.log.txt", None), ("h.4077.b1-1.log.txt", "the one before"),
                          ("h.4077.log.txt", "the last run's")])
        self.assertEqual(fleet.judge(steps[-1])["state"], "upgraded")
        self.assertEqual(fleet.fetched_steps("h", {"job": None, "reports": [], "logs": {}}),
                         [{"kind": "upgrade", "label": "fetch", "fetched": True}])


if __name__ == "__main__":
    unittest.main()
