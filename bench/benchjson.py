"""The one reader of the JSON that the benchmark programs write, for bench/ratios.py and
bench/chart.py.

Benchmarks are named CASE/VARIANT[/ARG]; a case with an argument counts as its own case
(CASE/ARG). Only the median of the repetitions is used.
"""
from collections import OrderedDict


def collect(data):
    """(program, case) -> {variant: median benchmark entry}, in the programs' order."""
    cases = OrderedDict()
    date = None
    for program, result in sorted(data.items()):
        date = date or result.get("context", {}).get("date")
        for b in result["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            # "real_time" is the suffix Google Benchmark adds for UseRealTime, "min_time:..." and
            # "repeats:..." those of a benchmark's own settings: none is an argument.
            parts = [part for part in b["run_name"].split("/") if part != "real_time"
                     and not part.startswith(("min_time:", "repeats:"))]
            case = "/".join([parts[0]] + parts[2:])
            variant = parts[1] if len(parts) > 1 else "-"
            cases.setdefault((program.replace("Bench", ""), case), OrderedDict())[variant] = b
    return cases, date


def ratio(variants, variant, base):
    if variant not in variants or base not in variants:
        return None
    return variants[variant]["real_time"] / variants[base]["real_time"]


def baseline(variants):
    """The variant the others are compared with: "raw" (the platform calls), else "std"."""
    return next((name for name in ("raw", "std") if name in variants), None)
