#!/usr/bin/env python3
"""Checks what the build cannot: Python's reference counts and error
indicator are touched only in src/index/binding/, and the Python classes in
src/index/interfaces/ neither release the GIL nor enter the write gate (each
write's core operation does both, in src/index/core/operations.cpp).

Includes need no check here: each layer compiles against its own include
root and those of the layers below it (CMakeLists.txt), so an include that
runs back up, or Python.h in common/ or structures/, does not compile.
Prints each violation; exits 1 if there is any.
"""
import pathlib
import re
import sys

RULES = [  # (pattern, what it is, where it may appear)
    (re.compile(r"\b(Py_X?INCREF|Py_X?DECREF|Py_X?NewRef|Py_CLEAR|Py_SETREF|Py_XSETREF|Py_RETURN_\w+|PyErr_\w+)\b"),
     "reference count or error indicator outside index/binding/", lambda rel: rel.startswith("index/binding/")),
    (re.compile(r"\b(GilRelease|without_gil|write_scope|WriteScope|WRITE_GATE|PyEval_SaveThread)\b"),
     "GIL release or write gate in a Python class or the module entry",
     lambda rel: not rel.startswith("index/interfaces/") and rel != "module.cpp"),
]


def code_of(line):
    return line.split("//", 1)[0]


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    problems = []
    files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
    for path in files:
        rel = path.relative_to(src).as_posix()
        for n, line in enumerate(path.read_text().splitlines(), 1):
            for pattern, what, allowed in RULES:
                if not allowed(rel) and pattern.search(code_of(line)):
                    problems.append(f"{rel}:{n}: {what}: {line.strip()}")
    for p in problems:
        print(p)
    print(f"checked {len(files)} files: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
