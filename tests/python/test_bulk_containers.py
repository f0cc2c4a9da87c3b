"""Containers of every shape in one load, checked against the model.

A load converts every container it files before filing anything, and finds
each one's elements again by the container while it files: containers shared
by several objects, met again inside one another, empty, dicts (which file
nothing), sets and tuples, and nested objects holding containers of their
own. Loads small enough to be filed object by object and large enough to be
filed attribute by attribute on two threads both go through it."""
import random

import pytest

from Calderwick import Index, Indexable
from model import Model, to_expr


def make_batch(rng, n, model):
    shared = [[rng.randrange(40) for _ in range(rng.randint(0, 3))] for _ in range(20)]
    inner = [Indexable(v=[rng.randrange(40)], w=rng.randrange(40)) for _ in range(15)]
    for o in inner:
        model.track(o, {"v": o.v, "w": o.w})

    def container():
        shape = rng.randrange(9)
        if shape == 0:
            return rng.choice(shared)  # one list, several holders
        if shape == 1:
            return [rng.randrange(40), list(rng.choice(shared)), (rng.randrange(40),)]
        if shape == 2:
            return {rng.randrange(40): rng.randrange(40)}  # files nothing
        if shape == 3:
            return []
        if shape == 4:
            return {rng.randrange(40) for _ in range(rng.randint(1, 3))}
        if shape == 5:
            return tuple(rng.randrange(40) for _ in range(rng.randint(1, 4)))
        if shape == 6:
            return [rng.choice(inner), rng.randrange(40)]
        return [rng.randrange(40) for _ in range(rng.randint(1, 4))]

    objs = []
    for i in range(n):
        attrs = {"a": container(), "k": rng.randrange(40)}
        if rng.random() < 0.5:
            attrs["b"] = container()
        if rng.random() < 0.2:
            attrs["o"] = rng.choice(inner)
        if i in (1, 2, 3):
            # Objects under an attribute only a few members hold, missed by
            # a sample of the batch: their containers are found all the same.
            rare = Indexable(v=[rng.randrange(40), (rng.randrange(40),)], w=rng.randrange(40))
            model.track(rare, {"v": rare.v, "w": rare.w})
            attrs["rare"] = rare if i != 3 else [rare, rng.randrange(40)]
        o = Indexable(**attrs)
        model.track(o, attrs)
        objs.append(o)
    # A few objects listed twice: each is filed once.
    return objs + rng.sample(objs, min(5, n))


@pytest.mark.parametrize("n", [60, 25_000])
@pytest.mark.parametrize("seed", [1, 2])
def test_a_load_of_containers_answers_like_the_model(n, seed):
    rng = random.Random(seed)
    model = Model()
    batch = make_batch(rng, n, model)
    index = Index()
    index.add_object_many(batch)
    objs = list({id(o): o for o in batch}.values())
    assert sorted(map(id, index.collect())) == sorted(map(id, objs))
    trees = [("eq", path, rng.randrange(40)) for path in ("a", "b", "o.v", "a.v", "a.w") for _ in range(4)]
    for o in objs[1:4]:
        rare = o.rare if isinstance(o.rare, Indexable) else o.rare[0]
        trees += [("eq", "rare.v", rare.v[0]), ("eq", "rare.v", rare.v[1][0]), ("eq", "rare", rare.w)]
    trees += [("bt", "a", 5, 12), ("in", "b", [1, 2, 3]), ("and", [("eq", "a", 7), ("eq", "k", 3)])]
    for tree in trees:
        got = {id(o) for o in index.reduced_query(to_expr(tree)).collect()}
        want = {id(o) for o in objs if model.holds(o, tree)}
        assert got == want, tree
