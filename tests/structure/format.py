#!/usr/bin/env python3
"""Every C and C++ source keeps the project's format (.clang-format at the top).

  format.py --root SRC [--clang-format PROGRAM]   lists each file the formatter would change
  format.py --self-test [--clang-format PROGRAM]  checks the checker on a planted file
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

FOLDERS = ("Host", "agent", "platform", "smext", "resources", "tests", "tools", "bench", "fuzz")
SUFFIXES = (".c", ".cpp", ".h")


def sources(root):
    for folder in FOLDERS:
        for dirpath, dirnames, names in os.walk(os.path.join(root, folder)):
            rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
            dirnames.sort()
            for name in sorted(names):
                if name.endswith(SUFFIXES):
                    yield os.path.join(rel_dir, name)


# What the formatter says of each place it would change.
DIFFERS = re.compile(r"^(.+?):\d+:\d+: (?:warning|error): code should be clang-formatted")


def unformatted(root, program):
    """The files (relative to root) that the formatter would change."""
    files = list(sources(root))
    if not files:
        return []
    run = subprocess.run([program, "--dry-run", "--style=file", *files], cwd=root,
                         capture_output=True, text=True)
    faults = sorted({m.group(1) for m in map(DIFFERS.match, run.stderr.splitlines()) if m})
    if run.returncode != 0 and not faults:
        raise RuntimeError(f"{program} failed: {run.stderr.strip()}")
    return faults


def self_test(program):
    here = os.path.dirname(os.path.abspath(__file__))
    style = os.path.join(here, "..", "..", ".clang-format")
    with tempfile.TemporaryDirectory() as root:
        shutil.copy(style, os.path.join(root, ".clang-format"))
        os.makedirs(os.path.join(root, "agent"))
        with open(os.path.join(root, "agent", "Good.cpp"), "w") as f:
            f.write("int Twice(int n) { return 2 * n; }\n")
        if unformatted(root, program):
            return ["a formatted file was reported"]
        with open(os.path.join(root, "agent", "Bad.cpp"), "w") as f:
            f.write("int Twice(int n)\n{\n    return 2*n;\n}\n")
        found = unformatted(root, program)
        if found != ["agent/Bad.cpp"]:
            return [f"expected agent/Bad.cpp alone, found {found}"]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root")
    parser.add_argument("--clang-format", default="clang-format")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        faults = self_test(args.clang_format)
        for fault in faults:
            print(fault)
        print("the checker works" if not faults else "the checker is broken")
        return 1 if faults else 0
    faults = unformatted(args.root, args.clang_format)
    for rel in faults:
        print(f"{rel}: not in the project's format (clang-format -i {rel})")
    print(f"{len(faults)} file(s) to format" if faults else "every source is formatted")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
