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
  - Shows the summary and the run's directory whatever the verbosity.
  - With I(record), fails a server that did not end as it should; in a batch, every server runs it and the first
    writes the summary, once every server of the batch has its record.
  - Runs on the control node only; nothing is sent to a server.
version_added: 1.0.0
author: qb40tool developers
options:
  run_dir:
    description: The run's directory on the control node.
    type: path
    required: true
  mode:
    description:
      - What the play did, for the line that names the run's directory; C(summary) (rebuilt from the records) and
        C(fetch) (records brought back into it) say so.
    type: str
    version_added: 2.0.0
  hosts:
    description: The servers whose records C(fetch) brought back.
    type: list
    elements: str
    version_added: 2.0.0
  write:
    description: Whether to write and show the summary; C(false) only judges I(record).
    type: bool
    default: true
    version_added: 2.0.0
  record:
    description:
      - A server's record (M(qb40tool.fleet.server)'s); the task fails when its status is C(failed), C(refused),
        C(unreachable) or C(not_run), naming why, the controllers not on the image and its log.
    type: dict
    version_added: 2.0.0
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
msg:
  description: The summary as text, one line each, then what the play did to the run and its directory.
  returned: always
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec={"run_dir": {"type": "path", "required": True}, "mode": {"type": "str"},
                                          "hosts": {"type": "list", "elements": "str"},
                                          "write": {"type": "bool", "default": True}, "record": {"type": "dict"}},
                           supports_check_mode=True)
    module.fail_json(msg="qb40tool.fleet.summary is an action of the control node; it cannot run on a server")


if __name__ == "__main__":
    main()
