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


def problems_of(member, where):
    kind, args = member.get("kind"), member.findtext("argsstring") or ""
    if kind == "enum":
        return ["%s: enum value %s has no description" % (where, text(value.find("name")))
                for value in member.findall("enumvalue")
                if not text(value.find("briefdescription")) and not text(value.find("detaileddescription"))]
    if kind == "function":
        params = [text(p.find("declname")) for p in member.findall("param")]
        returns = text(member.find("type")) not in ("void", "KYR_API void")
    elif kind == "typedef" and "(" in args:
        # ")(KYR_HANDLE hDevice, void *Context)" -> ["hDevice", "Context"]
        listed = re.search(r"\)\s*\((.*)\)\s*$", args)
        params = [re.findall(r"\w+", arg)[-1] for arg in (listed.group(1) if listed else "").split(",")
                  if arg.strip() not in ("", "void")]
        returns = not text(member.find("type")).startswith("void")
    else:
        return []
    documented = {text(name) for plist in member.iter("parameterlist") if plist.get("kind") == "param"
                  for name in plist.iter("parametername")}
    missing = [p for p in params if p and p not in documented]
    found = ["%s: no @param for %s" % (where, ", ".join(missing))] if missing else []
    if returns and not any(sect.get("kind") == "return" for sect in member.iter("simplesect")):
        found.append("%s: no @return" % where)
    return found


def main(xml_dir):
    headers = list(Path(xml_dir).glob("*_8h.xml"))
    problems = [] if headers else ["no header in the XML output"]
    for path in headers:
        for member in ET.parse(path).getroot().iter("memberdef"):
            problems += problems_of(member, "%s: %s" % (path.name.replace("_8h.xml", ".h"), text(member.find("name"))))
    return "\n".join(problems) or None


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
