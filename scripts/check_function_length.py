#!/usr/bin/env python3
"""Lists the functions longer than 80 lines and the files longer than 800 in
the C and C++ sources under a tree (src/ by default), and fails on one that
is not in the baseline kept beside this script.

    scripts/check_function_length.py [--root DIR] [--baseline FILE] [--list]

A function's length runs from the line of its name (or its template line) to
the line of its closing brace.  The scan matches braces on the text with
comments, string and character literals (raw strings too) and preprocessor
lines blanked out; a function is a brace block whose head has parentheses and
which sits at file, namespace or class scope, so lambdas and local classes
count towards the function around them.

The baseline (function_length_baseline.txt) holds `path:name` lines (path
from the root's parent, e.g. src/vyxlib/core/utils.cpp:Foo): functions known
to be too long that are being split.  Entries no longer over the limit are
reported, not failed, so that splitting one never breaks the check.
"""

import argparse
import os
import re
import sys

MAX_FUNCTION_LINES = 80
MAX_FILE_LINES = 800
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp")
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BASELINE = os.path.join(HERE, "function_length_baseline.txt")

_RAW_STRING = re.compile(r'R"([^()\\ ]{0,16})\(')


def blank(text):
    """The text with comments, literals and preprocessor lines turned to
    spaces; newlines are kept so that line numbers stay."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            out.append(c)
            i += 1
            continue
        if line_start and c == "#":
            # A directive, with its continuation lines.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append(" \n")
                    i += 2
                    continue
                out.append(" ")
                i += 1
            continue
        line_start = False
        if c == "\n":
            line_start = True
            out.append(c)
            i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                out.append(" ")
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == "R" and _RAW_STRING.match(text, i) and not _ident_char(text, i - 1):
            m = _RAW_STRING.match(text, i)
            close = ")" + m.group(1) + '"'
            end = text.find(close, m.end())
            end = n if end < 0 else end + len(close)
            out.append('"' + re.sub(r"[^\n]", " ", text[i + 1:end - 1]) + '"')
            i = end
        elif c in "\"'":
            # A digit separator (1'000) is no character literal.
            if c == "'" and _ident_char(text, i - 1) and text[i - 1].isdigit():
                out.append(" ")
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _ident_char(text, i):
    return 0 <= i < len(text) and (text[i].isalnum() or text[i] == "_")


_ACCESS = re.compile(r"^\s*(public|private|protected)\s*:(?!:)")
_CLASS_HEAD = re.compile(r"^\s*(template\s*<.*?>\s*)?(typedef\s+)?(class|struct|union|enum)\b", re.S)
_NAMESPACE_HEAD = re.compile(r'^\s*(inline\s+)?(namespace\b|extern\s*"\s*"\s*$)', re.S)
_NAME = re.compile(r"((?:[A-Za-z_]\w*\s*::\s*)*~?\s*(?:operator\s*[^\s(]+|[A-Za-z_]\w*))\s*$")


def _has_initializer(head):
    """An `=` at parenthesis depth 0 that is an assignment, not a comparison
    or an operator's name."""
    depth = 0
    for k, ch in enumerate(head):
        if ch in "([":
            depth += 1
        elif ch in ")]":
            depth -= 1
        elif ch == "=" and depth == 0:
            before = head[max(0, k - 8):k]
            if head[k + 1:k + 2] == "=" or before[-1:] in "=!<>" or before.rstrip().endswith("operator"):
                continue
            return True
    return False


def classify(head):
    """What a block opened after `head` is: namespace, class, function,
    init (a braced initializer) or other."""
    while _ACCESS.match(head):
        head = _ACCESS.sub("", head, count=1)
    if _NAMESPACE_HEAD.match(head):
        return "namespace", None
    if _CLASS_HEAD.match(head):
        return "class", None
    if _has_initializer(head):
        return "init", None
    paren = head.find("(")
    if paren < 0:
        return "other", None
    m = _NAME.search(head[:paren])
    if m is None:
        return "other", None
    name = re.sub(r"\s+", "", m.group(1))
    if name in ("if", "for", "while", "switch", "catch", "return", "sizeof", "decltype"):
        return "other", None
    if _in_member_initializers(head, paren):
        return "meminit", None
    return "function", name


