# SPDX-License-Identifier: MIT
"""The runs where the tool runs (plugins/module_utils/runner.py), with real
flock and timeout around a stand-in for the tool: a script that writes the
report and log its arguments ask for and ends as told."""

import base64
import json
import os
import stat
import subprocess
import sys
import tempfile
import time
import unittest

from ansible_collections.qb40tool.fleet.plugins.module_utils import runner

# The stand-in: exit status by report name from endings.json beside it
# (default 0); a report as the tool writes it, and a log that names the run.
# What each run was given (its arguments, and the BMC password in its
# environment) goes to seen.txt beside it.
TOOL = r'''#!/usr/bin/python3
import json, os, sys
args = sys.argv[1:]
with open(os.path.join(os.path.dirname(sys.argv[0]), "seen.txt"), "a") as f:
    f.write(json.dumps({"args": args, "password": os.environ.get("IPMI_PASSWORD")}) + "\n")
name = args[args.index("--report") + 1]
with open(os.path.join(os.path.dirname(sys.argv[0]), "endings.json")) as f:
    rc = json.load(f).get(name, 0)
if os.path.exists("log.txt"):
    os.replace("log.txt", "logprev.txt")
with open("log.txt", "w") as f:
    f.write("log of %s, image %s\n" % (name, open(args[-1], "rb").read().decode()))
with open(name, "w") as f:
    json.dump({"complete": True, "exit_code": rc, "plan": "--plan" in args, "signal": None, "arguments": args}, f)
print("run", name)
sys.exit(rc)
'''


