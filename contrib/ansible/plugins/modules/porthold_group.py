#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Quillmere Software
# No licence has been granted yet: see COPYRIGHT at the top of the collection.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: porthold_group
short_description: Manage a web group of a Porthold web root
version_added: "1.0.0"
description:
  - Adds or deletes a group of the web root's C(.htgroups) and sets its members, by
    running C(portholdctl) on the managed host.
  - Deleting a group also removes it from every access file that lets it in.
options:
  name:
    description: The group name.
    type: str
    required: true
  members:
    description:
      - Users of the group. Users not listed leave the group unless I(append) is true;
        so do names in the group file that are no users.
      - C([]) empties the group; leaving it out keeps the members as they are.
    type: list
    elements: str
  append:
    description: Only add I(members); keep the others.
    type: bool
    default: false
  state:
    description: Whether the group exists.
    type: str
    choices: [present, absent]
    default: present
extends_documentation_fragment:
  - quillmere.porthold.porthold
  - quillmere.porthold.porthold.mode
notes:
  - Members must be users of the web root's C(.htusers).
"""

EXAMPLES = r"""
- name: The staff group is alice and bob
  quillmere.porthold.porthold_group:
    web_root: /var/www/html
    name: staff
    members: [alice, bob]

- name: The interns group is gone
  quillmere.porthold.porthold_group:
    web_root: /var/www/html
    name: interns
    state: absent
"""

RETURN = r"""
changed:
  description: Whether the group file (or an access file, on deletion) changed or would change.
  type: bool
  returned: always
members:
  description: The group's members after the run (what they would be, in check mode).
  type: list
  elements: str
  returned: when state is present
folders:
  description: On deletion, the folders whose access files no longer name the group (or would not).
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
        members=dict(type="list", elements="str"),
        append=dict(type="bool", default=False),
        state=dict(type="str", choices=["present", "absent"], default="present"),
    )
    argument_spec.update(COMMON_ARGUMENT_SPEC)
    argument_spec.update(MODE_ARGUMENT_SPEC)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    params = module.params
    ctl = Portholdctl(module)
    try:
        if params["state"] == "absent":
            # Deleting a group that is not there changes nothing.
            answer = ctl.change(["group", "del", "--", params["name"]])
            report(module, answer, folders=answer.get("folders", []))
        # One call: the group is made when missing, the members it lacks
        # join, and (unless appending) the others leave; one write at most.
        # Each member as "--member=NAME" and the group after "--": no name
        # is ever read as an option.
        arguments = ["group", "add"]
        for member in params["members"] or []:
            arguments.append("--member=" + member)
        if params["members"] is not None and not params["append"]:
            arguments.append("--exact")
        arguments += ["--", params["name"]]
        answer = ctl.change(arguments)
    except PortholdError as error:
        fail(module, error)
    report(module, answer, members=answer.get("members", []))


if __name__ == "__main__":
    main()
