#!/usr/bin/env python3
"""Fails when a public class, member or enumerator of the reference has no doc comment.

Reads the XML that Doxygen writes next to the HTML (docs/Doxyfile) and prints one line per
undocumented item, "FILE:LINE: NAME is not documented". Doxygen's own warnings cover classes and
members; this check adds the enumerators, which Doxygen does not report.

usage: check_documented.py XML_DIR
"""
import glob
import os
import sys
import xml.etree.ElementTree as ET


def documented(node):
    for tag in ("briefdescription", "detaileddescription"):
        element = node.find(tag)
        if element is not None and "".join(element.itertext()).strip():
            return True
    return False


def where(node):
    location = node.find("location")
    if location is None:
        return "?"
    return f"{location.get('file')}:{location.get('line')}"


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    missing = []
    for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.xml"))):
        root = ET.parse(path).getroot()
        for compound in root.iter("compounddef"):
            if compound.get("kind") not in ("class", "struct", "namespace", "file"):
                continue
            if compound.get("prot", "public") != "public":
                continue
            cname = compound.findtext("compoundname")
            if compound.get("kind") in ("class", "struct") and not documented(compound):
                missing.append(f"{where(compound)}: {cname} is not documented")
            for member in compound.iter("memberdef"):
                if member.get("prot") != "public":
                    continue
                name = f"{cname}::{member.findtext('name')}"
                if not documented(member):
                    missing.append(f"{where(member)}: {name} is not documented")
                for value in member.iter("enumvalue"):
                    if value.get("prot", "public") == "public" and not documented(value):
                        missing.append(
                            f"{where(member)}: {name}::{value.findtext('name')} is not documented")
    for line in sorted(set(missing)):
        print(line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
