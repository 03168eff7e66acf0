#!/usr/bin/python
# SPDX-License-Identifier: MIT
"""qb40tool.fleet.run: qb40tool's plans and upgrades where the tool runs.
The action qb40tool.fleet.server calls it; it is no task of its own."""

DOCUMENTATION = r"""
---
module: run
short_description: Plan and start qb40tool's runs on a server, look at them, collect what they left
description:
  - The part of M(qb40tool.fleet.server) that runs where the tool runs; that action calls it and makes the server's
    record from what it returns. Each call is one round trip.
  - C(plan) plans the server with its first image in a temporary directory that is gone afterwards, then, when its
    controllers are of several families, each family with its own image and bus range.
  - C(start) does the same, then starts the upgrades the plans say would upgrade as one job in I(settings.workdir)
    (each run under C(flock) and C(timeout)) that outlives the call and a lost connection, and looks at it for up
    to I(wait) seconds.
  - C(look) waits for the job to end, for up to I(wait) seconds, and answers as soon as it does.
  - C(collect) returns what the working directory holds of the last job, its reports and logs (C(--tags fetch)).
version_added: 2.0.0
author: qb40tool developers
options:
  action:
    description: What to do.
    type: str
    required: true
    choices: [plan, start, look, collect]
  settings:
    description:
      - C(tool), C(workdir), C(lock_file), C(lock_wait), C(timeout), C(stop_grace), C(extra_args) and C(expect),
        as the role's variables of the same names; out of band also C(bmc) and C(bmc_user) (the tool's C(--lan) and
        C(--lan-user)).
    type: dict
    required: true
  bmc_password:
    description: Out of band, the BMC user's password, for the tool's C(IPMI_PASSWORD) (C(plan) and C(start)).
    type: str
    version_added: 2.0.0
  images:
    description: Family key to C(image) (the file's name), C(sha256) and C(content) (the file, base64).
    type: dict
    default: {}
  first:
    description: The family of the image the first plan runs with.
    type: str
  job:
    description: The job's file, for C(look).
    type: str
  wait:
    description: Seconds a look may wait for the job to end.
    type: float
    default: 0
attributes:
  check_mode:
    support: partial
    details: C(plan), C(look) and C(collect) change nothing but the lock file; C(start) is refused.
  diff_mode:
    support: none
"""

EXAMPLES = r"""
# The action qb40tool.fleet.server calls it; see the role qb40tool.fleet.upgrade.
- name: Plan a server
  qb40tool.fleet.run:
    action: plan
    settings: {tool: /usr/sbin/qb40tool, workdir: /var/lib/qb40tool, lock_file: /run/lock/qb40tool.lock,
               lock_wait: 0, timeout: 3600, stop_grace: 120, extra_args: [], expect: 2}
    images: {"4077": {image: fw_4077.bin, sha256: "{{ digest }}", content: "{{ lookup('qb40tool.fleet.base64', 'fw_4077.bin') }}"}}
    first: "4077"
"""

RETURN = r"""
steps:
  description: The plans, each with its exit status, report, output and log.
  returned: plan, start
  type: list
  elements: dict
decision:
  description: The runs the server needs, one per family, and whether it is refused.
  returned: plan, start
  type: dict
job:
  description: The job (its file, runs and whether it is done); for collect, the last one, or none.
  returned: start, look, collect
  type: dict
reports:
  description: Every report in the working directory, oldest first, with its text.
  returned: collect
  type: list
  elements: dict
logs:
  description: The texts of log.txt and logprev.txt.
  returned: collect
  type: dict
"""

import os

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.qb40tool.fleet.plugins.module_utils import judgement, runner


def plans(settings, images, first, contents):
    """The server's plans, and the runs its upgrade takes."""
    step = dict(images[first], label="discovery", family=first, args=[], expect=settings.get("expect"))
    steps = [runner.plan(settings, step, contents[first])]
    decision = judgement.runs(steps[0], images, settings.get("extra_args") or [], settings.get("expect"))
    if not decision["reuse"]:
        for run in decision["runs"]:
            if not judgement.ok(steps, decision):
                break
            steps.append(runner.plan(settings, run, contents[run["family"]]))
    return steps, decision


def main():
    module = AnsibleModule(
        argument_spec={"action": {"type": "str", "required": True, "choices": ["plan", "start", "look", "collect"]},
                       "settings": {"type": "dict", "required": True}, "images": {"type": "dict", "default": {}},
                       "first": {"type": "str"}, "job": {"type": "str"}, "wait": {"type": "float", "default": 0},
                       "bmc_password": {"type": "str", "no_log": True}},
        supports_check_mode=True)
    p = module.params
    settings, action = p["settings"], p["action"]
    # The images' contents stay out of the answer.
    invocation = {"module_args": dict(p, images={k: {"image": v.get("image"), "sha256": v.get("sha256")}
                                                 for k, v in p["images"].items()}, bmc_password=None)}
    # The tool reads the BMC's password from its environment (the plans',
    # and the job's, which inherits it); the module's own ends with the call.
    if p["bmc_password"] is not None:
        os.environ["IPMI_PASSWORD"] = p["bmc_password"]
    if action == "start" and module.check_mode:
        module.fail_json(msg="qb40tool.fleet.run: no upgrade in check mode", invocation=invocation)
    result = {"changed": False, "invocation": invocation}
    if action in ("plan", "start"):
        images = {k: {"image": v["image"], "sha256": v.get("sha256")} for k, v in p["images"].items()}
        contents = {k: v["content"] for k, v in p["images"].items()}
        steps, decision = plans(settings, images, p["first"], contents)
        result.update(steps=steps, decision=decision)
        todo = judgement.upgrades(steps, decision) if action == "start" else []
        if todo:
            try:
                job = runner.start(settings, todo, contents)
            except (OSError, ValueError) as e:
                result["start_error"] = "the upgrade was never started: %s" % e
            else:
                result.update(changed=True, job=runner.look(job, p["wait"]))
    elif action == "look":
        result["job"] = runner.look(p["job"], p["wait"])
    else:
        result.update(runner.collect(settings["workdir"]))
    module.exit_json(**result)


if __name__ == "__main__":
    main()
