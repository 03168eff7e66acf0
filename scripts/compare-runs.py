#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs two builds of qb40tool-sim on every example machine with the same
command lines and says where they differ: exit status, console, standard
error, both logs, the trace, the report, the capture and the metrics.

    scripts/compare-runs.py OLD/qb40tool-sim NEW/qb40tool-sim [--lines FILE]

A change that must not change what a user sees (a move of code, a new road
that these runs do not take) passes with 0 differing runs. Each machine gets
a fixed clock start, so that two runs of one build are alike too; the
command lines are those below, plus each line of FILE (words separated by
blanks) when given. Exit status 0 when every run matched, 1 otherwise.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MACHINES = sorted((ROOT / "sim" / "machines").glob("*.json"))
IMAGE = ROOT / "sim" / "images" / "fw_4077.bin"

OUTPUTS = "--report r.json --capture c.jsonl --metrics m.prom".split()
COMMAND_LINES = [
    [],
    ["-i", "-vpd"] + OUTPUTS,
    ["-b0f", "-i", "-vl"] + OUTPUTS,
    ["-c2", "-a", "-cd1"] + OUTPUTS,
    ["-mae6", "-ms", "-i", "-sc14", "-b0f"] + OUTPUTS,
    ["-u", "-f", "fw_4077.bin"] + OUTPUTS,
    ["-q", "--strict", "-f", "fw_4077.bin", "--expect", "2"] + OUTPUTS,
    ["--plan", "-f", "fw_4077.bin"] + OUTPUTS,
    ["--read-only", "-mae6", "-ms", "-i", "-b0f"] + OUTPUTS,
    ["--read-only", "--plan", "-f", "fw_4077.bin"] + OUTPUTS,
    ["-dio", "-i"] + OUTPUTS,
    ["-h"],
    ["--help-all"],
    ["-z"],
    ["-d"],
    ["-x"],
    ["-q", "-c"],
    ["--capture-redact", "vpd,host", "-vpd"] + OUTPUTS,
]
FILES = ["log.txt", "logprev.txt", "r.json", "c.jsonl", "m.prom", "trace.txt"]


def machine_text(path):
    machine = json.loads(path.read_text())
    machine.setdefault("clock", {})["start"] = 1700000000
    # Keys for the modes that wait for them: the diagnostics and the cycling.
    machine.setdefault("keys", [{"at": at, "key": key} for at, key in
                                [(5, "y"), (6, "y"), (7, "y"), (8, "y"), (9, "y"), (30, "x")]])
    return json.dumps(machine)


def run(tool, machine, args, where):
    where.mkdir()
    shutil.copy(IMAGE, where / "fw_4077.bin")
    (where / "machine.json").write_text(machine)
    env = dict(os.environ, QB40SIM_MACHINE="machine.json", QB40SIM_TRACE="trace.txt")
    env.pop("QB40SIM_PANEL", None)
    # Both builds run as ./qb40tool-sim: the log and the capture name the program.
    (where / "qb40tool-sim").symlink_to(Path(tool).resolve())
    done = subprocess.run(["./qb40tool-sim"] + args, cwd=where, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=600)
    seen = {"status": str(done.returncode), "console": done.stdout, "errors": done.stderr}
    for name in FILES:
        file = where / name
        seen[name] = file.read_bytes() if file.exists() else None
    return seen


def main():
    if len(sys.argv) not in (3, 5) or (len(sys.argv) == 5 and sys.argv[3] != "--lines"):
        sys.exit(__doc__)
    old, new = sys.argv[1], sys.argv[2]
    lines = list(COMMAND_LINES)
    if len(sys.argv) == 5:
        lines += [l.split() for l in Path(sys.argv[4]).read_text().splitlines() if l.strip()]
    compared = differing = 0
    with tempfile.TemporaryDirectory() as scratch:
        for machine_path in MACHINES:
            machine = machine_text(machine_path)
            for n, args in enumerate(lines):
                a = run(old, machine, args, Path(scratch) / f"{machine_path.stem}.{n}.old")
                b = run(new, machine, args, Path(scratch) / f"{machine_path.stem}.{n}.new")
                compared += 1
                differ = [k for k in a if a[k] != b[k]]
                if differ:
                    differing += 1
                    print(f"DIFFER {machine_path.name} {' '.join(args)}: {', '.join(differ)}")
    print(f"compare-runs: {compared} runs compared ({len(MACHINES)} machines x {len(lines)} command lines), "
          f"{differing} differing")
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
