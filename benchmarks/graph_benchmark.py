"""Object-graph costs: one assignment before and after many reassignments and
re-adds (the ratio should stay near 1), and the time to index webs of
mutually linked objects.

    python benchmarks/graph_benchmark.py [--reassign 10000] [--readd 1000]
"""
import argparse
import statistics
import time

from Calderwick import Index, Indexable


def per_call(fn, repeat=2000, rounds=5):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(repeat):
            fn()
        times.append((time.perf_counter() - t0) / repeat)
    return statistics.median(times)


def assignment_cost(reassign, readd):
    leaf = Indexable(n=0, name="leaf")
    o = Indexable(ref=leaf, price=1.0)
    idx = Index()
    idx.add_object(o)
    counter = iter(range(10**9))

    def assign_leaf():
        leaf.n = next(counter)

    before = per_call(assign_leaf)
    for _ in range(reassign):
        o.ref = leaf
    after_reassign = per_call(assign_leaf)
    for _ in range(readd):
        idx.add_object(o)
    after_readd = per_call(assign_leaf)
    return before, after_reassign, after_readd


def web_time(n, rounds=5):
    times = []
    for _ in range(rounds):
        objs = [Indexable(name=f"w{i}", n=i) for i in range(n)]
        for o in objs:
            o.peers = [p for p in objs if p is not o]
        t0 = time.perf_counter()
        idx = Index()
        idx.add_object_many(objs)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reassign", type=int, default=10_000)
    ap.add_argument("--readd", type=int, default=1_000)
    args = ap.parse_args()
    before, after_reassign, after_readd = assignment_cost(args.reassign, args.readd)
    print("one assignment to a nested object (median of 5 x 2000)")
    print(f"  fresh                          {before * 1e6:8.2f} us")
    print(f"  after {args.reassign} reassignments    {after_reassign * 1e6:8.2f} us   ratio {after_reassign / before:5.2f}x")
    print(f"  after {args.readd} re-adds as well    {after_readd * 1e6:8.2f} us   ratio {after_readd / before:5.2f}x")
    print("indexing a web of n objects, each holding the others in a list (median of 5)")
    for n in (4, 8, 16, 32):
        print(f"  n = {n:3d}  {web_time(n) * 1e3:9.3f} ms")


if __name__ == "__main__":
    main()
