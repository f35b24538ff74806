#!/usr/bin/env python3
"""Fails when a code snippet of docs/tour.md does not compile.

Takes every ```cpp block of the tour and compiles it with
  c++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I include -I BUILD_DIR/include
($CXX instead of c++ when set) inside a wrapper: every public header (include/Ostrel/*.h and the
generated ones in BUILD_DIR/include/Ostrel), the standard and system headers the snippets use, and
int main(int argc, char** argv) around the code.

The tour reads as one program (a plug-in is located in one snippet and loaded in the next), so
the blocks are compiled cumulatively: each block is compiled after the blocks before it that
compiled, every block in a scope nested in the previous one's. A block sees what earlier blocks
declared and may declare a name again. #line directives map the compiler's diagnostics back to
the tour, and one line is printed per failing block, "docs/tour.md:LINE: MESSAGE", with the first
error the compiler reports.

usage: check_snippets.py BUILD_DIR
"""
import glob
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOUR = "docs/tour.md"
STANDARD_HEADERS = ["csignal", "iostream", "mutex", "shared_mutex", "string", "vector", "dlfcn.h",
                    "fnmatch.h"]
DIAGNOSTIC = re.compile(r"^(.*?):(\d+):(?:\d+:)? (?:fatal )?(error|warning|note): (.*)$")


def blocks(path):
    """The ```cpp blocks of path as (line of the fence, first code line, code lines)."""
    found = []
    current = None
    with open(path, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            if current is None and line.strip() == "```cpp":
                current = (number, number + 1, [])
            elif current is not None and line.strip() == "```":
                found.append(current)
                current = None
            elif current is not None:
                current[2].append(line)
    return found, current


def wrapper(build_dir, nested):
    """The source to compile: the headers, then main() around the nested blocks."""
    headers = sorted({os.path.basename(h) for directory in ("include", f"{build_dir}/include")
                      for h in glob.glob(os.path.join(ROOT, directory, "Ostrel", "*.h"))})
    source = [f"#include <Ostrel/{h}>\n" for h in headers]
    source += [f"#include <{h}>\n" for h in STANDARD_HEADERS]
    source.append("int main(int argc, char** argv) {\n(void)argc;\n(void)argv;\n")
    for _, first, code in nested:
        source.append(f'{{\n#line {first} "{TOUR}"\n')
        source += code
    source.append('#line 1 "<wrapper>"\n' + "}\n" * len(nested) + "return 0;\n}\n")
    return "".join(source)


def first_error(output, first, last):
    """The tour line and message of the compiler's first error within lines first..last."""
    line, message = None, None
    for diagnostic in map(DIAGNOSTIC.match, output.splitlines()):
        if diagnostic is None:
            continue
        where, number, kind, text = diagnostic.groups()
        if line is None and where == TOUR and first <= int(number) <= last:
            line = int(number)
        if message is None and kind == "error":
            message = text
    return line or first, message or "does not compile"


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    found, unclosed = blocks(os.path.join(ROOT, TOUR))
    failures = []
    if unclosed is not None:
        failures.append(f"{TOUR}:{unclosed[0]}: ```cpp block is not closed")
    if not found:
        failures.append(f"{TOUR}:1: no ```cpp block found")
    command = [os.environ.get("CXX", "c++"), "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra",
               "-Werror", "-I", "include", "-I", os.path.join(build_dir, "include"),
               "-x", "c++", "-"]
    environment = dict(os.environ, LC_ALL="C")  # plain quotes in the messages
    compiled = []
    for block in found:
        _, first, code = block
        result = subprocess.run(command, cwd=ROOT, input=wrapper(build_dir, compiled + [block]),
                                capture_output=True, text=True, env=environment)
        if result.returncode == 0:
            compiled.append(block)
        else:
            line, message = first_error(result.stderr, first, first + len(code) - 1)
            failures.append(f"{TOUR}:{line}: {message}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
