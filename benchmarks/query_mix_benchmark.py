"""Selective queries at 10^6 records (not a test), for one build or for two
builds side by side in one run.

    python benchmarks/query_mix_benchmark.py [--records N]
    python benchmarks/query_mix_benchmark.py --compare BEFORE_DIR AFTER_DIR

Each record has a unique int `id`, `grp` (100 values), a float `price` in
[0, 1000), a skewed string `category` (20 values), a short lowercase `name`,
a bool `flag`, `tags` (0-3 ints below 40) and a nested `owner` shared by about
1000 records. For every query the best of several runs is shown twice: the
query alone (`reduced_query`, a view) and the query with its objects
collected. `--compare` builds the same records in one child process per
build (the import path is the only difference) and prints both columns.
"""
import argparse
import json
import random
import string
import subprocess
import sys
import time


def records(n, seed=7):
    from Calderwick import Indexable

    rng = random.Random(seed)
    owners = [Indexable(name=f"owner{i}", rank=i % 10) for i in range(max(1, n // 1000))]
    categories = [f"cat{k:02d}" for k in range(20)]
    weights = [1.0 / (k + 1) for k in range(20)]
    letters = string.ascii_lowercase
    objs = []
    for i in range(n):
        objs.append(Indexable(id=i, grp=rng.randrange(100), price=rng.random() * 1000.0,
                              category=rng.choices(categories, weights)[0],
                              name="".join(rng.choice(letters) for _ in range(6)), flag=rng.random() < 0.5,
                              tags=[rng.randrange(40) for _ in range(rng.randrange(4))],
                              owner=owners[rng.randrange(len(owners))]))
    return objs


def queries(n):
    from Calderwick import PyQueryExpr as Q

    return [
        ("eq id (unique)", Q.eq("id", n // 2)),
        ("eq grp", Q.eq("grp", 42)),
        ("and eq grp, eq category", Q.and_(Q.eq("grp", 42), Q.eq("category", "cat03"))),
        ("gt price 990", Q.gt("price", 990)),
        ("bt price 500..510", Q.bt("price", 500, 510)),
        ("in_ grp (5 values)", Q.in_("grp", [1, 2, 3, 4, 5])),
        ("starts_with name 'ab'", Q.starts_with("name", "ab")),
        ("eq owner.name", Q.eq("owner.name", "owner7")),
        ("eq tags", Q.eq("tags", 7)),
        ("and gt price, eq grp", Q.and_(Q.gt("price", 900), Q.eq("grp", 7))),
        ("lt price 300 (wide)", Q.lt("price", 300)),
    ]


def best(f, min_time=0.3, max_runs=200):
    times = []
    start = time.perf_counter()
    while len(times) < 3 or (time.perf_counter() - start < min_time and len(times) < max_runs):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def run(n):
    from Calderwick import Index

    objs = records(n)
    index = Index()
    index.add_object_many(objs)
    out = {}
    for label, q in queries(n):
        hits = len(index.reduced_query(q).collect())
        out[label] = {"hits": hits, "query": best(lambda: index.reduced_query(q)),
                      "collect": best(lambda: index.reduced_query(q).collect())}
    key = n // 2
    out["get_by_attribute id"] = {"hits": len(index.get_by_attribute(id=key)), "query": float("nan"),
                                  "collect": best(lambda: index.get_by_attribute(id=key))}
    return out


def child(path, n):
    code = (f"import sys, json, runpy; sys.path.insert(0, {path!r}); sys.argv = ['x'];"
            f"run = runpy.run_path({__file__!r}, run_name='qmb')['run']; print(json.dumps(run({n})))")
    done = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def us(seconds):
    return "-" if seconds != seconds else f"{seconds * 1e6:,.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"))
    args = parser.parse_args()
    if not args.compare:
        result = run(args.records)
        print(f"{'query':<26}{'hits':>9}{'query µs':>12}{'collect µs':>12}")
        for label, r in result.items():
            print(f"{label:<26}{r['hits']:>9,}{us(r['query']):>12}{us(r['collect']):>12}")
        return
    before, after = (child(p, args.records) for p in args.compare)
    print(f"{args.records:,} records; best of repeated runs, µs")
    print(f"{'query':<26}{'hits':>9}{'query before':>14}{'after':>10}{'x':>7}{'collect before':>16}{'after':>10}{'x':>7}")
    for label in before:
        b, a = before[label], after[label]
        assert b["hits"] == a["hits"], label
        qx = "-" if b["query"] != b["query"] else f"{b['query'] / a['query']:.1f}"
        print(f"{label:<26}{b['hits']:>9,}{us(b['query']):>14}{us(a['query']):>10}{qx:>7}"
              f"{us(b['collect']):>16}{us(a['collect']):>10}{b['collect'] / a['collect']:>7.1f}")


if __name__ == "__main__":
    main()