class Runs(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        d = self.dir.name
        self.tool = os.path.join(d, "qb40tool")
        with open(self.tool, "w") as f:
            f.write(TOOL)
        os.chmod(self.tool, stat.S_IRWXU)
        self.endings({})
        self.settings = {"tool": self.tool, "workdir": os.path.join(d, "work"), "lock_file": os.path.join(d, "lock"),
                         "lock_wait": 0, "timeout": 60, "stop_grace": 30, "extra_args": ["-i"], "expect": 2}
        # The plans' temporary directories go here: none may be left.
        self.tmp = os.path.join(d, "tmp")
        os.mkdir(self.tmp)
        tempdir = tempfile.tempdir
        tempfile.tempdir = self.tmp
        self.addCleanup(setattr, tempfile, "tempdir", tempdir)

    def endings(self, endings):
        with open(os.path.join(self.dir.name, "endings.json"), "w") as f:
            json.dump(endings, f)

    def test_command_lines(self):
        s = dict(self.settings, tool="/usr/sbin/qb40tool", lock_file="/run/lock/qb40tool.lock")
        head = ["flock", "--conflict-exit-code", "75", "--nonblock", "/run/lock/qb40tool.lock", "timeout",
                "--signal=TERM", "--kill-after=30", "60", "/usr/sbin/qb40tool"]
        cases = [
            ((s, "plan", "fw_4077.bin", "r.json"),
             head + ["--plan", "--read-only", "--report", "r.json", "-q", "-i", "-f", "fw_4077.bin"]),
            ((s, "upgrade", "fw_4080.bin", "r.json", "ab" * 32, 1, ["-b23"]),
             head + ["--strict", "--report", "r.json", "-q", "--expect", "1", "--image-sha256", "ab" * 32, "-i",
                     "-b23", "-f", "fw_4080.bin"]),
            ((dict(s, lock_wait="5", extra_args=[]), "upgrade", "fw_4077.bin", "r.json", None, "None"),
             ["flock", "--conflict-exit-code", "75", "--wait", "5"] + head[4:] +
             ["--strict", "--report", "r.json", "-q", "-f", "fw_4077.bin"]),
            # Out of band: the BMC and its user; the password is no argument.
            ((dict(s, bmc="bmc-a:623", bmc_user="op"), "plan", "fw_4077.bin", "r.json"),
             head + ["--plan", "--read-only", "--lan", "bmc-a:623", "--lan-user", "op", "--report", "r.json", "-q",
                     "-i", "-f", "fw_4077.bin"]),
            ((dict(s, bmc="[fd00::5]", bmc_user=None), "upgrade", "fw_4077.bin", "r.json"),
             head + ["--strict", "--lan", "[fd00::5]", "--report", "r.json", "-q", "-i", "-f", "fw_4077.bin"]),
        ]
        for call, want in cases:
            self.assertEqual(runner.argv(*call), want)

    def test_a_plan_leaves_nothing_behind_and_keeps_the_log_of_a_failure(self):
        content = base64.b64encode(b"4077 image").decode()
        for rc, log in ((4, None), (0, None), (3, "log of qb40tool-report.json, image 4077 image\n")):
            self.endings({"qb40tool-report.json": rc})
            step = runner.plan(self.settings, {"label": "discovery", "family": "4077", "image": "fw_4077.bin",
                                               "sha256": None, "expect": 2, "args": []}, content)
            self.assertEqual((step["kind"], step["rc"], step["log"], step["error"]), ("plan", rc, log, None))
            report = json.loads(step["report"])
            self.assertEqual(report["arguments"][:5], ["--plan", "--read-only", "--report", "qb40tool-report.json",
                                                       "-q"])
            self.assertEqual(os.listdir(self.tmp), [])
        self.assertFalse(os.path.exists(self.settings["workdir"]))
        broken = runner.plan(self.settings, {"label": "discovery", "image": "fw_4077.bin"}, "not base64!")
        self.assertIn("the plan never ran", broken["error"])
        self.assertEqual(os.listdir(self.tmp), [])

    def run_job(self, runs):
        contents = {r["family"]: base64.b64encode(("image %s" % r["family"]).encode()).decode() for r in runs}
        path = runner.start(self.settings, runs, contents)
        job = runner.look(path, 30)
        self.assertTrue(job["done"], job)
        return job

    def test_a_job_runs_its_upgrades_in_turn_and_stops_at_the_first_failure(self):
        runs = [{"label": label, "family": label[:4], "image": "fw_%s.bin" % label[:4], "sha256": None,
                 "expect": 1, "args": args} for label, args in (("4077", []), ("4080.b2-2", ["-b22"]),
                                                                ("4083", []))]
        self.endings({"qb40tool-report.4080.b2-2.json": 4})
        begun = time.monotonic()
        job = self.run_job(runs)
        # The look ends with the job, not at its wait.
        self.assertLess(time.monotonic() - begun, 20)
        self.assertEqual([(r["label"], r.get("rc"), bool(r.get("began"))) for r in job["runs"]],
                         [("4077", 0, True), ("4080.b2-2", 4, True), ("4083", None, False)])
        first, second = job["runs"][:2]
        self.assertEqual(first["log"], "log of qb40tool-report.4077.json, image image 4077\n")
        self.assertEqual(first["stdout"], "run qb40tool-report.4077.json\n")
        self.assertEqual(json.loads(second["report_text"])["arguments"][-3:], ["-b22", "-f", "fw_4080.bin"])
        self.assertEqual(sorted(os.listdir(self.settings["workdir"])),
                         sorted(["fw_4077.bin", "fw_4080.bin", "fw_4083.bin", "log.txt", "logprev.txt", os.path.basename(job["path"]),
                                 "qb40tool-report.4077.json", "qb40tool-report.4080.b2-2.json"]))
        # What --tags fetch finds afterwards.
        found = runner.collect(self.settings["workdir"])
        self.assertEqual([r["label"] for r in found["job"]["runs"] if r.get("began")], ["4077", "4080.b2-2"])
        self.assertEqual([r["name"] for r in found["reports"]],
                         ["qb40tool-report.4077.json", "qb40tool-report.4080.b2-2.json"])
        self.assertEqual(found["logs"]["log"], "log of qb40tool-report.4080.b2-2.json, image image 4080\n")

    def test_a_new_job_removes_the_finished_ones_and_a_held_lock_ends_it(self):
        run = {"label": "4077", "family": "4077", "image": "fw_4077.bin", "sha256": None, "expect": None, "args": []}
        first = self.run_job([run])
        with open(self.settings["lock_file"], "w") as lock:
            import fcntl
            fcntl.flock(lock, fcntl.LOCK_EX)
            second = self.run_job([run, dict(run, label="4077.b1-1")])
        self.assertFalse(os.path.exists(first["path"]))
        self.assertEqual([(r.get("rc"), r.get("log")) for r in second["runs"]], [(75, None), (None, None)])
        self.assertIsNone(runner.look(first["path"], 0))


    def seen(self):
        with open(os.path.join(self.dir.name, "seen.txt")) as f:
            return [json.loads(line) for line in f]

    def test_out_of_band_the_password_reaches_the_tool_and_nothing_else(self):
        # The module qb40tool.fleet.run as Ansible runs it, with its
        # arguments in a file: a plan of a BMC whose directory (and lock's)
        # does not exist yet.
        d = self.dir.name
        bmc_dir = os.path.join(d, "qb40tool-bmc", "127.0.0.1:6230")
        settings = dict(self.settings, bmc="127.0.0.1:6230", bmc_user="op", workdir=bmc_dir,
                        lock_file=os.path.join(bmc_dir, "qb40tool.lock"))
        secret = "s3cret-of-the-bmc"
        args = os.path.join(d, "args.json")
        with open(args, "w") as f:
            json.dump({"ANSIBLE_MODULE_ARGS": {
                "action": "plan", "settings": settings, "first": "4077", "bmc_password": secret,
                "images": {"4077": {"image": "fw_4077.bin", "sha256": None,
                                    "content": base64.b64encode(b"4077 image").decode()}}}}, f)
        root = os.path.abspath(os.path.join(__file__, *[".."] * 7))
        module = os.path.join(root, "ansible_collections", "qb40tool", "fleet", "plugins", "modules", "run.py")
        done = subprocess.run([sys.executable, module, args], capture_output=True, text=True,
                              env=dict(os.environ, PYTHONPATH=root, TMPDIR=self.tmp), check=False)
        answer = json.loads(done.stdout)
        self.assertEqual(answer["steps"][0]["rc"], 0, answer)
        self.assertEqual([(s["args"][:6], s["password"]) for s in self.seen()],
                         [(["--plan", "--read-only", "--lan", "127.0.0.1:6230", "--lan-user", "op"], secret)])
        self.assertNotIn(secret, done.stdout + done.stderr)
        self.assertTrue(os.path.isdir(bmc_dir))
        # The job of an upgrade inherits it, and its file, which the looks
        # bring back, does not hold it.
        os.environ["IPMI_PASSWORD"] = secret
        self.addCleanup(os.environ.pop, "IPMI_PASSWORD")
        self.settings = settings
        job = self.run_job([{"label": "4077", "family": "4077", "image": "fw_4077.bin", "sha256": None,
                             "expect": None, "args": []}])
        self.assertEqual(job["runs"][0]["rc"], 0)
        self.assertEqual([s["password"] for s in self.seen()], [secret, secret])
        with open(job["path"]) as f:
            self.assertNotIn(secret, f.read())


if __name__ == "__main__":
    unittest.main()
