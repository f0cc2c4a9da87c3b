import importlib
import inspect
import sys

import pytest

import Calderwick

U64_MAX = 2**64 - 1


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((2, 3), {}, "5"),
        ((), {"a": 2, "b": 3}, "5"),
        ((2,), {"b": 3}, "5"),
        ((0, 0), {}, "0"),
        ((U64_MAX, 1), {}, "0"),
        ((U64_MAX, U64_MAX), {}, str(2**64 - 2)),
        ((True, True), {}, "2"),
    ],
)
def test_sum_as_string_wraps_modulo_2_64(args, kwargs, expected):
    assert Calderwick.sum_as_string(*args, **kwargs) == expected


def test_sum_as_string_accepts_index_protocol():
    class Three:
        def __index__(self):
            return 3

    assert Calderwick.sum_as_string(Three(), 4) == "7"


@pytest.mark.parametrize("a, b", [(-1, 1), (2**64, 0), (0, -5)])
def test_sum_as_string_out_of_range_raises_overflow_unprefixed(a, b):
    with pytest.raises(OverflowError) as info:
        Calderwick.sum_as_string(a, b)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("bad", [1.5, "1", None])
def test_sum_as_string_non_integer_names_the_argument(bad):
    with pytest.raises(TypeError) as info:
        Calderwick.sum_as_string(bad, 1)
    assert str(info.value).startswith("argument 'a': ")
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError, match=r"^argument 'b': "):
        Calderwick.sum_as_string(1, bad)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "sum_as_string() missing 1 required positional argument: 'b'"),
        ((), {}, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        ((1, 2, 3), {}, "sum_as_string() takes 2 positional arguments but 3 were given"),
        ((1, 2), {"c": 3}, "sum_as_string() got an unexpected keyword argument 'c'"),
        ((1,), {"a": 2}, "sum_as_string() got multiple values for argument 'a'"),
    ],
)
def test_sum_as_string_argument_errors_use_cpython_wording(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Calderwick.sum_as_string(*args, **kwargs)
    assert str(info.value) == message


def test_sum_as_string_signature_and_doc():
    f = Calderwick.sum_as_string
    assert f.__text_signature__ == "(a, b)"
    assert f.__doc__ == "Formats the sum of two numbers as string."
    assert str(inspect.signature(f)) == "(a, b)"
    assert f.__module__ == "Calderwick"
    assert f.__self__ is Calderwick


def test_internal_error_is_a_base_exception_only():
    assert issubclass(Calderwick.InternalError, BaseException)
    assert not issubclass(Calderwick.InternalError, Exception)


def test_module_members_are_registered_in_order():
    names = [n for n in vars(Calderwick) if not n.startswith("__")]
    assert names[0] == "sum_as_string"
    assert names[-1] == "InternalError"
    assert Calderwick.__doc__


def test_second_import_returns_the_same_module_object():
    first = sys.modules.pop("Calderwick")
    try:
        again = importlib.import_module("Calderwick")
        assert again is first
    finally:
        sys.modules["Calderwick"] = first
