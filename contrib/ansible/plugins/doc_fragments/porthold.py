# -*- coding: utf-8 -*-
# Copyright (C) 2026 Quillmere Software
# No licence has been granted yet: see COPYRIGHT at the top of the collection.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # What every module of the collection shares: where portholdctl is and
    # which web root it works on.
    DOCUMENTATION = r"""
options:
  web_root:
    description: The web root. Defaults to the one chosen in the Porthold panel.
    type: path
  portholdctl:
    description: Path of C(portholdctl) on the managed host, when it is not on the search path.
    type: path
notes:
  - Supports check mode and diff mode; diffs of the user file show a fingerprint of each password
    hash, never the hash.
requirements:
  - Porthold (C(portholdctl)) on the managed host.
author:
  - Quillmere Software
"""
