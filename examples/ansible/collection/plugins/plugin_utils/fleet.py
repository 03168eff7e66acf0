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

from ansible_collections.qb40tool.fleet.plugins.module_utils.judgement import (  # noqa: F401 (the filters' too)
    FAMILY_KEYS, FAMILY_OF_CHIP, LOCK_BUSY, TIMED_OUT, KILLED, OK_STATES,
    FAILED_STATES, image_family, version_text, _controllers, _where, _family,
    _model, _bus_intervals, runs, _effective, parse, _failing,
    _output, _state, judge, ok, upgrades,
)

# The statuses that fail a server.
FAILURES = FAILED_STATES + ("not_run",)

SHA256 = re.compile(r"^[0-9a-fA-F]{64}$")
BATCH_PERCENT = re.compile(r"^([0-9]+(?:\.[0-9]+)?)%$")


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


def images(image=None, image_sha256=None, mapping=None, base=None):
    """The images of a server as one mapping, family key to {image, sha256},
    with absolute paths (relative ones are taken from base, by default the
    directory ansible-playbook runs in), and the problems with them. The one image
    (qb40tool_upgrade_image) is its family's; qb40tool_upgrade_images adds
    families or replaces it, so that a group's image and a server's own
    for another family go together."""
    problems = []
    found = {}
    base = base or os.getcwd()
    if image:
        path = os.path.abspath(os.path.join(base, str(image)))
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
        path = os.path.abspath(os.path.join(base, str(entry.get("image") or "")))
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


def batch_size(size, servers):
    """The servers a batch size stands for among servers, as Ansible's
    serial counts them: a percentage rounds down, and is at least 1."""
    m = BATCH_PERCENT.match(str(size))
    if m:
        return max(1, int(float(m.group(1)) * servers / 100))
    return int(str(size))


def canary_problems(canary, inventory_hosts, play_hosts, batches):
    """What is wrong with the canary, the servers canary names (an empty
    list when it names none), among inventory_hosts (what the playbook's
    pattern names in the inventory, whatever --limit leaves) and play_hosts
    (the servers of this run): a canary is the few servers upgraded alone
    first, so it may neither take every server nor more than the first
    batch after it holds."""
    if not canary:
        return []
    batches = batches if isinstance(batches, list) else [batches]
    if len(inventory_hosts) > 1 and set(inventory_hosts) <= set(canary):
        return ["qb40tool_upgrade_canary names every server (%d): a canary is the few servers upgraded alone "
                "first; name those, or set it to [] for a rollout without a canary" % len(inventory_hosts)]
    if batches_problems(batches):
        return []
    first = batch_size(batches[0], len(play_hosts))
    ours = [h for h in canary if h in play_hosts]
    if len(ours) > first:
        return ["qb40tool_upgrade_canary names %d servers (%s), more than the first batch after it holds (%d, from "
                "qb40tool_upgrade_batches): the canary is the rollout's smallest batch; name fewer servers, or "
                "make the first batch larger" % (len(ours), ", ".join(ours[:5]) + (", ..." if len(ours) > 5 else ""),
                                                 first)]
    return []


def rollout(servers, canary, canary_servers, inventory_servers, batches, max_fail_percentage):
    """The rollout of servers (the play's, in the inventory's order), and
    the problems with its settings: canary as given, canary_servers the
    servers it names in the inventory (none for [] or nothing),
    inventory_servers what the playbook's pattern names there. The canary
    goes first, in a batch of its own, then the batches."""
    problems = batches_problems(batches) + number_problems(
        {"qb40tool_upgrade_max_fail_percentage": [max_fail_percentage, 0, 100]})
    if canary and not canary_servers:
        problems.append("qb40tool_upgrade_canary %s names no server of the inventory: define that group, or set it "
                        "to [] for a rollout without a canary" % (canary,))
    problems += canary_problems(canary_servers, inventory_servers, servers, batches)
    first = [h for h in canary_servers if h in servers]
    return problems, {
        "order": first + [h for h in servers if h not in first], "canary": first,
        "serial": ([len(first)] if first else []) + (batches if isinstance(batches, list) else [batches]),
        "max_fail_percentage": max_fail_percentage if problems else int(str(max_fail_percentage)),
    }


