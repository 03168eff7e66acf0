# SPDX-License-Identifier: MIT
"""The action behind qb40tool.fleet.controllers: a server's controllers
before and after, as Ansible's changed state and, with --diff, as a diff.
Runs on the control node; it sends nothing to the server."""

from ansible.plugins.action import ActionBase


def _lines(controllers, side):
    return "".join("BMC %s bus %s address %s %s: %s\n" % (c.get("bmc"), c.get("bus"), c.get("address"),
                                                          c.get("model"), c.get(side))
                   for c in controllers)


class ActionModule(ActionBase):
    """Reports changed when a controller's version differs before and after."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("controllers", "after_header"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        controllers = self._task.args.get("controllers") or []
        if not isinstance(controllers, list) or not all(isinstance(c, dict) for c in controllers):
            result.update(failed=True, msg="controllers must be a list of mappings (before, after, ...)")
            return result
        changed = [c for c in controllers if c.get("before") != c.get("after")]
        result["changed"] = bool(changed)
        result["msg"] = ["BMC %s bus %s address %s %s: %s -> %s" % (
            c.get("bmc"), c.get("bus"), c.get("address"), c.get("model"), c.get("before"), c.get("after"))
            for c in changed] or "no controller changes"
        result["diff"] = {
            "before": _lines(controllers, "before"),
            "after": _lines(controllers, "after"),
            "before_header": "controllers before",
            "after_header": self._task.args.get("after_header") or "controllers after",
        }
        return result
