#!/usr/bin/python
# SPDX-License-Identifier: MIT
"""Documentation of qb40tool.fleet.record; the work is its action plugin's,
on the control node."""

DOCUMENTATION = r"""
---
module: record
short_description: Write a server's record into the run's directory
description:
  - Judges the server's runs and writes its record, C(RUN_DIR/HOST.record.json), on the control node, whole or not
    at all, with the reports and logs of its plans; the summary is made of these records.
  - Runs on the control node only; nothing is sent to the server.
version_added: 1.0.0
author: qb40tool developers
options:
  run_dir:
    description: The run's directory on the control node.
    type: path
    required: true
  host:
    description: The server.
    type: str
    required: true
  batch:
    description: The server's batch (0 or none in a plan).
    type: int
  mode:
    description:
      - C(plan) or C(upgrade) (or C(fetch)); without it the record is the note of a run that has begun (C(running)).
    type: str
  steps:
    description: The server's runs of the tool, as the role noted them; the reports and logs of its plans are written.
    type: list
    elements: dict
  decision:
    description: The runs its first plan called for (qb40tool.fleet.runs).
    type: dict
  stopped_by:
    description: The server that stopped the rollout before this one's batch; the record is then C(not_run).
    type: dict
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
"""

EXAMPLES = r"""
- name: Keep the record with the reports
  qb40tool.fleet.record:
    run_dir: /srv/qb40tool-reports/20260301T120000Z-upgrade.abcd1234
    host: node01
    batch: 1
"""

RETURN = r"""
record:
  description: The record (host, status, batch, exit, meaning, stop, failing, controllers, reports, logs).
  returned: always
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec={"run_dir": {"type": "path", "required": True},
                                          "host": {"type": "str", "required": True},
                                          "batch": {"type": "int"}, "mode": {"type": "str"},
                                          "steps": {"type": "list", "elements": "dict"},
                                          "decision": {"type": "dict"}, "stopped_by": {"type": "dict"}},
                           supports_check_mode=True)
    module.fail_json(msg="qb40tool.fleet.record is an action of the control node; it cannot run on a server")


if __name__ == "__main__":
    main()
