"""String queries straight after bulk loads, runs of assignments and narrowings, against the model.

A string index large enough is given its per-pair prefix sets by the load that brings it there,
extends them with later loads, keeps them through assignments and filters them when narrowed (or
drops them when a narrowing leaves it small, and builds them again on demand). Each first query after
one of those steps is the one that reads what the step left, so each is checked against the model.
The sizes straddle the point from which a load builds them (2^16 strings); below it the queries
themselves build them once their sweeps have paid for it.
"""
import random

import pytest

from Calderwick import Index, Indexable
from model import Model, to_expr

LETTERS = "abcdefgh"


def draw_name(rng):
    """Mostly short lowercase words over a small alphabet, some empty, one letter or non-ASCII."""
    roll = rng.random()
    if roll < 0.03:
        return ""
    if roll < 0.06:
        return rng.choice(LETTERS)
    if roll < 0.09:
        return rng.choice(["é", "€"]) + "".join(rng.choices(LETTERS, k=rng.randint(1, 4)))
    return "".join(rng.choices(LETTERS, k=rng.randint(2, 6)))


class Run:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.model = Model()
        self.index = Index()
        self.members = []

    def make(self, count):
        objs = []
        for _ in range(count):
            attrs = {"name": draw_name(self.rng), "grp": self.rng.randrange(40)}
            obj = Indexable(**attrs)
            self.model.track(obj, attrs)
            objs.append(obj)
        return objs

    def load(self, count):
        objs = self.make(count)
        self.index.add_object_many(objs)
        self.members.extend(objs)

    def assign(self, count):
        for _ in range(count):
            obj = self.rng.choice(self.members)
            name = draw_name(self.rng)
            obj.name = name
            self.model.attrs[id(obj)]["name"] = name

    def narrow(self, dropped_groups):
        """Narrows the index in place to the members whose grp is not among `dropped_groups`.
        `reduce` keeps the members equal to one value, so each member is marked first."""
        keep = []
        for o in self.members:
            mark = int(self.model.value(o, "grp") not in dropped_groups)
            o.keep = mark
            self.model.attrs[id(o)]["keep"] = mark
            if mark:
                keep.append(o)
        self.index.reduce(keep=1)
        self.members = keep

    def needles(self):
        """Prefixes of one to four characters of stored names, some that match nothing, whole names."""
        out = ["ab", "hg", "a", "é", "zz", "abc"]
        for _ in range(4):
            name = self.model.value(self.rng.choice(self.members), "name")
            out.extend(name[:k] for k in range(1, min(4, len(name)) + 1))
            out.append(name)
        return out

    def check(self, stage):
        """The first query of every kind after `stage`, the prefixes first. The model's names are read
        into one list first: the members are too many for the tree walk of `Model.select`."""
        named = [(id(o), self.model.value(o, "name")) for o in self.members]
        needles = self.needles()
        cases = [(("starts_with", "name", n), str.startswith) for n in needles]
        cases += [(("eq", "name", n), str.__eq__) for n in needles]
        cases += [(("ends_with", "name", n), str.endswith) for n in needles[:6]]
        cases += [(("contains", "name", n), lambda s, n: n in s) for n in needles[:6]]
        for tree, holds in cases:
            got = {id(o) for o in self.index.reduced_query(to_expr(tree)).collect()}
            assert got == {i for i, name in named if holds(name, tree[2])}, (stage, tree)
        # One compound query through the model itself.
        tree = ("and", [("starts_with", "name", needles[0]), ("eq", "grp", 3)])
        got = {id(o) for o in self.index.reduced_query(to_expr(tree)).collect()}
        assert got == self.model.select(self.members, tree), (stage, tree)


@pytest.mark.parametrize("seed", [1, 2])
def test_first_string_queries_after_loads_assignments_and_narrowings(seed):
    run = Run(seed)
    run.load(60_000)  # below the size from which a load builds the prefix sets
    run.load(8_000)  # crosses it: built by this load
    run.check("second load, crossing")
    run.assign(3_000)
    run.check("assignments after the load")
    run.load(2_000)  # extends them
    run.check("third load, extending")
    run.assign(2_000)
    run.check("assignments after a query")
    run.narrow({0, 1})  # ~5% out: still large
    run.check("narrowed, still large")
    run.narrow(set(range(2, 16)))  # below the size: dropped (the queries may build them again)
    run.check("narrowed, small")
    run.assign(1_000)
    run.check("assignments while small")
    run.load(40_000)  # large again
    run.check("load after a narrowing")
    run.assign(2_000)
    run.check("assignments after the last load")
