# SPDX-License-Identifier: MIT
"""What a run of qb40tool on a server says, and which runs a server needs:
the judgement of a run from its exit status and report, and the split of a
server's controllers into one run per family. Pure, and shipped to the
servers too: the module qb40tool.fleet.run decides there, in the call that
plans, whether and what to upgrade; the control node judges the same runs
with the same code (plugins/plugin_utils/fleet.py)."""

import json
import os

# The family keys in the order qb40tool looks for them in an image's name:
# the first one found decides.
FAMILY_KEYS = ("4073", "4076", "4077", "4080", "4082", "4084", "4083")
# The chip ID register holds the model number as a letter; 83 is the QB4083C.
FAMILY_OF_CHIP = {73: "4073", 76: "4076", 77: "4077", 80: "4080", 82: "4082", 84: "4084", 83: "4083"}

# Exit statuses of the wrappers, which the tool never uses.
LOCK_BUSY = 75  # flock --conflict-exit-code: another run holds the lock
TIMED_OUT = 124  # timeout: SIGTERM at the bound, and the run then ended
KILLED = 137  # 128 + SIGKILL: killed after the stop grace (timeout --kill-after)

# A step's state, and which states are failures of the server.
OK_STATES = ("upgraded", "unchanged", "planned")
FAILED_STATES = ("failed", "refused", "unreachable")


def image_family(path):
    """The family key qb40tool takes an image for, from its file name; None
    when the name holds no key or no ".bin"."""
    name = os.path.basename(str(path))
    if ".bin" not in name:
        return None
    for key in FAMILY_KEYS:
        if key in name:
            return key
    return None


def version_text(version):
    return ".".join(str(v) for v in version) if version else "-"


def _controllers(report):
    for bmc in (report or {}).get("bmcs") or []:
        for c in bmc.get("controllers") or []:
            yield bmc.get("index", 0), c


def _where(bmc, c):
    return "BMC %d bus %s address %s" % (bmc, c.get("bus"), c.get("address"))


def _family(c):
    return FAMILY_OF_CHIP.get(c.get("chip_id"))


def _model(c):
    return c.get("model") or "chip %s" % c.get("chip_id")


# Runs -----------------------------------------------------------------------


def _bus_intervals(controllers):
    """Contiguous bus ranges holding one family each, in bus order: the -b
    ranges that keep each family's runs away from the others' controllers.
    None and a reason when the families cannot be told apart by bus."""
    families_on = {}
    for bmc, c in controllers:
        bus = int(str(c.get("bus")), 16)
        if c.get("mux") or bus > 0x0F:
            return None, "%s sits behind a mux or channel: no bus range holds one family alone" % _where(bmc, c)
        families_on.setdefault(bus & 0x0F, set()).add(_family(c))
    intervals = []
    for bus in sorted(families_on):
        fams = families_on[bus]
        if len(fams) > 1:
            return None, "bus 0x%02X holds controllers of several families (%s)" % (
                bus, ", ".join(sorted(str(f) for f in fams)))
        family = next(iter(fams))
        if intervals and intervals[-1][0] == family:
            intervals[-1][2] = bus
        else:
            intervals.append([family, bus, bus])
    return intervals, None


def _first_plan_stands(result, first, images, expect):
    result["reuse"] = True
    result["runs"] = [dict(images.get(first, {}), family=first, args=[], expect=expect, label=first)]
    return result


