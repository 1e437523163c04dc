# -*- coding: utf-8 -*-
# Copyright (C) 2026 Quillmere Software
# No licence has been granted yet: see COPYRIGHT at the top of the collection.
"""Runs portholdctl on the managed host and reads its JSON answers.

Every module of the collection goes through this one door, so the way a
password reaches portholdctl (standard input only), the global options and
the reading of exit statuses live in one place.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import re

# portholdctl's exit statuses.
EXIT_OK = 0
EXIT_USAGE = 1
EXIT_REFUSED = 2
EXIT_IO = 3
EXIT_DIFFERS = 4

COMMON_ARGUMENT_SPEC = dict(
    web_root=dict(type="path", required=False),
    portholdctl=dict(type="path", required=False, default=None),
    owner=dict(type="str", required=False),
    group=dict(type="str", required=False),
)

# The file mode, as the file modules of Ansible take it: folders already use
# "mode" for their protection, so there it is "file_mode" alone.
MODE_ARGUMENT_SPEC = dict(mode=dict(type="raw", required=False, aliases=["file_mode"]))
FILE_MODE_ARGUMENT_SPEC = dict(file_mode=dict(type="raw", required=False))


class _NoPermissions(object):
    """A file without any permission bits: symbolic modes start from it."""

    st_mode = 0o100000


def octal_mode(module, value):
    """The file mode as portholdctl takes it ("0640"), from Ansible's forms.

    A number is the mode itself (YAML reads 0640 as 416); a string is octal
    ("0640", "640") or symbolic ("u=rw,g=r,o="), taken from no permissions.
    """
    if value is None:
        return None
    if isinstance(value, bool):
        raise PortholdError("mode: %r is not a file mode" % (value,))
    if isinstance(value, int):
        return "%04o" % value
    text = str(value).strip()
    if re.match(r"^[0-7]{1,4}$", text):
        return "%04o" % int(text, 8)
    try:
        return "%04o" % module._symbolic_mode_to_octal(_NoPermissions(), text)
    except Exception:
        raise PortholdError("mode: %r is neither an octal nor a symbolic file mode" % (value,))


class PortholdError(Exception):
    """portholdctl refused or failed; the message is its own words."""

    def __init__(self, message, rc=None, stdout="", stderr=""):
        super(PortholdError, self).__init__(message)
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr


class Portholdctl(object):
    """A handle on portholdctl for one module run."""

    def __init__(self, module, mode_option="mode"):
        """`mode_option` names the module's file mode option (folders: "file_mode")."""
        self.module = module
        executable = module.params.get("portholdctl")
        if executable:
            self.executable = executable
        else:
            self.executable = module.get_bin_path("portholdctl", required=True)
        self.web_root = module.params.get("web_root")
        params = module.params
        mode = params.get(mode_option) if mode_option in ("mode", "file_mode") else None
        self.attributes = []
        if params.get("owner") is not None:
            self.attributes += ["--owner", params["owner"]]
        if params.get("group") is not None:
            self.attributes += ["--group", params["group"]]
        if mode is not None:
            try:
                self.attributes += ["--mode", octal_mode(module, mode)]
            except PortholdError as error:
                module.fail_json(msg=str(error))

    def _command(self, arguments, check=False, diff=False):
        command = [self.executable, "--json"]
        if self.web_root:
            command += ["--root", self.web_root]
        # Before the command: after it, these are some commands' own options.
        command += self.attributes
        if check:
            command.append("--check")
        if diff:
            command.append("--diff")
        return command + list(arguments)

    def run(self, arguments, check=False, diff=False, password=None, accept=()):
        """Runs one command; answers its JSON document.

        A password goes on standard input as one line, never on the command
        line, so it shows in no process list and no log.
        """
        data = None
        if password is not None:
            # portholdctl reads one line: a line break would cut the password.
            if "\n" in password or "\r" in password:
                raise PortholdError("a password cannot contain a line break")
            if not password:
                raise PortholdError("the password is empty")
            data = password
        rc, out, err = self.module.run_command(
            self._command(arguments, check, diff),
            data=data,
            binary_data=False,  # run_command ends the data with a line feed
            check_rc=False,
            # Names are passed as they are: "~" and "$" are no shell's to expand.
            expand_user_and_vars=False,
            environ_update={"LC_ALL": "C.UTF-8"},
        )
        document = None
        text = out.strip()
        if text:
            try:
                document = json.loads(text)
            except ValueError:
                document = None
        if rc != EXIT_OK and not (rc in accept and isinstance(document, dict)):
            message = ""
            if isinstance(document, dict):
                message = document.get("error") or ""
            if not message:
                message = err.strip() or out.strip() or "portholdctl exited with status %d" % rc
            raise PortholdError(message, rc=rc, stdout=out, stderr=err)
        if not isinstance(document, dict):
            raise PortholdError(
                "portholdctl printed no JSON document (is Porthold on the managed host too old?)",
                rc=rc,
                stdout=out,
                stderr=err,
            )
        return document

    def read(self, arguments, accept=()):
        # What is only read is written nowhere: no file attributes.
        attributes, self.attributes = self.attributes, []
        try:
            return self.run(arguments, accept=accept)
        finally:
            self.attributes = attributes

    def change(self, arguments, password=None):
        """A changing command, in the module's check and diff modes."""
        return self.run(
            arguments,
            check=self.module.check_mode,
            diff=self.module._diff,
            password=password,
        )


def ansible_diff(answers):
    """Turns portholdctl's per-file diffs into Ansible's diff list."""
    result = []
    for answer in answers:
        for entry in answer.get("diff") or []:
            path = entry.get("path", "")
            result.append(
                dict(
                    before_header=path,
                    after_header=path,
                    before=entry.get("before", ""),
                    after=entry.get("after", ""),
                )
            )
    return result


def report(module, answer, **extra):
    """Ends the module with portholdctl's answer to a changing command."""
    for warning in answer.get("warnings") or []:
        module.warn(warning)
    result = dict(changed=bool(answer.get("changed")), files=answer.get("files", []))
    # In check mode, the names an earlier task would have made.
    for key in ("unknown_users", "unknown_groups"):
        if key in answer:
            result[key] = answer[key]
    result.update(extra)
    if module._diff:
        result["diff"] = ansible_diff([answer])
    module.exit_json(**result)


def fail(module, error, **extra):
    module.fail_json(msg=str(error), rc=error.rc, stderr=error.stderr, **extra)
