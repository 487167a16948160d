#!/usr/bin/env python3
"""./dev --help must name every command ./dev accepts and every configure
preset there is, and no command it does not accept.

Usage: check_dev_help.py <source root>
"""
import json
import os
import re
import subprocess
import sys


def main(src):
    dev = os.path.join(src, "dev")
    script = open(dev, encoding="utf-8").read()
    dispatch = script[script.index('case "$cmd" in'):]
    dispatch = dispatch[:dispatch.index("esac")]
    accepted = set()
    for labels in re.findall(r"^\s+([a-z|-]+)\)", dispatch, re.M):
        accepted.update(l for l in labels.split("|") if l not in ("-h", "--help", "help"))

    run = subprocess.run([dev, "--help"], capture_output=True, text=True)
    if run.returncode != 0:
        return "./dev --help exits %d" % run.returncode
    helptext = run.stdout
    listed = set(re.findall(r"^  ([a-z]+)\b", helptext, re.M))

    presets = json.load(open(os.path.join(src, "CMakePresets.json")))["configurePresets"]
    names = [p["name"] for p in presets if not p.get("hidden")]
    problems = ["command %s is not in the help" % c for c in sorted(accepted - listed)]
    problems += ["the help lists %s, which ./dev does not accept" % c for c in sorted(listed - accepted)]
    # The paragraph that names the default preset is the one listing them.
    paragraph = next((p for p in helptext.split("\n\n") if "debug (default)" in p), "")
    problems += ["preset %s is not in the help's list of presets" % n for n in names
                 if not re.search(r"\b%s\b" % n, paragraph)]
    return "\n".join(problems) or None


if __name__ == "__main__":
    problem = main(sys.argv[1])
    if problem:
        sys.exit(problem)
    print("./dev --help names every command and preset")
