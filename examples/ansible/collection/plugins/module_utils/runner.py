# SPDX-License-Identifier: MIT
"""qb40tool's runs where the tool runs, for the module qb40tool.fleet.run:
a plan in a temporary directory, the upgrades started as one job that
outlives the call and a lost connection, a look at that job that answers
as soon as it ends, and what a working directory holds of the last job.

Every run is `flock LOCK timeout ... qb40tool ...`: one run at a time on the
server (out of band: on the BMC, from the control node, with --lan), its lock inherited by timeout and the tool so that it is free only
once both are gone; timeout sends SIGTERM at the bound and SIGKILL
stop_grace seconds later, to a process group of its own that nothing else
here belongs to.

A job is a file, WORKDIR/qb40tool-job.ID.json, which the job's driver (a
detached Python process, DRIVER) rewrites whole as each run begins and
ends: the runs (label, report, command line, when each began and ended, its
exit status, output and log), its pid, and done once it stopped. The driver
goes on to the next run only after one that upgraded or had nothing to do.
"""

import base64
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

PLAN_OPTIONS = ["--plan", "--read-only"]
UPGRADE_OPTIONS = ["--strict"]
PLAN_REPORT = "qb40tool-report.json"
JOB_PREFIX = "qb40tool-job."
# What a step keeps of a run's output: the end, where the reason is.
OUTPUT_KEPT = 4000

DRIVER = r'''
import json, os, subprocess, sys, time
path = sys.argv[1]
with open(path) as f:
    job = json.load(f)
def save():
    with open(path + ".new", "w") as f:
        json.dump(job, f)
    os.replace(path + ".new", path)
def report(name):
    try:
        with open(name) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None
job["pid"] = os.getpid()
save()
for run in job["runs"]:
    try:
        os.unlink(run["report"])
    except OSError:
        pass
    run["began"] = time.time()
    save()
    try:
        done = subprocess.run(run["argv"], stdin=subprocess.DEVNULL, capture_output=True)
        run.update(rc=done.returncode, stdout=done.stdout.decode("utf-8", "replace")[-%(kept)d:],
                   stderr=done.stderr.decode("utf-8", "replace")[-%(kept)d:])
    except OSError as e:
        run.update(error="%%s: %%s" %% (run["argv"][0], e))
    run["ended"] = time.time()
    r = report(run["report"])
    # A run without a report never started, and log.txt is then another's.
    if r is not None:
        try:
            with open("log.txt", errors="replace") as f:
                run["log"] = f.read()
        except OSError:
            pass
    save()
    if not (run.get("rc") == 0 and isinstance(r, dict) and r.get("complete") and r.get("exit_code") == 0
            and not r.get("plan") and not r.get("signal")):
        break
job["done"] = True
save()
''' % {"kept": OUTPUT_KEPT}


def argv(settings, kind, image_name, report_name, sha256=None, expect=None, args=()):
    """The command line of one run: kind "plan" or "upgrade", of the image
    file image_name in the run's directory, writing report_name there."""
    lock_wait = int(settings.get("lock_wait") or 0)
    command = ["flock", "--conflict-exit-code", "75"]
    command += ["--wait", str(lock_wait)] if lock_wait > 0 else ["--nonblock"]
    command += [settings["lock_file"], "timeout", "--signal=TERM", "--kill-after=%d" % int(settings["stop_grace"]),
                str(int(settings["timeout"])), settings["tool"]]
    command += PLAN_OPTIONS if kind == "plan" else UPGRADE_OPTIONS
    # Out of band: the BMC over the network; its password comes from the
    # environment (IPMI_PASSWORD), never the command line.
    if settings.get("bmc"):
        command += ["--lan", str(settings["bmc"])]
        if settings.get("bmc_user"):
            command += ["--lan-user", str(settings["bmc_user"])]
    command += ["--report", report_name, "-q"]
    if expect not in (None, "", "None"):
        command += ["--expect", str(expect)]
    if sha256:
        command += ["--image-sha256", sha256]
    command += [str(a) for a in settings.get("extra_args") or []] + [str(a) for a in args or []]
    return command + ["-f", image_name]


def _text(data):
    return data.decode("utf-8", "replace") if isinstance(data, bytes) else data


def _write_image(directory, name, content):
    """The image whole under its name, or not at all."""
    path = os.path.join(directory, name)
    with open(path + ".new", "wb") as f:
        f.write(base64.b64decode(content))
    os.chmod(path + ".new", 0o640)
    os.replace(path + ".new", path)


def lock_directory(settings):
    """The lock file's directory, made when missing: out of band each BMC's
    lock is in a directory of its own on the control node."""
    os.makedirs(os.path.dirname(os.path.abspath(settings["lock_file"])), mode=0o750, exist_ok=True)