def _in_member_initializers(head, paren):
    """Whether the brace after head opens a member's braced initializer in a
    constructor's initializer list (`: mA(a), mB{a}`) rather than a body."""
    depth = 0
    for k in range(paren, len(head)):
        if head[k] == "(":
            depth += 1
        elif head[k] == ")":
            depth -= 1
            if depth == 0:
                rest = re.sub(r"::", "", head[k + 1:])
                return ":" in rest and re.search(r"[\w>]\s*$", rest) is not None
    return False


def functions(text):
    """(name, first line, last line) of every function in C/C++ text."""
    clean = blank(text)
    found = []
    stack = []  # (kind, name, first line) of the open blocks
    head_start = 0
    line = 1
    for i, ch in enumerate(clean):
        if ch == "\n":
            line += 1
        elif ch == ";":
            head_start = i + 1
        elif ch == "{":
            outer = stack[-1][0] if stack else "namespace"
            if outer == "meminit":
                stack.append(("meminit", None, line))
                continue
            if outer in ("namespace", "class"):
                head = clean[head_start:i]
                kind, name = classify(head)
                stripped = len(head) - len(head.lstrip())
                first = line - head[stripped:].count("\n")
            else:
                kind, name, first = "inner", None, line
            stack.append((kind, name, first))
            if kind != "meminit":
                head_start = i + 1
        elif ch == "}":
            if stack:
                kind, name, first = stack.pop()
                if kind == "function":
                    found.append((name, first, line))
                if kind == "meminit":
                    continue
            head_start = i + 1
    return found


def scan(root, label_base):
    """Long functions and files under root: lists of (path, name, lines)
    and (path, lines), paths relative to label_base."""
    long_functions, long_files = [], []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for f in sorted(filenames):
            if not f.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(dirpath, f)
            rel = os.path.relpath(path, label_base)
            with open(path, encoding="utf-8", errors="replace") as fh:
                text = fh.read()
            lines = text.count("\n") + (0 if text.endswith("\n") or not text else 1)
            if lines > MAX_FILE_LINES:
                long_files.append((rel, lines))
            for name, first, last in functions(text):
                if last - first + 1 > MAX_FUNCTION_LINES:
                    long_functions.append((rel, name, last - first + 1))
    return long_functions, long_files


def read_baseline(path):
    entries = set()
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as fh:
        for raw in fh:
            entry = raw.split("#", 1)[0].strip()
            if entry:
                entries.add(entry)
    return entries


def main(argv):
    here_root = os.path.join(os.path.dirname(HERE), "src")
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", default=here_root, help="tree to scan (default: src/)")
    ap.add_argument("--baseline", default=DEFAULT_BASELINE)
    ap.add_argument("--list", action="store_true", help="list every long function, baseline or not")
    args = ap.parse_args(argv)
    root = os.path.abspath(args.root)
    long_functions, long_files = scan(root, os.path.dirname(root))
    baseline = read_baseline(args.baseline)
    failed = False
    seen = set()
    for rel, name, lines in long_functions:
        key = "%s:%s" % (rel, name)
        seen.add(key)
        known = key in baseline
        if args.list or not known:
            print("%s %d lines%s" % (key, lines, " (baseline)" if known else ""))
        failed = failed or not known
    for rel, lines in long_files:
        print("%s: file of %d lines (at most %d)" % (rel, lines, MAX_FILE_LINES))
        failed = True
    for key in sorted(baseline - seen):
        print("note: %s is no longer over %d lines; take it out of the baseline" % (key, MAX_FUNCTION_LINES))
    if failed:
        print("FAIL: functions over %d lines or files over %d lines not in %s"
              % (MAX_FUNCTION_LINES, MAX_FILE_LINES, os.path.basename(args.baseline)))
        return 1
    print("ok: no new function over %d lines, no file over %d lines" % (MAX_FUNCTION_LINES, MAX_FILE_LINES))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
