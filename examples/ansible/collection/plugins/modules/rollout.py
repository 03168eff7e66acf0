#!/usr/bin/python
# SPDX-License-Identifier: MIT
"""Documentation of qb40tool.fleet.rollout; the work is its action plugin's,
on the control node."""

DOCUMENTATION = r"""
---
module: rollout
short_description: The rollout checked, and the run's directory and description, for its plays
description:
  - Checks the batches, the failure budget and the canary (it names a server, not every one, and no more than the
    first of the batches holds) and fails, naming each problem, before any server is touched.
  - Then makes a new directory for the run's reports in I(reports_dir), named for the run's start (UTC) and mode and
    unique, and writes its C(run.json) (the servers in order, the canary first, the batches, the failure budget);
    or, given I(run_dir), takes that run (a summary or a fetch of it); or, for a summary alone, the latest run. A
    fetch without I(run_dir) is refused.
  - Returns the fact C(qb40tool_upgrade_rollout) with all of it and the run's directory.
  - Runs on the control node only; nothing is sent to a server.
version_added: 1.0.0
author: qb40tool developers
options:
  reports_dir:
    description: Where every run's directory goes.
    type: path
    required: true
  run_dir:
    description: An earlier run's directory, to summarise or fetch into.
    type: path
  mode:
    description: C(plan), C(upgrade), C(fetch) or C(summary).
    type: str
    required: true
  servers:
    description: The run's servers, in the inventory's order.
    type: list
    elements: str
    version_added: 2.0.0
  canary:
    description: The canary as given (qb40tool_upgrade_canary), for the messages.
    type: raw
  canary_servers:
    description: The servers the canary names in the inventory; none for no canary.
    type: list
    elements: str
    version_added: 2.0.0
  inventory_servers:
    description: The servers the playbook's pattern names in the inventory, whatever --limit leaves.
    type: list
    elements: str
    version_added: 2.0.0
  batches:
    description: The batches after the canary (qb40tool_upgrade_batches).
    type: raw
    version_added: 2.0.0
  max_fail_percentage:
    description: The percentage of a batch that may fail before the rollout stops.
    type: int
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
"""

EXAMPLES = r"""
- name: The rollout checked, and the run's directory
  qb40tool.fleet.rollout:
    reports_dir: /srv/qb40tool-reports
    mode: upgrade
    servers: [node01, node02, node03]
    canary: canary
    canary_servers: [node02]
    inventory_servers: [node01, node02, node03]
    batches: [1, 5, "25%"]
    max_fail_percentage: 0
  run_once: true
  delegate_to: localhost
  delegate_facts: true
"""

RETURN = r"""
run_dir:
  description: The run's directory.
  returned: success
  type: str
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec={"reports_dir": {"type": "path", "required": True}, "run_dir": {"type": "path"},
                       "mode": {"type": "str", "required": True}, "servers": {"type": "list", "elements": "str"},
                       "canary": {"type": "raw"}, "canary_servers": {"type": "list", "elements": "str"},
                       "inventory_servers": {"type": "list", "elements": "str"}, "batches": {"type": "raw"},
                       "max_fail_percentage": {"type": "int"}},
        supports_check_mode=True)
    module.fail_json(msg="qb40tool.fleet.rollout is an action of the control node; it cannot run on a server")


if __name__ == "__main__":
    main()
