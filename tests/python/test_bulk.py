import random
import threading

import pytest

from conftest import by_id
from Calderwick import Index, Indexable, InternalError, PyQueryExpr as Q


def make_objects(rng, n):
    nested = [Indexable(name=f"n{i}", k=i) for i in range(5)]
    objs = []
    for i in range(n):
        attrs = dict(
            num=rng.choice([1, 2, 2.5, -1, 2**40]), s=rng.choice(["", "a", "ab", "abc", "bca"]),
            b=rng.random() < 0.5, tags=[rng.randint(0, 4), (rng.randint(0, 4), "x")],
            o=rng.choice(nested), u=rng.choice([None, "u"]),
        )
        if rng.random() < 0.3:
            attrs[f"rare_{rng.randint(0, 3)}"] = i
        objs.append(Indexable(**attrs))
    return objs


QUERIES = [
    Q.eq("num", 2), Q.gt("num", 1.5), Q.le("num", 2.5), Q.bt("num", -1, 2), Q.eq("s", ""), Q.starts_with("s", "a"),
    Q.ends_with("s", "a"), Q.contains("s", "bc"), Q.eq("b", True), Q.eq("tags", 3), Q.eq("tags", "x"),
    Q.gt("tags", 2), Q.eq("o.name", "n2"), Q.ge("o.k", 3), Q.eq("u", None), Q.ne("rare_1", 0),
    Q.ge("rare_2", 0), Q.eq("o", None),
]


def answers(index, objs, queries=QUERIES):
    pos = {id(o): i for i, o in enumerate(objs)}
    return [sorted(pos[id(o)] for o in index.reduced_query(qe).collect()) for qe in queries]


@pytest.mark.parametrize("seed", range(3))
def test_batch_answers_like_one_by_one(seed):
    objs = make_objects(random.Random(seed), 300)
    one, many = Index(), Index()
    for o in objs:
        one.add_object(o)
    many.add_object_many(objs[:100])
    many.add_object_many(tuple(objs[100:] + objs[:10]))  # duplicates are fine
    assert many.collect() == one.collect()
    assert answers(many, objs) == answers(one, objs)
    rng = random.Random(seed + 10)
    for o in rng.sample(objs, 60):  # assignments update batch members as well
        o.num = rng.choice([7, 2])
        o.tags = [rng.randint(5, 6)]
    assert answers(many, objs) == answers(one, objs)


@pytest.mark.parametrize("seed", range(2))
def test_large_batch_answers_like_one_by_one(seed):
    # Large enough to be filed attribute by attribute on two threads, with
    # objects held directly, inside lists, and by an attribute too rare for
    # the batch's sample to see.
    rng = random.Random(seed)
    objs = make_objects(rng, 25_000)
    nested = [Indexable(name=f"m{i}", k=i, inner=Indexable(z=i % 2)) for i in range(7)]
    for i, o in enumerate(objs):
        if i % 3 == 0:
            o.held = [rng.choice(nested), i % 5]
        if i % 4001 == 7:  # none of them among the 512 sampled members
            o.rare_obj = rng.choice(nested)
    one, many = Index(), Index()
    for o in objs:
        one.add_object(o)
    many.add_object_many(objs)
    queries = QUERIES + [Q.eq("held.name", "m3"), Q.eq("held", 2), Q.eq("held.inner.z", 1),
                         Q.ge("rare_obj.k", 4), Q.eq("rare_obj.inner.z", 0)]
    assert answers(many, objs, queries) == answers(one, objs, queries)
    assert all(answers(many, objs, queries[-5:]))


class Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_batch_argument_checks_add_nothing():
    index = Index()
    index.add_object_many([])
    assert index.collect() == []
    with pytest.raises(TypeError, match="^argument 'objs': a str"):
        index.add_object_many("abc")
    with pytest.raises(TypeError, match="^argument 'objs': 'int' object cannot be converted to 'Sequence'"):
        index.add_object_many(3)
    with pytest.raises(TypeError, match="'Indexable'"):
        index.add_object_many([Indexable(a=1), 3])
    with pytest.raises(InternalError):
        index.add_object_many([Indexable(a=1), Indexable(a=[[1, 2**64]])])
    assert index.collect() == []
    objs = [Indexable(a=i) for i in range(3)]
    index.add_object_many(Seq(objs))
    assert index.collect() == by_id(objs) and index.get_by_attribute(a=2) == [objs[2]]