def runs(discovery, images, extra_args=(), expect=None):
    """The runs an upgrade of the server takes, from the step of its first
    plan (made with the first of its images): one run when all its
    controllers are of that image's family; else one run per family, each
    pinned to its own image and kept by -b to the buses of that family.

    Returns {"refused": reason or None, "reuse": whether the first plan
    stands for the server (its only run, or its refusal or failure), "runs":
    [...]}; each run has family, image, sha256, args (the -b range), expect
    and label (the name of its report and log)."""
    result = {"refused": None, "reuse": False, "runs": []}
    first = discovery.get("family")
    report = parse(discovery.get("report"))
    if report is None or judge(discovery)["state"] not in ("planned", "unchanged", "refused"):
        return _first_plan_stands(result, first, images, expect)
    controllers = list(_controllers(report))
    other = [(b, c) for b, c in controllers if c.get("planned") == "other_family"]
    if report.get("exit_code") != 5 or not other:
        # All of the first image's family, or refused for another reason
        # than the family (the image, the count): the first plan says it.
        return _first_plan_stands(result, first, images, expect)
    families = sorted({_family(c) or "chip %s" % c.get("chip_id") for _, c in controllers})
    missing = [f for f in families if f not in images]
    if missing:
        result["refused"] = "%s at %s: another family, and no image for %s (qb40tool_upgrade_images)" % (
            _model(other[0][1]), _where(*other[0]), ", ".join(missing))
        return result
    if len(families) == 1:
        family = families[0]
        result["runs"] = [dict(images[family], family=family, args=[], expect=expect, label=family)]
        return result
    if any(str(a).startswith(("-b", "-sc", "-ma", "-mc", "-ms")) for a in extra_args):
        result["refused"] = "several families, and qb40tool_upgrade_extra_args sets the buses or the mux"
        return result
    intervals, reason = _bus_intervals(controllers)
    if reason:
        result["refused"] = "several families: " + reason
        return result
    ranges = {}
    for family, _, _ in intervals:
        ranges[family] = ranges.get(family, 0) + 1
    for family, low, high in intervals:
        several = ranges[family] > 1
        count = sum(1 for _, c in controllers if _family(c) == family and low <= int(str(c["bus"]), 16) <= high)
        result["runs"].append(dict(images[family], family=family, args=["-b%X%X" % (low, high)],
                                   expect=count if expect else None,
                                   label="%s.b%X-%X" % (family, low, high) if several else family))
    return result


def _effective(steps, decision):
    """The steps with the first plan marked superseded when it does not
    stand for the server (the families were split after it)."""
    return [dict(s, superseded=s.get("label") == "discovery" and not decision.get("reuse")) for s in steps]


# Judgement ------------------------------------------------------------------


def parse(text):
    """A report's text as a dict; None when there is none or it is not one."""
    if isinstance(text, dict):
        return text
    try:
        report = json.loads(text) if text else None
    except ValueError:
        return None
    return report if isinstance(report, dict) else None


def _failing(report):
    found = []
    for bmc, c in _controllers(report):
        outcome = c.get("upgrade") if c.get("upgrade") in ("failed", "aborted", "version_mismatch",
                                                           "not_recorded") else None
        outcome = outcome or (c.get("planned") if c.get("planned") in ("other_family", "not_recorded") else None)
        if outcome:
            found.append("%s %s %s%s (firmware %s)" % (
                _where(bmc, c), _model(c), outcome, " at " + c["failed_step"] if c.get("failed_step") else "",
                version_text(c.get("firmware_last_seen")) if c.get("firmware_last_seen")
                else "not seen by the last scan"))
    return found


def _output(step):
    text = " ".join(str(step.get(k) or "").strip() for k in ("stderr", "stdout")).strip()
    return text[-300:] if text else "nothing on its output (quiet mode)"


def _state(state, meaning, stop=False, failing=()):
    return {"state": state, "meaning": meaning, "stop": stop, "failing": list(failing)}


