import random
import sys
import threading
import time

import pytest

from conftest import THREAD_TIMEOUT, run_threads
from Calderwick import Index, Indexable, PyQueryExpr as Q



def test_concurrent_adds_assignments_and_queries_end_consistent():
    index = Index()
    shared = [Indexable(name=f"s{i}", n=i, tags=[i], o=Indexable(k=i)) for i in range(50)]
    for o in shared:
        index.add_object(o)
    added = [[] for _ in range(3)]

    def adder(k):
        def run():
            rng = random.Random(k)
            for i in range(300):
                o = Indexable(name=f"a{k}-{i}", n=rng.randint(0, 99), tags=[rng.randint(0, 9)])
                index.add_object(o)
                added[k].append(o)

        return run

    def assigner(k):
        def run():
            rng = random.Random(100 + k)
            for _ in range(600):
                o = rng.choice(shared)
                o.n = rng.randint(0, 99)
                o.tags = [rng.randint(0, 9), rng.randint(0, 9)]
                o.o.k = rng.randint(0, 9)

        return run

    def reader():
        for i in range(300):
            for o in index.reduced_query(Q.and_(Q.ge("n", 10), Q.lt("n", 60))).collect():
                assert isinstance(o, Indexable)
            index.reduced_query(Q.eq("o.k", i % 10)).collect()

    run_threads([adder(0), adder(1), adder(2), assigner(0), assigner(1), reader, reader])
    everyone = shared + [o for batch in added for o in batch]
    assert sorted(map(id, index.collect())) == sorted(map(id, everyone))
    for n in range(0, 100, 7):
        assert sorted(map(id, index.get_by_attribute(n=n))) == sorted(id(o) for o in everyone if o.n == n)
    for t in range(10):
        got = sorted(map(id, index.reduced_query(Q.eq("tags", t)).collect()))
        assert got == sorted(id(o) for o in everyone if t in o.tags)
        got = sorted(map(id, index.reduced_query(Q.eq("o.k", t)).collect()))
        assert got == sorted(id(o) for o in shared if o.o.k == t)


def test_two_threads_assigning_one_object_do_not_deadlock():
    obj = Indexable(n=0, tags=[0])
    indexes = [Index() for _ in range(3)]
    for index in indexes:
        index.add_object(obj)

    def assign(k):
        def run():
            for i in range(2000):
                obj.n = i * 10 + k
                obj.tags = [k, i]

        return run

    run_threads([assign(1), assign(2)])
    for index in indexes:
        assert index.get_by_attribute(n=obj.n) == [obj]
        assert len(index.reduced_query(Q.ge("n", 0)).collect()) == 1
        assert index.reduced_query(Q.eq("tags", obj.tags[1])).collect() == [obj]


@pytest.fixture(scope="module")
def large_index():
    index = Index()
    for i in range(50_000):
        index.add_object(Indexable(n=i, s=f"item{i}", g=i % 4, h=i % 3))
    return index


QUERIES = {
    "range": lambda index: index.reduced_query(Q.bt("n", 100, 40_000)),
    "contains": lambda index: index.reduced_query(Q.contains("s", "99")),
    "or": lambda index: index.reduced_query(Q.or_(Q.contains("s", "77"), Q.lt("n", 30_000))),
    "reduced": lambda index: index.reduced(g=1, h=2),
    "get_by_attribute": lambda index: index.get_by_attribute(g=3),
}


@pytest.mark.parametrize("query", QUERIES.values(), ids=QUERIES.keys())
def test_queries_release_the_gil(large_index, query):
    # The switch interval is raised so far that the interpreter never takes the
    # GIL from the main thread on its own: the ticker, which gives up the GIL
    # only by blocking and then needs it back to tick, can tick only while a
    # query call has let go of it. The main thread runs nothing but query calls
    # (and reads of the clock and of the tick count, which keep the GIL) until
    # the ticker has ticked or the deadline passes.
    # Any other thread running Python now could take the GIL for good.
    assert threading.active_count() == 1, threading.enumerate()
    stop = threading.Event()
    ticks = []

    def ticker():
        while not stop.wait(0.0005):
            ticks.append(1)

    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    worker = threading.Thread(target=ticker, daemon=True)
    try:
        worker.start()
        before = len(ticks)
        deadline = time.monotonic() + 10
        rounds = 0
        while len(ticks) == before and time.monotonic() < deadline:
            query(large_index)
            rounds += 1
        ticked = len(ticks) - before
    finally:
        stop.set()
        sys.setswitchinterval(previous_interval)
        if worker.is_alive():
            worker.join(THREAD_TIMEOUT)
    assert not worker.is_alive(), "the ticker did not stop"
    assert ticked > 0, f"the other thread never ran during {rounds} query calls"


def test_batches_filed_on_two_threads_answer_like_one_by_one():
    # add_object_many files a large batch attribute by attribute on two
    # threads; it must file exactly what adding one by one files, including
    # containers, nested objects, rare attributes, repeats and a second batch
    # that files its members again.
    from test_bulk import answers, make_objects

    objs = make_objects(random.Random(5), 24000)
    one, many = Index(), Index()
    for o in objs:
        one.add_object(o)
    many.add_object_many(objs[:21000] + objs[:50])
    many.add_object_many(objs[20500:])
    assert many.collect() == one.collect()
    assert answers(many, objs) == answers(one, objs)
