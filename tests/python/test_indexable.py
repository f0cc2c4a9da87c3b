import sys

import pytest

import Calderwick
from Calderwick import Indexable, InternalError

from conftest import needs_numpy


def test_construction_takes_keywords_and_ignores_positionals():
    assert repr(Indexable()) == "<Indexable with 0 attributes>"
    obj = Indexable(1, 2, a=3)
    assert repr(obj) == "<Indexable with 1 attributes>"
    assert obj.a == 3


def test_scalars_read_back_as_new_builtin_objects():
    big = 10**15
    text = "x" * 40
    obj = Indexable(i=big, f=2.5, s=text, t=True, n=False)
    assert obj.i == big and type(obj.i) is int and obj.i is not big
    assert obj.f == 2.5 and type(obj.f) is float
    assert obj.s == text and obj.s is not text
    assert obj.t is True and obj.n is False


def test_containers_indexables_and_unknown_values_read_back_by_identity():
    items, mapping, group, marker = [1, 2], {"k": 1}, (1,), object()
    inner = Indexable(x=1)
    obj = Indexable(items=items, mapping=mapping, group=group, marker=marker, inner=inner, none=None)
    assert obj.items is items and obj.mapping is mapping and obj.group is group
    assert obj.marker is marker and obj.inner is inner and obj.none is None
    items.append(3)  # the stored value is the same list object
    assert obj.items == [1, 2, 3]


def test_subclasses_of_builtins_are_kept_as_the_same_object():
    import enum

    class Color(enum.IntEnum):
        RED = 1

    class MyStr(str):
        pass

    s = MyStr("a")
    obj = Indexable(c=Color.RED, s=s)
    assert obj.c is Color.RED  # unknown kind: returned as the very object
    assert obj.s is s


def test_missing_attribute_error_carries_only_the_name():
    obj = Indexable(a=1)
    with pytest.raises(AttributeError) as info:
        obj.missing
    assert info.value.args == ("missing",)
    assert getattr(obj, "other", 7) == 7
    assert callable(obj.__dir__) and callable(obj.__repr__)


@pytest.mark.parametrize("value", [2**63, 2**64, -(2**63) - 1, 2**70])
def test_ints_outside_signed_64_bits_raise_internal_error(value):
    with pytest.raises(InternalError, match=r"^type checked"):
        Indexable(a=value)
    obj = Indexable(a=1)
    with pytest.raises(InternalError, match=r"^type checked"):
        obj.a = value
    assert obj.a == 1


@pytest.mark.parametrize("value", [bytearray(b"x"), type("Unhashable", (), {"__hash__": None})()])
def test_unhashable_unknown_values_raise_internal_error(value):
    with pytest.raises(InternalError):
        Indexable(a=value)


def test_internal_error_is_not_caught_by_except_exception():
    caught = None
    try:
        try:
            Indexable(a=2**64)
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            caught = "exception"
    except BaseException as e:  # noqa: BLE001
        caught = type(e)
    assert caught is Calderwick.InternalError


def test_assignment_replaces_and_adds_attributes():
    obj = Indexable(a=1)
    obj.a = "now a string"
    obj.b = [1]
    assert obj.a == "now a string" and obj.b == [1]
    assert repr(obj) == "<Indexable with 2 attributes>"


def test_deleting_an_attribute_is_refused():
    obj = Indexable(a=1)
    for name in ("a", "never_set"):
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(obj, name)
    assert obj.a == 1


def test_dir_lists_attributes_in_insertion_order_then_object_dir():
    obj = Indexable(zeta=1, alpha=2, mid=3)
    listed = obj.__dir__()
    assert listed[:3] == ["zeta", "alpha", "mid"]
    assert listed[3:] == object.__dir__(obj)
    assert "zeta" in dir(obj) and dir(obj) == sorted(dir(obj))


# An Indexable keeps this many attributes inline, in insertion order; the next
# distinct name moves them all into a hash map, listed in its own order.
INLINE_ATTRIBUTES = 16