def test_batch_with_many_numbers_flushes_every_buffer():
    objs = [Indexable(v=i % 3, w=i) for i in range(1000)]
    index = Index()
    index.add_object_many(objs)
    assert len(index.get_by_attribute(v=1)) == 333
    assert len(index.reduced_query(Q.lt("w", 65)).collect()) == 65


@pytest.mark.parametrize("overlap", [False, True])
def test_union_answers_as_if_added(overlap):
    rng = random.Random(5)
    objs = make_objects(rng, 200)
    a, b, reference = Index(), Index(), Index()
    a.add_object_many(objs[:120])
    b.add_object_many(objs[80:] if overlap else objs[120:])
    reference.add_object_many(objs[:120] + (objs[80:] if overlap else objs[120:]))
    a.union_with(b)
    assert a.collect() == reference.collect()
    assert answers(a, objs) == answers(reference, objs)
    for o in objs[150:170]:  # later assignments of b's objects reach a too
        o.num = 99
        o.o = Indexable(name="fresh")
    assert answers(a, objs) == answers(reference, objs)
    assert len(a.get_by_attribute(num=99)) == 20


def test_union_with_itself_and_bad_argument():
    objs = [Indexable(a=i) for i in range(3)]
    index = Index()
    index.add_object_many(objs)
    index.union_with(index)
    assert index.collect() == by_id(objs)
    with pytest.raises(TypeError, match="^argument 'other'"):
        index.union_with(objs[0])


def test_opposite_unions_on_two_threads_finish():
    a, b = Index(), Index()
    a.add_object_many([Indexable(side="a", n=i) for i in range(2000)])
    b.add_object_many([Indexable(side="b", n=i) for i in range(2000)])
    errors = []

    def merge(x, y):
        try:
            for _ in range(5):
                x.union_with(y)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=merge, args=p, daemon=True) for p in ((a, b), (b, a))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "opposite merges deadlocked"
    assert not errors
    assert len(a.collect()) == len(b.collect()) == 4000


def test_batch_of_several_stretches_files_every_nested_object():
    # More members than the bulk writer files nested objects for at a time:
    # shared objects span the stretches' edges (one seller's owners lie on
    # both sides of one), every member owns one more object, some hold
    # objects inside lists. Checked against plain Python, then again after
    # assignments move objects between owners.
    n = 70_000
    rng = random.Random(3)
    sellers = [Indexable(name=f"s{k}", rank=k % 10) for k in range(n // 300 + 1)]
    objs = [Indexable(i=i, seller=sellers[i // 300], own=Indexable(k=i % 7),
                      held=[sellers[(i * 7) % len(sellers)], i % 3] if i % 5 == 0 else [])
            for i in range(n)]
    index = Index()
    index.add_object_many(objs)
    pos = {id(o): i for i, o in enumerate(objs)}

    def check():
        picks = [0, 218, 219, len(sellers) - 1, rng.randrange(len(sellers))]
        for k in picks:
            name = f"s{k}"
            got = sorted(pos[id(o)] for o in index.reduced_query(Q.eq("seller.name", name)).collect())
            assert got == [i for i, o in enumerate(objs) if o.seller.name == name]
            got = sorted(pos[id(o)] for o in index.reduced_query(Q.eq("held.name", name)).collect())
            assert got == [i for i, o in enumerate(objs) if any(getattr(h, "name", None) == name for h in o.held)]
        for k in (0, 6):
            got = sorted(pos[id(o)] for o in index.reduced_query(Q.eq("own.k", k)).collect())
            assert got == [i for i, o in enumerate(objs) if o.own.k == k]
        got = sorted(pos[id(o)] for o in index.reduced_query(Q.ge("seller.rank", 8)).collect())
        assert got == [i for i, o in enumerate(objs) if o.seller.rank >= 8]

    check()
    for i in rng.sample(range(n), 300):
        objs[i].seller = sellers[rng.choice([0, 218, 219])]
        objs[i].own = Indexable(k=6)
    check()
