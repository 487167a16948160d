#!/usr/bin/env python3
"""./dev --help must name every command ./dev accepts and every configure
preset there is, and no command it does not accept.

Usage: check_dev_help.py <source root>
"""
import json
import re
import subprocess
import sys
from pathlib import Path


def problems(src):
    dispatch = (src / "dev").read_text(encoding="utf-8").split('case "$cmd" in', 1)[1].split("esac", 1)[0]
    accepted = {label for labels in re.findall(r"^\s+([a-z|-]+)\)", dispatch, re.M) for label in labels.split("|")}
    accepted -= {"-h", "--help", "help"}
    shown = subprocess.run([src / "dev", "--help"], check=True, capture_output=True, text=True).stdout
    listed = set(re.findall(r"^  ([a-z]+)\b", shown, re.M))
    presets = json.loads((src / "CMakePresets.json").read_text())["configurePresets"]
    # The paragraph that names the default preset is the one listing them.
    paragraph = next((p for p in shown.split("\n\n") if "debug (default)" in p), "")
    found = ["command %s is not in the help" % c for c in sorted(accepted - listed)]
    found += ["the help lists %s, which ./dev does not accept" % c for c in sorted(listed - accepted)]
    found += ["preset %s is not in the help's list of presets" % p["name"] for p in presets
              if not p.get("hidden") and not re.search(r"\b%s\b" % p["name"], paragraph)]
    return "\n".join(found)


if __name__ == "__main__":
    sys.exit(problems(Path(sys.argv[1]).resolve()) or print("./dev --help names every command and preset"))
