"""Benchmarks of the Python surface (not tests): queries against list
comprehensions computing the same answer, and bulk adding against a loop.

    python benchmarks/index_benchmark.py [N]   (default 1000000)
"""
import random
import sys
import time

from Calderwick import Index, Indexable, PyQueryExpr as Q


def timed(f, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = f()
        best = min(best, time.perf_counter() - start)
    return result, best


def make(n, seed=1):
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "theta"]
    return [Indexable(id_=i, cat=rng.randrange(100), price=rng.random() * 1000, qty=rng.randrange(1000),
                      name=f"{rng.choice(words)}-{rng.randrange(100000):05d}", flag=rng.random() < 0.5,
                      tags=[rng.randrange(20)], note=None) for i in range(n)]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    objs = make(n)
    print(f"{n:,} objects with eight attributes")

    loop_index = Index()
    _, t_loop = timed(lambda: [loop_index.add_object(o) for o in objs], repeat=1)
    bulk_index = Index()
    _, t_bulk = timed(lambda: bulk_index.add_object_many(objs), repeat=1)
    print(f"add_object loop   {n / t_loop:>12,.0f} objects/s")
    print(f"add_object_many   {n / t_bulk:>12,.0f} objects/s   ({t_loop / t_bulk:.2f}x the loop)")

    half = n // 2
    a, b = Index(), Index()
    a.add_object_many(objs[:half])
    b.add_object_many(objs[half:])
    _, t_union = timed(lambda: a.union_with(b), repeat=1)
    fresh = Index()
    _, t_many_half = timed(lambda: fresh.add_object_many(objs[half:]), repeat=1)
    print(f"union_with        {half / t_union:>12,.0f} objects/s   (add_object_many of the same: {half / t_many_half:,.0f}/s)")
    view = bulk_index.reduced_query(Q.lt("price", 500))
    kept = len(view.collect())
    _, t_rebase = timed(lambda: view.rebase(), repeat=1)
    print(f"rebase            {kept / t_rebase:>12,.0f} objects/s   (a view of {kept:,})")

    cases = [
        ("cat == 42", Q.eq("cat", 42), lambda o: o.cat == 42),
        ("price < 10 (1%)", Q.lt("price", 10), lambda o: o.price < 10),
        ("price < 300 (30%)", Q.lt("price", 300), lambda o: o.price < 300),
        ("name starts 'omega-1'", Q.starts_with("name", "omega-1"), lambda o: o.name.startswith("omega-1")),
        ("name contains '777'", Q.contains("name", "777"), lambda o: "777" in o.name),
    ]
    print(f"\n{'query':<24}{'hits':>9}{'index':>11}{'comprehension':>15}{'ratio':>9}")
    for label, expr, pred in cases:
        hits, t_index = timed(lambda: bulk_index.reduced_query(expr).collect())
        expected, t_scan = timed(lambda: [o for o in objs if pred(o)], repeat=1)
        assert len(hits) == len(expected), label
        print(f"{label:<24}{len(hits):>9,}{t_index * 1e3:>9.1f}ms{t_scan * 1e3:>13.1f}ms{t_scan / t_index:>8.1f}x")


if __name__ == "__main__":
    main()
