#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Quillmere Software
# No licence has been granted yet: see COPYRIGHT at the top of the collection.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: porthold_info
short_description: Report the protection of a Porthold web root
version_added: "1.0.0"
description:
  - Reads, without changing anything, what C(portholdctl) knows of the web root on
    the managed host, so that a play can report it or assert on it.
  - The folders of the tree, each with its mode and the access the server gives (as
    C(portholdctl show) reports it), the users with the hash scheme of each and
    those whose hash is weak, and the groups with their members.
  - With I(verify), each folder is also asked of the running server over loopback
    (C(portholdctl verify)), and whether the server agrees is returned.
options:
  folders:
    description:
      - The folders to report, relative to the web root. Left out, every folder of the tree.
    type: list
    elements: str
  verify:
    description: Ask the running server about each folder reported.
    type: bool
    default: false
  verify_url:
    description:
      - The web root's address for I(verify). Defaults to the one C(portholdctl) uses
        (the address the panel's "View on Web" opens).
    type: str
extends_documentation_fragment:
  - quillmere.porthold.porthold.info
notes:
  - Names that an access file lets in but that are no users or groups are reported
    in each folder's C(unknown_users) and C(unknown_groups), and members of a group who
    are no users in its C(unknown_members), since a user made later of such a name gets in.
"""

EXAMPLES = r"""
- name: What the web root protects
  quillmere.porthold.porthold_info:
    web_root: /var/www/html
  register: porthold

- name: No user has a weak password hash
  ansible.builtin.assert:
    that: porthold.weak_users | length == 0

- name: The server does what the panel shows for private
  quillmere.porthold.porthold_info:
    web_root: /var/www/html
    folders: [private]
    verify: true
  register: checked
  failed_when: not checked.folders[0].verify.agrees
"""

RETURN = r"""
root:
  description: The web root.
  type: str
  returned: success
folders:
  description:
    - Each folder reported, as C(portholdctl show --json) reports it (without the access
      file's text), and with I(verify) its C(verify) answer.
  type: list
  elements: dict
  returned: success
  sample:
    - folder: private
      mode: password
      users: []
      groups: [staff]
      unknown_users: []
      unknown_groups: []
      any_valid_user: false
      address_mode: allow
      addresses: []
      effective: ["Password: group staff (this folder)"]
      hand_managed: false
      access_file: /var/www/html/private/.htaccess
users:
  description: The users of the web root's user file, each with its hash scheme and whether it is weak.
  type: list
  elements: dict
  returned: success
weak_users:
  description: The names of the users whose password hash is weak (DES, SHA-1, plain text).
  type: list
  elements: str
  returned: success
groups:
  description: The groups, each with its members and the named members who are no users.
  type: list
  elements: dict
  returned: success
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillmere.porthold.plugins.module_utils.porthold import (
    EXIT_DIFFERS,
    EXIT_IO,
    Portholdctl,
    PortholdError,
    fail,
)


def folder_facts(ctl, folder, verify, url):
    shown = ctl.read(["show", "--", folder])
    shown.pop("text", None)
    for key in ("warnings", "messages"):
        shown.pop(key, None)
    if verify:
        arguments = ["verify"]
        if url:
            arguments.append("--url=" + url)
        # Unreachable (3) and disagreeing (4) are answers here, not failures.
        answer = ctl.read(arguments + ["--", folder], accept=(EXIT_IO, EXIT_DIFFERS))
        answer.pop("exit", None)
        answer.pop("error", None)
        shown["verify"] = answer
    return shown


def main():
    module = AnsibleModule(
        argument_spec=dict(
            web_root=dict(type="path", required=False),
            portholdctl=dict(type="path", required=False, default=None),
            folders=dict(type="list", elements="str"),
            verify=dict(type="bool", default=False),
            verify_url=dict(type="str"),
        ),
        supports_check_mode=True,
    )
    params = module.params
    ctl = Portholdctl(module, mode_option=None)
    try:
        tree = ctl.read(["tree"])
        names = params["folders"]
        if names is None:
            names = [entry["folder"] for entry in tree.get("folders", [])]
        folders = [folder_facts(ctl, name, params["verify"], params["verify_url"]) for name in names]
        users = ctl.read(["user", "list"]).get("users", [])
        groups = ctl.read(["group", "list"]).get("groups", [])
    except PortholdError as error:
        fail(module, error)
    module.exit_json(
        changed=False,
        root=tree.get("root"),
        folders=folders,
        users=users,
        weak_users=[user["name"] for user in users if user.get("weak")],
        groups=groups,
    )


if __name__ == "__main__":
    main()
