#!/usr/bin/python
# SPDX-License-Identifier: MIT
"""Documentation of qb40tool.fleet.summary; the work is its action plugin's,
on the control node."""

DOCUMENTATION = r"""
---
module: summary
short_description: Write the summary of a run from the records in its directory
description:
  - Reads C(run.json) (the run's servers, in order) and every C(HOST.record.json) of the run's directory on the
    control node, and writes C(summary.json) (one record per server; one without a record is C(not_run)),
    C(summary.txt) and C(summary.md).
  - Runs on the control node only; nothing is sent to a server.
version_added: 1.0.0
author: qb40tool developers
options:
  run_dir:
    description: The run's directory on the control node.
    type: path
    required: true
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
"""

EXAMPLES = r"""
- name: Summary of the run so far
  qb40tool.fleet.summary:
    run_dir: /srv/qb40tool-reports/20260301T120000Z-upgrade.abcd1234
  run_once: true
"""

RETURN = r"""
counts:
  description: How many servers have each status.
  returned: always
  type: dict
msg:
  description: The summary as text, one line each, and the path of summary.json.
  returned: always
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec={"run_dir": {"type": "path", "required": True}}, supports_check_mode=True)
    module.fail_json(msg="qb40tool.fleet.summary is an action of the control node; it cannot run on a server")


if __name__ == "__main__":
    main()
