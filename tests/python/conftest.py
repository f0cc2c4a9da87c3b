import os

import pytest

try:
    import numpy  # noqa: F401

    HAVE_NUMPY = True
except ImportError:  # numpy is optional
    HAVE_NUMPY = False

needs_numpy = pytest.mark.skipif(not HAVE_NUMPY, reason="numpy is not installed")


def object_id(obj):
    """The process-wide id of an Indexable, read from the debug form of a query value."""
    from Calderwick import PyQueryExpr

    text = repr(PyQueryExpr.eq("x", obj))
    return int(text.split("IndexAPI { id: ")[1].split(",")[0])


def by_id(objs):
    return sorted(objs, key=object_id)


# Under the sanitizer run the module's memory goes through the sanitizer's
# allocator (quarantine included): resident-size checks mean nothing there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
