#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks outcome reports (qb40tool --report) against their JSON Schema.

    validate-reports.py SCHEMA [--at-least N] PATH...

A PATH is a report or a directory of reports (*.json, not descended into).
One python start checks them all: the tests and the campaign gather their
reports and call this once. Prints a line for each report that does not
hold (its name, where in it, and why) and a count; exits 1 when any does
not hold or when fewer than N (default 1) were found, so that a check that
judged nothing cannot pass.
"""
import json
import pathlib
import sys

import jsonschema


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    schema = json.loads(pathlib.Path(argv[1]).read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    at_least, paths = 1, argv[2:]
    if paths[0] == "--at-least":
        at_least, paths = int(paths[1]), paths[2:]
    files = []
    for p in map(pathlib.Path, paths):
        files += sorted(p.glob("*.json")) if p.is_dir() else [p] if p.exists() else []
    bad = 0
    for f in files:
        try:
            errors = sorted(validator.iter_errors(json.loads(f.read_bytes())), key=lambda e: list(e.absolute_path))
        except ValueError as e:
            errors = [e]
        for e in errors:
            where = "/".join(map(str, getattr(e, "absolute_path", []))) or "(top)"
            print(f"{f}: {where}: {getattr(e, 'message', e)}")
        bad += bool(errors)
    print(f"validate-reports: {len(files)} reports, {bad} not valid against {argv[1]}")
    return 1 if bad or len(files) < at_least else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
