#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Runs the stage benchmarks once and prints the ratios they are judged by, all from that one run.
#
#   bench/ratios.py [path/to/nimbrel_bench] [extra benchmark options...]
#
# Medians of the repetitions; wall-clock time throughout (the threaded cases measure it, the
# single-threaded ones match their CPU time on an idle machine). The load average is printed
# with the figures: on a busy machine the threaded ratios say little.
import json
import os
import subprocess
import sys


def medians(binary, extra):
    out = subprocess.run([binary, "--benchmark_format=json", *extra], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    times = {}
    for run in json.loads(out)["benchmarks"]:
        name = run["run_name"].split("/repeats")[0].split("/process_time")[0]
        if run.get("aggregate_name", "median") != "median":
            continue
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run["time_unit"]]
        times[name] = (run["real_time"] * scale, run["cpu_time"] * scale)
    return times


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/bench/nimbrel_bench"
    before = os.getloadavg()[0]
    t = medians(binary, sys.argv[2:])
    after = os.getloadavg()[0]
    print(f"load average {before:.2f} before, {after:.2f} after; times in ms (wall, cpu)")
    for name, (wall, cpu) in sorted(t.items()):
        print(f"  {name:45s} {wall:10.3f} {cpu:10.3f}")

    def ratio(label, slow, fast, target, higher_is_better=True):
        if slow not in t or fast not in t:
            return
        value = t[slow][0] / t[fast][0]
        met = value >= target if higher_is_better else value <= target
        sign = ">=" if higher_is_better else "<="
        print(f"{label:52s} {value:7.2f}x  (target {sign} {target}x: {'met' if met else 'NOT met'})")

    print()
    for size in ("1000/800", "4000/3000"):
        ratio(f"search {size}: scalar / shipped, one thread", f"BM_SearchScalar/{size}",
              f"BM_SearchShipped/{size}", 50)
        ratio(f"search {size}: one thread / all threads", f"BM_SearchShipped/{size}",
              f"BM_SearchShippedThreaded/{size}", 1.7)
    ratio("difference / memcpy of the same bytes", "BM_Difference", "BM_Memcpy", 3, False)
    ratio("stretch / memcpy of the same bytes", "BM_Stretch", "BM_Memcpy", 3, False)


if __name__ == "__main__":
    main()
