# SPDX-License-Identifier: MIT
"""What the upgrade role makes of qb40tool's runs: the inputs it accepts,
the runs a server needs, the judgement of each run, the server's record and
the summary. The filters (plugins/filter) and actions (plugins/action) of
the collection call these.

Each run of the tool on a server is a "step": a dict the role builds from
what it saw (kind "plan" or "upgrade", the exit status, the report's text,
whether the server was reachable, what the wrappers printed). Everything here
is pure but for images(), which looks at the image files on the control
node, and the functions at the end, which read and write the run's
directory there.
"""

import glob
import json
import os
import re
import tempfile

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

SHA256 = re.compile(r"^[0-9a-fA-F]{64}$")
BATCH_PERCENT = re.compile(r"^([0-9]+(?:\.[0-9]+)?)%$")


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


# Inputs ---------------------------------------------------------------------


def _is_int(value, low, high=None):
    if isinstance(value, bool):
        return False
    try:
        number = int(str(value))
    except ValueError:
        return False
    return number >= low and (high is None or number <= high)


def _image_problems(what, image, sha256, family=None):
    problems = []
    if not image:
        return ["%s: no image file given" % what]
    key = image_family(image)
    if key is None:
        problems.append("%s: image %s: its name holds no family key (%s) and .bin" %
                        (what, image, ", ".join(FAMILY_KEYS)))
    elif family is not None and key != str(family):
        problems.append("%s: image %s is a %s image for qb40tool, not %s" % (what, image, key, family))
    if not os.path.isfile(image):
        problems.append("%s: image %s: no such file on the control node" % (what, image))
    elif not os.access(image, os.R_OK):
        problems.append("%s: image %s: not readable on the control node" % (what, image))
    if sha256 is not None and not SHA256.match(str(sha256)):
        problems.append("%s: SHA-256 %r is not 64 hexadecimal digits" % (what, sha256))
    return problems


def images(image=None, image_sha256=None, mapping=None, base="."):
    """The images of a server as one mapping, family key to {image, sha256},
    with absolute paths (relative ones are taken from base, the directory
    ansible-playbook runs in), and the problems with them. The one image
    (qb40tool_upgrade_image) is its family's; qb40tool_upgrade_images adds
    families or replaces it, so that a group's image and a server's own
    for another family go together."""
    problems = []
    found = {}
    if image:
        path = os.path.normpath(os.path.join(base, str(image)))
        problems += _image_problems("qb40tool_upgrade_image", path, image_sha256)
        if image_family(path):
            found[image_family(path)] = {"image": path, "sha256": image_sha256}
    if mapping and not isinstance(mapping, dict):
        return {"images": found, "problems": problems + ["qb40tool_upgrade_images is not a mapping of family keys"]}
    for family, entry in sorted((mapping or {}).items(), key=lambda kv: str(kv[0])):
        what = "qb40tool_upgrade_images[%s]" % family
        if str(family) not in FAMILY_KEYS:
            problems.append("%s: %s is not a family key (%s)" % (what, family, ", ".join(FAMILY_KEYS)))
            continue
        if not isinstance(entry, dict):
            entry = {"image": entry}
        unknown = set(entry) - {"image", "sha256"}
        if unknown:
            problems.append("%s: unknown field(s) %s (image, sha256)" % (what, ", ".join(sorted(unknown))))
        path = os.path.normpath(os.path.join(base, str(entry.get("image") or "")))
        problems += _image_problems(what, entry.get("image") and path, entry.get("sha256"), family)
        found[str(family)] = {"image": path, "sha256": entry.get("sha256")}
    if not image and not mapping:
        problems.append("neither qb40tool_upgrade_image nor qb40tool_upgrade_images is set")
    for entry in found.values():
        entry["sha256"] = str(entry["sha256"]).lower() if entry["sha256"] is not None else None
    return {"images": found, "problems": problems}


def batches_problems(batches):
    """What is wrong with the batch sizes after the canary (Ansible's serial):
    a number of servers, or a percentage of the play's servers; the last
    size repeats until every server had its batch."""
    if not isinstance(batches, list):
        batches = [batches]
    if not batches:
        return ["qb40tool_upgrade_batches is empty"]
    problems = []
    for size in batches:
        m = BATCH_PERCENT.match(str(size))
        if m and 0 < float(m.group(1)) <= 100:
            continue
        if not m and _is_int(size, 1):
            continue
        problems.append("qb40tool_upgrade_batches: %r is neither a number of servers (1 or more) "
                        "nor a percentage (above 0%% to 100%%)" % (size,))
    return problems


