import os
import threading

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


# Under a sanitizer run the module's memory goes through the sanitizer's
# allocator (quarantine included), so resident-size checks mean nothing, and
# everything runs several times slower: the heaviest cases are scaled down.
SANITIZED = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libtsan"))


THREAD_TIMEOUT = 60


def run_threads(targets, timeout=THREAD_TIMEOUT):
    """Runs each callable on its own thread; fails on an error in any of them
    or on a thread still running after `timeout` seconds (a deadlock)."""
    errors = []

    def wrap(f):
        def run():
            try:
                f()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        return run

    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "thread did not finish (deadlock?)"
    assert not errors, errors
