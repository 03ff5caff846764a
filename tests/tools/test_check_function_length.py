#!/usr/bin/env python3
"""The function-length check: its brace scan on the awkward parts of C++,
and its verdict against a baseline on a made-up tree."""

import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import check_function_length as cfl  # noqa: E402

AWKWARD = r'''
#include <cstdio>
#define OPEN {
namespace vyx {
// a comment with a brace {
/* and a block
   comment } with one */
struct Point {
  int x;
  int Sum() const { return x + 1; }
};
int Quoted() {
  const char* s = "}{ \" }";
  char c = '}';
  const char* raw = R"x(})x";
  return s[0] + c + raw[0] + 1'000;
}
void WithLambda() {
  auto f = [](int a) { if (a) { return 1; } return 0; };
  f(1);
}
const int kTable[] = {1, 2};
}  // namespace vyx
template <typename T>
T Twice(T v) {
  return v + v;
}
Foo::Foo(int a) : mA(a), mB{a} {
}
'''


def lines_of(text):
    return {name: last - first + 1 for name, first, last in cfl.functions(text)}


class ScanTest(unittest.TestCase):
    def test_braces_in_comments_literals_and_lambdas(self):
        found = lines_of(AWKWARD)
        self.assertEqual(
            found, {"Sum": 1, "Quoted": 6, "WithLambda": 4, "Twice": 4, "Foo::Foo": 2})

    def test_long_function_length(self):
        body = "int Long() {\n" + "  x();\n" * 80 + "}\n"
        self.assertEqual(lines_of(body), {"Long": 82})


class VerdictTest(unittest.TestCase):
    def run_check(self, files, baseline):
        with tempfile.TemporaryDirectory() as d:
            root = os.path.join(d, "src")
            os.makedirs(root)
            for name, text in files.items():
                with open(os.path.join(root, name), "w") as fh:
                    fh.write(text)
            base = os.path.join(d, "baseline.txt")
            with open(base, "w") as fh:
                fh.write("# known\n" + "".join(e + "\n" for e in baseline))
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                rc = cfl.main(["--root", root, "--baseline", base])
            return rc, out.getvalue()

    def test_new_long_function_fails_unless_in_baseline(self):
        long_fn = "void A::Long() {\n" + "  x();\n" * 80 + "}\nvoid Short() {\n}\n"
        rc, out = self.run_check({"a.cpp": long_fn}, [])
        self.assertEqual(rc, 1)
        self.assertIn("src/a.cpp:A::Long 82 lines", out)
        rc, out = self.run_check({"a.cpp": long_fn}, ["src/a.cpp:A::Long", "src/b.cpp:Gone"])
        self.assertEqual(rc, 0, out)
        self.assertIn("src/b.cpp:Gone is no longer", out)

    def test_long_file_fails(self):
        rc, out = self.run_check({"big.h": "int x;\n" * 801}, [])
        self.assertEqual(rc, 1)
        self.assertIn("src/big.h: file of 801 lines", out)
        rc, _ = self.run_check({"ok.h": "int x;\n" * 800}, [])
        self.assertEqual(rc, 0)


if __name__ == "__main__":
    unittest.main()
