# SPDX-License-Identifier: MIT
"""The action behind qb40tool.fleet.rollout: the rollout's canary, batches
and budget checked, then the run's directory and its description on the
control node, returned as the fact qb40tool_upgrade_rollout; nothing
reaches a server."""

from ansible.plugins.action import ActionBase

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet


class ActionModule(ActionBase):
    """Checks the rollout, makes (or finds) the run's directory and writes its run.json."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("reports_dir", "run_dir", "mode", "servers", "canary", "canary_servers",
                             "inventory_servers", "batches", "max_fail_percentage"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        try:
            problems, plan = fleet.rollout(args.get("servers") or [], args.get("canary"),
                                           args.get("canary_servers") or [], args.get("inventory_servers") or [],
                                           args.get("batches"), args.get("max_fail_percentage"))
            if problems:
                result.update(failed=True, msg="; ".join(problems))
                return result
            rollout = fleet.start_run(args["reports_dir"], args["mode"], plan, args.get("run_dir"))
        except (KeyError, ValueError, OSError) as e:
            result.update(failed=True, msg="qb40tool.fleet.rollout: %s" % e)
            return result
        result.update(changed=False, run_dir=rollout["run_dir"], ansible_facts={"qb40tool_upgrade_rollout": rollout})
        return result
