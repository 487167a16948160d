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
    with open(dev, encoding="utf-8") as script:
        dispatch = script.read().split('case "$cmd" in', 1)[1].split("esac", 1)[0]
    accepted = {label for labels in re.findall(r"^\s+([a-z|-]+)\)", dispatch, re.M) for label in labels.split("|")}
    accepted -= {"-h", "--help", "help"}
    run = subprocess.run([dev, "--help"], capture_output=True, text=True)
    if run.returncode != 0:
        return "./dev --help exits %d" % run.returncode
    listed = set(re.findall(r"^  ([a-z]+)\b", run.stdout, re.M))
    with open(os.path.join(src, "CMakePresets.json")) as presets:
        names = [p["name"] for p in json.load(presets)["configurePresets"] if not p.get("hidden")]
    # The paragraph that names the default preset is the one listing them.
    paragraph = next((p for p in run.stdout.split("\n\n") if "debug (default)" in p), "")
    problems = ["command %s is not in the help" % c for c in sorted(accepted - listed)]
    problems += ["the help lists %s, which ./dev does not accept" % c for c in sorted(listed - accepted)]
    problems += ["preset %s is not in the help's list of presets" % n for n in names
                 if not re.search(r"\b%s\b" % n, paragraph)]
    return "\n".join(problems) or None


if __name__ == "__main__":
    problem = main(sys.argv[1])
    if problem:
        sys.exit(problem)
    print("./dev --help names every command and preset")
