# SPDX-License-Identifier: MIT
"""The filters of qb40tool.fleet: what the upgrade role makes of qb40tool's
runs (plugins/plugin_utils/fleet.py has them all, and says what each does)."""

from ansible_collections.qb40tool.fleet.plugins.plugin_utils import fleet


class FilterModule:
    """qb40tool.fleet filters."""

    def filters(self):
        return {name: getattr(fleet, name) for name in (
            "image_family", "images", "batches_problems", "canary_problems", "number_problems", "runs", "judge",
            "ok", "upgrades", "record", "stopped_by", "failure")}