def plan(settings, step, content):
    """One plan in a temporary directory that is gone afterwards whatever
    happened (nothing but the lock file outlives it: its log never rotates
    the working directory's). step: label, family, image (its file name),
    sha256, expect, args. Returns the step with rc, report, stderr and log
    (the tool's log, for a plan that did not end with 0 or 4), or error."""
    result = dict(step, kind="plan", rc=None, stdout="", stderr="", report=None, log=None, error=None)
    directory = None
    try:
        lock_directory(settings)
        directory = tempfile.mkdtemp(prefix="qb40tool-plan.")
        _write_image(directory, step["image"], content)
        done = subprocess.run(argv(settings, "plan", step["image"], PLAN_REPORT, step.get("sha256"),
                                   step.get("expect"), step.get("args")),
                              cwd=directory, stdin=subprocess.DEVNULL, capture_output=True)
        result["rc"] = done.returncode
        result["stderr"] = _text(done.stderr)[-OUTPUT_KEPT:]
        try:
            with open(os.path.join(directory, PLAN_REPORT), errors="replace") as f:
                result["report"] = f.read() or None
        except OSError:
            pass
        if done.returncode not in (0, 4):
            try:
                with open(os.path.join(directory, "log.txt"), errors="replace") as f:
                    result["stderr"] += f.read()
            except OSError:
                pass
            result["log"] = result["stderr"] or None
    except (OSError, ValueError) as e:
        result["error"] = "the plan never ran: %s" % e
    finally:
        if directory:
            shutil.rmtree(directory, ignore_errors=True)
    return result


def _alive(job):
    """Whether the job's driver still runs: its pid runs this job's file."""
    pid = job.get("pid")
    try:
        with open("/proc/%d/cmdline" % int(pid), "rb") as f:
            return job.get("path", "").encode() in f.read()
    except (OSError, TypeError, ValueError):
        return False


def _read_job(path):
    try:
        with open(path) as f:
            job = json.load(f)
    except (OSError, ValueError):
        return None
    return dict(job, path=path) if isinstance(job, dict) else None


def start(settings, runs, contents):
    """The upgrades runs (each with label, family, image, sha256, expect,
    args) as one job in the working directory, their images written there
    first. The jobs of earlier calls are removed, but for one whose driver
    still runs.
    Returns the job's file."""
    workdir = settings["workdir"]
    os.makedirs(workdir, mode=0o750, exist_ok=True)
    os.chmod(workdir, 0o750)
    lock_directory(settings)
    for path in glob.glob(os.path.join(glob.escape(workdir), JOB_PREFIX + "*.json")):
        old = _read_job(path)
        if old is None or old.get("done") or not _alive(old):
            os.unlink(path)
    written = set()
    for run in runs:
        if run["image"] not in written:
            _write_image(workdir, run["image"], contents[run["family"]])
            written.add(run["image"])
    fd, path = tempfile.mkstemp(prefix=JOB_PREFIX, suffix=".json", dir=workdir)
    job = {"started": time.time(), "runs": [
        {"label": r["label"], "family": r["family"], "report": "qb40tool-report.%s.json" % r["label"],
         "argv": argv(settings, "upgrade", r["image"], "qb40tool-report.%s.json" % r["label"], r.get("sha256"),
                      r.get("expect"), r.get("args"))} for r in runs], "done": False}
    with os.fdopen(fd, "w") as f:
        json.dump(job, f)
    # Its own session: no signal meant for this call, or for a run's
    # process group, reaches it; and no descriptor of the call's, so that
    # the call ends while the job goes on.
    subprocess.Popen([sys.executable, "-c", DRIVER, path], cwd=workdir, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, close_fds=True, start_new_session=True)
    return path


def _with_reports(job):
    """The job with the text of each ended run's report."""
    workdir = os.path.dirname(job["path"])
    for run in job.get("runs") or []:
        if run.get("ended") and "report_text" not in run:
            try:
                with open(os.path.join(workdir, run["report"]), errors="replace") as f:
                    run["report_text"] = f.read() or None
            except OSError:
                run["report_text"] = None
    return job


def look(path, wait, interval=0.1):
    """The job, once it is done or wait seconds have passed, whichever
    comes first: the look ends as soon as the job does. None when the job's
    file is gone."""
    end = time.monotonic() + float(wait)
    while True:
        job = _read_job(path)
        if job is None or job.get("done") or time.monotonic() >= end:
            return _with_reports(job) if job else None
        time.sleep(interval)


def collect(workdir):
    """What the working directory holds of the last upgrade: its latest
    job (None when there is none) with its reports, every report found
    there with its time, and log.txt and logprev.txt."""
    jobs = [j for j in (_read_job(p) for p in glob.glob(os.path.join(glob.escape(workdir), JOB_PREFIX + "*.json")))
            if j is not None]
    job = max(jobs, key=lambda j: j.get("started") or 0) if jobs else None
    if job is not None:
        job = _with_reports(job)
        for run in job.get("runs") or []:
            # A run that began and did not end, as its driver's machine
            # stopped: its report as it stands.
            if run.get("began") and not run.get("ended"):
                try:
                    with open(os.path.join(workdir, run["report"]), errors="replace") as f:
                        run["report_text"] = f.read() or None
                except OSError:
                    run["report_text"] = None
    reports = []
    for path in glob.glob(os.path.join(glob.escape(workdir), "qb40tool-report.*.json")):
        try:
            with open(path, errors="replace") as f:
                reports.append({"name": os.path.basename(path), "mtime": os.path.getmtime(path), "text": f.read()})
        except OSError:
            pass
    logs = {}
    for name in ("log", "logprev"):
        try:
            with open(os.path.join(workdir, name + ".txt"), errors="replace") as f:
                logs[name] = f.read()
        except OSError:
            logs[name] = None
    return {"job": job, "reports": sorted(reports, key=lambda r: r["mtime"]), "logs": logs}
