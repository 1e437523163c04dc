#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Quillmere Software
# No licence has been granted yet: see COPYRIGHT at the top of the collection.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: porthold_user
short_description: Manage a web user of a Porthold web root
version_added: "1.0.0"
description:
  - Adds, re-passwords or deletes a user of the web root's C(.htusers) by running
    C(portholdctl) on the managed host.
  - The password travels to C(portholdctl) on its standard input only; it is never
    on a command line and never logged.
  - Deleting a user also removes it from every group and from every access file
    that lets it in.
options:
  name:
    description: The user name.
    type: str
    required: true
  password:
    description:
      - The password (one line). Needed when I(state) is C(present); with
        I(update_password=on_create) it is used only when the user is created.
    type: str
  hash:
    description:
      - How a new password is stored. Defaults to the scheme chosen in Porthold's settings (bcrypt).
      - C(des) counts only the first 8 characters; use it only for very old servers.
    type: str
    choices: [bcrypt, sha512, des]
  update_password:
    description:
      - C(always) gives an existing user I(password) when it does not already match.
      - C(on_create) sets the password only when the user is created.
      - I(hash) applies to a password that is set; a matching password is kept as it is stored.
    type: str
    choices: [always, on_create]
    default: always
  state:
    description: Whether the user exists.
    type: str
    choices: [present, absent]
    default: present
extends_documentation_fragment:
  - quillmere.porthold.porthold
  - quillmere.porthold.porthold.mode
"""

EXAMPLES = r"""
- name: Alice can log in
  quillmere.porthold.porthold_user:
    web_root: /var/www/html
    name: alice
    password: "{{ alice_password }}"

- name: Bob keeps the password he chose himself
  quillmere.porthold.porthold_user:
    web_root: /var/www/html
    name: bob
    password: "{{ initial_password }}"
    update_password: on_create

- name: Carol has left
  quillmere.porthold.porthold_user:
    web_root: /var/www/html
    name: carol
    state: absent
"""

RETURN = r"""
changed:
  description: Whether the user file (or an access file, on deletion) changed or would change.
  type: bool
  returned: always
folders:
  description: On deletion, the folders whose access files no longer name the user (or would not).
  type: list
  elements: str
  returned: when state is absent
files:
  description: The files that changed (or would change).
  type: list
  elements: str
  returned: success
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillmere.porthold.plugins.module_utils.porthold import (
    COMMON_ARGUMENT_SPEC,
    MODE_ARGUMENT_SPEC,
    Portholdctl,
    PortholdError,
    fail,
    report,
)


def main():
    argument_spec = dict(
        name=dict(type="str", required=True),
        password=dict(type="str", no_log=True),
        hash=dict(type="str", choices=["bcrypt", "sha512", "des"]),
        update_password=dict(type="str", choices=["always", "on_create"], default="always", no_log=False),
        state=dict(type="str", choices=["present", "absent"], default="present"),
    )
    argument_spec.update(COMMON_ARGUMENT_SPEC)
    argument_spec.update(MODE_ARGUMENT_SPEC)
    module = AnsibleModule(
        argument_spec=argument_spec,
        supports_check_mode=True,
        required_if=[("state", "present", ("password",))],
    )
    params = module.params
    ctl = Portholdctl(module)
    try:
        if params["state"] == "absent":
            # Deleting a user that is not there changes nothing.
            answer = ctl.change(["user", "del", "--", params["name"]])
            report(module, answer, folders=answer.get("folders", []))

        # Options first, then "--" and the name: a name that looks like an
        # option ("--check") is read as a name, and refused as one.
        arguments = ["user", "add"]
        if params["update_password"] == "always":
            arguments.append("--update-password")
        else:
            # An existing user keeps its password, whatever it is.
            arguments.append("--keep-password")
        if params["hash"]:
            arguments.append("--hash=" + params["hash"])
        arguments += ["--", params["name"]]
        answer = ctl.change(arguments, password=params["password"])
    except PortholdError as error:
        fail(module, error)
    report(module, answer)


if __name__ == "__main__":
    main()
