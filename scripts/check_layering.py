#!/usr/bin/env python3
"""One-way dependencies between the plug-in's subsystem folders.

Reads every quoted include (#include "...") of src/vyxlib and src/include
and fails on an include against the allowed directions below, on an include
that names no file of the tree, and on any cycle between folders.

Usage: check_layering.py [SRC_DIR]   (default: the src/ beside this script)
Exit status 0 when the tree keeps the layering, 1 otherwise (one line per
fault on stderr).
"""

import os
import re
import sys

# The allowed graph: folder of src/vyxlib -> folders it may include from.
# Every folder also includes from itself and from src/include ("include").
#
# "." is the plug-in's entry points (vyxlibmain.cpp, what the player calls):
# it builds the command manager and hands buffers to the filter, so it sits
# above everything and nothing includes it.
# The tuner implements the filter's report interface (ts/tablereports.h) and
# reads the stream's clock (ts/time.h); it needs nothing of ts/psip.  Its scan
# reaches the filter through a handler the command manager connects, not
# through an include.
# src/include is shared with the stand-ins, which see nothing of src/vyxlib.
ALLOWED = {
    ".": {"commands", "tuner", "ts", "ts/psip", "services", "core"},
    "commands": {"tuner", "ts", "ts/psip", "services", "core"},
    "tuner": {"ts", "services", "core"},
    "ts/psip": {"ts", "core"},
    "ts": {"core"},
    "services": {"core"},
    "core": set(),
    "include": set(),
}

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")


def find_cycle(graph):
    """A list of nodes forming a cycle of `graph` (node -> set), or None."""
    state = {}  # node -> 1 on the current path, 2 done
    path = []

    def visit(node):
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def folder_of(lib_dir, path):
    """The layering folder of a file under src/vyxlib: its directory relative
    to src/vyxlib ("." for the root), or None when no folder of ALLOWED holds
    it."""
    rel = os.path.relpath(os.path.dirname(path), lib_dir).replace(os.sep, "/")
    return rel if rel in ALLOWED else None


def sources(top):
    for root, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(root, name)


def check(src_dir):
    """Faults found (list of strings) and the folder graph actually used."""
    lib_dir = os.path.join(src_dir, "vyxlib")
    inc_dir = os.path.join(src_dir, "include")
    faults = []
    used = {}
    files = [(p, None) for p in sources(lib_dir)] + [(p, "include") for p in sources(inc_dir)]
    for path, fixed in files:
        shown = os.path.relpath(path, src_dir)
        src_folder = fixed or folder_of(lib_dir, path)
        if src_folder is None:
            faults.append("%s: folder not in the layering graph" % shown)
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        for number, line in enumerate(lines, 1):
            m = INCLUDE_RE.match(line)
            if not m:
                continue
            name = m.group(1)
            where = "%s:%d" % (shown, number)
            # Quoted includes are found from src/vyxlib (modules, by their
            # path) or src/include; the stand-ins' side sees only the latter.
            in_lib = os.path.join(lib_dir, name)
            if src_folder != "include" and os.path.isfile(in_lib):
                target = folder_of(lib_dir, in_lib)
                if target is None:
                    faults.append('%s: "%s" is in no folder of the layering graph' % (where, name))
                    continue
            elif os.path.isfile(os.path.join(inc_dir, name)):
                target = "include"
            else:
                faults.append('%s: "%s" names no file of src/vyxlib or src/include' % (where, name))
                continue
            if target == src_folder or target == "include":
                continue
            used.setdefault(src_folder, set()).add(target)
            if target not in ALLOWED[src_folder]:
                faults.append('%s: %s must not include %s ("%s")' % (where, src_folder, target, name))
    cycle = find_cycle(used)
    if cycle:
        faults.append("cycle between folders: " + " -> ".join(cycle))
    return faults, used


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    src_dir = argv[1] if len(argv) > 1 else os.path.join(here, "..", "src")
    allowed_cycle = find_cycle(ALLOWED)
    if allowed_cycle:
        print("the allowed graph itself has a cycle: " + " -> ".join(allowed_cycle), file=sys.stderr)
        return 1
    if not os.path.isdir(os.path.join(src_dir, "vyxlib")):
        print("no vyxlib folder under %s" % src_dir, file=sys.stderr)
        return 1
    faults, used = check(src_dir)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print("layering: %d fault(s)" % len(faults), file=sys.stderr)
        return 1
    edges = sum(len(v) for v in used.values())
    print("layering: %d folders, %d folder dependencies, all one way" % (len(used), edges))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