def number_problems(values):
    """values: {name: [value, lowest, highest or None]}; the ones out of range."""
    return ["%s: %r is not a whole number from %s%s" % (name, v[0], v[1], " to %s" % v[2] if v[2] else " up")
            for name, v in sorted(values.items()) if v[0] is not None and not _is_int(*v)]


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


def _key(bmc, c):
    return "%s/%s/%s/%s" % (bmc, c.get("bus"), c.get("address"), c.get("mux"))


def _controller_table(steps, plan_mode, planned):
    """The server's controllers as its first plan found them (before), and
    as the later runs left them (after); in a plan, as the upgrade would."""
    table, order = {}, []
    for step in steps:
        report = parse(step.get("report"))
        if report is None:
            continue
        version = (report.get("image") or {}).get("version")
        for bmc, c in _controllers(report):
            key = _key(bmc, c)
            if key not in table:
                order.append(key)
                before = version_text(c.get("firmware_before"))
                table[key] = {"bmc": bmc, "bus": c.get("bus"), "address": c.get("address"), "model": _model(c),
                              "before": before, "after": before, "planned": None, "upgrade": None}
            entry = table[key]
            if step["superseded"]:
                continue
            if step.get("kind") == "plan":
                entry["planned"] = c.get("planned")
                if plan_mode and planned and c.get("planned") == "upgrade":
                    entry["after"] = version_text(version)
            elif step.get("kind") == "upgrade":
                entry["upgrade"] = c.get("upgrade") or entry["upgrade"]
                seen = c.get("firmware_last_seen")
                entry["after"] = version_text(seen) if report.get("complete") and seen else "?"
    return [table[k] for k in order]


def _rc(step):
    """A run's exit status; for one brought back afterwards, its report's."""
    if step.get("fetched"):
        return (parse(step.get("report")) or {}).get("exit_code")
    return step.get("rc")


def record(steps, decision, host, mode, batch=None):
    """What the summary says of a server: its status (upgraded, unchanged,
    planned, refused, failed, unreachable), the exit status and meaning of
    the run that decided it, its controllers before and after (in a plan:
    after the upgrade), its report and log files, and whether the rollout
    must stop whatever the failure budget (stop)."""
    steps = _effective(steps, decision)
    status = meaning = rc = None
    stop, failing = False, []
    for step in steps:
        j = judge(step)
        if not step["superseded"] and j["state"] in FAILED_STATES:
            status, meaning, rc, stop, failing = j["state"], j["meaning"], _rc(step), j["stop"], j["failing"]
            break
    if status is None and decision.get("refused"):
        status, meaning, rc = "refused", decision["refused"], steps[0].get("rc") if steps else None
    if status is None:
        plans = [s for s in steps if s.get("kind") == "plan" and not s["superseded"]]
        made = [s for s in steps if s.get("kind") == "upgrade"]
        todo = [r["label"] for r in upgrades([s for s in steps if s.get("kind") == "plan"], decision)]
        missing = [label for label in todo if label not in [s.get("label") for s in made]]
        if not steps:
            status, meaning, stop = "failed", "no run was made", True
        elif mode == "plan":
            states = [judge(s)["state"] for s in plans]
            status = "planned" if "planned" in states else "unchanged"
            would = sum(1 for s in plans for _, c in _controllers(parse(s.get("report")))
                        if c.get("planned") == "upgrade")
            total = len(_controller_table(steps, False, False))
            runs_text = " in %d runs" % len(plans) if len(plans) > 1 else ""
            meaning = ("would upgrade %d of %d controllers%s" % (would, total, runs_text) if would
                       else "nothing to upgrade")
            rc = plans[-1].get("rc") if plans else None
        elif missing:
            status, meaning, stop = "failed", "the run of %s was never made" % ", ".join(missing), True
        elif made:
            states = [judge(s)["state"] for s in made]
            status = "upgraded" if "upgraded" in states else "unchanged"
            meaning, rc = judge(made[-1])["meaning"], _rc(made[-1])
        else:
            status, meaning, rc = "unchanged", "nothing to upgrade", plans[-1].get("rc") if plans else None
    return {
        "host": host, "status": status, "batch": int(batch) if batch and int(batch) else None, "exit": rc,
        "meaning": meaning, "stop": stop, "failing": failing,
        "controllers": _controller_table(steps, mode == "plan", status == "planned"),
        "reports": [s["report_file"] for s in steps if s.get("report") and s.get("report_file")],
        "logs": [s["log_file"] for s in steps if s.get("log_fetched") and s.get("log_file")],
    }


