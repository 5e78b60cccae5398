#!/usr/bin/env python3
"""Compiles every source of builder/ and kde/ with mingw-w64 for syntax only, with the flags of
the Linux build (its compile_commands.json) against the Linux Qt 6 headers, so that code only
Windows compiles is checked too. A Windows-only source takes the flags of its POSIX twin."""
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

COMPILER = "x86_64-w64-mingw32-g++-posix"


def flags_of(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    kept, skip = [], False
    for arg in args[1:]:
        if skip:
            skip = False
        elif arg in ("-o", "-MT", "-MF", "-MQ"):
            skip = True
        elif arg in ("-c", "-MD", "-MMD", "-fPIC") or arg == entry["file"]:
            pass
        else:
            kept.append(arg)
    return kept


def main():
    source_dir = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
    database = sys.argv[1] if len(sys.argv) > 1 else os.path.join(source_dir, "build",
                                                                   "compile_commands.json")
    with open(database) as f:
        entries = {os.path.realpath(e["file"]): e for e in json.load(f)}
    jobs = []
    for folder in ("builder", "kde"):
        for name in sorted(os.listdir(os.path.join(source_dir, folder))):
            # The POSIX side of the platform layer is not part of the Windows build.
            if not name.endswith(".cpp") or name.endswith("-posix.cpp"):
                continue
            path = os.path.realpath(os.path.join(source_dir, folder, name))
            entry = entries.get(path) or entries.get(path.replace("-win32.cpp", "-posix.cpp"))
            if entry is None:
                print(f"no compile command for {folder}/{name} in {database}")
                return 1
            jobs.append((f"{folder}/{name}", entry["directory"],
                         [COMPILER, "-fsyntax-only"] + flags_of(entry) + [path]))

    def check(job):
        name, directory, command = job
        result = subprocess.run(command, cwd=directory, capture_output=True, text=True)
        return name, result.returncode, result.stdout + result.stderr

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        for name, status, output in pool.map(check, jobs):
            if status != 0:
                failed += 1
            if output:
                print(f"--- {name}\n{output}")
    print(f"Windows syntax check: {len(jobs) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
