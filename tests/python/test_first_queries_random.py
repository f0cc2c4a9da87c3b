"""The first queries after a bulk load, after a second load into the same
index, and after long runs of assignments, checked against the brute-force
model: each is the first of its kind on that state, so it is answered by
whatever the load or the writes left behind (ordered keys built with the
load, patched, folded back, merged, filtered by a narrowing)."""
import random

import pytest

from Calderwick import Index, Indexable

from model import LiveModel, to_expr

MODEL = LiveModel()
BIG = 2**53


def fresh_number(rng, attr):
    if attr == "price":  # unique floats, every mantissa bit in use
        return rng.random() * 1000.0
    if attr == "big":  # integers beyond 2^53, whose keys share prefixes, and their float neighbours
        return rng.choice([BIG + rng.randint(-6, 6), -(BIG + rng.randint(0, 6)), float(BIG + 2 * rng.randint(-3, 3))])
    return rng.randint(-20, 20)  # "small": many objects a value


def fresh_name(rng):
    return "".join(rng.choices("abcd", k=rng.randint(0, 5)))


def make(rng, i):
    return Indexable(serial=i, group=i % 3, price=fresh_number(rng, "price"), big=fresh_number(rng, "big"),
                     small=fresh_number(rng, "small"), name=fresh_name(rng))


def bound(rng, objs, attr):
    """A value held by some object (ranges that start and end on stored keys) or a fresh one."""
    if objs and rng.random() < 0.5:
        return getattr(rng.choice(objs), attr)
    return fresh_number(rng, attr)


def random_query(rng, objs):
    attr = rng.choice(["price", "big", "small"])
    kind = rng.choice(["gt", "ge", "lt", "le", "bt", "bt", "starts_with", "ends_with"])
    if kind in ("starts_with", "ends_with"):
        return (kind, "name", fresh_name(rng))
    if kind == "bt":
        low, high = sorted([bound(rng, objs, attr), bound(rng, objs, attr)])
        if attr == "price" and rng.random() < 0.7:
            high = low + rng.random() * 20  # a narrow range, read from the ordered keys
        return ("bt", attr, low, high)
    return (kind, attr, bound(rng, objs, attr))


def check_first(rng, index, members, rounds):
    """Fresh queries against the model; the first one is the first on this state."""
    for _ in range(rounds):
        q = random_query(rng, members)
        got = {o.serial for o in index.reduced_query(to_expr(q)).collect()}
        expected = {o.serial for o in members if MODEL.holds(o, q)}
        assert got == expected, q


@pytest.mark.parametrize("seed", range(4))
def test_first_queries_after_loads_and_assignment_runs(seed):
    rng = random.Random(seed)
    objs = [make(rng, i) for i in range(3000)]
    index = Index()
    index.add_object_many(objs)
    members = list(objs)
    check_first(rng, index, members, 25)

    # A second load into the same index: a small one, then a large one.
    more = [make(rng, i) for i in range(3000, 3020)]
    index.add_object_many(more)
    members += more
    check_first(rng, index, members, 10)
    more = [make(rng, i) for i in range(3020, 6000)]
    index.add_object_many(more)
    members += more
    check_first(rng, index, members, 15)

    # Runs of fresh assignments, long enough to fold the patches several
    # times, some set back at once; the first query right after each run.
    for run in range(3):
        for _ in range(rng.choice([300, 1500, 4000])):
            o = rng.choice(members)
            attr = rng.choice(["price", "price", "big", "small", "name"])
            before = getattr(o, attr)
            setattr(o, attr, fresh_name(rng) if attr == "name" else fresh_number(rng, attr))
            if rng.random() < 0.1:
                setattr(o, attr, before)
        check_first(rng, index, members, 8)

    # A narrowing filters what the load built; then more writes.
    index.reduce(group=1)
    members = [o for o in members if o.group == 1]
    check_first(rng, index, members, 10)
    for _ in range(2000):
        setattr(rng.choice(members), "price", fresh_number(rng, "price"))
    check_first(rng, index, members, 10)


def test_first_query_on_a_fresh_index_per_kind():
    """One fresh index per query: every query is the first the index answers."""
    rng = random.Random(99)
    objs = [make(rng, i) for i in range(2500)]
    for _ in range(12):
        index = Index()
        index.add_object_many(objs)
        check_first(rng, index, objs, 1)


@pytest.mark.parametrize("seed", range(3))
def test_first_queries_from_several_threads_after_an_assignment_run(seed):
    """Right after a run of assignments (moves still queued), several threads
    ask their first queries at once: one applies the queued moves under the
    writer's lock while the others wait or read, and all agree with the model."""
    import threading

    rng = random.Random(100 + seed)
    objs = [make(rng, i) for i in range(4000)]
    index = Index()
    index.add_object_many(objs)
    for _ in range(3000):
        o = rng.choice(objs)
        attr = rng.choice(["price", "price", "big", "small"])
        setattr(o, attr, fresh_number(rng, attr))
    failures = []
    start = threading.Barrier(4)

    def reader(k):
        local = random.Random(seed * 10 + k)
        try:
            start.wait()
            check_first(local, index, objs, 12)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures
