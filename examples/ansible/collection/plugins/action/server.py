# SPDX-License-Identifier: MIT
"""The action behind qb40tool.fleet.server: one server's part of a plan, a
batch of the rollout, or a fetch, in one task, so that every server of a
batch goes at once (within forks) whatever its settings.

It talks to the server through the task's connection (the task's own host,
or the host it is delegated to: where the tool runs is the role's one
decision), with the module qb40tool.fleet.run: one call that plans and
starts the upgrade and looks at it until its poll, then, while the job
runs, looks that each end as soon as it does; the job's reports and logs
come back with the look that sees it end. The record, the reports and logs
go into the run's directory on the control node."""

import base64
import os
import time

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet

SETTINGS = ("tool", "workdir", "lock_file", "lock_wait", "timeout", "stop_grace", "extra_args", "expect", "bmc",
            "bmc_user")


class Unreachable(Exception):
    """The server could not be reached; before is whether nothing was sent yet."""

    def __init__(self, message, before):
        super().__init__(message)
        self.before = before


class ActionModule(ActionBase):
    """Plans, upgrades or fetches one server and writes its record."""

    # Its calls make their own temporary directories: none before them,
    # whose failure would make the server Ansible's unreachable, not ours.
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("mode", "run_dir", "image", "image_sha256", "images", "settings", "poll",
                             "bmc_password"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        self._vars = task_vars
        args = self._task.args
        try:
            mode, run_dir = args["mode"], args["run_dir"]
            host = task_vars["inventory_hostname"]
            settings = {k: (args.get("settings") or {}).get(k) for k in SETTINGS}
            # None, however templating spelled it: no --expect.
            settings["expect"] = None if str(settings["expect"]) in ("", "None") else int(settings["expect"])
            for name in ("bmc", "bmc_user"):
                settings[name] = None if str(settings[name]) in ("", "None") else str(settings[name])
            # Out of band the tool runs here, and relative paths are taken
            # from where ansible-playbook runs, as the reports' are.
            if settings["bmc"]:
                settings.update(workdir=os.path.abspath(settings["workdir"]),
                                lock_file=os.path.abspath(settings["lock_file"]))
            # For the calls that start the tool, and for nothing else.
            self._password = args.get("bmc_password") if settings["bmc"] else None
        except KeyError as e:
            result.update(failed=True, msg="qb40tool.fleet.server: %s is required" % e)
            return result
        self._facts = {}
        # The batch's number, and what stops the rollout before it, from the
        # records of the servers before this batch; a fetch keeps the
        # server's batch, a plan has none.
        batch, stopped_by = 0, {}
        if mode == "upgrade":
            gate = fleet.gate(fleet.run_records(run_dir, task_vars.get("ansible_play_batch") or [host]),
                              fleet.run_description(run_dir).get("max_fail_percentage") or 0)
            batch, stopped_by = gate["batch"], gate["stopped_by"]
        elif mode == "fetch":
            batch = fleet.previous_record(run_dir, host).get("batch")
        if stopped_by.get("host"):
            record = fleet.keep(run_dir, host, batch, mode, stopped_by=stopped_by)
        else:
            if mode != "fetch":
                # A server that vanishes from here on is no "not_run" in the summary.
                fleet.keep(run_dir, host, batch)
            try:
                if mode == "fetch":
                    steps, decision = self._fetch(host, settings)
                else:
                    found = fleet.images(args.get("image"), args.get("image_sha256"), args.get("images"))
                    if found["problems"]:
                        raise ValueError("; ".join(found["problems"]))
                    steps, decision = self._runs(host, mode, settings, found["images"], int(args.get("poll") or 10))
            except Exception as e:  # pylint: disable=broad-except
                # Whatever went wrong here, the server keeps its record.
                steps, decision = [{"kind": "role", "error": "qb40tool.fleet.server: %s" % e}], {}
            finally:
                self._forget_tmp()
            record = fleet.keep(run_dir, host, batch, "upgrade" if mode == "fetch" else mode, steps, decision)
        controllers = record.get("controllers") or []
        changed = [c for c in controllers if c.get("before") != c.get("after")]
        result.update(changed=bool(changed), record=record, run_dir=run_dir,
                      msg=["BMC %s bus %s address %s %s: %s -> %s" % (
                          c.get("bmc"), c.get("bus"), c.get("address"), c.get("model"), c.get("before"), c.get("after"))
                          for c in changed] or "%s: %s" % (record["status"], record.get("meaning")))
        if controllers:
            result["diff"] = {"before": fleet.controller_lines(controllers, "before"),
                              "after": fleet.controller_lines(controllers, "after"),
                              "before_header": "controllers before",
                              "after_header": "after the upgrade (plan)" if mode == "plan" else "after the upgrade"}
        if self._facts:
            result["ansible_facts"] = self._facts
        return result

    # Talking to the server --------------------------------------------------

    def _forget_tmp(self):
        try:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        except AnsibleConnectionFailure:
            pass
        # Each call begins as a task does, with a temporary directory of its own.
        self._connection._shell.tmpdir = None

    def _call(self, module_args):
        """One call of qb40tool.fleet.run; Unreachable when the server
        cannot be reached, before anything was sent or during the call."""
        self._forget_tmp()
        # Without pipelining the call's first command makes its temporary
        # directory: a server that refuses it was sent nothing.
        if not self._is_pipelining_enabled("new"):
            try:
                self._make_tmp_path()
            except AnsibleConnectionFailure as e:
                raise Unreachable(str(e), True) from e
        try:
            answer = self._execute_module("qb40tool.fleet.run", module_args, task_vars=self._vars)
        except AnsibleConnectionFailure as e:
            raise Unreachable(str(e), False) from e
        self._facts.update(answer.get("ansible_facts") or {})
        if answer.get("failed"):
            raise RuntimeError("qb40tool.fleet.run %s: %s %s" % (module_args["action"], answer.get("msg"),
                                                                  answer.get("module_stderr") or ""))
        return answer

    # The plan and the upgrade -------------------------------------------------

    def _runs(self, host, mode, settings, images, poll):
        first = sorted(images)[0]
        payload = {}
        for family, entry in images.items():
            with open(entry["image"], "rb") as f:
                payload[family] = {"image": os.path.basename(entry["image"]), "sha256": entry.get("sha256"),
                                   "content": base64.b64encode(f.read()).decode("ascii")}
        action = "start" if mode == "upgrade" else "plan"
        began = time.monotonic()
        try:
            call = {"action": action, "settings": settings, "images": payload, "first": first, "wait": poll}
            if self._password is not None:
                call["bmc_password"] = self._password
            answer = self._call(call)
        except Unreachable as e:
            # Unreached before anything was sent: not planned. During the
            # call: an upgrade may have begun.
            kind = "plan" if e.before or mode == "plan" else "upgrade"
            return [{"kind": kind, "label": "discovery" if kind == "plan" else first, "family": first,
                     "unreachable": True, "stderr": str(e)}], {"reuse": True}
        decision = answer["decision"]
        steps = [fleet.named_plan(host, s, decision) for s in answer["steps"]]
        if answer.get("start_error"):
            steps.append({"kind": "upgrade", "label": first, "family": first, "error": answer["start_error"]})
        job = answer.get("job")
        if job is None:
            return steps, decision
        # The clock of the control node: the server's may be another.
        deadline = began + fleet.bound(settings)
        unreachable = None
        while not job.get("done"):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                looked = self._call({"action": "look", "settings": settings, "job": job["path"],
                                     "wait": min(poll, left)})["job"]
            except Unreachable as e:
                unreachable = str(e)
                break
            if looked is None:
                break  # the job's file is gone: its end will never be seen
            job = looked
        return steps + fleet.job_steps(host, job, unreachable), decision

    # --tags fetch -------------------------------------------------------------

    def _fetch(self, host, settings):
        try:
            found = self._call({"action": "collect", "settings": settings})
        except Unreachable as e:
            return [{"kind": "upgrade", "label": "fetch", "unreachable": True, "stderr": str(e)}], {"reuse": True}
        return fleet.fetched_steps(host, found), {"reuse": True}
