"""Query throughput on one shared index with 1 and 2 threads (queries release
the GIL, so two threads should run close to twice as many).

    python benchmarks/thread_scaling.py [N] [--seconds 3]
"""
import argparse
import random
import threading
import time

from Calderwick import Index, Indexable, PyQueryExpr as Q


def build(n, seed=1):
    rng = random.Random(seed)
    owners = [Indexable(name=f"owner{i}") for i in range(1000)]
    objs = [Indexable(id=i, grp=rng.randrange(100), price=rng.random() * 1000,
                      name=f"{rng.choice('abcdefgh')}{rng.randrange(10**6):06d}", tags=[rng.randrange(40)],
                      owner=rng.choice(owners)) for i in range(n)]
    idx = Index()
    idx.add_object_many(objs)
    return idx


QUERIES = [
    Q.eq("grp", 42),
    Q.bt("price", 500, 510),
    Q.starts_with("name", "ab"),
    Q.eq("owner.name", "owner7"),
    Q.and_(Q.eq("grp", 7), Q.gt("price", 900)),
    Q.eq("tags", 7),
]


def throughput(idx, threads, seconds, collect):
    counts = [0] * threads
    stop = time.perf_counter() + seconds

    def run(k):
        while time.perf_counter() < stop:
            for q in QUERIES:
                view = idx.reduced_query(q)
                if collect:
                    view.collect()
            counts[k] += 1

    ts = [threading.Thread(target=run, args=(k,)) for k in range(threads)]
    t0 = time.perf_counter()
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("n", nargs="?", type=int, default=200_000)
    ap.add_argument("--seconds", type=float, default=3)
    args = ap.parse_args()
    idx = build(args.n)
    print(f"{args.n:,} objects; a mix of {len(QUERIES)} queries per round")
    for collect in (False, True):
        one = throughput(idx, 1, args.seconds, collect)
        two = throughput(idx, 2, args.seconds, collect)
        label = "with collect   " if collect else "without collect"
        print(f"{label}  1 thread {one:9.0f} rounds/s   2 threads {two:9.0f} rounds/s   {two / one:4.2f}x")


if __name__ == "__main__":
    main()
