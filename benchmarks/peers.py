"""Peer benchmark (not a test): the same records and the same questions put to
Calderwick and to the usual ways of answering them in Python, every answer of
every system checked against a brute-force scan.

    python benchmarks/peers.py                         # 1,000,000 records, a table on stdout
    python benchmarks/peers.py --n 20000               # a quick run
    python benchmarks/peers.py --json docs/peers.json --chart docs/peers.png --readme
                      # the README's figures: raw figures, chart, and the table in README.md
    python benchmarks/peers.py --from docs/peers.json --chart docs/peers.png --readme
                      # chart and table again from saved figures, measuring nothing
    python benchmarks/peers.py --threads 2             # query mix in 1 and in 2 threads
    python benchmarks/peers.py --pythonpath build/rel  # import Calderwick from a build tree
    python benchmarks/peers.py --peers FrozenDex --queries gt_price,owner_name
                      # a quicker look at a few queries against one peer

Peers (each skipped with "not installed" when missing; none of them is a
dependency of the package; ducks pins numpy < 2, so it goes in without its
pins, with sortednp built against the installed numpy:
`pip install pandas matplotlib BTrees cykhash readerwriterlock setuptools`,
`pip install --no-deps ducks`,
`pip install --no-deps --no-build-isolation --no-binary sortednp sortednp`):
  * plain    a list comprehension over plain `__slots__` objects;
  * sqlite3  an in-memory database: a table of records (id the integer primary
             key), a table of owners and a table of (record, tag) pairs, an
             index on every queried column; rowids map back to the objects;
  * pandas   a DataFrame with a column per attribute (category as a
             categorical, the owner's name copied in) and the objects as a
             column, queried with boolean masks; tags in a long frame of
             (row, tag) pairs;
  * Dex, FrozenDex  the `ducks` attribute indexes over the plain objects (the
             owner's name through `attrgetter("owner.name")`; they do not
             index list elements, so they sit out the tags query).

Records (seeded): unique int `id`, `grp` (100 values), `price` (float in
[0, 1000)), `category` (20 values, Zipf-like: the top one ~22%), `name` (six
random lowercase letters, so a two-letter prefix selects ~0.15%), `flag`,
`tags` (0-3 distinct ints below 40) and `owner`, an object with a `name`
shared by ~1,000 records. Calderwick gets `Indexable(**attrs)` objects, the
peers plain objects holding the same values.

Every figure is the median of --repeat (5) samples, taken round-robin over
the systems; a sample of a fast query repeats it enough times to last a few
milliseconds. Answers are lists of objects; each is compared, as a set of ids,
with the brute-force answer, and the run stops at the first mismatch. While
the queries run, the data and the loaded systems are frozen out of the cyclic
collector (gc.freeze), so that no collection pass over millions of objects
lands inside a sample. For Calderwick the time is
`index.reduced_query(q).collect()`; the column "query" is `reduced_query`
alone. The ratio is the best peer's time over Calderwick's (above 1 means
Calderwick is faster); the geometric mean is taken over the selective queries
(those selecting less than 10% of the records).

Other rows: bulk load (`add_object_many` against building each peer from the
same objects); one indexed assignment back to back (`o.price = x` then
`o.price = old` on the same object, against setting the plain attribute and
updating the peer; the bare attribute store is shown but is not a peer): a
move undone before anything reads the index costs Calderwick next to nothing,
so this row flatters it; the fresh-value assignment row is the honest one:
10,000 assignments per sample, each to an object picked at random (with
replacement) among the indexed records, each giving a price drawn from
[0, 1000) that the object does not hold at that moment (every sample its own
values, drawn before the timing), with `bt price 500..510` answered after every
1,000 of them, so that whatever the index defers is paid inside the sample;
the time is per assignment, the queries included (sqlite3: `UPDATE r SET
price = ? WHERE id = ?`, id being the rowid, all in the one open transaction;
plain: the attribute store and a list comprehension for the query, a peer
here); constructing an object with 8 attributes (`Indexable(...)` against a
`__slots__` class) and the cost per returned object of collecting the largest
answer (the top category) from a finished query.

--threads T runs only the thread-scaling figure: the ten queries as one mix,
a fixed number of rounds done by 1 thread and then split evenly over T threads
(the same total work), with and without collect, next to a control that
releases the GIL (hashlib.sha256), which tells whether the machine had free
cores at the time.
"""
import argparse
import datetime
import gc
import hashlib
import json
import math
import os
import platform
import random
import statistics
import sys
import threading
import time
from operator import attrgetter

CATEGORIES = ["books", "tools", "garden", "toys", "kitchen", "music", "sports", "office", "beauty", "shoes",
              "games", "bikes", "paint", "lamps", "rugs", "tea", "maps", "clocks", "tents", "wool"]
CATEGORY_SKEW = 0.83  # weight of the k-th category is 1 / k**skew: the top one gets ~22%
FIELDS = ("id", "grp", "price", "category", "name", "flag", "tags", "owner")
LETTERS = "abcdefghijklmnopqrstuvwxyz"
SELECTIVE = 0.10  # queries selecting less than this share of the records enter the geometric mean
SAMPLE_SECONDS = 0.005  # a sample of a fast operation repeats it to last about this long
ASSIGN_PAIRS = 2000  # assignments per sample: this many objects, each set and set back
FRESH_ASSIGNMENTS = 10_000  # assignments per sample of fresh prices to objects picked at random
FRESH_QUERY_EVERY = 1_000  # ... with a bt on price after every this many of them
CONSTRUCT_OBJECTS = 100_000

