#!/usr/bin/env python3
"""scripts/check_layering.py on made-up trees: a tree that keeps the layering
passes; an include against the allowed directions, an include of a file
that does not exist, a file outside the known folders and a module header
included by src/include each fail, naming the file and line."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check_layering.py")

# A small tree in the shape of src/: one file per folder, each including
# what the layering allows.
GOOD = {
    "include/types.h": "",
    "vyxlib/vyxlibmain.cpp": '#include "commands/commandmanager.h"\n#include "core/utils.h"\n',
    "vyxlib/commands/commandmanager.h": '#include "tuner/tunermanager.h"\n#include "ts/psip/vct.h"\n',
    "vyxlib/tuner/tunermanager.h": '#include "ts/tablereports.h"\n#include "services/beacon.h"\n',
    "vyxlib/ts/psip/vct.h": '#include "ts/tablereports.h"\n',
    "vyxlib/ts/tablereports.h": '#include "types.h"\n#include "core/utils.h"\n',
    "vyxlib/services/beacon.h": '#  include "core/utils.h"\n',
    "vyxlib/core/utils.h": "#include <stdio.h>\n#include \"types.h\"\n",
}


def run(tree):
    with tempfile.TemporaryDirectory() as top:
        for name, text in tree.items():
            path = os.path.join(top, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        p = subprocess.run([sys.executable, SCRIPT, top], capture_output=True, text=True)
        return p.returncode, p.stderr


def with_file(name, text):
    tree = dict(GOOD)
    tree[name] = text
    return tree


class Layering(unittest.TestCase):
    def test_a_tree_that_keeps_the_layering_passes(self):
        self.assertEqual(run(GOOD), (0, ""))

    def test_an_upward_include_fails_with_its_place(self):
        rc, err = run(with_file("vyxlib/ts/tsfilter.cpp", '// x\n#include "tuner/tunermanager.h"\n'))
        self.assertEqual(rc, 1)
        self.assertIn('vyxlib/ts/tsfilter.cpp:2: ts must not include tuner ("tuner/tunermanager.h")', err)
        # Both directions between two folders: also reported as a cycle.
        self.assertIn("cycle between folders: ts -> tuner -> ts", err)

    def test_every_direction_the_graph_forbids_fails(self):
        cases = [("vyxlib/core/x.cpp", "ts/tablereports.h", "core must not include ts"),
                 ("vyxlib/services/x.cpp", "tuner/tunermanager.h", "services must not include tuner"),
                 ("vyxlib/ts/x.cpp", "ts/psip/vct.h", "ts must not include ts/psip"),
                 ("vyxlib/tuner/x.cpp", "commands/commandmanager.h", "tuner must not include commands"),
                 ("vyxlib/commands/x.cpp", "vyxlibmain.cpp", "commands must not include .")]
        for name, target, words in cases:
            rc, err = run(with_file(name, '#include "%s"\n' % target))
            self.assertEqual(rc, 1, name)
            self.assertIn(words, err, name)

    def test_unknown_files_and_folders_fail(self):
        rc, err = run(with_file("vyxlib/ts/x.cpp", '#include "ts/nosuch.h"\n'))
        self.assertEqual(rc, 1)
        self.assertIn('"ts/nosuch.h" names no file', err)
        rc, err = run(with_file("vyxlib/extra/x.cpp", ""))
        self.assertEqual(rc, 1)
        self.assertIn("vyxlib/extra/x.cpp: folder not in the layering graph", err)

    def test_shared_headers_see_nothing_of_the_library(self):
        rc, err = run(with_file("include/shared.h", '#include "core/utils.h"\n'))
        self.assertEqual(rc, 1)
        self.assertIn('"core/utils.h" names no file', err)


if __name__ == "__main__":
    unittest.main()
