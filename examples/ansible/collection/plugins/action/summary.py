# SPDX-License-Identifier: MIT
"""The action behind qb40tool.fleet.summary: the summary of a run, from the
records in its directory on the control node; nothing reaches a server."""

from ansible.plugins.action import ActionBase

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet


class ActionModule(ActionBase):
    """Writes summary.json, summary.txt and summary.md into the run's directory."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("run_dir",))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        run_dir = self._task.args["run_dir"]
        summary = fleet.summary_files(run_dir)
        result.update(changed=False, counts=summary["json"]["counts"],
                      msg=summary["text"].splitlines() + ["%s/summary.json" % run_dir])
        return result
