"""numpy is optional: the module imports it on first use of a value, indexes
its native scalars like the built-in types when it is there, and needs
nothing from it when it is not. The venvs of the test command cover numpy
absent, 1.x and 2.x; the cases that block numpy run everywhere."""

import importlib.util
import subprocess
import sys
import textwrap

import pytest

from Calderwick import Index, Indexable, PyQueryExpr as Q

from conftest import needs_numpy

HAVE_NUMPY = importlib.util.find_spec("numpy") is not None

# Put in front of a child's code: makes `import numpy` fail as if it were not installed.
BLOCK_NUMPY = textwrap.dedent(
    """
    import sys
    class NoNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ModuleNotFoundError("No module named 'numpy'", name=name)
            return None
    sys.meta_path.insert(0, NoNumpy())
    """
)


def run_child(code, *flags):
    run = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout.split()


def test_numpy_is_imported_on_the_first_value_not_with_the_module():
    out = run_child(
        """
        import sys
        import Calderwick
        print("numpy" in sys.modules)
        Calderwick.Indexable()  # no attribute: no value made yet
        print("numpy" in sys.modules)
        Calderwick.Indexable(x=1)
        print("numpy" in sys.modules)
        """
    )
    assert out == ["False", "False", str(HAVE_NUMPY)]


def test_without_numpy_every_kind_of_value_is_indexed_and_queried():
    out = run_child(
        BLOCK_NUMPY
        + textwrap.dedent("""
        from Calderwick import Index, Indexable, PyQueryExpr as Q
        inner = Indexable(name="ann")
        objs = [Indexable(i=3, f=2.5, s="abc", b=True, tags=[1, "x"], owner=inner, other=None),
                Indexable(i=4, f=3.5, s="abd", b=False, tags=[], owner=Indexable(name="bo"), other=())]
        index = Index()
        index.add_object_many(objs)
        picks = [
            index.reduced_query(Q.eq("i", 3.0)),
            index.reduced_query(Q.bt("f", 2, 3)),
            index.reduced_query(Q.starts_with("s", "abc")),
            index.reduced_query(Q.eq("b", True)),
            index.reduced_query(Q.eq("tags", "x")),
            index.reduced_query(Q.eq("owner.name", "ann")),
            index.reduced_query(Q.eq("other", None)),
        ]
        print(*[p.collect() == [objs[0]] for p in picks])
        print(type(objs[0].i).__name__, type(objs[0].f).__name__, type(objs[0].s).__name__, objs[0].b)
        print("numpy" in sys.modules)
        """)
    )
    assert out == ["True"] * 7 + ["int", "float", "str", "True", "False"]


# Each native numpy scalar, queries that must select an object holding it
# (given a maker of query values: the numpy type or the built-in one), and
# values that none of the queries may select.
SCALARS = [
    ("int64", 7, lambda v: [Q.eq("x", v(7)), Q.eq("x", 7.0), Q.in_("x", [v(7)]), Q.bt("x", v(6), v(8)),
                            Q.and_(Q.gt("x", v(6)), Q.lt("x", v(8)))],
     [1, 1000, 9.5, "7", True]),
    ("float64", 2.5, lambda v: [Q.eq("x", v(2.5)), Q.in_("x", [v(2.5)]), Q.bt("x", v(2.0), v(3.0)),
                                Q.and_(Q.ge("x", v(2.5)), Q.le("x", v(2.5)))],
     [1, 4, 1000.0, "2.5", True]),
    ("str_", "abc", lambda v: [Q.eq("x", v("abc")), Q.in_("x", [v("abc")]), Q.starts_with("x", v("ab")),
                               Q.ends_with("x", v("bc")), Q.contains("x", v("b"))],
     ["xyz", "ABC", "a", 7, True]),
    # True is a boolean, never the number 1.
    ("bool_", True, lambda v: [Q.eq("x", v(True)), Q.in_("x", [v(True)])],
     [1, 1.0, False, "True", 0]),
]


@needs_numpy
@pytest.mark.parametrize("name, builtin, queries, misses", SCALARS, ids=[s[0] for s in SCALARS])
@pytest.mark.parametrize("stored_as_numpy", [True, False], ids=["numpy-stored", "builtin-stored"])
def test_numpy_scalars_are_indexed_like_the_builtin_types(name, builtin, queries, misses, stored_as_numpy):
    import numpy as np

    numpy_type, builtin_type = getattr(np, name), type(builtin)
    hit = Indexable(x=numpy_type(builtin) if stored_as_numpy else builtin)
    others = [Indexable(x=v) for v in misses]
    index = Index()
    index.add_object_many([*others, hit])
    # Asked with the other type than the stored one.
    for q in queries(builtin_type if stored_as_numpy else numpy_type):
        assert index.reduced_query(q).collect() == [hit], q
    assert type(hit.x) is builtin_type and hit.x == builtin


@needs_numpy
def test_numpy_types_are_recognised_without_a_warning_on_first_use():
    # numpy 1.x warns (FutureWarning) when `numpy.bool` is looked up, and has
    # only `numpy.bool_`; numpy 2 has both. The first value under -W error
    # must find every type anyway.
    out = run_child(
        """
        import numpy as np
        from Calderwick import Indexable
        obj = Indexable(b=np.bool_(True), i=np.int64(2), f=np.float64(0.5), s=np.str_("a"))
        print(obj.b is True, type(obj.i).__name__, type(obj.f).__name__, type(obj.s).__name__)
        """,
        "-W", "error",
    )
    assert out == ["True", "int", "float", "str"]


@needs_numpy
@pytest.mark.parametrize("name", ["int32", "float32", "uint64", "bytes_"])
def test_other_numpy_scalars_are_kept_as_the_objects_themselves(name):
    import numpy as np

    value = getattr(np, name)(1 if name != "bytes_" else b"a")
    obj = Indexable(x=value)
    assert obj.x is value
    index = Index()
    index.add_object(obj)
    assert index.reduced_query(Q.eq("x", value)).collect() == [obj]  # by identity and hash