SYSTEMS = ["Calderwick", "plain", "sqlite3", "pandas", "Dex", "FrozenDex"]
PEERS = SYSTEMS[1:]


class Owner:
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


class Record:
    __slots__ = FIELDS

    def __init__(self, id, grp, price, category, name, flag, tags, owner):
        self.id = id
        self.grp = grp
        self.price = price
        self.category = category
        self.name = name
        self.flag = flag
        self.tags = tags
        self.owner = owner


OWNER_NAME = attrgetter("owner.name")


# ---------------------------------------------------------------------------
# Data

class Data:
    """The records as columns, the Calderwick objects and the plain objects."""

    def __init__(self, n, seed, Indexable):
        rng = random.Random(seed)
        weights = [1 / (k + 1) ** CATEGORY_SKEW for k in range(len(CATEGORIES))]
        self.n = n
        self.n_owners = max(1, n // 1000)
        self.owner_names = [f"owner-{k:05d}" for k in range(self.n_owners)]
        self.columns = {
            "id": list(range(n)),
            "grp": [rng.randrange(100) for _ in range(n)],
            "price": [rng.random() * 1000.0 for _ in range(n)],
            "category": rng.choices(CATEGORIES, weights=weights, k=n),
            "name": ["".join(rng.choices(LETTERS, k=6)) for _ in range(n)],
            "flag": [rng.random() < 0.5 for _ in range(n)],
            "tags": [rng.sample(range(40), rng.randrange(4)) for _ in range(n)],
            "owner": [rng.randrange(self.n_owners) for _ in range(n)],
        }
        self.plain_owners = [Owner(name) for name in self.owner_names]
        self.owners = [Indexable(name=name) for name in self.owner_names]
        self.records = [Record(*row) for row in self.rows(self.plain_owners)]
        self.objects = [Indexable(**dict(zip(FIELDS, row))) for row in self.rows(self.owners)]

    def rows(self, owners):
        cols = self.columns
        return zip(cols["id"], cols["grp"], cols["price"], cols["category"], cols["name"], cols["flag"],
                   cols["tags"], (owners[k] for k in cols["owner"]))


def prefix_end(prefix):
    """The least string above every string that starts with prefix."""
    return prefix[:-1] + chr(ord(prefix[-1]) + 1)


# ---------------------------------------------------------------------------
# Workloads: each query is written once per system.

class Query:
    """A question, with its brute-force predicate over a plain record (truth) and its form for each system."""

    def __init__(self, key, label, truth, calderwick, plain, sql, pandas, ducks):
        self.key, self.label, self.truth = key, label, truth
        self.calderwick, self.plain, self.sql, self.pandas, self.ducks = calderwick, plain, sql, pandas, ducks


def queries(data, Q):
    uid = data.n // 2
    top = CATEGORIES[0]
    grps = [5, 17, 42, 63, 88]
    owner = data.owner_names[7 % data.n_owners]
    recs = data.records
    R = "SELECT id FROM r WHERE "
    return [
        Query("eq_id", "eq id (unique)", lambda r: r.id == uid,
              lambda: Q.eq("id", uid),
              lambda: [r for r in recs if r.id == uid],
              (R + "id = ?", (uid,)),
              lambda p: p.where(p.df["id"] == uid),
              {"id": uid}),
        Query("eq_grp", "eq grp", lambda r: r.grp == 42,
              lambda: Q.eq("grp", 42),
              lambda: [r for r in recs if r.grp == 42],
              (R + "grp = ?", (42,)),
              lambda p: p.where(p.df["grp"] == 42),
              {"grp": 42}),
        Query("eq_category", "eq category (top)", lambda r: r.category == top,
              lambda: Q.eq("category", top),
              lambda: [r for r in recs if r.category == top],
              (R + "category = ?", (top,)),
              lambda p: p.where(p.df["category"] == top),
              {"category": top}),
        Query("and", "and(grp, category)", lambda r: r.grp == 42 and r.category == top,
              lambda: Q.and_(Q.eq("grp", 42), Q.eq("category", top)),
              lambda: [r for r in recs if r.grp == 42 and r.category == top],
              (R + "grp = ? AND category = ?", (42, top)),
              lambda p: p.where((p.df["grp"] == 42) & (p.df["category"] == top)),
              {"grp": 42, "category": top}),
        Query("gt_price", "gt price 990", lambda r: r.price > 990,
              lambda: Q.gt("price", 990),
              lambda: [r for r in recs if r.price > 990],
              (R + "price > ?", (990,)),
              lambda p: p.where(p.df["price"] > 990),
              {"price": {">": 990}}),
        Query("bt_price", "bt price 500..510", lambda r: 500 <= r.price <= 510,
              lambda: Q.bt("price", 500, 510),
              lambda: [r for r in recs if 500 <= r.price <= 510],
              (R + "price BETWEEN ? AND ?", (500, 510)),
              lambda p: p.where(p.df["price"].between(500, 510)),
              {"price": {">=": 500, "<=": 510}}),
        Query("in_grp", "in grp (5 values)", lambda r: r.grp in grps,
              lambda: Q.in_("grp", grps),
              lambda: [r for r in recs if r.grp in grps],
              (R + "grp IN (?, ?, ?, ?, ?)", tuple(grps)),
              lambda p: p.where(p.df["grp"].isin(grps)),
              {"grp": {"in": grps}}),
        Query("starts_with", "starts_with name 'ab'", lambda r: r.name[:2] == "ab",
              lambda: Q.starts_with("name", "ab"),
              lambda: [r for r in recs if r.name.startswith("ab")],
              (R + "name >= ? AND name < ?", ("ab", prefix_end("ab"))),
              lambda p: p.where(p.df["name"].str.startswith("ab")),
              {"name": {">=": "ab", "<": prefix_end("ab")}}),
        Query("owner_name", "eq owner.name", lambda r: r.owner.name == owner,
              lambda: Q.eq("owner.name", owner),
              lambda: [r for r in recs if r.owner.name == owner],
              ("SELECT r.id FROM r JOIN owner ON r.owner = owner.oid WHERE owner.name = ?", (owner,)),
              lambda p: p.where(p.df["owner_name"] == owner),
              {OWNER_NAME: owner}),
        Query("tags", "eq tags 7 (list element)", lambda r: any(t == 7 for t in r.tags),
              lambda: Q.eq("tags", 7),
              lambda: [r for r in recs if 7 in r.tags],
              ("SELECT rec FROM tag WHERE tag = ?", (7,)),  # a record's tags are distinct: no DISTINCT
              lambda p: p.tags(7),
              None),  # ducks does not index list elements
    ]


# ---------------------------------------------------------------------------
# Systems: each loads the objects, answers a query, and applies an assignment.

class SqlitePeer:
    name = "sqlite3"

    def __init__(self, data):
        import sqlite3

        self.recs = data.records
        con = self.con = sqlite3.connect(":memory:")
        con.execute("CREATE TABLE owner (oid INTEGER PRIMARY KEY, name TEXT)")
        con.execute("CREATE TABLE r (id INTEGER PRIMARY KEY, grp INTEGER, price REAL, category TEXT, name TEXT, "
                    "flag INTEGER, owner INTEGER)")
        con.execute("CREATE TABLE tag (rec INTEGER, tag INTEGER)")
        owner_ids = {id(o): k for k, o in enumerate(data.plain_owners)}
        con.executemany("INSERT INTO owner VALUES (?, ?)", ((k, o.name) for k, o in enumerate(data.plain_owners)))
        con.executemany("INSERT INTO r VALUES (?, ?, ?, ?, ?, ?, ?)",
                        ((r.id, r.grp, r.price, r.category, r.name, r.flag, owner_ids[id(r.owner)])
                         for r in self.recs))
        con.executemany("INSERT INTO tag VALUES (?, ?)", ((r.id, t) for r in self.recs for t in r.tags))
        for table, col in (("r", "grp"), ("r", "price"), ("r", "category"), ("r", "name"), ("r", "flag"),
                           ("r", "owner"), ("owner", "name"), ("tag", "tag")):
            con.execute(f"CREATE INDEX {table}_{col} ON {table} ({col})")
        con.commit()

    def query(self, q):
        recs = self.recs
        return [recs[i] for (i,) in self.con.execute(*q.sql)]

    def set_price(self, rec, value):
        rec.price = value
        self.con.execute("UPDATE r SET price = ? WHERE id = ?", (value, rec.id))


class PandasPeer:
    name = "pandas"

    def __init__(self, data):
        import pandas as pd

        recs = data.records
        self.df = pd.DataFrame({
            "id": [r.id for r in recs],
            "grp": [r.grp for r in recs],
            "price": [r.price for r in recs],
            "category": pd.Categorical([r.category for r in recs]),
            "name": [r.name for r in recs],
            "flag": [r.flag for r in recs],
            "owner_name": [r.owner.name for r in recs],
            "obj": pd.Series(recs, dtype=object),
        })
        self.tag_frame = pd.DataFrame({"row": [i for i, r in enumerate(recs) for _ in r.tags],
                                       "tag": [t for r in recs for t in r.tags]})
        self.row = {id(r): i for i, r in enumerate(recs)}

    def query(self, q):
        return q.pandas(self)

    def where(self, mask):
        return self.df["obj"][mask].tolist()

    def tags(self, value):
        """The objects with value among their tags, from the long frame of (row, tag) pairs."""
        rows = self.tag_frame["row"][self.tag_frame["tag"] == value].to_numpy()
        return self.df["obj"].to_numpy()[rows].tolist()

    def set_price(self, rec, value):
        rec.price = value
        self.df.at[self.row[id(rec)], "price"] = value


class DexPeer:
    name = "Dex"
    ON = ["id", "grp", "price", "category", "name", "flag", OWNER_NAME]

    def __init__(self, data):
        from ducks import Dex

        self.dex = Dex(data.records, self.ON)

    def query(self, q):
        return None if q.ducks is None else self.dex[q.ducks]

    def set_price(self, rec, value):
        # Dex finds an object's entries by its current values: take it out before the change
        self.dex.remove(rec)
        rec.price = value
        self.dex.add(rec)


class FrozenDexPeer:
    name = "FrozenDex"

    def __init__(self, data):
        from ducks import FrozenDex

        self.dex = FrozenDex(data.records, DexPeer.ON)

    def query(self, q):
        return None if q.ducks is None else self.dex[q.ducks].tolist()

    set_price = None  # immutable


PEER_CLASSES = {"sqlite3": (SqlitePeer, "sqlite3"), "pandas": (PandasPeer, "pandas"),
                "Dex": (DexPeer, "ducks"), "FrozenDex": (FrozenDexPeer, "ducks")}


def installed(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


# ---------------------------------------------------------------------------
# Measuring

class Mismatch(Exception):
    pass


def check(label, system, answer, expected):
    ids = [o.id for o in answer]
    got = set(ids)
    if len(ids) != len(got) or got != expected:
        missing, extra = sorted(expected - got)[:5], sorted(got - expected)[:5]
        raise Mismatch(f"{system} answered {label!r} wrongly: {len(ids)} objects ({len(got)} distinct), "
                       f"expected {len(expected)}; missing ids {missing}, extra ids {extra}")


class Case:
    """One system's way of doing a workload: fn() is timed, verify(result) checks what it returned."""

    def __init__(self, fn, verify=None, per=1):
        self.fn, self.verify, self.per = fn, verify, per


def measure(cases, repeat):
    """Median seconds per call (divided by per) of each case. The samples are taken round-robin, one
    of each case in turn, so that a slow spell of the machine falls on every system alike; a sample
    of a fast case repeats it to last about SAMPLE_SECONDS (timed from a second call: the first may
    pay one-time costs); every sample's last result is verified."""
    inner = {}
    for name, case in cases.items():
        result = case.fn()  # the first call may pay one-time costs (cold caches, lazily built structures)
        if case.verify:
            case.verify(result)
        result = None
        start = time.perf_counter()
        result = case.fn()
        second = time.perf_counter() - start
        result = None
        inner[name] = max(1, min(10_000, int(SAMPLE_SECONDS / max(second, 1e-9))))
    samples = {name: [] for name in cases}
    for _ in range(repeat):
        for name, case in cases.items():
            fn, k = case.fn, inner[name]
            start = time.perf_counter()
            for _ in range(k):
                result = fn()
            samples[name].append((time.perf_counter() - start) / k / case.per)
            if case.verify:
                case.verify(result)
            result = None
    return {name: {"median": statistics.median(v), "samples": v} for name, v in samples.items()}


def measure_loads(builders, repeat):
    """Median seconds of each builder() over repeat fresh builds, round-robin; returns the figures and
    each system's last build (only one build of a system is alive at a time)."""
    samples = {name: [] for name in builders}
    built = {}
    for _ in range(repeat):
        for name, build in builders.items():
            built[name] = None
            gc.collect()
            start = time.perf_counter()
            built[name] = build()
            samples[name].append(time.perf_counter() - start)
    return {name: {"median": statistics.median(v), "samples": v} for name, v in samples.items()}, built


def fmt_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            return f"{value:.3g} {unit}" if value < 1000 else f"{value:.0f} {unit}"


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


# ---------------------------------------------------------------------------
# The comparison

def compare(opts, data, cw, present):
    Index, Q = cw.Index, cw.PyQueryExpr
    rows = []
    n, repeat = data.n, opts.repeat

    def row(key, label, kind, hits, times, query_alone=None, reference=()):
        peers = {s: t for s, t in times.items() if s != "Calderwick" and s not in reference and t}
        best = min(peers, key=lambda s: peers[s]["median"]) if peers else None
        ratio = peers[best]["median"] / times["Calderwick"]["median"] if best else None
        rows.append({"key": key, "label": label, "kind": kind, "hits": hits, "times": times,
                     "query_alone": query_alone, "best_peer": best, "ratio": ratio,
                     "reference": list(reference)})
        print(f"  {label:<32} {'done':>6}", file=sys.stderr)

    # Bulk load; the last build of each system answers the queries.
    print("loading ...", file=sys.stderr)

    def load_calderwick():
        index = Index()
        index.add_object_many(data.objects)
        return index

    builders = {"Calderwick": load_calderwick}
    for name in PEERS[1:]:
        if name in present:
            builders[name] = lambda cls=PEER_CLASSES[name][0]: cls(data)
    times, systems = measure_loads(builders, repeat)
    index = systems.pop("Calderwick")
    row("load", "bulk load (all records)", "load", n, times)
    gc.collect()
    gc.freeze()  # the data and the loaded systems stay put: no collection pass walks them during the queries

    # Queries
    print("queries ...", file=sys.stderr)
    for q in queries(data, Q):
        if opts.queries and q.key not in opts.queries.split(","):
            continue
        expected = {r.id for r in data.records if q.truth(r)}

        def verify(system, q=q, expected=expected):
            return lambda answer: check(q.label, system, answer, expected)

        cases = {"Calderwick": Case(lambda: index.reduced_query(q.calderwick()).collect(), verify("Calderwick")),
                 "query alone": Case(lambda: index.reduced_query(q.calderwick()),
                                     lambda view: check(q.label, "Calderwick", view.collect(), expected))}
        if "plain" in present:
            cases["plain"] = Case(q.plain, verify("plain"))
        for name, system in systems.items():
            if system.query(q) is not None:
                cases[name] = Case(lambda system=system: system.query(q), verify(name))
        times = measure(cases, repeat)
        row(q.key, q.label, "query", len(expected), times, query_alone=times.pop("query alone"))

    # Collecting the largest answer from a finished query, per returned object.
    top = CATEGORIES[0]
    view = index.reduced_query(Q.eq("category", top))
    expected = {r.id for r in data.records if r.category == top}
    hits = len(expected)
    ok = lambda system: lambda answer: check("collect", system, answer, expected)  # noqa: E731
    cases = {"Calderwick": Case(view.collect, ok("Calderwick"), hits)}
    if "plain" in present:
        rows_of_answer = sorted(expected)
        recs = data.records
        cases["plain"] = Case(lambda: [recs[i] for i in rows_of_answer], ok("plain"), hits)
    if "pandas" in systems:
        frame = systems["pandas"].df
        mask = frame["category"] == top
        cases["pandas"] = Case(lambda: frame["obj"][mask].tolist(), ok("pandas"), hits)
    row("collect", "collect (per object)", "per object", hits, measure(cases, repeat))

    # One indexed assignment, per assignment: each sample sets ASSIGN_PAIRS prices and sets them back.
    rng = random.Random(opts.seed + 1)
    picks = rng.sample(range(n), min(n, ASSIGN_PAIRS))
    fresh = [rng.random() * 1000.0 for _ in picks]
    pairs_cw = [(data.objects[i], v, data.columns["price"][i]) for i, v in zip(picks, fresh)]
    pairs_plain = [(data.records[i], v, data.columns["price"][i]) for i, v in zip(picks, fresh)]
    ops = 2 * len(picks)

    def assign_calderwick():
        for o, new, old in pairs_cw:
            o.price = new
            o.price = old

    def assign_plain():
        for r, new, old in pairs_plain:
            r.price = new
            r.price = old

    def assign_peer(set_price):
        def run():
            for r, new, old in pairs_plain:
                set_price(r, new)
                set_price(r, old)
        return run

    cases = {"Calderwick": Case(assign_calderwick, per=ops)}
    if "plain" in present:
        cases["plain"] = Case(assign_plain, per=ops)
    for name, system in systems.items():
        if system.set_price:
            cases[name] = Case(assign_peer(system.set_price), per=ops)
    row("assign", "assign + undo (back to back)", "per op", None, measure(cases, repeat), reference=("plain",))
    check_assignment(data, index, systems, Q, picks[:5])

    bt = next(q for q in queries(data, Q) if q.key == "bt_price")
    row("assign_fresh", "assign fresh, bt per 1,000", "per op", None,
        fresh_assignments(data, index, systems, present, bt, opts.seed + 2, repeat))

    # Constructing an object with 8 attributes
    m = min(n, CONSTRUCT_OBJECTS)
    kw_cw = [dict(zip(FIELDS, row)) for row in zip(range(m), *(data.columns[f][:m] for f in FIELDS[1:-1]),
                                                     (data.owners[k] for k in data.columns["owner"][:m]))]
    kw_plain = [dict(kw, owner=data.plain_owners[k]) for kw, k in zip(kw_cw, data.columns["owner"])]
    Indexable = cw.Indexable
    cases = {"Calderwick": Case(lambda: [Indexable(**kw) for kw in kw_cw], per=m),
             "plain": Case(lambda: [Record(**kw) for kw in kw_plain], per=m)}
    row("construct", "construct, 8 attributes", "per object", None, measure(cases, repeat))
    gc.unfreeze()
    rows.sort(key=lambda r: r["kind"] == "load")  # queries first, the load last
    return rows


def fresh_streams(data, seed, count, lo, hi):
    """count runs of FRESH_ASSIGNMENTS (row, price): rows picked at random with replacement, each price one
    the object does not hold at that point when the runs are played in order from the loaded prices; with
    the ids priced within [lo, hi] at the end of each run, and the price each touched row started from."""
    rng = random.Random(seed)
    n, start = data.n, data.columns["price"]
    current = list(start)
    inside = {i for i, p in enumerate(current) if lo <= p <= hi}
    runs = []
    for _ in range(count):
        run = []
        for _ in range(FRESH_ASSIGNMENTS):
            i = rng.randrange(n)
            value = rng.random() * 1000.0
            while value == current[i]:
                value = rng.random() * 1000.0
            current[i] = value
            if lo <= value <= hi:
                inside.add(i)
            else:
                inside.discard(i)
            run.append((i, value))
        runs.append((run, set(inside)))  # ids are row numbers
    touched = {i for run, _ in runs for i, _ in run}
    return runs, {i: start[i] for i in touched}


def fresh_assignments(data, index, systems, present, q, seed, repeat):
    """Seconds per assignment, a query after every FRESH_QUERY_EVERY of them included: the first run warms
    every system and is not counted, then repeat runs, round-robin over the systems, each timed once."""
    lo, hi = q.sql[1]
    runs, start = fresh_streams(data, seed, repeat + 1, lo, hi)
    objects, records = data.objects, data.records
    make = q.calderwick

    def calderwick(run):
        pairs = [(objects[i], v) for i, v in run]
        chunks = [pairs[k:k + FRESH_QUERY_EVERY] for k in range(0, len(pairs), FRESH_QUERY_EVERY)]

        def go():
            for chunk in chunks:
                for o, v in chunk:
                    o.price = v
                last = index.reduced_query(make()).collect()
            return last
        return go

    def peer(run, set_price, answer):
        pairs = [(records[i], v) for i, v in run]
        chunks = [pairs[k:k + FRESH_QUERY_EVERY] for k in range(0, len(pairs), FRESH_QUERY_EVERY)]

        def go():
            for chunk in chunks:
                for r, v in chunk:
                    set_price(r, v)
                last = answer()
            return last
        return go

    def plain_set(r, v):
        r.price = v

    # Calderwick has its own objects; the peers share the plain ones, and Dex finds an object's entries by
    # the value it holds, so Dex plays each run first (every peer plays the same runs in the same order).
    players = {"Calderwick": lambda run: calderwick(run)}
    for name in sorted((s for s in systems if systems[s].set_price), key=lambda s: s != "Dex"):
        system = systems[name]
        players[name] = lambda run, system=system: peer(run, system.set_price, lambda: system.query(q))
    if "plain" in present:
        players["plain"] = lambda run: peer(run, plain_set, q.plain)
    samples = {name: [] for name in players}
    for k, (run, inside) in enumerate(runs):
        expected = {records[i].id for i in inside}
        for name, play in players.items():
            go = play(run)
            start_time = time.perf_counter()
            answer = go()
            elapsed = time.perf_counter() - start_time
            check(q.label + " after fresh assignments", name, answer, expected)
            if k:
                samples[name].append(elapsed / len(run))
            go = answer = None
    # back to the loaded prices, Dex first again
    for i, old in start.items():
        objects[i].price = old
        for name in players:
            if name in systems:
                systems[name].set_price(records[i], old)
        records[i].price = old
    return {name: {"median": statistics.median(v), "samples": v} for name, v in samples.items()}


def check_assignment(data, index, systems, Q, picks):
    """Move a few prices above every other price in every system, query them, and put them back."""
    expected = {data.records[i].id for i in picks}
    query = Query("moved", "gt price 1500 after assignment", None, lambda: Q.gt("price", 1500), None,
                  ("SELECT id FROM r WHERE price > ?", (1500,)), lambda p: p.where(p.df["price"] > 1500),
                  {"price": {">": 1500}})
    # The peers share the plain objects, and Dex finds an object's entries by the value it holds: Dex goes first.
    mutable = sorted((s for s in systems.values() if s.set_price), key=lambda s: s.name != "Dex")
    for k, i in enumerate(picks):
        data.objects[i].price = 2000.0 + k
        for system in mutable:
            system.set_price(data.records[i], 2000.0 + k)
    check(query.label, "Calderwick", index.reduced_query(query.calderwick()).collect(), expected)
    for system in mutable:
        check(query.label, system.name, system.query(query), expected)
    for i in picks:
        old = data.columns["price"][i]
        data.objects[i].price = old
        for system in mutable:
            system.set_price(data.records[i], old)


# ---------------------------------------------------------------------------
# Output

def summary(rows, n):
    """Geometric means of the ratio: over the selective queries, and over all queries."""
    ratios = [(r["ratio"], r["hits"] < SELECTIVE * n) for r in rows if r["kind"] == "query" and r["ratio"]]
    selective = [v for v, sel in ratios if sel]
    return {"selective": geomean(selective), "selective_count": len(selective),
            "queries": geomean([v for v, _ in ratios]), "query_count": len(ratios)}


def cell(row, system):
    t = row["times"].get(system)
    text = fmt_time(t["median"]) if t else "n/a"
    return f"({text})" if system in row["reference"] else text


def print_table(rows, present, n):
    cols = ["Calderwick", "query"] + [s for s in PEERS if s in present]
    head = f"{'workload':<28}{'hits':>9}" + "".join(f"{c:>11}" for c in cols) + f"{'best peer':>11}{'ratio':>9}"
    print(head)
    print("-" * len(head))
    for r in rows:
        cells = [(fmt_time(r["query_alone"]["median"]) if r["query_alone"] else "") if c == "query"
                 else cell(r, c) for c in cols]
        hits = f"{r['hits']:,}" if r["hits"] is not None else ""
        ratio = f"{r['ratio']:.3g}x" if r["ratio"] else "-"
        print(f"{r['label']:<28}{hits:>9}" + "".join(f"{c:>11}" for c in cells)
              + f"{r['best_peer'] or '-':>11}{ratio:>9}")
    means = summary(rows, n)
    print("-" * len(head))
    if means["selective"]:
        print(f"geometric mean of the ratio, {means['selective_count']} selective queries"
              f" (< {SELECTIVE:.0%} of the records): {means['selective']:.2f}x")
    if means["queries"]:
        print(f"geometric mean of the ratio, all {means['query_count']} queries: {means['queries']:.2f}x")
    print("Times: per query for queries (Calderwick: reduced_query + collect; 'query': reduced_query alone),"
          " per build for the load,\nper operation or object for collect, the two assignment rows and construct;"
          " (x) is a reference,"
          " not a peer; n/a: the system has no such operation.")
    return means


README_BEGIN = "<!-- peers:begin (written by benchmarks/peers.py --readme from the figures; do not edit) -->"
README_END = "<!-- peers:end -->"


def markdown(figures):
    """The README's table of figures, with where and how they were measured."""
    peers = figures["systems"][1:]
    # A value set and set back before anything reads the index is a move the
    # index may drop: the console shows it, the README only the fresh row.
    rows = [r for r in figures["rows"] if r["key"] != "assign" or not any(x["key"] == "assign_fresh"
                                                                           for x in figures["rows"])]
    head = ["workload", "hits", "Calderwick", "query alone"] + peers + ["best peer", "ratio"]
    lines = ["| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 3) + "---|---:|"]
    for r in rows:
        alone = fmt_time(r["query_alone"]["median"]) if r["query_alone"] else ""
        cells = [r["label"], f"{r['hits']:,}" if r["hits"] is not None else "", cell(r, "Calderwick"), alone]
        cells += [cell(r, p) for p in peers]
        cells += [r["best_peer"] or "-", f"**{r['ratio']:.3g}x**" if r["ratio"] else "-"]
        lines.append("| " + " | ".join(cells) + " |")
    means = summary(rows, figures["n"])
    rated = [r for r in rows if r["ratio"]]
    faster = [r["label"] for r in rated if r["ratio"] > 1]
    lines += ["", f"Calderwick was faster than the best peer in {len(faster)} of the {len(rated)} workloads"
                  + (f" ({', '.join(faster)})." if faster else "."),
              "", f"Ratio: the best peer's time over Calderwick's, above 1 when Calderwick is faster; geometric mean"
                  f" over the {means['selective_count']} selective queries (under {SELECTIVE:.0%} of the records)"
                  f" **{means['selective']:.2f}x**, over all {means['query_count']} queries {means['queries']:.2f}x."
                  " Times are per query, per build for the load, and per operation or object for collect,"
                  " assignment and construction; (x) is the bare attribute store, shown for reference."
                  + (" The assignment row gives objects picked at random prices they do not hold, with a bt on"
                     " price after every 1,000, the queries inside the time."
                     if any(r["key"] == "assign_fresh" for r in rows) else ""),
              "",
              f"Measured on {figures['date']} with N = {figures['n']:,} records, Python {figures['python']},"
              f" {figures['machine']} (load average {figures['load_average']:.1f} at the start"
              + (f", {figures['load_average_end']:.1f} at the end" if "load_average_end" in figures else "")
              + "), by"
              f" `python benchmarks/peers.py {' '.join(figures['argv'])}` (median of {figures['repeat']};"
              f" the whole run took {figures['seconds'] / 60:.0f} minutes)."]
    return "\n".join(lines) + "\n"


def replace_in_readme(begin, end, block, source):
    """Rewrites the README between the markers `begin` and `end` with `block`."""
    readme = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
    with open(readme) as f:
        text = f.read()
    try:
        start = text.index(begin) + len(begin)
        stop = text.index(end, start)
    except ValueError:
        raise SystemExit(f"{readme}: the markers {begin!r} / {end!r} are missing") from None
    with open(readme, "w") as f:
        f.write(text[:start] + "\n" + block + text[stop:])
    print(f"{readme}: table rewritten from {source}")


def write_readme(figures, source):
    replace_in_readme(README_BEGIN, README_END, markdown(figures), source)


def write_chart(path, rows, n, date):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    shown = [r for r in rows if r["ratio"]]
    labels = [r["label"] for r in shown]
    ratios = [r["ratio"] for r in shown]
    fig, ax = plt.subplots(figsize=(9, 0.42 * len(shown) + 1.6))
    y = list(range(len(shown)))[::-1]
    colours = ["#2e7d32" if v >= 1 else "#c62828" for v in ratios]
    # bars grow from 1 (as fast as the best peer) towards the ratio, to the right when Calderwick is faster
    ax.barh(y, [abs(v - 1) for v in ratios], left=[min(v, 1) for v in ratios], color=colours, height=0.6)
    ax.set_xscale("log")
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_yticks(y, labels)
    for yy, r in zip(y, shown):
        ax.text(r["ratio"] * 1.08 if r["ratio"] >= 1 else r["ratio"] / 1.08, yy,
                f"{r['ratio']:.3g}x vs {r['best_peer']}", va="center",
                ha="left" if r["ratio"] >= 1 else "right", fontsize=8)
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    lo, hi = min(ratios + [1]), max(ratios + [1])
    ax.set_xlim(lo / 15, hi * 8)  # room for the labels beside the bars
    ax.set_xlabel("speed-up: best peer's time / Calderwick's time (log scale; above 1 Calderwick is faster)")
    ax.set_title(f"Calderwick against the best peer, N = {n:,} records, {date}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def load_text(loads):
    return " / ".join(f"{v:.2f}" for v in loads)


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


# ---------------------------------------------------------------------------
# Threads

def thread_scaling(opts, data, cw):
    Q = cw.PyQueryExpr
    index = cw.Index()
    index.add_object_many(data.objects)
    mix = [q.calderwick for q in queries(data, Q)]
    for q in queries(data, Q):
        expected = {r.id for r in data.records if q.truth(r)}
        check(q.label, "Calderwick", index.reduced_query(q.calderwick()).collect(), expected)
    gc.collect()
    gc.freeze()
    threads = opts.threads
    print(f"Thread scaling: the {len(mix)} queries as one mix; a fixed number of rounds done by 1 thread,"
          f" then split evenly over {threads} threads (same total work); median of {opts.repeat}, the 1-thread"
          f" and {threads}-thread samples taken in turn.")
    print(f"{'':<18}{'rounds':>8}{'1 thread':>14}{f'{threads} threads':>14}{'scaling':>10}"
          f"{'cores busy':>14}")
    results = {}

    def mix_round(collect):
        def one_round():
            for make in mix:
                view = index.reduced_query(make())
                if collect:
                    view.collect()
        return one_round

    block = bytes(8 << 20)

    def control_round():
        hashlib.sha256(block).digest()

    for label, one_round in (("query alone", mix_round(False)), ("query + collect", mix_round(True)),
                             ("sha256 control", control_round)):
        start = time.perf_counter()
        one_round()
        per_round = time.perf_counter() - start
        rounds = max(threads, int(opts.thread_seconds / per_round) // threads * threads)

        def run(nthreads):
            """Wall seconds and process CPU seconds of the rounds split over nthreads threads."""
            barrier = threading.Barrier(nthreads + 1)

            def work():
                barrier.wait()
                for _ in range(rounds // nthreads):
                    one_round()

            workers = [threading.Thread(target=work) for _ in range(nthreads)]
            for w in workers:
                w.start()
            barrier.wait()
            start, cpu = time.perf_counter(), time.process_time()
            for w in workers:
                w.join()
            return time.perf_counter() - start, time.process_time() - cpu

        samples = {1: [], threads: []}
        for _ in range(opts.repeat):
            for k in samples:
                samples[k].append(run(k))
        (t1, c1), (tn, cn) = ([statistics.median(x[i] for x in samples[k]) for i in (0, 1)] for k in samples)
        print(f"{label:<18}{rounds:>8}{rounds / t1:>9.1f} r/s{rounds / tn:>9.1f} r/s{t1 / tn:>9.2f}x"
              f"{c1 / t1:>7.2f} /{cn / tn:>5.2f}")
        results[label] = {"rounds": rounds, "samples_1": samples[1], f"samples_{threads}": samples[threads],
                          "seconds_1": t1, f"seconds_{threads}": tn, "scaling": t1 / tn}
    print(f"scaling = time of 1 thread / time of {threads} threads for the same rounds ({threads:.1f}x is ideal);"
          " r/s = rounds of the mix per second;\ncores busy = process CPU time / wall time, 1 thread /"
          f" {threads} threads (above 1 only when the threads run at once, outside the GIL);\nthe control"
          " (hashlib.sha256 of 8 MiB a round, which releases the GIL) shows what the machine allowed: on a machine"
          " whose cores\nare busy with other work it scales no better than the queries can.")
    gc.unfreeze()
    return {"threads": threads, **results}


# ---------------------------------------------------------------------------

def measure_all(opts):
    """Run the benchmark; returns the figures."""
    if opts.pythonpath:
        sys.path.insert(0, opts.pythonpath)
    import Calderwick as cw

    date = datetime.date.today().isoformat()
    started = time.perf_counter()
    print(f"Calderwick against peers: N = {opts.n:,} records, seed {opts.seed}, {date}")
    loads = os.getloadavg()
    load = loads[0]
    print(f"Python {platform.python_version()}, {machine()}, load average {load_text(loads)} at the start"
          " (1, 5, 15 minutes)")
    print(f"module {cw.__file__}")
    print("command: python " + " ".join([os.path.relpath(sys.argv[0])] + sys.argv[1:]))
    chosen = set(opts.peers.split(",")) if opts.peers else set(PEERS)
    present = ["plain"] if "plain" in chosen else []
    for name in PEERS[1:]:
        module = PEER_CLASSES[name][1]
        if name not in chosen:
            continue
        if installed(module):
            present.append(name)
        else:
            print(f"{name}: not installed ({module})")
    t0 = time.perf_counter()
    data = Data(opts.n, opts.seed, cw.Indexable)
    print(f"records built in {time.perf_counter() - t0:.1f} s\n")
    figures = {"n": opts.n, "seed": opts.seed, "date": date, "python": platform.python_version(),
               "machine": machine(), "module": cw.__file__, "load_average": load,
               "argv": sys.argv[1:], "repeat": opts.repeat}
    try:
        if opts.threads:
            figures["threads"] = thread_scaling(opts, data, cw)
        else:
            rows = compare(opts, data, cw, present)
            figures["systems"] = ["Calderwick"] + present
            figures["rows"] = rows
            figures["means"] = print_table(rows, present, opts.n)
    except Mismatch as e:
        print(f"\nWRONG ANSWER: {e}")
        sys.exit(1)
    figures["seconds"] = time.perf_counter() - started
    figures["load_averages_start"] = list(loads)
    figures["load_averages_end"] = list(os.getloadavg())
    figures["load_average_end"] = figures["load_averages_end"][0]
    print(f"\nwhole run {figures['seconds']:.0f} s; load average {load_text(loads)} at the start,"
          f" {load_text(figures['load_averages_end'])} at the end (1, 5, 15 minutes; {os.cpu_count()} cores)")
    return figures


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1_000_000, help="records (default 1,000,000)")
    p.add_argument("--repeat", type=int, default=5, help="samples per figure; the median is shown")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--chart", help="write a PNG bar chart of the ratios here")
    p.add_argument("--json", help="write the raw figures here")
    p.add_argument("--threads", type=int, help="only the thread-scaling figure, 1 thread against this many")
    p.add_argument("--thread-seconds", type=float, default=2.0, help="rough length of one 1-thread sample")
    p.add_argument("--pythonpath", help="directory to import Calderwick from")
    p.add_argument("--peers", help="comma-separated peers to run (default: every installed one)")
    p.add_argument("--queries", help="comma-separated query keys to run (default: all), e.g. eq_grp,gt_price")
    p.add_argument("--from", dest="source", metavar="JSON", help="measure nothing: take the figures from this file")
    p.add_argument("--readme", action="store_true", help="rewrite the README's table from the figures")
    opts = p.parse_args()
    if opts.source:
        with open(opts.source) as f:
            figures = json.load(f)
    else:
        figures = measure_all(opts)
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(figures, f, indent=1)
    if opts.chart and "rows" in figures:
        write_chart(opts.chart, figures["rows"], figures["n"], figures["date"])
        print(f"chart written to {opts.chart}")
    if opts.readme and "rows" in figures:
        write_readme(figures, opts.source or opts.json or "this run")


if __name__ == "__main__":
    main()
