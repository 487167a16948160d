#!/usr/bin/env python3
"""Runs the shell examples of the documentation, so that they keep working.

Each argument names a Markdown file and a heading or sentence start; the first
indented code block after that line is taken, continuation lines joined, and
every command run from the source root with build/debug replaced by the build
tree under test (whose kyrsim and kyrhid also come first in PATH), in a private
TMPDIR. A command must exit 0 within the time limit and print something; one
running kyrhid monitor must print decoded packets.

Usage: run_doc_examples.py <source root> <build dir> FILE:ANCHOR...
"""
import os
import re
import signal
import subprocess
import sys
import tempfile


def block_after(path, anchor):
    with open(path, encoding="utf-8") as doc:
        # The anchor's line, any lines, then indented lines with blank ones among them.
        found = re.search(rf"^{re.escape(anchor)}.*\n(?:.*\n)*?((?:    .*\n)(?:[ \t]*\n|    .*\n)*)", doc.read(), re.M)
    commands = [c.strip() for c in re.sub(r"\\\n\s*", " ", found.group(1)).splitlines() if c.strip()] if found else []
    return commands or sys.exit("%s: no example after %r" % (path, anchor))


def run(command, src, build):
    """(whether the command did as it should, what it printed)"""
    with tempfile.TemporaryDirectory() as tmp:
        # Bare kyrsim and kyrhid are the ones of the build under test.
        tools = [os.path.join(build, "tools", t) for t in ("kyrsim", "kyrhid")]
        env = dict(os.environ, TMPDIR=tmp, PATH=os.pathsep.join(tools + [os.environ["PATH"]]))
        # A session of its own, so that a command that hangs goes with everything it started.
        process = subprocess.Popen(command, shell=True, cwd=src, env=env, start_new_session=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            out, err = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            err += "still running after 60 s"
    ok = process.returncode == 0 and out.strip() != ""
    ok = ok and (" monitor" not in command or any(kind in out for kind in ("tpt", "TPT", "ver")))
    return ok, "exit %d\n%s%s" % (process.returncode, out[-2000:], err[-2000:])


def main(src, build, places):
    failures = 0
    for place in places:
        name, anchor = place.split(":", 1)
        for command in block_after(os.path.join(src, name), anchor):
            ok, detail = run(command.replace("build/debug/", os.path.relpath(build, src) + "/"), src, build)
            print("%s %s: %s%s" % ("ok  " if ok else "FAIL", name, command, "" if ok else "\n" + detail))
            failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
