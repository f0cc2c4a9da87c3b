#!/usr/bin/env python3
"""Checks the layering of src/: every include points to the same layer or one
below, and Python's reference counts and error indicator are touched only in
src/index/binding/. Prints each violation; exits 1 if there is any.

Layers, bottom to top (a file belongs to the first prefix that matches):
"""
import pathlib
import re
import sys

LAYERS = [  # (name, path prefixes relative to src/)
    ("common", ["index/common/"]),
    ("binding", ["index/binding/"]),
    ("structures", ["index/core/structures/"]),
    ("objects", ["index/value.", "index/indexable."]),
    ("core", ["index/core/"]),
    ("interfaces", ["index/interfaces/"]),
    ("module", ["module.cpp"]),
]
NO_PYTHON = {"common", "structures"}
PLUMBING = re.compile(
    r"\b(Py_X?INCREF|Py_X?DECREF|Py_X?NewRef|Py_CLEAR|Py_SETREF|Py_XSETREF|Py_RETURN_\w+|PyErr_\w+)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

__doc__ += "".join(f"  {name}: {', '.join(prefixes)}\n" for name, prefixes in LAYERS)


def layer_of(rel):
    for rank, (name, prefixes) in enumerate(LAYERS):
        if any(rel.startswith(p) for p in prefixes):
            return rank, name
    return None


def strip_comments(line):
    return line.split("//", 1)[0]


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    problems = []
    files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
    for path in files:
        rel = path.relative_to(src).as_posix()
        own = layer_of(rel)
        if own is None:
            problems.append(f"{rel}: in no layer")
            continue
        for n, line in enumerate(path.read_text().splitlines(), 1):
            m = INCLUDE.match(line)
            if m:
                target = m.group(2)
                if m.group(1) == "<" and target == "Python.h" and own[1] in NO_PYTHON:
                    problems.append(f"{rel}:{n}: the {own[1]} layer includes Python.h")
                if m.group(1) == '"' and target.startswith("index/"):
                    dest = layer_of(target)
                    if dest is None:
                        problems.append(f"{rel}:{n}: includes {target}, which is in no layer")
                    elif dest[0] > own[0]:
                        problems.append(f"{rel}:{n}: {own[1]} includes {target} of the higher layer {dest[1]}")
                continue
            if own[1] != "binding" and PLUMBING.search(strip_comments(line)):
                problems.append(f"{rel}:{n}: reference count or error indicator outside binding/: {line.strip()}")
    for p in problems:
        print(p)
    print(f"checked {len(files)} files: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