def records(hostvars, hosts):
    """The records the servers of the play hold so far (hostvars: the
    result of the role's qb40tool.fleet.record tasks)."""
    found = []
    for host in hosts:
        record = (hostvars[host].get("qb40tool_upgrade_recorded") or {}).get("record")
        if isinstance(record, dict):
            found.append(record)
    return found


def gate(hostvars, hosts, max_fail_percentage=0):
    """At the start of a batch: the number of this batch, and what stops
    the rollout before it ({} when it may go on), from the records of the
    play's servers so far."""
    found = records(hostvars, hosts)
    batches = [r["batch"] for r in found if isinstance(r.get("batch"), int)]
    return {"batch": max(batches or [0]) + 1, "stopped_by": stopped_by(found, max_fail_percentage)}


def failure(record, run_dir):
    """Why a server fails, in one line: its status, exit status and meaning,
    the controllers not on the image, and its last log."""
    text = record["status"]
    if record.get("exit") is not None:
        text += " (exit %s)" % record["exit"]
    text += ": %s" % record.get("meaning")
    if record.get("failing"):
        text += "; not on the image: " + "; ".join(record["failing"])
    if record.get("logs"):
        text += "; log: %s" % os.path.join(run_dir, record["logs"][-1])
    return text


def stopped_by(records, max_fail_percentage=0):
    """Why the rollout must not begin another batch, from the records of
    the servers so far: a server in an unknown state (also one that began
    and left no record: it vanished from the play), or a batch where more
    than max_fail_percentage of the servers failed; {} when it may go on."""
    for r in records:
        if r.get("stop") or r.get("status") == "running":
            return {"host": r["host"], "status": r["status"] if r["status"] != "running" else "vanished"}
    batches = {}
    for r in records:
        batches.setdefault(r.get("batch"), []).append(r)
    for batch, members in sorted(batches.items(), key=lambda kv: str(kv[0])):
        failed = [r for r in members if r.get("status") in FAILED_STATES + ("not_run",)]
        if failed and len(failed) * 100 > float(max_fail_percentage) * len(members):
            return {"host": failed[0]["host"], "status": "%s; %d of %d servers of batch %s failed" % (
                failed[0]["status"], len(failed), len(members), batch)}
    return {}


# The summary ----------------------------------------------------------------------


def summary(records, hosts, run):
    """summary.json (one record per targeted server, in the rollout's order;
    those without a record "not_run"), with its text and Markdown tables."""
    by_host = {r["host"]: r for r in records if r}
    rows = []
    for host in hosts:
        r = by_host.get(host) or {"host": host, "status": "not_run", "batch": None, "exit": None,
                                  "meaning": "not run", "controllers": [], "reports": [], "logs": []}
        if r.get("status") == "running":
            r = dict(r, status="unreachable", meaning="left no record: run may still be in progress; "
                                                      "rerun the plan when it is back")
        rows.append(r)
    counts = {}
    for r in rows:
        counts[r["status"]] = counts.get(r["status"], 0) + 1
    document = dict(run, servers=rows, counts=counts)
    title = "qb40tool %s %s: %s" % (
        run.get("mode"), run.get("id"), ", ".join("%d %s" % (n, s) for s, n in sorted(counts.items())))

    def cells(r):
        controllers = r.get("controllers") or []
        changed = [c for c in controllers if c.get("before") != c.get("after")]
        versions = "; ".join("%s %s %s>%s" % (c["bus"], c["address"], c["before"], c["after"]) for c in changed)
        # "?": a run was killed and what its controllers run is not known.
        unknown = any(c.get("after") == "?" for c in controllers)
        return [r["host"], "-" if r.get("batch") is None else str(r["batch"]), r["status"],
                "-" if r.get("exit") is None else str(r["exit"]),
                "%s/%d" % ("?" if unknown else len(changed), len(controllers)), r.get("meaning") or "",
                versions]

    header = ["host", "batch", "status", "exit", "changed", "meaning", "versions (bus address before>after)"]
    text = [title, "%-20s %5s  %-11s %4s  %7s  %s" % tuple(header[:6])]
    for r in rows:
        c = cells(r)
        text.append("%-20s %5s  %-11s %4s  %7s  %s" % (c[0], c[1], c[2], c[3], c[4], c[5]))
    markdown = ["**%s**" % title, "", "| " + " | ".join(header) + " |", "|---|---:|---|---:|---:|---|---|"]
    for r in rows:
        markdown.append("| " + " | ".join(x.replace("|", "\\|") for x in cells(r)) + " |")
    return {"json": document, "text": "\n".join(text) + "\n", "markdown": "\n".join(markdown) + "\n"}