def judge(step):
    """The state of one run of the tool: upgraded, unchanged, planned,
    refused (nothing was written), failed or unreachable; its meaning in a
    few words, the controllers that failed, and whether it must stop the
    rollout whatever the failure budget (stop): what is not known is a
    failure, and a server in an unknown state may be the canary's sign."""
    plan = step.get("kind") == "plan"
    if step.get("kind") == "role":
        return _state("failed", "the role failed: %s" % step.get("error"), stop=True)
    if step.get("unreachable"):
        return _state("unreachable", "not planned: unreachable" if plan else
                      "run may still be in progress; rerun the plan when it is back", stop=True)
    if step.get("error"):
        return _state("failed", "the run was never started: %s" % str(step["error"])[:300])
    rc = step.get("rc")
    report = parse(step.get("report"))
    if step.get("fetched"):
        # Brought back from the server afterwards (--tags fetch): no exit
        # status but the report's own.
        if report is None:
            return _state("failed", "no report on the server", stop=True)
        if not report.get("complete"):
            return _state("failed", "its report says the run has not ended: still running, or killed; "
                          "rerun the plan", stop=True, failing=_failing(report))
        if report.get("signal"):
            return _state("failed", "stopped by %s" % report["signal"], stop=True, failing=_failing(report))
        rc, plan = report.get("exit_code"), bool(report.get("plan"))
    if rc is None:
        return _state("failed", "no end seen within the time bound; run may still be in progress", stop=True)
    rc = int(rc)
    if rc == LOCK_BUSY:
        return _state("failed", "another run holds the lock: a run may be in progress", stop=True)
    if rc == KILLED:
        return _state("failed", "killed at the time bound after the stop grace%s; controllers may be in any "
                      "state: rerun the plan" % ("" if report is None or report.get("complete")
                                                 else " (its report never ended)"), stop=True)
    if report is None:
        return _state("failed", "ended with %d and no report: %s" % (rc, _output(step)), stop=True)
    if not report.get("complete"):
        return _state("failed", "ended with %d, its report says the run never ended; controllers may be in any "
                      "state: rerun the plan" % rc, stop=True)
    if bool(report.get("plan")) != plan:
        return _state("failed", "the report is not this run's (plan %s)" % report.get("plan"), stop=True)
    failing = _failing(report)
    if report.get("signal"):
        return _state("failed", "stopped by %s%s" % (report["signal"], " at the time bound" if rc == TIMED_OUT
                                                    else ""), stop=True, failing=failing)
    if report.get("exit_code") != rc:
        return _state("failed", "ended with %d, its report says %s: not this run's" % (rc, report.get("exit_code")),
                      stop=True)
    image = report.get("image") or {}
    if rc == 1:
        if image.get("sha256_matched") is False:
            return _state("refused", "image %s has SHA-256 %s, not %s" % (
                image.get("file"), image.get("sha256"), image.get("sha256_expected")))
        return _state("refused", "image file unusable: %s" % image.get("file"))
    if rc == 171:
        return _state("refused" if plan else "failed", "no controller found, or fewer than expected")
    if plan:
        upgrade = [c for _, c in _controllers(report) if c.get("planned") == "upgrade"]
        total = sum(1 for _ in _controllers(report))
        if rc == 0:
            return _state("unchanged", "nothing to upgrade")
        if rc == 4:
            return _state("planned", "would upgrade %d of %d controllers" % (len(upgrade), total))
        if rc == 5:
            other = [(b, c) for b, c in _controllers(report) if c.get("planned") == "other_family"]
            if other:
                return _state("refused", "another family: %s at %s" % (_model(other[0][1]), _where(*other[0])),
                              failing=failing)
            return _state("refused", "command line or report file refused: see the log")
        return _state("failed", report.get("exit_meaning") or "ended with %d" % rc, failing=failing)
    if rc == 0:
        upgraded = [c for _, c in _controllers(report) if c.get("upgrade") == "upgraded"]
        return _state("upgraded" if upgraded else "unchanged", report.get("exit_meaning") or "done")
    return _state("failed", report.get("exit_meaning") or "ended with %d" % rc, failing=failing)


def ok(steps, decision):
    """Whether every step so far went as it should."""
    return all(judge(s)["state"] in OK_STATES for s in _effective(steps, decision) if not s["superseded"])


def upgrades(steps, decision):
    """The runs to make: those whose plan says they would upgrade; none when
    the server is refused or a step went wrong."""
    if decision.get("refused") or not ok(steps, decision):
        return []
    plans = {s.get("label"): s for s in steps if s.get("kind") == "plan"}
    todo = []
    for run in decision.get("runs") or []:
        step = plans.get("discovery" if decision.get("reuse") else run["label"])
        if step is not None and judge(step)["state"] == "planned":
            todo.append(run)
    return todo
