"""Nested objects shared by many records: a few hubs, each the value of the
link attribute of up to hundreds of records, gain and lose owners through
loads, reassignments and narrowings, crossing the size at which a hub's
owners move from a list into a set and back. Dotted queries through the
link, and equality on the hub itself, are checked against plain Python."""
import random

import pytest

from Calderwick import Index, Indexable

from model import LiveModel, to_expr

MODEL = LiveModel()
HUBS = 4


def check(index, members, hubs, rng):
    assert {id(o) for o in index.collect()} == {id(o) for o in members}
    trees = [("eq", "via.name", f"hub{k}") for k in range(HUBS)]
    trees += [("bt", "via.n", 1, 2), ("eq", "via.n", rng.randrange(HUBS)), ("eq", "tag", rng.randrange(3))]
    for tree in trees:
        got = {id(o) for o in index.reduced_query(to_expr(tree)).collect()}
        assert got == MODEL.select(members, tree), tree
    for hub in hubs:
        got = {id(o) for o in index.get_by_attribute(via=hub)}
        assert got == {id(o) for o in members if o.via is hub}


@pytest.mark.parametrize("seed", range(8))
def test_hubs_gain_and_lose_owners(seed):
    rng = random.Random(seed)
    hubs = [Indexable(name=f"hub{k}", n=k) for k in range(HUBS)]
    others = [None, 7, "x"]
    records = [Indexable(tag=rng.randrange(3), via=rng.choice(hubs)) for _ in range(300)]
    index = Index()
    first = records[:150]
    if seed % 2:
        index.add_object_many(first)
    else:
        for r in first:
            index.add_object(r)
    members = list(first)
    check(index, members, hubs, rng)
    for round_ in range(16):
        # Owners gather on one hub, then scatter over the others and away.
        gather = hubs[round_ % HUBS] if round_ % 2 == 0 else None
        for _ in range(rng.randrange(40, 160)):
            r = rng.choice(records)
            if gather is not None and rng.random() < 0.8:
                r.via = gather
            else:
                r.via = rng.choice(hubs + others)
        op = rng.random()
        if op < 0.3:
            more = rng.sample(records, rng.randrange(1, 100))
            index.add_object_many(more)
            members += [o for o in more if all(o is not m for m in members)]
        elif op < 0.45:
            keep = rng.randrange(3)
            index.reduce(tag=keep)
            members = [o for o in members if o.tag == keep]
        elif op < 0.55:
            index = index.reduced().rebase()
        check(index, members, hubs, rng)
