#!/usr/bin/env python3
"""Fails when an include breaks the layout's rules (docs/design.md).

Each folder of the core may include only the folders named for it below,
the seams' headers and what every part shares at the top of jobs/. Beyond
the table: no folder includes from one that includes it back, no two units
include each other, Windows' headers (and any other <x.h>) stay in the
Win32 backend and the service, and the portable code asks no question of
the platform by #ifdef.
"""
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Who may include whom, by folder. "platform" is the seams' headers; the
# backends are their own folders.
ALLOWED = {
    "jobs": {"platform"},  # what every part shares
    "jobs/report": {"jobs", "platform"},
    "jobs/config": {"jobs", "jobs/report", "platform"},
    "jobs/start": {"jobs", "jobs/config", "jobs/report", "platform"},
    "jobs/engine": {"jobs", "jobs/config", "jobs/report", "platform"},
    "platform": set(),
    "platform/win32": {"platform"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.MULTILINE)
PLATFORM_TEST = re.compile(
    r"^\s*#\s*(if|ifdef|ifndef|elif|elifdef|elifndef)\b.*"
    r"\b(_WIN32|_WIN64|WIN32|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|__linux__|__unix__|__APPLE__)\b",
    re.MULTILINE)
# Windows' own headers: windows.h and those that come with it.
WINDOWS_HEADER = re.compile(r"^(windows|win[a-z0-9]*|[a-z]*api|nt[a-z]*|tlhelp32|shlobj|objbase)\.h$",
                            re.IGNORECASE)


def sources():
    listed = subprocess.run(["git", "ls-files", "*.h", "*.cpp", "*.c"], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout.split()
    return [pathlib.PurePosixPath(name) for name in listed]


def resolve(path, name):
    """The included file as a path from the root, or None for one outside the tree."""
    target = pathlib.PurePosixPath(name)
    if target.parts[0] in ("jobs", "platform", "app", "service", "tests"):
        return target
    # "x.h" or "../x/y.h": beside the includer first, as the compiler looks.
    beside = pathlib.PurePosixPath(os.path.normpath(path.parent / target))
    return beside if (ROOT / beside).is_file() else None


def folder(path):
    return str(path.parent)


def unit(path):
    return str(path.with_suffix(""))


def find_cycle(graph):
    """One cycle of the graph as a list of nodes, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for next_node in sorted(graph.get(node, ())):
            if state.get(next_node) == "open":
                return stack[stack.index(next_node):] + [next_node]
            if next_node not in state:
                found = visit(next_node)
                if found:
                    return found
        stack.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main():
    faults = []
    folders = {}
    units = {}
    files = sources()
    for path in files:
        text = (ROOT / path).read_text(encoding="utf-8", errors="replace")
        here = folder(path)
        top = path.parts[0]
        if top in ("jobs", "app") and PLATFORM_TEST.search(text):
            faults.append(f"{path}: asks which platform by #if; a seam's backend answers that")
        for name in INCLUDE.findall(text):
            # The portable code needs no C header but the standard library's <cxxx>.
            if top in ("jobs", "app", "platform") and not here.startswith("platform/win32") and \
                    (WINDOWS_HEADER.match(name) or (f"<{name}>" in text and name.endswith(".h"))):
                faults.append(f"{path}: includes {name} outside the Win32 backend and the service")
            target = resolve(path, name)
            if target is None:
                continue
            there = folder(target)
            if unit(target) != unit(path):
                units.setdefault(unit(path), set()).add(unit(target))
            if here != there:
                folders.setdefault(here, set()).add(there)
            rules = ALLOWED.get(here)
            if rules is None and top in ("jobs", "platform"):
                faults.append(f"{path}: {here}/ has no include rules; add it to ALLOWED")
                rules = set()
            if rules is not None and there != here and there not in rules:
                faults.append(f"{path}: includes {name}, which {here}/ may not")
    cycle = find_cycle(folders)
    if cycle:
        faults.append("folders include each other: " + " -> ".join(cycle))
    cycle = find_cycle(units)
    if cycle:
        faults.append("units include each other: " + " -> ".join(cycle))
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        return 1
    print(f"includes: {len(files)} files within the layout's rules")
    return 0


if __name__ == "__main__":
    sys.exit(main())
