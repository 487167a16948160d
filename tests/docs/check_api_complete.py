#!/usr/bin/env python3
"""Completes doxygen's own checks of the public headers, from its XML output.

doxygen warns about an undocumented item, but not about a documented function
that says nothing of its parameters or result, nor about an undocumented value
of a documented enum. Here every function and callback type must document each
parameter (@param) and, unless it returns void, its result (@return), and every
enum value must have a description.

Usage: check_api_complete.py <doxygen xml directory>
"""
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def text(node):
    return "".join(node.itertext()).strip() if node is not None else ""


def documented_params(member):
    names = set()
    for plist in member.iter("parameterlist"):
        if plist.get("kind") != "param":
            continue
        for name in plist.iter("parametername"):
            names.add(text(name))
    return names


def has_return(member):
    return any(sect.get("kind") == "return" for sect in member.iter("simplesect"))


def callback_params(argsstring):
    # ")(KYR_HANDLE hDevice, void *Context)" -> ["hDevice", "Context"]
    match = re.search(r"\)\s*\((.*)\)\s*$", argsstring)
    if not match or match.group(1).strip() in ("", "void"):
        return []
    return [re.findall(r"\w+", arg)[-1] for arg in match.group(1).split(",")]


def main(xml_dir):
    problems = []
    headers = [p for p in Path(xml_dir).glob("*_8h.xml")]
    if not headers:
        problems.append("no header in the XML output")
    for path in headers:
        for member in ET.parse(path).getroot().iter("memberdef"):
            kind = member.get("kind")
            name = text(member.find("name"))
            where = "%s: %s" % (path.name.replace("_8h.xml", ".h"), name)
            if kind == "function":
                params = [text(p.find("declname")) for p in member.findall("param") if p.find("declname") is not None]
                returns = text(member.find("type")) not in ("void", "KYR_API void")
            elif kind == "typedef" and "(" in (member.findtext("argsstring") or ""):
                params = callback_params(member.findtext("argsstring"))
                returns = not text(member.find("type")).startswith("void")
            else:
                if kind == "enum":
                    for value in member.findall("enumvalue"):
                        if not text(value.find("briefdescription")) and not text(value.find("detaileddescription")):
                            problems.append("%s: enum value %s has no description" % (where, text(value.find("name"))))
                continue
            missing = [p for p in params if p and p not in documented_params(member)]
            if missing:
                problems.append("%s: no @param for %s" % (where, ", ".join(missing)))
            if returns and not has_return(member):
                problems.append("%s: no @return" % where)
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
