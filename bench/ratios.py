#!/usr/bin/env python3
"""Runs the benchmark programs and prints each variant as a ratio against its baseline.

Benchmarks are named CASE/VARIANT[/ARG] (bench/benchjson.py reads them). Within a case the
baseline is the variant "raw" (the hand-written platform calls), or "std" when there is no raw
one. Every program runs with repetitions; the median real time is used. Counters named
"allocs" are printed as well.

usage: ratios.py BUILD_DIR [--json OUT] [--filter REGEX]
"""
import json
import os
import subprocess
import sys

from benchjson import baseline, collect, ratio


def run(program, repetitions, bench_filter):
    cmd = [program, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
           "--benchmark_report_aggregates_only=true"]
    if bench_filter:
        cmd.append(f"--benchmark_filter={bench_filter}")
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    # A program none of whose benchmarks match the filter prints nothing.
    return json.loads(out) if out.strip() else None


def main():
    args = sys.argv[1:]
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    build = args[0]
    out_json = args[args.index("--json") + 1] if "--json" in args else None
    bench_filter = args[args.index("--filter") + 1] if "--filter" in args else None
    bindir = os.path.join(build, "bin")
    programs = sorted(p for p in os.listdir(bindir) if p.endswith("Bench"))
    everything = {}
    for program in programs:
        result = run(os.path.join(bindir, program), 5, bench_filter)
        if result is not None:
            everything[program] = result
    cases, _ = collect(everything)
    for (area, case), variants in cases.items():
        base = baseline(variants)
        print(f"{area} {case}")
        for variant, b in variants.items():
            line = f"  {variant:<36} {b['real_time']:12.1f} {b['time_unit']}"
            if base is not None:
                line += f"   x{ratio(variants, variant, base):.3f}"
            if "allocs" in b:
                line += f"   allocs/iter {b['allocs']:.2f}"
            print(line)
    if out_json:
        with open(out_json, "w") as f:
            json.dump(everything, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
