#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Quillmere Software
# No licence has been granted yet: see COPYRIGHT at the top of the collection.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: porthold_folder
short_description: Protect a folder of the Apache web tree with Porthold
version_added: "1.0.0"
description:
  - Sets the protection of one folder below the web root, the way the Porthold
    panel does it, by running C(portholdctl) on the managed host.
  - The folder's C(.htaccess) is written only when the wanted protection does not
    already hold, so a second run reports no change.
  - Folders whose access file has rules of their own (containers, other C(Require)
    forms) are never rewritten; the module fails with Porthold's reason.
options:
  path:
    description: The folder, relative to the web root (C(.) is the web root itself).
    type: str
    required: true
  state:
    description:
      - C(present) applies the protection described by the other options.
      - C(absent) takes the folder's protection away (mode C(none)); its own lines stay.
        A folder that does not exist is left as it is (no change).
    type: str
    choices: [present, absent]
    default: present
  mode:
    description: How visitors are checked.
    type: str
    choices: [none, password, address, either, both]
  users:
    description: Users (of the web root's C(.htusers)) let in with their password.
    type: list
    elements: str
  groups:
    description: Groups (of the web root's C(.htgroups)) let in with their password.
    type: list
    elements: str
  any_valid_user:
    description: Let in every user of C(.htusers) ("Any Valid User"). Excludes named users.
    type: bool
  addresses:
    description:
      - Client addresses, networks or host names for the address check.
      - They join Porthold's list of known addresses.
    type: list
    elements: str
  address_mode:
    description:
      - C(allow) lets only the folder's addresses in; C(deny) keeps them out.
      - Given alone it switches the mode and keeps the addresses the folder lists.
      - Left out, the folder keeps its address mode; a folder that had no address
        check yet gets C(allow) when I(addresses) are given.
    type: str
    choices: [allow, deny]
  exact:
    description:
      - Each of I(users), I(groups) and I(addresses) that is given is set to exactly
        what it lists; those not given are left as they are.
      - Without it, what is listed is added and nothing is removed.
      - Exact means exact, so names the access file lets in that are no users or groups
        (C(unknown_users), C(unknown_groups) in I(folder)) go too when their list is given.
      - Every option that is not given is left as it is, with or without I(exact).
    type: bool
    default: false
  file_mode:
    description:
      - The permissions the folder's C(.htaccess) should have, as the I(mode) of
        M(ansible.builtin.file) (I(mode) is the folder's protection here).
      - An octal string such as C("0640"), a number written with a leading zero, or a
        symbolic mode such as C(u=rw,g=r,o=), taken from no permissions. Write for others
        is refused.
      - Applied when the file is written and to an existing file that lacks it.
      - Left out, an existing file keeps its mode and a new one is C(0644) whatever the
        umask, or stricter like the web root's own C(.htaccess) when the web server can
        still read it.
    type: raw
extends_documentation_fragment:
  - quillmere.porthold.porthold
notes:
  - I(users), I(groups) and I(any_valid_user) need a password mode (C(password), C(either)
    or C(both)), and I(addresses) an address mode (C(address), C(either) or C(both)),
    given as I(mode) or already set on the folder.
"""

EXAMPLES = r"""
- name: Only the staff group gets into private
  quillmere.porthold.porthold_folder:
    web_root: /var/www/html
    path: private
    mode: password
    users: []
    groups: [staff]
    exact: true

- name: The intranet folder answers only the office network
  quillmere.porthold.porthold_folder:
    web_root: /var/www/html
    path: intranet
    mode: address
    addresses: [192.168.1.0/24]

- name: Take the protection off old
  quillmere.porthold.porthold_folder:
    web_root: /var/www/html
    path: old
    state: absent
"""

RETURN = r"""
changed:
  description: Whether the folder's access file changed (or would, in check mode).
  type: bool
  returned: always
folder:
  description:
    - The folder's protection after the run (in check mode, what it would be), as
      C(portholdctl show --json) reports it.
  type: dict
  returned: success
  sample:
    folder: private
    mode: password
    users: []
    groups: [staff]
    unknown_users: []
    unknown_groups: []
    any_valid_user: false
    address_mode: allow
    addresses: []
    hand_managed: false
files:
  description: The files that changed (or would change).
  type: list
  elements: str
  returned: success
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillmere.porthold.plugins.module_utils.porthold import (
    COMMON_ARGUMENT_SPEC,
    EXIT_REFUSED,
    FILE_MODE_ARGUMENT_SPEC,
    Portholdctl,
    PortholdError,
    fail,
    report,
)


def apply_arguments(params):
    """portholdctl's declarative form: one call, one write at most.

    Values go as "--option=VALUE" and the folder after "--", so that no
    name, list or folder is ever read as an option.
    """
    arguments = ["apply"]
    if params["state"] == "absent":
        return arguments + ["--mode=none", "--", params["path"]]
    if params["mode"] is not None:
        arguments.append("--mode=" + params["mode"])
    if params["users"] is not None:
        arguments.append("--users=" + ",".join(params["users"]))
    if params["groups"] is not None:
        arguments.append("--groups=" + ",".join(params["groups"]))
    if params["any_valid_user"] is not None:
        arguments.append("--any-user" if params["any_valid_user"] else "--no-any-user")
    # The address mode and the list travel apart: a mode alone keeps the
    # folder's addresses, a list alone keeps its mode.
    if params["address_mode"] is not None:
        arguments.append("--address-mode=" + params["address_mode"])
    if params["addresses"] is not None:
        arguments.append("--addresses=" + ",".join(params["addresses"]))
    if params["exact"]:
        arguments.append("--exact")
    return arguments + ["--", params["path"]]


def main():
    argument_spec = dict(
        path=dict(type="str", required=True),
        state=dict(type="str", choices=["present", "absent"], default="present"),
        mode=dict(type="str", choices=["none", "password", "address", "either", "both"]),
        users=dict(type="list", elements="str"),
        groups=dict(type="list", elements="str"),
        any_valid_user=dict(type="bool"),
        addresses=dict(type="list", elements="str"),
        address_mode=dict(type="str", choices=["allow", "deny"]),
        exact=dict(type="bool", default=False),
    )
    argument_spec.update(COMMON_ARGUMENT_SPEC)
    argument_spec.update(FILE_MODE_ARGUMENT_SPEC)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    params = module.params
    # "Any Valid User" and named users exclude each other.
    if params["any_valid_user"] and params["users"]:
        module.fail_json(msg="any_valid_user and users exclude each other")
    for name in ("users", "groups", "addresses"):
        for value in params[name] or []:
            if "," in value or not value.strip():
                module.fail_json(msg="%s: %r is not a name" % (name, value))

    ctl = Portholdctl(module, mode_option="file_mode")
    try:
        answer = ctl.change(apply_arguments(params))
    except PortholdError as error:
        # A folder that is not there is not protected either: as wanted.
        if params["state"] == "absent" and error.rc == EXIT_REFUSED and str(error).startswith("No folder "):
            module.exit_json(changed=False, folder={}, files=[])
        fail(module, error)
    report(module, answer, folder=answer.get("folder", {}))


if __name__ == "__main__":
    main()
