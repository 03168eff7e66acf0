#!/usr/bin/python
# SPDX-License-Identifier: MIT
"""Documentation of qb40tool.fleet.controllers; the work is its action
plugin's, on the control node."""

DOCUMENTATION = r"""
---
module: controllers
short_description: A server's backplane controllers before and after, as changed and as a diff
description:
  - Reports changed when any controller's version after differs from before, lists those controllers, and
    with C(--diff) shows every controller's version before and after.
  - Runs on the control node only; nothing is sent to the server.
version_added: 1.0.0
author: qb40tool developers
options:
  controllers:
    description: The controllers, each with bmc, bus, address, model, before and after (versions as text).
    type: list
    elements: dict
    required: true
  after_header:
    description: The title of the after side of the diff.
    type: str
    default: controllers after
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
"""

EXAMPLES = r"""
- name: Controllers before and after
  qb40tool.fleet.controllers:
    controllers:
      - {bmc: 0, bus: "0x01", address: "0xC0", model: QB4077, before: 1.0.0, after: 1.2.0}
    after_header: after the upgrade
"""

RETURN = r"""
msg:
  description: The controllers whose version changes, one line each, or "no controller changes".
  returned: always
  type: raw
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec={"controllers": {"type": "list", "elements": "dict", "required": True},
                       "after_header": {"type": "str", "default": "controllers after"}},
        supports_check_mode=True)
    module.fail_json(msg="qb40tool.fleet.controllers is an action of the control node; it cannot run on a server")


if __name__ == "__main__":
    main()