def number_problems(values):
    """values: {name: [value, lowest, highest or None]}; the ones out of range."""
    return ["%s: %r is not a whole number from %s%s" % (name, v[0], v[1], " to %s" % v[2] if v[2] else " up")
            for name, v in sorted(values.items()) if v[0] is not None and not _is_int(*v)]


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


def gate(records, max_fail_percentage=0):
    """At the start of a batch, from the records of the servers before it:
    the number of this batch, and what stops the rollout before it ({}
    when it may go on)."""
    batches = [r["batch"] for r in records if isinstance(r.get("batch"), int)]
    return {"batch": max(batches or [0]) + 1, "stopped_by": stopped_by(records, max_fail_percentage)}


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
        failed = [r for r in members if r.get("status") in FAILURES]
        if failed and len(failed) * 100 > float(max_fail_percentage) * len(members):
            return {"host": failed[0]["host"], "status": "%s; %d of %d servers of batch %s failed" % (
                failed[0]["status"], len(failed), len(members), batch)}
    return {}


# A server's runs, as the action qb40tool.fleet.server names them -----------------
#
# Every log is HOST.LABEL.log.txt, LABEL its family's key (4077), or the
# key and the bus range when a family has several (4077.b1-2): the log of
# the run that upgraded it, of its plan when that failed, or brought back by
# --tags fetch. Reports: HOST.LABEL.json for an upgrade, HOST.plan.json and
# HOST.plan.LABEL.json for the plans.


def bound(settings):
    """The latest a job's run can end, in seconds from its start: the lock
    wait, the bound and the grace. Looks at it stop a minute later, which
    timeout's SIGKILL makes moot."""
    return sum(int(settings.get(k) or 0) for k in ("lock_wait", "timeout", "stop_grace")) + 60


def named_plan(host, step, decision):
    """A plan step of the server, with the files its report and log go to.
    The first plan, when the families were split after it, keeps its
    report but not its log: the family's own plan has that name."""
    label = step.get("label")
    discovery = label == "discovery"
    family_label = ((decision.get("runs") or [{}])[0].get("label") or step.get("family")) if discovery else label
    named = dict(step, keep=True, unreachable=False,
                 report_file="%s.plan%s.json" % (host, "" if discovery else "." + str(label)),
                 log_file="%s.%s.log.txt" % (host, family_label))
    if discovery and not decision.get("reuse") and decision.get("runs"):
        named["log"] = None
    return named


def _upgrade_step(host, run, **more):
    return dict({"kind": "upgrade", "label": run["label"], "family": run.get("family"), "keep": True,
                 "unreachable": False, "report_file": "%s.%s.json" % (host, run["label"]),
                 "log_file": "%s.%s.log.txt" % (host, run["label"])}, **more)


def job_steps(host, job, unreachable=None):
    """The upgrade steps of a job as the last look saw it: each run that
    began (one that had not ended: no end seen, or unreachable when the
    server was lost while it ran); the runs the job never began are none."""
    steps = []
    for run in job.get("runs") or []:
        if run.get("ended"):
            steps.append(_upgrade_step(host, run, rc=run.get("rc"), stdout=run.get("stdout") or "",
                                       stderr=run.get("stderr") or "", error=run.get("error"),
                                       report=run.get("report_text"), log=run.get("log")))
            continue
        # The run the job was at: its end not seen; the runs after it the
        # job may yet make, when the server was lost.
        if run.get("began") or unreachable:
            steps.append(_upgrade_step(host, run, rc=None, stderr=unreachable or "", unreachable=bool(unreachable)))
        break
    return steps


def fetched_steps(host, found):
    """The upgrade steps --tags fetch brings back from what the server's
    working directory holds (qb40tool.fleet.run collect), judged by their
    reports alone: the runs of the last job, or, from a server whose
    upgrades left no job, every report, the last with log.txt and the one
    before with logprev.txt."""
    job, logs = found.get("job") or {}, found.get("logs") or {}
    steps = []
    for run in job.get("runs") or []:
        if run.get("began"):
            log = run.get("log")
            if log is None and not run.get("ended"):
                log = logs.get("log")  # the run its machine stopped in
            steps.append(_upgrade_step(host, run, fetched=True, report=run.get("report_text"), log=log))
    if not job.get("runs"):
        reports = found.get("reports") or []
        for i, r in enumerate(reports):
            label = r["name"][len("qb40tool-report."):-len(".json")]
            after = len(reports) - 1 - i
            steps.append(_upgrade_step(host, {"label": label}, fetched=True, report=r.get("text"),
                                       log=logs.get("log") if after == 0 else logs.get("logprev") if after == 1
                                       else None))
    return steps or [{"kind": "upgrade", "label": "fetch", "fetched": True}]


