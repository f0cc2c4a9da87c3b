"""Races that used to deadlock, lose objects or raise spuriously. Each case
runs in a fresh interpreter with a deadline, so a hang fails its test."""
import os
import subprocess
import sys
import textwrap

import pytest

HARNESS = """
import sys, threading
from Calderwick import Index, Indexable, InternalError, PyQueryExpr as Q

def run_threads(*targets, timeout=60):
    errors = []
    def wrap(f):
        def run():
            try:
                f()
            except BaseException as e:
                errors.append(repr(e))
        return run
    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        if t.is_alive():
            print("DEADLOCK", flush=True)
            sys.stdout.flush()
            import os; os._exit(3)
    assert not errors, errors
"""


def run_case(body, timeout=120):
    code = HARNESS + textwrap.dedent(body) + "\nprint('ok')\n"
    try:
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                              env=os.environ.copy())
    except subprocess.TimeoutExpired:
        pytest.fail("hung past the deadline")
    assert proc.returncode == 0 and proc.stdout.strip().endswith("ok"), proc.stdout + proc.stderr


@pytest.mark.parametrize("merge", ["union_with", "add_object_many"])
def test_narrowing_while_merging_objects_that_share_nested_objects(merge):
    run_case(f"""
        leaves = [Indexable(n=i) for i in range(20)]
        def batch(k):
            return [Indexable(k=k % 2, items=[leaves[(k + j) % 20], leaves[(k * 7 + j) % 20]]) for j in range(30)]
        target = Index()
        target.add_object_many(batch(0))
        def narrow():
            for r in range(200):
                target.reduce(k=r % 2)
                target.add_object_many(batch(r))
        def merge():
            for r in range(200):
                other = Index()
                other.add_object_many(batch(r + 1))
                if "{merge}" == "union_with":
                    target.union_with(other)
                else:
                    target.add_object_many(other.collect())
        run_threads(narrow, merge)
    """)


def test_assigning_two_objects_that_hold_each_other_on_two_threads():
    run_case("""
        a, b = Indexable(n=0), Indexable(n=0)
        a.other, b.other = b, a
        idx = Index()
        idx.add_object_many([a, b])
        def assign(o):
            def run():
                for i in range(3000):
                    o.n = i
                    o.other = a if i % 2 else b
            return run
        run_threads(assign(a), assign(b))
        assert idx.reduced_query(Q.eq("n", 2999)).collect() in ([a, b], [b, a])
    """)


def test_narrowing_never_removes_objects_added_meanwhile():
    run_case("""
        idx = Index()
        idx.add_object(Indexable(k=1))
        added = []
        def narrow():
            for _ in range(2000):
                idx.reduce(k=1)
        def add():
            for i in range(2000):
                o = Indexable(k=1, i=i)
                added.append(o)
                idx.add_object(o)
        run_threads(narrow, add)
        members = {id(o) for o in idx.collect()}
        lost = [o for o in added if id(o) not in members]
        assert not lost, f"{len(lost)} of {len(added)} lost"
    """)


def test_merging_from_an_index_another_thread_narrows():
    run_case("""
        source = Index()
        def refill():
            for r in range(300):
                source.add_object_many([Indexable(k=j % 3, r=r) for j in range(30)])
                source.reduce(k=r % 3)
        def merge():
            for _ in range(300):
                Index().union_with(source)
                source.reduced(k=1).rebase()
        run_threads(refill, merge)
    """)


def test_racing_assignments_leave_every_index_agreeing_with_the_final_value():
    run_case("""
        import random
        objs = [Indexable(v=0, tag="t0") for _ in range(20)]
        indexes = [Index() for _ in range(3)]
        for idx in indexes:
            idx.add_object_many(objs)
        def assign(seed):
            def run():
                rng = random.Random(seed)
                for _ in range(3000):
                    o = rng.choice(objs)
                    v = rng.randint(0, 9)
                    o.v = v
                    o.tag = f"t{v}"
            return run
        def bulk():
            for _ in range(100):
                indexes[0].add_object_many(objs)
        run_threads(assign(1), assign(2), assign(3), bulk)
        for idx in indexes:
            for v in range(10):
                want = sorted(id(o) for o in objs if o.v == v)
                assert sorted(id(o) for o in idx.reduced(v=v).collect()) == want
                assert sorted(id(o) for o in idx.reduced(tag=f"t{v}").collect()) == \\
                    sorted(id(o) for o in objs if o.tag == f"t{v}")
    """)
