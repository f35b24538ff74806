#!/usr/bin/env python3
"""Fails when a public class, member or enumerator of the reference has no doc comment, when a
free function has no page of its own linked from the main page, or when a program in examples/
is not an example page linked from the main page.

Reads the XML that Doxygen writes next to the HTML (docs/Doxyfile) and prints one line per
missing item, "FILE:LINE: NAME is not documented" and the like. Doxygen's own warnings cover
classes and members; this check adds the enumerators, which Doxygen does not report. A free
function gets its page from a group (defgroup) around it in its header.

usage: check_documented.py XML_DIR
"""
import glob
import os
import sys
import xml.etree.ElementTree as ET

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


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
    compounds = [compound for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.xml")))
                 for compound in ET.parse(path).getroot().iter("compounddef")]
    linked = set()  # what the main page links to
    group_of = {}  # member id -> the id of its group's page
    example_page = {}  # example name -> its page's id
    for compound in compounds:
        if compound.get("id") == "indexpage":
            linked = {ref.get("refid") for ref in compound.iter("ref")}
        elif compound.get("kind") == "group":
            for member in compound.iter("memberdef"):
                group_of[member.get("id")] = compound.get("id")
        elif compound.get("kind") == "example":
            example_page[compound.findtext("compoundname")] = compound.get("id")

    missing = []
    for path in sorted(glob.glob(os.path.join(EXAMPLES, "*.cpp"))):
        name = os.path.basename(path)
        if example_page.get(name) not in linked:
            missing.append(f"examples/{name}:1: {name} has no page linked from the main page")
    for compound in compounds:
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
            if (compound.get("kind") == "namespace" and member.get("kind") == "function"
                    and group_of.get(member.get("id")) not in linked):
                missing.append(f"{where(member)}: {name} has no page linked from the main page")
            for value in member.iter("enumvalue"):
                if value.get("prot", "public") == "public" and not documented(value):
                    missing.append(
                        f"{where(member)}: {name}::{value.findtext('name')} is not documented")
    for line in sorted(set(missing)):
        print(line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
