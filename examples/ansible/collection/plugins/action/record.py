# SPDX-License-Identifier: MIT
"""The action behind qb40tool.fleet.record: a server's record (and the
reports and logs of its plans) written into the run's directory on the
control node; nothing reaches the server."""

from ansible.plugins.action import ActionBase

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet


class ActionModule(ActionBase):
    """Writes RUN_DIR/HOST.record.json and returns the record."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("run_dir", "host", "batch", "mode", "steps", "decision", "stopped_by"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        try:
            record = fleet.keep(args["run_dir"], args["host"], args.get("batch"), args.get("mode"),
                                args.get("steps"), args.get("decision"), args.get("stopped_by"))
        except (KeyError, TypeError, ValueError, OSError) as e:
            result.update(failed=True, msg="qb40tool.fleet.record: %s" % e)
            return result
        result.update(changed=False, record=record)
        return result