# The run's directory ----------------------------------------------------------------


def write_file(path, text):
    """Writes text to path whole or not at all: a reader never sees half."""
    fd, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), dir=os.path.dirname(path))
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
        os.chmod(temporary, 0o640)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def write_record(run_dir, record):
    """A server's record beside the reports, HOST.record.json."""
    write_file(os.path.join(run_dir, "%s.record.json" % record["host"]), json.dumps(record, indent=1) + "\n")


def keep(run_dir, host, batch, mode=None, steps=None, decision=None, stopped_by=None):
    """The server's record, kept in run_dir with the reports and logs of its
    plans (an upgrade's are fetched as files): without a mode, the note of
    a run that has begun; with stopped_by, a server the rollout did not
    reach."""
    batch = int(batch) if batch and int(batch) else None
    if mode is None:
        record = {"host": host, "status": "running", "batch": batch}
    elif stopped_by and stopped_by.get("host"):
        record = {"host": host, "status": "not_run", "batch": batch, "exit": None, "stop": False, "failing": [],
                  "meaning": "not run: the rollout stopped at %s (%s)" % (stopped_by["host"], stopped_by["status"]),
                  "controllers": [], "reports": [], "logs": []}
    else:
        for step in steps or []:
            if step.get("keep"):
                for text, name in ((step.get("report"), "report_file"), (step.get("log"), "log_file")):
                    if text and step.get(name):
                        write_file(os.path.join(run_dir, step[name]), text if text.endswith("\n") else text + "\n")
            if step.get("keep") and step.get("log"):
                step["log_fetched"] = True
        record = globals()["record"](steps or [], decision or {}, host, mode, batch)
    write_record(run_dir, record)
    return record


def start_run(reports_dir, mode, rollout, run_dir=None, now=None):
    """The run's directory: run_dir when given (a summary or a fetch of that
    run), the latest in reports_dir for a summary alone, else a new one,
    named for the run's start and mode and unique whatever else runs, with
    run.json, the description of the run (its servers in order, canary,
    batches, budget). Returns the rollout with its run_dir."""
    import datetime
    import time
    rollout = dict(rollout, mode=mode)
    reports_dir = os.path.abspath(reports_dir)
    if run_dir:
        return dict(rollout, run_dir=os.path.abspath(run_dir))
    if mode == "summary":
        runs = sorted(glob.glob(os.path.join(glob.escape(reports_dir), "*", "run.json")))
        if not runs:
            raise ValueError("no run in %s: set qb40tool_upgrade_run_dir" % reports_dir)
        return dict(rollout, run_dir=os.path.dirname(runs[-1]))
    os.makedirs(reports_dir, mode=0o750, exist_ok=True)
    started = datetime.datetime.fromtimestamp(now if now is not None else time.time(), datetime.timezone.utc)
    run_dir = tempfile.mkdtemp(prefix="%s-%s." % (started.strftime("%Y%m%dT%H%M%SZ"), mode), dir=reports_dir)
    os.chmod(run_dir, 0o750)
    rollout = dict(rollout, run_dir=run_dir)
    write_file(os.path.join(run_dir, "run.json"), json.dumps(
        dict(rollout, id=os.path.basename(run_dir), started=started.strftime("%Y-%m-%dT%H:%M:%SZ")), indent=1) + "\n")
    return rollout


def summary_files(run_dir):
    """The summary of the run in run_dir from run.json (the servers, in
    order) and the records: written as summary.json, summary.txt and
    summary.md, and returned."""
    with open(os.path.join(run_dir, "run.json")) as f:
        run = json.load(f)
    records = []
    for path in sorted(glob.glob(os.path.join(glob.escape(run_dir), "*.record.json"))):
        with open(path) as f:
            records.append(json.load(f))
    result = summary(records, run.get("order") or [], run)
    write_file(os.path.join(run_dir, "summary.json"), json.dumps(result["json"], indent=1) + "\n")
    write_file(os.path.join(run_dir, "summary.txt"), result["text"])
    write_file(os.path.join(run_dir, "summary.md"), result["markdown"])
    return result
