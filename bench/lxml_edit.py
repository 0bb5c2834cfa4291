#!/usr/bin/env python3
"""What a user might write instead of the installer: the same edit of a list with lxml (libxml2),
written to a temporary file in the list's folder, synced to disk and renamed over the list.

    lxml_edit.py install LIST NAME=VALUE...   adds an entry with these attributes, in this order,
                                              as the root's last child
    lxml_edit.py uninstall LIST NAME          removes the root's jspluginonline children named NAME
"""
import os
import sys
import tempfile

from lxml import etree


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ("install", "uninstall"):
        sys.exit(__doc__)
    mode, path = sys.argv[1], sys.argv[2]
    tree = etree.parse(path)
    root = tree.getroot()
    if mode == "install":
        entry = etree.SubElement(root, "jspluginonline")
        for pair in sys.argv[3:]:
            name, value = pair.split("=", 1)
            entry.set(name, value)
        entry.tail = "\n"
    else:
        for entry in root.findall("jspluginonline"):
            if entry.get("name") == sys.argv[3]:
                root.remove(entry)
    folder = os.path.dirname(os.path.abspath(path))
    mode_bits = os.stat(path).st_mode & 0o7777
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".publish-", suffix=".xml")
    try:
        with os.fdopen(fd, "wb") as out:
            # mkstemp makes the file private; the list keeps the mode it had.
            os.fchmod(out.fileno(), mode_bits)
            tree.write(out, xml_declaration=True, encoding="UTF-8")
            out.flush()
            os.fsync(out.fileno())
        os.rename(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


if __name__ == "__main__":
    main()
