#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the qb40_ series of a node exporter scrape against a machine file.

    check_scrape.py MACHINE.json SCRAPE.txt

The scrape is what the node exporter served after `qb40tool-sim --read-only
-q --metrics` (no other option) wrote its file on MACHINE into the
collector's directory. Every qb40_ series it serves must be one the machine
file calls for, with the same labels and value, and none may be missing:
the default scan probes address 0xC0 on buses 0x01 to 0x0F of every BMC, a
bus byte that names another bus (same_bus_as) reaches the same controller,
and a read-only run counts a controller whose Locate and Fail LEDs are lit.
Prints one line per difference and exits 1 when there is any.
"""
import json
import re
import sys

MODELS = {73: "QB4073S", 76: "QB4076", 77: "QB4077", 80: "QB4080", 82: "QB4082", 84: "QB4084"}
SAMPLE = re.compile(r'^(qb40_[a-z_]+)(\{[^}]*\})? (\S+)$')
LABEL = re.compile(r'([a-z_]+)="([^"]*)"')


def number(text):
    return int(text, 0) if isinstance(text, str) else int(text)


def chip_id(device):
    chip = device["chip_id"]
    return ord(chip) if isinstance(chip, str) and len(chip) == 1 else number(chip)


def series(name, **labels):
    return (name, tuple(sorted(labels.items())))


def expected_series(machine):
    """What the default read-only scan of MACHINE makes of it: series -> value."""
    want = {}
    bmcs = machine["bmcs"]
    for index, bmc in enumerate(bmcs):
        if bmc.get("node") != f"/dev/ipmi{index}":
            sys.exit(f"check_scrape.py: BMC {index} is not /dev/ipmi{index}; this check knows the driver's order only")
    want[series("qb40_tool_info", version="3.31")] = 1
    want[series("qb40_scan_success")] = 1
    want[series("qb40_run_exit_status")] = 0
    want[series("qb40_bmcs_found")] = len(bmcs)
    for index, bmc in enumerate(bmcs):
        found = 0
        for key, bus in sorted(bmc.get("buses", {}).items(), key=lambda kv: number(kv[0])):
            bus_byte = number(key)
            if not 1 <= bus_byte <= 0x0F or "same_bus_as" in bus:
                continue
            for device in bus.get("devices", []):
                if device["type"] != "qb40xx" or number(device["address"]) != 0xC0:
                    continue
                chip = chip_id(device)
                if chip not in MODELS:
                    continue
                found += 1
                regs = {number(k): number(v) for k, v in device.get("registers", {}).items()}
                firmware = device.get("firmware", [1, 0, 0])
                ident = dict(bmc=str(index), bus=f"0x{bus_byte:02x}", mux_channel="0", address="0xc0",
                             model=MODELS[chip])
                want[series("qb40_controller_info", **ident, chip_id=str(chip),
                            firmware=".".join(str(b) for b in firmware),
                            revision=str(device.get("revision", 1)))] = 1
                want[series("qb40_controller_config", **ident)] = regs.get(0x30, 0)
                used, mated = regs.get(0x36, 0), regs.get(0x38, 0)
                want[series("qb40_controller_slots_used", **ident)] = bin(used).count("1")
                want[series("qb40_controller_drives_mated", **ident)] = bin(mated).count("1")
                for slot in range(8):
                    if (used | mated) & (1 << slot):
                        want[series("qb40_slot_drive_mated", **ident, slot=str(slot))] = (mated >> slot) & 1
                want[series("qb40_temperature_register", **ident, sensor="controller")] = regs.get(0x56, 0)
                want[series("qb40_temperature_register", **ident, sensor="ambient")] = regs.get(0x57, 0)
                want[series("qb40_temperature_threshold_register", **ident)] = regs.get(0x58, 0)
        want[series("qb40_controllers_found", bmc=str(index))] = found
    return want


def served_series(scrape):
    got = {}
    for line in scrape.splitlines():
        m = SAMPLE.match(line)
        if m:
            got[(m.group(1), tuple(sorted(LABEL.findall(m.group(2) or ""))))] = float(m.group(3))
    return got


def main():
    with open(sys.argv[1]) as f:
        machine = json.load(f)
    with open(sys.argv[2]) as f:
        scrape = f.read()
    want, got = expected_series(machine), served_series(scrape)
    problems = []
    for key, value in sorted(want.items()):
        if key not in got:
            problems.append(f"missing: {key}")
        elif got[key] != value:
            problems.append(f"{key}: served {got[key]}, the machine says {value}")
    timing = {"qb40_run_duration_seconds", "qb40_run_end_timestamp_seconds"}
    for key in sorted(got):
        if key not in want and key[0] not in timing:
            problems.append(f"not in the machine: {key}")
    for name in timing:
        if (name, ()) not in got:
            problems.append(f"missing: {name}")
    start = machine.get("clock", {}).get("start")
    if start is not None and ("qb40_run_end_timestamp_seconds", ()) in got:
        end = got[("qb40_run_end_timestamp_seconds", ())]
        duration = got.get(("qb40_run_duration_seconds", ()), -1)
        if not (start <= end and abs(end - start - duration) < 1.0):
            problems.append(f"the run ended at {end} after {duration} s, the machine's clock started at {start}")
    if not re.search(r'^node_textfile_scrape_error 0$', scrape, re.M):
        problems.append("the textfile collector reports a scrape error")
    for p in problems:
        print(f"{sys.argv[1]}: {p}")
    print(f"{sys.argv[1]}: {len(want) + 2} qb40_ series expected, {len(got)} served, {len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
