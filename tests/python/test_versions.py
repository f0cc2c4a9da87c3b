"""Behaviour that CPython changed between the supported versions, checked on
whichever version runs the tests."""

import subprocess
import sys
import textwrap

import pytest

# Each CPython spells "make a sub-interpreter" differently: 3.10 and 3.11
# have only interpreters that share the main one's GIL; 3.12 adds isolated
# ones (their own GIL, no single-phase modules), the default of
# _xxsubinterpreters.create; 3.13 renames the module and takes a config name.
CREATE_SUBINTERPRETER = textwrap.dedent(
    """
    import sys
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    def create(isolated):
        if hasattr(interpreters, "new_config"):
            return interpreters.create("isolated" if isolated else "legacy")
        if sys.version_info >= (3, 12):
            return interpreters.create(isolated=isolated)
        assert not isolated
        return interpreters.create()
    """
)

IMPORT_IN_SUBINTERPRETER = textwrap.dedent(
    """
    import os
    try:
        import Calderwick
    except ImportError as e:
        os.write(1, ("ImportError: %s\\n" % e).encode())
    else:
        os.write(1, b"imported\\n")
    """
)


def run_import_in_subinterpreter(isolated):
    code = CREATE_SUBINTERPRETER + textwrap.dedent(
        f"""
        import Calderwick
        interp = create({isolated})
        interpreters.run_string(interp, {IMPORT_IN_SUBINTERPRETER!r})
        # The refusal leaves the module working in the main interpreter.
        obj = Calderwick.Indexable(x=1)
        index = Calderwick.Index()
        index.add_object(obj)
        print("main", index.get_by_attribute(x=1) == [obj], flush=True)
        """
    )
    # A fresh process, so the sub-interpreter is certainly not the first importer.
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_a_subinterpreter_sharing_the_gil_is_refused_by_the_module():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    out = run_import_in_subinterpreter(isolated=False)
    assert "ImportError: Calderwick does not support sub-interpreters" in out, out
    assert "main True" in out, out


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters came with 3.12")
def test_an_isolated_subinterpreter_is_refused_before_the_module_runs():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    # A single-phase module never loads into an interpreter with its own GIL:
    # CPython refuses it before calling the module's initialiser.
    out = run_import_in_subinterpreter(isolated=True)
    assert "ImportError: module Calderwick does not support loading in subinterpreters" in out, out
    assert "main True" in out, out
