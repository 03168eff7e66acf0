# SPDX-License-Identifier: MIT
"""qb40tool.fleet.base64: files of the control node as base64 text, so that
an image travels to a server in a command's standard input."""

DOCUMENTATION = r"""
name: base64
author: qb40tool developers
version_added: 1.0.0
short_description: The content of files on the control node, base64-encoded
description:
  - Returns each file's bytes base64-encoded, whatever they are (the core file lookup reads text only).
options:
  _terms:
    description: Paths on the control node; a relative one is looked for as the file lookup does.
    required: true
"""

EXAMPLES = r"""
- name: An image through standard input
  ansible.builtin.command:
    argv: [sh, -c, 'base64 -d >fw_4077.bin']
    stdin: "{{ lookup('qb40tool.fleet.base64', '/srv/images/fw_4077.bin') }}"
"""

RETURN = r"""
_raw:
  description: The base64 text of each file.
  type: list
  elements: str
"""

import base64

from ansible.errors import AnsibleError
from ansible.plugins.lookup import LookupBase


class LookupModule(LookupBase):
    """Reads files as bytes and returns them base64-encoded."""

    def run(self, terms, variables=None, **kwargs):
        found = []
        for term in terms:
            path = self.find_file_in_search_path(variables, "files", term)
            if path is None:
                raise AnsibleError("qb40tool.fleet.base64: no file %s on the control node" % term)
            with open(path, "rb") as f:
                found.append(base64.b64encode(f.read()).decode("ascii"))
        return found
