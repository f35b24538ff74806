#!/usr/bin/env python3
"""Times a recursive listing of every file of a tree, as whole processes with their output thrown
away: `ostrel scan` (scanWith's defaults, and --sorted), find, fdfind (fd) and the standard
library's recursive_directory_iterator (the StdScan program). Trees of 10k, 100k and 300k files,
50 per directory, in directories of 49 sub-directories each, are made under /tmp and removed
afterwards. Each command runs once to warm the cache, then REPEAT times; the median is printed in
milliseconds with its ratio to `ostrel scan`. Programs that are not installed are left out.

usage: scan_compare.py BUILD_DIR [--repeat N] [--sizes 10000,100000,300000]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_tree(root, files):
    dirs = []
    top = 0
    while len(dirs) * 50 < files:
        base = os.path.join(root, f"t{top}")
        dirs.append(base)
        dirs.extend(os.path.join(base, f"s{sub}") for sub in range(49))
        top += 1
    dirs = dirs[: files // 50]
    for d in dirs:
        os.makedirs(d, exist_ok=True)
        for f in range(50):
            open(os.path.join(d, f"f{f}.txt"), "w").close()


def median_ms(command, repeat):
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    args = sys.argv[1:]
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    bindir = os.path.join(args[0], "bin")
    repeat = int(args[args.index("--repeat") + 1]) if "--repeat" in args else 5
    sizes = [int(n) for n in (args[args.index("--sizes") + 1] if "--sizes" in args
                              else "10000,100000,300000").split(",")]
    ostrel = os.path.join(bindir, "ostrel")
    commands = [
        ("ostrel scan", lambda d: [ostrel, "scan", "--recursive", d, "*"]),
        ("ostrel scan --sorted", lambda d: [ostrel, "scan", "--sorted", "--recursive", d, "*"]),
        ("find ! -type d", lambda d: ["find", d, "!", "-type", "d"]),
        ("fdfind -u -t f", lambda d: ["fdfind", "-u", "-t", "f", ".", d]),
        ("fdfind -u -t f -j1", lambda d: ["fdfind", "-u", "-t", "f", "-j1", ".", d]),
        ("std recursive_directory_iterator", lambda d: [os.path.join(bindir, "StdScan"), d]),
    ]
    commands = [(n, c) for n, c in commands if shutil.which(c("x")[0])]
    print("| Files | " + " | ".join(n for n, _ in commands) + " |")
    print("|---" * (len(commands) + 1) + "|")
    for files in sizes:
        root = tempfile.mkdtemp(prefix="ostrel-scancompare-")
        try:
            make_tree(root, files)
            ms = [median_ms(c(root), repeat) for _, c in commands]
        finally:
            shutil.rmtree(root)
        cells = [f"{m:.1f} ms (x{m / ms[0]:.2f})" for m in ms]
        print(f"| {files:,} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
