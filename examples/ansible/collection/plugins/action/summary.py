# SPDX-License-Identifier: MIT
"""The action behind qb40tool.fleet.summary: the summary of a run, from the
records in its directory on the control node, and the failure of a server
whose record says it did not end as it should; nothing reaches a server.
The summary is shown whatever the verbosity, with the run's directory: the
last thing a play says is where its records are."""

from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet


class ActionModule(ActionBase):
    """Writes summary.json, summary.txt and summary.md into the run's directory."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("run_dir", "mode", "hosts", "write", "record"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        run_dir = args["run_dir"]
        result["changed"] = False
        if boolean(args.get("write", True), strict=False):
            try:
                summary = fleet.summary_files(run_dir)
            except (OSError, ValueError) as e:
                result.update(failed=True, msg="qb40tool.fleet.summary: %s" % e)
                return result
            result.update(_ansible_verbose_always=True, msg=summary["text"].splitlines() + [
                fleet.summary_line(run_dir, args.get("mode"), args.get("hosts"))])
        record = args.get("record")
        if isinstance(record, dict) and record.get("status") in fleet.FAILURES:
            result.update(failed=True, msg=fleet.failure(record, run_dir), summary=result.get("msg"))
        return result
