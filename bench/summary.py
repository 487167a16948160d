"""./dev bench's table: every figure of a run in README.md's words and units,
judged against its goal, then "all goals met" or what was missed; and
results.json with the figures, the codec's raw numbers and the machine.
Usage: summary.py <bench output dir> <README.md> <load average at the start>"""
import json
import os
import platform
import sys

out, readme, load_start = sys.argv[1:4]


def load(name):
    path = os.path.join(out, name + ".json")
    return json.load(open(path)) if os.path.exists(path) else None


# The codec's rows come from libbenchmark's JSON: GB/s are 10^9 bytes a
# second (its table reporter shows GiB/s).
def codec_rows(codec):
    by_name = {b["name"]: b for b in codec["benchmarks"]}
    rows = []
    for bm, what in (("BM_TouchPoints", "touch points"), ("BM_PreviewImage", "preview image (stream series)"),
                     ("BM_CommandResponse", "command responses")):
        if bm in by_name:
            ns, allocs = by_name[bm]["s_per_report"] * 1e9, by_name[bm]["allocs_per_report"]
            rows.append({"name": "reassembly + decode per report, " + what,
                         "measured": "%.0f ns, %g allocations" % (ns, allocs),
                         "goal": "at most 100 ns, none", "met": ns <= 100 and allocs <= 0})
    if "BM_Crc16/4096" in by_name:
        gbs = by_name["BM_Crc16/4096"]["bytes_per_second"] / 1e9
        bytewise = by_name.get("BM_Crc16Bytewise/4096", {}).get("bytes_per_second", 0) / 1e9
        rows.append({"name": "CRC-16 throughput, 4096 bytes",
                     "measured": "%.2f GB/s (bytewise table: %.2f GB/s)" % (gbs, bytewise),
                     "goal": "at least 1 GB/s", "met": gbs >= 1})
    return rows


# The touchscreen bridge: a 10-finger frame from the wire to its SYN_REPORT
# written, in CPU time, and the contact tracker alone.
def touchscreen_rows(bench):
    us = {"ns": 1e-3, "us": 1, "ms": 1e3, "s": 1e6}
    cpu = {b["name"]: b["cpu_time"] * us[b["time_unit"]] for b in bench["benchmarks"]}
    rows = []
    if "BM_TouchFrameToSynReport" in cpu:
        frame = cpu["BM_TouchFrameToSynReport"]
        rows.append({"name": "touchscreen bridge, 10-finger frame to SYN_REPORT", "measured": "%.1f us CPU" % frame,
                     "goal": "at most 20 us CPU", "met": frame <= 20})
    for n in (10, 40):
        if "BM_Tracker/%d" % n in cpu:
            rows.append({"name": "contact tracker, %d contacts a frame" % n,
                         "measured": "%.1f us CPU" % cpu["BM_Tracker/%d" % n], "goal": None, "met": None})
    return rows


rows, broken = [], []
codec = load("codec")
if codec is None:
    broken.append("codec")
else:
    rows += codec_rows(codec)
for name in ("device", "many_devices", "touch"):
    figures = load(name)
    if figures is None:
        broken.append(name)
    else:
        rows += figures
touchscreen = load("touchscreen")
if touchscreen is None:
    broken.append("touchscreen")
else:
    rows += touchscreen_rows(touchscreen)

print("\n| figure | measured | goal | |\n|---|---|---|---|")
for r in rows:
    verdict = "" if r["met"] is None else "ok" if r["met"] else "MISSED"
    print("| %s | %s | %s | %s |" % (r["name"], r["measured"], r["goal"] or "shown only", verdict))
print()
for name in broken:
    print("dev: bench_%s wrote no figures; the end of its log:" % name)
    print("".join(open(os.path.join(out, name + ".log")).readlines()[-15:]))

# README.md's table names the same figures in the same order.
section = open(readme).read().split("\n## Performance", 1)[-1].split("\n## ", 1)[0]
documented = [line.split("|")[1].strip() for line in section.splitlines()
              if line.startswith("| ") and not line.startswith("| figure")]
if not broken and documented != [r["name"] for r in rows]:
    print("dev: README.md's Performance table names other figures than this run; refresh it from the table above")

load_end = " ".join(open("/proc/loadavg").read().split()[:3])
print("machine load (1, 5 and 15 min averages): %s at the start, %s at the end" % (load_start, load_end))
json.dump({"machine": {"host": platform.node(), "cores": os.cpu_count(), "kernel": platform.release(),
                       "load_start": load_start, "load_end": load_end},
           "benchmark_library_build_type": (codec or {}).get("context", {}).get("library_build_type"),
           "figures": rows,
           "codec": [{k: b[k] for k in b if k in ("name", "real_time", "cpu_time", "time_unit", "allocs_per_report",
                                                   "s_per_report", "items_per_second", "bytes_per_second")}
                     for b in (codec or {}).get("benchmarks", [])]},
          open(os.path.join(out, "results.json"), "w"), indent=2)
print("dev: figures in " + os.path.join(out, "results.json"))

missed = [r["name"] for r in rows if r["met"] is False]
if missed or broken:
    print("dev: %d goal(s) MISSED%s" % (len(missed), ", and some benchmarks wrote no figures" if broken else ""))
    sys.exit(1)
print("all goals met")