def controller_lines(controllers, side):
    """The controllers, one line each with their version before or after, for --diff."""
    return "".join("BMC %s bus %s address %s %s: %s\n" % (c.get("bmc"), c.get("bus"), c.get("address"),
                                                          c.get("model"), c.get(side)) for c in controllers)


# The summary ----------------------------------------------------------------------


def summary(records, hosts, run):
    """summary.json (one record per targeted server, in the rollout's order;
    those without a record "not_run"), with its text and Markdown tables."""
    by_host = {r["host"]: r for r in records if r}
    # A server of a rollout without a record: its batch never began, as
    # Ansible itself ends a play whose whole batch failed (a lone canary).
    stopped = stopped_by([r for r in records if r], run.get("max_fail_percentage") or 0) \
        if run.get("mode") == "upgrade" else {}
    not_run = "not run: the rollout stopped at %s (%s)" % (stopped["host"], stopped["status"]) if stopped else "not run"
    rows = []
    for host in hosts:
        r = by_host.get(host) or {"host": host, "status": "not_run", "batch": None, "exit": None,
                                  "meaning": not_run, "controllers": [], "reports": [], "logs": []}
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
    line = "%%-%ds %%5s  %%-11s %%4s  %%7s  %%s" % max([20] + [len(r["host"]) for r in rows])
    text = [title, line % tuple(header[:6])]
    for r in rows:
        c = cells(r)
        text.append(line % (c[0], c[1], c[2], c[3], c[4], c[5]))
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


def previous_record(run_dir, host):
    """The server's record in run_dir; {} when it has none."""
    try:
        with open(os.path.join(run_dir, "%s.record.json" % host)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


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
    if rollout.get("max_fail_percentage") is not None:
        rollout["max_fail_percentage"] = int(str(rollout["max_fail_percentage"]))
    reports_dir = os.path.abspath(reports_dir)
    if mode == "fetch" and not run_dir:
        runs = sorted(glob.glob(os.path.join(glob.escape(reports_dir), "*-upgrade.*", "run.json")))
        raise ValueError("--tags fetch brings records back into the run they belong to: name it with "
                         "-e qb40tool_upgrade_run_dir=DIR (%s)" % (
                             "the latest rollout is %s" % os.path.dirname(runs[-1]) if runs
                             else "no rollout in %s" % reports_dir))
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


def summary_line(run_dir, mode=None, hosts=None):
    """What a play did to the run, and its directory."""
    if mode == "summary":
        return "summary of run %s rebuilt from its records: %s" % (os.path.basename(run_dir), run_dir)
    if mode == "fetch":
        return "records of %s brought back into run %s: %s" % (", ".join(hosts or []) or "no server",
                                                                os.path.basename(run_dir), run_dir)
    return "run directory: %s" % run_dir


def run_description(run_dir):
    """The run's run.json."""
    with open(os.path.join(run_dir, "run.json")) as f:
        return json.load(f)


def run_records(run_dir, leave_out=()):
    """The records of the servers in run_dir, but for those of leave_out."""
    found = []
    for path in sorted(glob.glob(os.path.join(glob.escape(run_dir), "*.record.json"))):
        if os.path.basename(path)[:-len(".record.json")] not in leave_out:
            with open(path) as f:
                found.append(json.load(f))
    return found


def summary_files(run_dir):
    """The summary of the run in run_dir from run.json (the servers, in
    order) and the records: written as summary.json, summary.txt and
    summary.md, and returned."""
    run = run_description(run_dir)
    result = summary(run_records(run_dir), run.get("order") or [], run)
    write_file(os.path.join(run_dir, "summary.json"), json.dumps(result["json"], indent=1) + "\n")
    write_file(os.path.join(run_dir, "summary.txt"), result["text"])
    write_file(os.path.join(run_dir, "summary.md"), result["markdown"])
    return result
