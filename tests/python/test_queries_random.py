"""Randomised queries checked against Python's own evaluation of the same condition."""
import random

import pytest

from Calderwick import Index, Indexable

from model import MISSING, LiveModel, to_expr
WORDS = ["", "a", "ab", "abc", "b", "ba", "bab", "hello", "lob", "x" * 30]
NUMBERS = [-3, -1, 0, 1, 2, 2.5, 3, 1.0, -0.0, 7, 2**53 + 1, float(2**53), 1e300, -1e300]


def random_value(rng, depth=0):
    r = rng.random()
    if r < 0.3:
        return rng.choice(NUMBERS)
    if r < 0.55:
        return rng.choice(WORDS)
    if r < 0.65:
        return rng.choice([True, False])
    if r < 0.7:
        return None
    if r < 0.85 and depth < 2:
        items = [random_value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
        return rng.choice([list, tuple])(items)
    if depth < 2:
        return Indexable(name=rng.choice(WORDS), size=rng.choice(NUMBERS))
    return rng.choice(NUMBERS)


MODEL = LiveModel()
holds = MODEL.holds


ATTRS = ["a", "b", "c", "o"]
PATHS = ATTRS + ["o.name", "o.size", "c.name"]


def random_query(rng, depth=0):
    r = rng.random()
    if depth < 3 and r < 0.25:
        kind = rng.choice(["and", "or", "not"])
        if kind == "not":
            return ("not", random_query(rng, depth + 1))
        return (kind, [random_query(rng, depth + 1) for _ in range(rng.randint(0, 3))])
    kind = rng.choice(["eq", "ne", "in", "gt", "ge", "lt", "le", "bt", "starts_with", "ends_with", "contains"])
    path = rng.choice(PATHS)
    pool = NUMBERS + WORDS + [True, False]
    if kind == "in":
        return (kind, path, [rng.choice(pool) for _ in range(rng.randint(0, 3))])
    if kind == "bt":
        return (kind, path, rng.choice(NUMBERS), rng.choice(NUMBERS))
    if kind in ("starts_with", "ends_with", "contains"):
        return (kind, path, rng.choice(WORDS + [""]))
    return (kind, path, rng.choice(pool))


build = to_expr


@pytest.mark.parametrize("seed", range(6))
def test_random_queries_match_python_evaluation(seed):
    rng = random.Random(seed)
    objs = []
    for _ in range(60):
        attrs = {a: random_value(rng) for a in ATTRS if rng.random() < 0.8}
        objs.append(Indexable(group=rng.randint(0, 1), **attrs))
    index = Index()
    for o in objs:
        index.add_object(o)
    members = list(objs)

    def check(rounds):
        nonempty = 0
        for _ in range(rounds):
            q = random_query(rng)
            got = index.reduced_query(build(q)).collect()
            expected = sorted((o for o in members if holds(o, q)), key=id)
            assert sorted(got, key=id) == expected, q
            nonempty += bool(expected) and len(expected) < len(members)
        assert nonempty > rounds // 5  # the queries discriminate, not just all-or-nothing

    check(150)
    # Long runs of scalar assignments, some set back at once, queries now and
    # then, and a narrowing of a second index right after a run: every query
    # and the narrowing must see every assignment made before it.
    other = Index()
    other.add_object_many(objs)
    for step in range(800):
        o, attr = rng.choice(objs), rng.choice("ab")
        before = getattr(o, attr, MISSING)
        setattr(o, attr, rng.choice(NUMBERS + WORDS))
        if before is not MISSING and rng.random() < 0.3:
            setattr(o, attr, before)
        if step % 150 == 149:
            q = random_query(rng)
            assert sorted(index.reduced_query(build(q)).collect(), key=id) == sorted(
                (o for o in members if holds(o, q)), key=id), q
    other.reduce(group=0)
    for _ in range(30):
        q = random_query(rng)
        expected = sorted((o for o in objs if o.group == 0 and holds(o, q)), key=id)
        assert sorted(other.reduced_query(build(q)).collect(), key=id) == expected, q
    check(100)
    # Reassign attributes (indexes must follow), then narrow, then compare again.
    for _ in range(40):
        setattr(rng.choice(objs), rng.choice(ATTRS), random_value(rng))
    check(100)
    index.reduce(group=1)
    members = [o for o in members if o.group == 1]
    assert sorted(index.collect(), key=id) == sorted(members, key=id)
    for _ in range(20):
        setattr(rng.choice(objs), rng.choice(ATTRS), random_value(rng))
    check(100)
