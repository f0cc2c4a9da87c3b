"""Memory benchmark (not a test): resident-memory growth per object and per
record, each figure measured in a fresh subprocess so that nothing earlier in
the run (freed arenas, interned names, caches) distorts it.

    python benchmarks/memory.py                 # mixed index over 300,000 records
    python benchmarks/memory.py --large         # ... over 1,000,000 records
    python benchmarks/memory.py --records N     # ... over N records
    python benchmarks/memory.py --names N       # unseen-name reads (default 100,000)
    python benchmarks/memory.py --pythonpath D  # import Calderwick from D (compare builds)

Sections:
  * Indexable() with 0/1/8/16 int attributes next to a plain class instance;
  * an Index over mixed records (8 attributes), per record, next to the
    objects alone and to peers (sqlite3 in-memory table with an index per
    column; a pandas DataFrame) where installed;
  * bytes per record by attribute kind: an indexed object with that one
    attribute less an indexed object with none; the Python values are built
    before the measurement, so only what Calderwick adds is counted;
  * long strings: 20 strings of ~10 KB in one attribute, and one 1 MiB string;
  * time to read distinct attribute names never seen before, and the cost
    of reading a known name before and after they were interned.

RSS is read from /proc/self/statm after a full collection, before and after
the measured objects are built; each child runs under an address-space limit
so that a runaway structure fails instead of exhausting the machine.
"""
import argparse
import gc
import json
import os
import random
import resource
import subprocess
import sys
import time

PAGE = os.sysconf("SC_PAGE_SIZE")
CHILD_ADDRESS_SPACE = 8 << 30  # bytes


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def settled_rss():
    gc.collect()
    return rss()


# ---------------------------------------------------------------------------
# Workloads, run inside the child. Each returns a dict of figures.

def words(rng, n_words, vocabulary=("alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "theta",
                                    "lamp", "rug", "chair", "table", "blue", "red", "green", "small")):
    return " ".join(rng.choice(vocabulary) for _ in range(n_words))


def mixed_records(n, seed=1):
    """Plain tuples: unique int, small int, float, two short strings, bool,
    list of 0-3 small ints, nested-object number (one per 300 records)."""
    rng = random.Random(seed)
    cities = ["Porto", "Graz", "Lyon", "Oslo", "Bern", "Riga", "Turku", "Gent"]
    for i in range(n):
        yield (i, rng.randrange(100), rng.random() * 1000.0, f"sku-{rng.randrange(100000):05d}",
               rng.choice(cities), rng.random() < 0.5, [rng.randrange(20) for _ in range(rng.randrange(4))],
               i // 300)


def child_objects(args):
    from Calderwick import Indexable

    n, attrs = args["n"], args["attrs"]
    names = [f"a{k}" for k in range(attrs)]

    class Plain:
        pass

    def plain(i):
        o = Plain()
        for name in names:
            setattr(o, name, i)
        return o

    def indexable(i):
        return Indexable(**{name: i for name in names})

    make = indexable if args["kind"] == "indexable" else plain
    make(0)  # warm up: interned names, type caches
    before = settled_rss()
    objs = [make(i) for i in range(n)]
    after = settled_rss()
    assert len(objs) == n
    return {"per": (after - before) / n}


def child_mixed(args):
    from Calderwick import Index, Indexable

    n, with_index = args["n"], args["index"]
    warm = Index()
    warm.add_object(Indexable(uid=0, small=0, price=0.5, sku="x", city="y", flag=True, tags=[1],
                              seller=Indexable(name="n", rank=0)))
    del warm
    before = settled_rss()
    sellers = {}
    objs = []
    for uid, small, price, sku, city, flag, tags, seller in mixed_records(n):
        s = sellers.get(seller)
        if s is None:
            s = sellers[seller] = Indexable(name=f"seller-{seller}", rank=seller % 10)
        objs.append(Indexable(uid=uid, small=small, price=price, sku=sku, city=city, flag=flag, tags=tags,
                              seller=s))
    index = None
    t = 0.0
    if with_index:
        index = Index()
        start = time.perf_counter()
        index.add_object_many(objs)
        t = time.perf_counter() - start
    after = settled_rss()
    assert index is None or len(index.get_by_attribute(uid=n - 1)) == 1
    return {"per": (after - before) / n, "seconds": t}


def child_sqlite(args):
    import sqlite3

    n = args["n"]
    con = sqlite3.connect(":memory:")
    before = settled_rss()
    con.execute("CREATE TABLE r (uid INTEGER, small INTEGER, price REAL, sku TEXT, city TEXT, flag INTEGER, "
                "tags TEXT, seller INTEGER)")
    con.executemany("INSERT INTO r VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    ((uid, small, price, sku, city, int(flag), json.dumps(tags), seller)
                     for uid, small, price, sku, city, flag, tags, seller in mixed_records(n)))
    for col in ("uid", "small", "price", "sku", "city", "flag", "tags", "seller"):
        con.execute(f"CREATE INDEX r_{col} ON r ({col})")
    con.commit()
    after = settled_rss()
    return {"per": (after - before) / n}


