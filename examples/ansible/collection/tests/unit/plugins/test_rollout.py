# SPDX-License-Identifier: MIT
"""The rollout as the role starts it: the canary pattern turned into servers
(the expression of tasks/inputs.yml, templated by Ansible over an
inventory), then the action qb40tool.fleet.rollout with its arguments as
that task gives them. A refused rollout leaves nothing behind; an accepted
one describes itself in run.json."""

import json
import os
import tempfile
import types
import unittest

import yaml
from ansible.parsing.dataloader import DataLoader
from ansible.template import Templar

from ansible_collections.qb40tool.fleet.plugins.action.rollout import ActionModule

ROLE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "roles", "upgrade")
SERVERS = ["n01", "n02", "n03", "n04"]
GROUPS = {"all": SERVERS, "ungrouped": [], "backplanes": SERVERS, "canary": ["n03"], "rack1": ["n01", "n02"]}


def inputs_task(name):
    with open(os.path.join(ROLE, "tasks", "inputs.yml")) as f:
        return [t for t in yaml.safe_load(f) if "qb40tool.fleet.rollout" in t][0]["qb40tool.fleet.rollout"][name]


def canary_servers(canary):
    """The servers canary names, as the role's task works them out."""
    templar = Templar(loader=DataLoader(), variables={"groups": GROUPS, "qb40tool_upgrade_canary": canary})
    return templar.template(inputs_task("canary_servers"))


def run_action(reports, **args):
    task = types.SimpleNamespace(args=dict({"reports_dir": reports, "mode": "upgrade", "servers": SERVERS,
                                            "inventory_servers": SERVERS, "batches": [1, 5, "25%"],
                                            "max_fail_percentage": 0}, **args),
                                 async_val=0, check_mode=False, action="qb40tool.fleet.rollout")
    # A temporary directory that is never made: the action sends nothing anywhere.
    connection = types.SimpleNamespace(_shell=types.SimpleNamespace(tmpdir="/nonexistent"))
    return ActionModule(task, connection, None, None, None, None).run(task_vars={})


class CanaryPattern(unittest.TestCase):
    def test_the_pattern_names_the_servers_and_nothing_names_none(self):
        cases = [
            # qb40tool_upgrade_canary: the servers it names
            ([], []),
            ("", []),
            (None, []),
            ("canary", ["n03"]),
            (["n04", "n01"], ["n04", "n01"]),
            (["rack1"], ["n01", "n02"]),
            ("rack1:!n02", ["n01"]),
            ("backplanes", SERVERS),
            ("nothere", []),
        ]
        for canary, named in cases:
            self.assertEqual(canary_servers(canary), named, canary)


class Action(unittest.TestCase):
    def test_checks_before_the_run_directory(self):
        cases = [
            # arguments: the problem said (none: run.json's canary, batches, budget)
            ({"canary": [], "canary_servers": []}, ([], [1, 5, "25%"], 0)),
            ({"canary": "", "canary_servers": [], "batches": [2, "100%"], "max_fail_percentage": "50"},
             ([], [2, "100%"], 50)),
            ({"canary": "canary", "canary_servers": ["n03"]}, (["n03"], [1, 1, 5, "25%"], 0)),
            ({"canary": ["n04", "n01"], "canary_servers": ["n04", "n01"], "batches": ["50%"]},
             (["n04", "n01"], [2, "50%"], 0)),
            ({"canary": "backplanes", "canary_servers": SERVERS, "batches": ["100%"]},
             "qb40tool_upgrade_canary names every server (4)"),
            ({"canary": "rack1", "canary_servers": ["n01", "n02"]},
             "qb40tool_upgrade_canary names 2 servers (n01, n02), more than the first batch after it holds (1"),
            ({"canary": "rack1", "canary_servers": ["n01", "n02"], "batches": ["25%"]},
             "more than the first batch after it holds (1"),
            ({"canary": "nothere", "canary_servers": []}, "qb40tool_upgrade_canary nothere names no server"),
            ({"canary": [], "canary_servers": [], "max_fail_percentage": "half"},
             "qb40tool_upgrade_max_fail_percentage: 'half' is not a whole number from 0 to 100"),
            ({"canary": [], "canary_servers": [], "max_fail_percentage": 101},
             "qb40tool_upgrade_max_fail_percentage: 101"),
            ({"canary": [], "canary_servers": [], "batches": ["0%"]}, "qb40tool_upgrade_batches: '0%' is neither"),
            ({"canary": [], "canary_servers": [], "mode": "fetch"}, "--tags fetch brings records back"),
        ]
        for args, want in cases:
            with tempfile.TemporaryDirectory() as d:
                reports = os.path.join(d, "reports")
                result = run_action(reports, **args)
                if isinstance(want, str):
                    self.assertTrue(result.get("failed"), (args, result))
                    self.assertIn(want, result["msg"], args)
                    self.assertFalse(os.path.exists(reports), "a refused rollout made %s" % reports)
                    continue
                self.assertFalse(result.get("failed"), (args, result.get("msg")))
                fact = result["ansible_facts"]["qb40tool_upgrade_rollout"]
                with open(os.path.join(result["run_dir"], "run.json")) as f:
                    run = json.load(f)
                self.assertEqual((run["canary"], run["serial"], run["max_fail_percentage"]), want, args)
                self.assertIs(type(run["max_fail_percentage"]), int, args)
                self.assertEqual(fact["max_fail_percentage"], want[2], args)
                # The canary first, then every other server in the inventory's order.
                self.assertEqual(run["order"], want[0] + [h for h in SERVERS if h not in want[0]], args)
                self.assertEqual(os.path.dirname(result["run_dir"]), reports)

    def test_the_pattern_and_the_action_together(self):
        # [] is no canary: the first batch is the first server, not every one.
        with tempfile.TemporaryDirectory() as d:
            result = run_action(d, canary=[], canary_servers=canary_servers([]))
            self.assertEqual((result["ansible_facts"]["qb40tool_upgrade_rollout"]["order"][:1],
                              result["ansible_facts"]["qb40tool_upgrade_rollout"]["serial"]),
                             (["n01"], [1, 5, "25%"]))
            refused = run_action(d, canary="backplanes", canary_servers=canary_servers("backplanes"))
            self.assertIn("names every server", refused["msg"])


if __name__ == "__main__":
    unittest.main()
