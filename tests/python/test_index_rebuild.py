"""Large indexes dropped and built again, checked against plain Python.

An index's item array (a slot per object id) is mapped on its own from
128 KiB on, that is from about 8,200 object ids, and a mapped block given back
is kept for the next array of the same size. These tests drop and rebuild
indexes over more objects than that, at sizes that fall into the same blocks
and into other ones, several alive at once and on several threads, and compare
every answer with a brute-force scan of the objects."""
import random
import threading

import pytest

from Calderwick import Index, Indexable, PyQueryExpr as Q

NAMES = ["ant", "bee", "cat", "dog", "eel"]


def make_objects(rng, n):
    return [Indexable(k=rng.randrange(6), name=rng.choice(NAMES), tags=[rng.randrange(8) for _ in range(rng.randint(0, 2))])
            for _ in range(n)]


def check(index, members, rng):
    """Every answer of `index` equals a scan of `members` (a list of objects)."""
    assert {id(o) for o in index.collect()} == {id(o) for o in members}
    k = rng.randrange(6)
    got = {id(o) for o in index.reduced(k=k).collect()}
    assert got == {id(o) for o in members if o.k == k}, ("k", k)
    name = rng.choice(NAMES)
    got = {id(o) for o in index.reduced_query(Q.eq("name", name)).collect()}
    assert got == {id(o) for o in members if o.name == name}, ("name", name)
    tag = rng.randrange(8)
    got = {id(o) for o in index.reduced_query(Q.eq("tags", tag)).collect()}
    assert got == {id(o) for o in members if tag in o.tags}, ("tags", tag)
    got = {id(o) for o in index.reduced_query(Q.gt("k", 3)).collect()}
    assert got == {id(o) for o in members if o.k > 3}, ("k>", 3)


# Sizes in objects: below the mapped size, at a few mapped block sizes, and
# pairs close enough to share a block size (so a dropped array is the next
# one's).
SIZES = [3000, 9000, 9500, 20000, 21000, 28000]


@pytest.mark.parametrize("seed", [1, 2])
def test_indexes_dropped_and_rebuilt_answer_like_a_scan(seed):
    rng = random.Random(seed)
    objects = make_objects(rng, 30000)
    live = []  # (index, members)
    for step in range(16):
        action = rng.random()
        if live and (action < 0.35 or len(live) >= 4):
            live.pop(rng.randrange(len(live)))  # dropped: its blocks go back
        size = rng.choice(SIZES)
        # From the first objects made: the highest id, so the array's block,
        # grows with the size.
        members = rng.sample(objects[: min(len(objects), size * 3 // 2)], size)
        index = Index()
        if rng.random() < 0.5:
            index.add_object_many(members)
        else:
            half = len(members) // 2
            index.add_object_many(members[:half])  # grown in two loads
            for o in members[half:]:
                index.add_object(o)
        live.append((index, members))
        for o in rng.sample(objects, 300):  # assignments seen by every live index
            o.k = rng.randrange(6)
            if rng.random() < 0.3:
                o.tags = [rng.randrange(8)]
        for index, members in live:
            check(index, members, rng)


def test_fresh_objects_after_a_drop_are_answered_by_a_rebuilt_index():
    # The objects and the index are dropped together; their ids and the
    # index's blocks are taken by new objects and a new index of the same size.
    rng = random.Random(3)
    for _ in range(4):
        objects = make_objects(rng, 20000)
        index = Index()
        index.add_object_many(objects)
        check(index, objects, rng)
        del index, objects


def test_indexes_rebuilt_on_several_threads_answer_like_a_scan():
    rng = random.Random(4)
    objects = make_objects(rng, 30000)  # read only here: no assignments
    errors = []

    def churn(seed):
        r = random.Random(seed)
        try:
            for _ in range(6):
                members = r.sample(objects, r.choice(SIZES[1:4]))
                index = Index()
                index.add_object_many(members)
                check(index, members, r)
                del index
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=churn, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