def child_pandas(args):
    import pandas as pd

    n = args["n"]
    pd.DataFrame({"a": [1]})  # warm up
    before = settled_rss()
    cols = list(zip(*mixed_records(n)))
    frame = pd.DataFrame({
        "uid": pd.Series(cols[0], dtype="int64"), "small": pd.Series(cols[1], dtype="int64"),
        "price": pd.Series(cols[2], dtype="float64"), "sku": pd.Series(cols[3], dtype="object"),
        "city": pd.Series(cols[4], dtype="object"), "flag": pd.Series(cols[5], dtype="bool"),
        "tags": pd.Series(cols[6], dtype="object"), "seller": pd.Series(cols[7], dtype="int64"),
    })
    del cols
    after = settled_rss()
    assert len(frame) == n
    return {"per": (after - before) / n}


KINDS = ["none", "bool", "small int", "unique int", "float", "short string", "long string", "list", "nested object"]


def kind_value(kind, i, rng, shared):
    if kind == "none":
        return None
    if kind == "bool":
        return i % 2 == 0
    if kind == "small int":
        return i % 100
    if kind == "unique int":
        return i
    if kind == "float":
        return i * 0.5 + 0.25
    if kind == "short string":
        return f"item-{i % 50000:05d}"
    if kind == "long string":
        return f"{i:08d} " + words(rng, 30)
    if kind == "list":
        return [i % 20, i % 7, i % 3]
    if kind == "nested object":
        return shared[i // 300]
    raise ValueError(kind)


def child_kind(args):
    from Calderwick import Index, Indexable

    n, kind = args["n"], args["kind"]
    rng = random.Random(3)
    shared = [Indexable(name=f"s{k}", rank=k % 10) for k in range(n // 300 + 1)] if kind == "nested object" else []
    values = [kind_value(kind, i, rng, shared) for i in range(n)] if kind != "empty" else [None] * n
    warm = Index()
    warm.add_object(Indexable(v=values[0]) if kind != "empty" else Indexable())
    del warm
    before = settled_rss()
    objs = [Indexable(v=v) if kind != "empty" else Indexable() for v in values]
    index = Index()
    index.add_object_many(objs)
    after = settled_rss()
    return {"per": (after - before) / n}


def child_long_strings(args):
    from Calderwick import Index, Indexable

    count, size = args["count"], args["size"]
    rng = random.Random(5)
    texts = []
    for _ in range(count):
        t = words(rng, size // 5 + 10)[:size]
        texts.append(t)
    objs = [Indexable(text=t) for t in texts]
    before = settled_rss()
    index = Index()
    for o in objs:
        index.add_object(o)
    after = settled_rss()
    assert len(index.get_by_attribute(text=texts[-1])) == 1
    return {"total": after - before}


def child_names(args):
    from Calderwick import Indexable

    n = args["n"]
    o = Indexable(known=1)
    names = [f"unseen_attribute_{i}" for i in range(n)]

    def known_reads(reps=200000):
        start = time.perf_counter()
        for _ in range(reps):
            getattr(o, "known", None)
        return (time.perf_counter() - start) / reps

    known_before = known_reads()
    start = time.perf_counter()
    for name in names:
        getattr(o, name, None)
    first = time.perf_counter() - start
    known_after = known_reads()
    start = time.perf_counter()
    for name in names:
        getattr(o, name, None)
    second = time.perf_counter() - start
    return {"first": first, "second": second, "known_before": known_before, "known_after": known_after}


CHILDREN = {f.__name__[len("child_"):]: f for f in
            (child_objects, child_mixed, child_sqlite, child_pandas, child_kind, child_long_strings, child_names)}


def child_main(name, payload):
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))
    print(json.dumps(CHILDREN[name](json.loads(payload))))


# ---------------------------------------------------------------------------
# Parent: one subprocess per figure.

def run_child(opts, name, **args):
    env = dict(os.environ)
    if opts.pythonpath:
        env["PYTHONPATH"] = opts.pythonpath + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", name, json.dumps(args)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"exit {proc.returncode}: {last}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def have(module):
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def fmt_bytes(x):
    return f"{x:>10,.0f} B"


def show(label, result, key="per", unit=fmt_bytes):
    if "error" in result:
        print(f"  {label:<44} failed ({result['error']})")
        return None
    print(f"  {label:<44} {unit(result[key])}")
    return result[key]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--records", type=int, default=300_000)
    p.add_argument("--large", action="store_true", help="mixed index over 1,000,000 records")
    p.add_argument("--objects", type=int, default=100_000, help="objects per Indexable/plain figure")
    p.add_argument("--kind-records", type=int, default=100_000, help="records per attribute-kind figure")
    p.add_argument("--names", type=int, default=100_000)
    p.add_argument("--pythonpath", help="directory to import Calderwick from")
    p.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    opts = p.parse_args()
    if opts.child:
        child_main(*opts.child)
        return
    n = 1_000_000 if opts.large else opts.records
    print(f"RSS growth, each figure in a fresh subprocess (Python {sys.version.split()[0]})")

    print(f"\nObjects ({opts.objects:,} each), bytes per object")
    for attrs in (0, 1, 8, 16):
        ind = run_child(opts, "objects", n=opts.objects, attrs=attrs, kind="indexable")
        pla = run_child(opts, "objects", n=opts.objects, attrs=attrs, kind="plain")
        if "error" in ind or "error" in pla:
            print(f"  {attrs:>2} int attributes: {ind.get('error') or ind['per']} / {pla.get('error') or pla['per']}")
            continue
        print(f"  {attrs:>2} int attributes   Indexable {fmt_bytes(ind['per'])}   plain object {fmt_bytes(pla['per'])}"
              f"   ({ind['per'] / pla['per']:.2f}x)")

    print(f"\nMixed records (8 attributes), {n:,} records, bytes per record")
    objects_only = show("Indexable objects alone", run_child(opts, "mixed", n=n, index=False))
    indexed = run_child(opts, "mixed", n=n, index=True)
    total = show("objects + Index (add_object_many)", indexed)
    if total is not None and objects_only is not None:
        print(f"  {'  of which the index':<44} {fmt_bytes(total - objects_only)}"
              f"   (built in {indexed['seconds']:.2f} s)")
    peers = [("sqlite3", "sqlite", "sqlite3 :memory:, an index per column"), ("pandas", "pandas", "pandas DataFrame")]
    for module, child, label in peers:
        if not have(module):
            print(f"  {label:<44} (not installed)")
            continue
        peer = show(label, run_child(opts, child, n=n))
        if peer and total:
            print(f"  {'  Calderwick / ' + module:<44} {total / peer:>10.2f}x")

    print(f"\nBytes per record by attribute kind ({opts.kind_records:,} records, one attribute, indexed;"
          " values built beforehand)")
    empty = run_child(opts, "kind", n=opts.kind_records, kind="empty")
    base = show("no attribute (object + index membership)", empty)
    for kind in KINDS:
        r = run_child(opts, "kind", n=opts.kind_records, kind=kind)
        if "error" in r or base is None:
            show(kind, r)
            continue
        print(f"  {kind:<44} {fmt_bytes(r['per'] - base)}")

    print("\nLong strings in one attribute, total growth")
    mb = lambda x: f"{x / 2**20:>10.1f} MB"  # noqa: E731
    show("20 strings of 10 KB", run_child(opts, "long_strings", count=20, size=10_000), key="total", unit=mb)
    show("1 string of 1 MiB", run_child(opts, "long_strings", count=1, size=1 << 20), key="total", unit=mb)

    print(f"\nAttribute names: {opts.names:,} distinct names never seen before, read with getattr(o, name, None)")
    r = run_child(opts, "names", n=opts.names)
    if "error" in r:
        print(f"  failed ({r['error']})")
    else:
        print(f"  first read of every name (interns it)       {r['first']:>10.3f} s")
        print(f"  second read of every name                   {r['second']:>10.3f} s")
        print(f"  read of a known name, before / after        {r['known_before'] * 1e9:>7.0f} ns / "
              f"{r['known_after'] * 1e9:.0f} ns")


if __name__ == "__main__":
    main()