@pytest.mark.parametrize(
    ("count", "given"),
    [(15, 15), (16, 16), (16, 9), (17, 17), (17, 16), (33, 20), (64, 0), (64, 64)],
)
def test_dir_lists_every_attribute_once_across_the_inline_capacity(count, given):
    # `given` attributes go to the constructor, the rest are set one by one,
    # each after replacing one already there; then half of them are replaced
    # again. Every step is checked against a dict, which keeps the same
    # first-insertion order.
    def check(obj, expected):
        listed = obj.__dir__()
        names, rest = listed[: len(expected)], listed[len(expected) :]
        if len(expected) <= INLINE_ATTRIBUTES:
            assert names == list(expected)
        else:
            assert sorted(names) == sorted(expected)
        own = object.__dir__(obj)
        assert rest == own and not set(expected) & set(own)
        for name, value in expected.items():
            assert getattr(obj, name) == value, name
        assert repr(obj) == f"<Indexable with {len(expected)} attributes>"

    names = [f"attr_{i}" for i in range(count)]
    expected = {n: i for i, n in enumerate(names[:given])}
    obj = Indexable(**expected)
    check(obj, expected)
    for i, name in enumerate(names[given:], start=given):
        if i:
            old = names[i // 2]
            expected[old] = f"{old} before {name}"
            setattr(obj, old, expected[old])
            check(obj, expected)
        expected[name] = i
        setattr(obj, name, i)
        check(obj, expected)
    for name in names[::2]:
        expected[name] = [name]
        setattr(obj, name, [name])
    check(obj, expected)


def test_python_subclasses_work_with_their_own_dict():
    class Product(Indexable):
        kind = "product"

        def label(self):
            return f"{self.name}!"

    p = Product(name="lamp")
    assert p.name == "lamp" and p.kind == "product" and p.label() == "lamp!"
    assert isinstance(p, Indexable)
    p.extra = 5
    assert p.extra == 5
    with pytest.raises(AttributeError):
        p.nothing


def test_dropping_many_objects_releases_every_reference():
    shared_value = object()
    shared_list = [1, 2, 3]
    before = sys.getrefcount(shared_value), sys.getrefcount(shared_list)
    objs = [Indexable(a=i, s="v" * (i % 40), o=shared_value, l=shared_list, f=i / 3) for i in range(1_000_000)]
    assert sys.getrefcount(shared_value) == before[0] + len(objs)
    for obj in objs[::2]:
        obj.o = None
    del objs, obj
    assert (sys.getrefcount(shared_value), sys.getrefcount(shared_list)) == before


@needs_numpy
def test_numpy_scalars_read_back_as_builtin_scalars():
    import numpy as np

    obj = Indexable(i=np.int64(5), f=np.float64(2.5), s=np.str_("a"), b=np.bool_(True))
    assert type(obj.i) is int and obj.i == 5
    assert type(obj.f) is float and obj.f == 2.5
    assert type(obj.s) is str and obj.s == "a"
    assert obj.b is True
    other = np.int32(3)  # not one of the native numpy types: kept as the object
    assert Indexable(x=other).x is other


class Name(str):
    """A str subclass used as an attribute name."""


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_names_given_as_fresh_or_repeated_str_objects_reach_the_same_attributes(seed):
    # Names are looked up through a small table of the str objects seen lately (256 slots, by
    # address). Here each name is given as a fresh str object (built at run time, so equal names are
    # distinct objects, and old ones die and leave their addresses to new ones), as the same object
    # again, or as a str subclass; over more distinct names than the table holds, so slots are
    # replaced. Constructions and assignments are checked against a dict per object.
    import random

    rng = random.Random(seed)
    pool = [f"n{k}" for k in range(600)]

    def name_object(text):
        kind = rng.randrange(3)
        if kind == 0:
            return "".join(list(text))  # a fresh object with these characters
        if kind == 1:
            return text  # the pool's own object, given again and again
        return Name(text)

    objs, models = [], []
    for step in range(3000):
        if not objs or rng.random() < 0.4:
            texts = rng.sample(pool, rng.randrange(0, 20))
            model = {t: rng.randrange(1000) for t in texts}
            kwargs = {name_object(t): v for t, v in model.items()}
            objs.append(Indexable(**kwargs))
            models.append(model)
        else:
            i = rng.randrange(len(objs))
            text, value = rng.choice(pool), f"v{step}"
            setattr(objs[i], name_object(text), value)
            models[i][text] = value
        if step % 100 == 0 or step == 2999:
            for obj, model in zip(objs, models):
                assert repr(obj) == f"<Indexable with {len(model)} attributes>"
                for text, value in model.items():
                    assert getattr(obj, name_object(text)) == value, text
                listed = obj.__dir__()[: len(model)]
                if len(model) <= INLINE_ATTRIBUTES:
                    assert listed == list(model)
                else:
                    assert sorted(listed) == sorted(model)
                absent = rng.choice(pool)
                if absent not in model:
                    with pytest.raises(AttributeError):
                        getattr(obj, absent)
