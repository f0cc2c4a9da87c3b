import pytest

try:
    import numpy  # noqa: F401

    HAVE_NUMPY = True
except ImportError:  # numpy is optional
    HAVE_NUMPY = False

needs_numpy = pytest.mark.skipif(not HAVE_NUMPY, reason="numpy is not installed")
