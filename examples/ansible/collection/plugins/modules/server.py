#!/usr/bin/python
# SPDX-License-Identifier: MIT
"""Documentation of qb40tool.fleet.server; the work is its action plugin's,
which runs on the control node and calls qb40tool.fleet.run where the tool
runs."""

DOCUMENTATION = r"""
---
module: server
short_description: One server's plan, upgrade or fetch, and its record
description:
  - The role qb40tool.fleet.upgrade's one task per server, in a plan, in each batch of a rollout, and in
    C(--tags fetch). One task, whatever the server's images, digests, expected controllers and extra arguments, so
    that every server of a batch goes at once (within C(forks)).
  - C(plan) plans the server (M(qb40tool.fleet.run) C(plan)). C(upgrade) plans it and starts the upgrades the plans
    say would upgrade in the same call, then looks at the job until it ends, each look ending as soon as the job
    does; the reports and logs come back with the look that sees it end. C(fetch) brings back what the server's
    working directory holds of its last upgrade.
  - Writes the server's record and its runs' reports and logs into I(run_dir) on the control node, and returns the
    record; changed when a controller's version changed (in a plan, would change); C(--diff) shows every
    controller before and after.
  - A server that cannot be reached is recorded as such, not failed here; the role fails it afterwards.
version_added: 2.0.0
author: qb40tool developers
options:
  mode:
    description: C(plan), C(upgrade) or C(fetch).
    type: str
    required: true
  run_dir:
    description: The run's directory on the control node.
    type: path
    required: true
  batch:
    description: The server's batch (0 in a plan).
    type: int
  stopped_by:
    description: What stopped the rollout before this batch (C(host), C(status)); the server is then C(not_run).
    type: dict
  images:
    description: Family key to C(image) (a path on the control node) and C(sha256).
    type: dict
  settings:
    description:
      - C(tool), C(workdir), C(lock_file), C(lock_wait), C(timeout), C(stop_grace), C(extra_args) and C(expect);
        out of band also C(bmc) (HOST[:PORT], the tool's C(--lan)) and C(bmc_user).
    type: dict
  bmc_password:
    description:
      - Out of band, the BMC user's password, given to the tool as C(IPMI_PASSWORD) in its environment; never on a
        command line, in a result or in a record.
    type: str
    version_added: 2.0.0
  poll:
    description: The longest one look at a running upgrade waits for it to end; it answers as soon as it does.
    type: int
    default: 10
attributes:
  check_mode:
    support: full
    details: In check mode, C(plan) only.
  diff_mode:
    support: full
"""

EXAMPLES = r"""
- name: The server's runs and record
  qb40tool.fleet.server:
    mode: upgrade
    run_dir: /srv/qb40tool-reports/20260301T120000Z-upgrade.abcd1234
    batch: 2
    stopped_by: {}
    images: {"4077": {image: /srv/images/fw_4077.bin, sha256: "{{ digest }}"}}
    settings: {tool: /usr/sbin/qb40tool, workdir: /var/lib/qb40tool, lock_file: /run/lock/qb40tool.lock,
               lock_wait: 0, timeout: 3600, stop_grace: 120, extra_args: [], expect: 2}
  register: qb40tool_upgrade_recorded
"""

RETURN = r"""
record:
  description: The server's record, as in summary.json.
  returned: always
  type: dict
run_dir:
  description: The run's directory.
  returned: always
  type: str
msg:
  description: The controllers that changed (would change), or the server's status and meaning.
  returned: always
  type: raw
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec={"mode": {"type": "str", "required": True}, "run_dir": {"type": "path", "required": True},
                       "batch": {"type": "int"}, "stopped_by": {"type": "dict"}, "images": {"type": "dict"},
                       "settings": {"type": "dict"}, "poll": {"type": "int", "default": 10},
                       "bmc_password": {"type": "str", "no_log": True}},
        supports_check_mode=True)
    module.fail_json(msg="qb40tool.fleet.server is an action of the control node; it cannot run on a server")


if __name__ == "__main__":
    main()
