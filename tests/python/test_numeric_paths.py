"""Randomised number and conjunction queries against Python's own evaluation.

Covers the paths an equality or range can take through the number index:
keys held by one id or shared by many, ranges whose bounds share a long key
prefix or none, bounds around 2**53 where ints and floats part, negative
numbers, -0.0 and NaN, values inside containers; after single adds, bulk adds,
attribute assignment, removal of values and narrowing of the index; and
conjunctions whose operands empty the running result early.
"""
import math

from hypothesis import HealthCheck, given, settings, strategies as st

from Calderwick import Index, Indexable, PyQueryExpr as Q

from model import LiveModel, to_expr

BIG = 2**53
EDGE = [0, -0.0, 0.0, 1, 1.0, -1, -1.5, 2.5, BIG, float(BIG), BIG + 1, BIG - 1, -BIG - 1, float(-BIG), 2**63 - 1,
        -(2**63), 1e300, -1e300, math.inf, -math.inf, math.nan, 5e-324, -5e-324]

numbers = st.one_of(
    st.sampled_from(EDGE),
    st.integers(-20, 20),
    st.integers(-20, 20).map(float),
    st.integers(-(2**63), 2**63 - 1),
    st.integers(BIG - 4, BIG + 4),
    st.integers(BIG - 4, BIG + 4).map(lambda v: -v),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1000, 1000),
)
values = st.one_of(numbers, numbers, st.lists(numbers, max_size=3), st.sampled_from(["x", "xy", None, True]))


holds = LiveModel().holds
build = to_expr


ATTRS = ["a", "b"]
leaf = st.one_of(
    st.tuples(st.sampled_from(["eq", "gt", "ge", "lt", "le"]), st.sampled_from(ATTRS), numbers),
    st.tuples(st.just("in"), st.sampled_from(ATTRS), st.lists(numbers, max_size=4)),
    st.tuples(st.just("bt"), st.sampled_from(ATTRS), numbers, numbers),
    # Narrow ranges: the bounds share most of their key.
    st.tuples(st.just("bt"), st.sampled_from(ATTRS), st.floats(-1000, 1000), st.floats(0, 1e-6)).map(
        lambda t: (t[0], t[1], t[2], t[2] + t[3])),
    st.tuples(st.just("starts_with"), st.just("s"), st.sampled_from(["", "a", "ab", "b"])),
)
queries = st.recursive(
    leaf,
    lambda inner: st.one_of(st.tuples(st.sampled_from(["and", "or"]), st.lists(inner, max_size=4)),
                            st.tuples(st.just("not"), inner)),
    max_leaves=6,
)


def same(got, expected):
    """The same objects; collect() orders by internal id, which need not follow creation."""
    return sorted(map(id, got)) == sorted(map(id, expected))


def check(index, members, qs):
    for q in qs:
        got = sorted(map(id, index.reduced_query(build(q)).collect()))
        assert got == sorted(id(o) for o in members if holds(o, q)), q


def make(rows):
    return [Indexable(a=a, b=b, s=s, g=g) for a, b, s, g in rows]


rows = st.lists(st.tuples(values, numbers, st.sampled_from(["a", "ab", "abc", "b", "ba"]), st.integers(0, 1)),
                min_size=1, max_size=40)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rows, st.lists(queries, min_size=1, max_size=8), st.booleans(),
       st.lists(st.tuples(st.integers(0, 39), st.sampled_from(ATTRS), values), max_size=10),
       st.lists(queries, min_size=1, max_size=6))
def test_numbers_after_adds_assignments_and_narrowing(data, qs, bulk, changes, later):
    objs = make(data)
    index = Index()
    if bulk:
        index.add_object_many(objs)
    else:
        for o in objs:
            index.add_object(o)
    check(index, objs, qs)
    for k, attr, v in changes:
        setattr(objs[k % len(objs)], attr, v)
    check(index, objs, later)
    index.reduce(g=1)
    members = [o for o in objs if o.g == 1]
    check(index, members, qs + later)
    # Values removed for good: assigning a string leaves no number behind.
    for o in members[::2]:
        o.a = "gone"
    check(index, members, qs + later)


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**40), st.integers(1, 3000), st.integers(0, 2999))
def test_unique_keys_and_shared_keys_by_equality_and_membership(base, n, pick):
    # Many distinct keys (one id each) next to one key shared by every third object.
    objs = [Indexable(a=base + i if i % 3 else -7.0, b=float(base + i)) for i in range(n)]
    index = Index()
    index.add_object_many(objs)
    target = objs[pick % n]
    assert same(index.get_by_attribute(a=target.a), [target] if target.a != -7.0 else objs[::3])
    assert index.get_by_attribute(b=int(target.b)) == [target]
    wanted = [base + pick % n, -7, base + n + 5]
    got = index.reduced_query(Q.in_("a", wanted)).collect()
    assert same(got, [o for o in objs if o.a in wanted])
    # Move the target to a fresh key and back; the shared key shrinks to one id and grows again.
    old = target.a
    target.a = 2**60 + 1
    assert index.get_by_attribute(a=2**60 + 1) == [target]
    assert index.get_by_attribute(a=float(2**60)) == []
    for o in objs[::3][1:]:
        o.a = "x"
    assert index.get_by_attribute(a=-7) == ([objs[0]] if objs[0] is not target else [])
    target.a = old
    assert target in index.get_by_attribute(a=old)


def test_conjunction_stops_on_an_empty_operand_and_keeps_the_universe():
    objs = [Indexable(a=i, b=i % 10, s="ab" if i % 2 else "ba") for i in range(200)]
    index = Index()
    index.add_object_many(objs)
    cases = [
        (Q.and_(Q.eq("a", 1000), Q.gt("b", -1), Q.starts_with("s", "a")), []),
        (Q.and_(Q.eq("b", 3), Q.starts_with("s", "a")), [o for o in objs if o.b == 3 and o.s == "ab"]),
        (Q.and_(Q.eq("b", 4), Q.starts_with("s", "a")), []),
        (Q.and_(), objs),
        (Q.and_(Q.not_(Q.and_()), Q.eq("a", 3)), []),
        (Q.and_(Q.bt("a", 10, 20), Q.eq("s", "ab")), [o for o in objs if 10 <= o.a <= 20 and o.s == "ab"]),
    ]
    for q, expected in cases:
        assert same(index.reduced_query(q).collect(), expected), q
        view = index.reduced_query(Q.lt("a", 50))
        assert same(view.reduced_query(q).collect(), [o for o in expected if o.a < 50]), q
