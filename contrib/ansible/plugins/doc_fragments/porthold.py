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
    description:
      - The web root. Defaults to the one chosen in the Porthold panel; for root, until one
        is chosen, the server's C(/var/www/html).
    type: path
  portholdctl:
    description: Path of C(portholdctl) on the managed host, when it is not on the search path.
    type: path
  owner:
    description:
      - Name or number of the user that should own the file the task manages (the folder's
        C(.htaccess), the user file or the group file), as M(ansible.builtin.file) takes it.
      - Applied when the file is written and to an existing file that lacks it.
      - Left out, an existing file keeps its owner and a new one belongs to the user
        C(portholdctl) runs as.
    type: str
  group:
    description:
      - Name or number of the group that should own the file the task manages.
      - Left out, an existing file keeps its group; a new one takes that of the web root's
        own Porthold files when they are stricter, or else the group C(portholdctl) runs as.
    type: str
notes:
  - Supports check mode and diff mode; diffs of the user file show a fingerprint of each password
    hash, never the hash.
requirements:
  - Porthold (C(portholdctl)) on the managed host.
author:
  - Quillmere Software (!UNKNOWN)
"""

    # The file mode of porthold_user and porthold_group ("mode"); porthold_folder
    # calls it "file_mode", its "mode" being the folder's protection.
    MODE = r"""
options:
  mode:
    description:
      - The permissions the file the task manages should have, as M(ansible.builtin.file)
        takes them; also C(file_mode).
      - An octal string such as C("0640") (quote it, or YAML may read another number), a
        number written with a leading zero (C(0640)), or a symbolic mode such as
        C(u=rw,g=r,o=), taken from no permissions. Write for others is refused.
      - Applied when the file is written and to an existing file that lacks it.
      - Left out, an existing file keeps its mode and a new one is C(0644) whatever the
        umask (readable by the web server, writable by its owner only), or stricter like
        the web root's own Porthold files when the web server can still read it.
    type: raw
    aliases: [file_mode]
"""

    # porthold_info: where portholdctl is and which web root it reads.
    INFO = r"""
options:
  web_root:
    description:
      - The web root. Defaults to the one chosen in the Porthold panel; for root, until one
        is chosen, the server's C(/var/www/html).
    type: path
  portholdctl:
    description: Path of C(portholdctl) on the managed host, when it is not on the search path.
    type: path
notes:
  - Changes nothing, and so runs in check mode as it does otherwise.
requirements:
  - Porthold (C(portholdctl)) on the managed host.
author:
  - Quillmere Software (!UNKNOWN)
"""
