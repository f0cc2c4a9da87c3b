"""The shipped type stubs: they agree with the module, mypy finds them in the
installed package, and the README's API reference is generated from them."""

import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
HAVE_MYPY = importlib.util.find_spec("mypy") is not None
needs_mypy = pytest.mark.skipif(not HAVE_MYPY, reason="mypy is not installed")


def run_mypy(args, cwd):
    # Run outside the checkout so that only the installed package can answer.
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


@needs_mypy
def test_stubtest_finds_no_difference_between_stubs_and_module(tmp_path):
    run = run_mypy(["mypy.stubtest", "Calderwick", "--allowlist", str(ROOT / "stubs" / "stubtest-allowlist.txt")],
                   tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


@needs_mypy
def test_mypy_strict_resolves_the_installed_stubs_and_reports_type_errors(tmp_path):
    program = tmp_path / "catalogue.py"
    program.write_text(textwrap.dedent("""\
        from Calderwick import FilteredIndex, Index, Indexable, PyQueryExpr as Q

        index = Index()
        index.add_object_many([Indexable(sku="LAM-1", price=39.5), Indexable(sku="RUG-7", price=120)])
        view: FilteredIndex = index.reduced_query(Q.and_(Q.bt("price", 10, 50), Q.not_(Q.eq("sku", "X"))))
        found: list[Indexable] = view.reduced(sku="LAM-1").collect()
        reveal_type(view.rebase())
        reveal_type(Q.in_("sku", ["LAM-1"]))
        reveal_type(index.get_by_attribute(price=120))
        index.add_object(42)
        Q.eq(1, "a")
        index.union_with(view)
        """))
    run = run_mypy(["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                    program.name], tmp_path)
    # Older mypy releases spell the built-in list "builtins.list".
    lines = [line.replace('"builtins.list[', '"list[') for line in run.stdout.splitlines()
             if line.startswith("catalogue.py:")]
    assert run.returncode == 1, run.stdout + run.stderr
    assert lines == [
        'catalogue.py:7: note: Revealed type is "Calderwick.Index"',
        'catalogue.py:8: note: Revealed type is "Calderwick.PyQueryExpr"',
        'catalogue.py:9: note: Revealed type is "list[Calderwick.Indexable]"',
        'catalogue.py:10: error: Argument 1 to "add_object" of "Index" has incompatible type "int"; '
        'expected "Indexable"  [arg-type]',
        'catalogue.py:11: error: Argument 1 to "eq" of "PyQueryExpr" has incompatible type "int"; '
        'expected "str"  [arg-type]',
        'catalogue.py:12: error: Argument 1 to "union_with" of "Index" has incompatible type "FilteredIndex"; '
        'expected "Index"  [arg-type]',
    ], run.stdout + run.stderr


def test_readme_api_reference_is_the_one_generated_from_the_stubs():
    found = importlib.util.spec_from_file_location("api_reference", ROOT / "scripts" / "api_reference.py")
    api_reference = importlib.util.module_from_spec(found)
    found.loader.exec_module(api_reference)
    generated = api_reference.generate(api_reference.STUB.read_text())
    assert api_reference.readme_section(api_reference.README.read_text()) == generated, (
        "README.md's API reference differs from the stubs: run scripts/api_reference.py --write")
    # Every public class and method of the module appears in the reference.
    import Calderwick

    for name in ("sum_as_string", "InternalError", "Indexable", "Index", "FilteredIndex", "PyQueryExpr"):
        assert f"`{name}" in generated
    for cls in (Calderwick.Index, Calderwick.FilteredIndex, Calderwick.PyQueryExpr):
        for method in (m for m in vars(cls) if not m.startswith("_")):
            assert f"{method}(" in generated, f"{cls.__name__}.{method} is missing from the API reference"
