"""Memory benchmark (not a test): resident-memory growth per object and per
record, each figure measured in a fresh subprocess so that nothing earlier in
the run (freed arenas, interned names, caches) distorts it.

    python benchmarks/memory.py                 # the default sizes (about a minute on two cores)
    python benchmarks/memory.py --quick         # a few thousand objects per figure (about 15 s)
    python benchmarks/memory.py --large         # the benchmark mix over 1,000,000 records
    python benchmarks/memory.py --records N     # ... over N records
    python benchmarks/memory.py --pythonpath D  # import Calderwick from D (e.g. build/rel)
    python benchmarks/memory.py --json new.json                     # every figure, for a later comparison
    python benchmarks/memory.py --compare old.json                  # measure, then old against new per row
    python benchmarks/memory.py --from new.json --compare old.json  # two saved runs, measuring nothing

Sections:
  * bytes per object by attribute count, every count from 0 to 64 (--quick:
    0-24, then 28, 32, 40, 48, 56, 64): `Indexable(**attrs)` next to an
    instance of a plain class whose __init__ sets the same attributes; every
    value is an int of its own (no cached small ints); a row whose growth
    over the previous row exceeds what the cost per attribute of the rows
    before it predicts by over STEP_SLACK bytes is flagged as a step;
  * bytes per object by value kind, 8 attributes of one kind, each value an
    object of its own where Python allows it (bool and None are singletons);
  * flight-log records (22 attributes: 7 ints, 7 floats, 5 short strings and
    3 nested objects, two airports and an aircraft), Indexable against plain
    objects, with the nested objects owned by each record (as a parser would
    make them) or taken from shared pools; and an Index over them;
  * an Index over the benchmark mix (8 attributes) at --records, per record,
    settled and at the peak while loading, next to the objects alone, the
    same records filed one by one as they are built (add_object), and
    peers where installed (sqlite3 in-memory table with an index per column;
    a pandas DataFrame);
  * what the Index adds per record by value kind: an indexed object with one
    attribute less an indexed object with none, the values built beforehand;
  * long strings: 20 strings of ~10 KB in one attribute, and one 1 MiB string;
  * reading distinct attribute names never seen before: time and RSS, and the
    cost of reading a known name before and after they were interned.

Per-object figures include the values the objects own (built inside the
measured region and referenced only by the objects) but not the list holding
the objects, which is allocated before the first reading.

RSS is read from /proc/self/statm after a full collection, before and after
the measured objects are built. The peak is VmHWM from /proc/self/status,
reset through /proc/self/clear_refs at the start of the phase it measures
(where the kernel refuses that, the peak since the child started). Each child
runs under an address-space limit so that a runaway structure fails instead
of exhausting the machine, and with PYTHONHASHSEED=0 unless it is set, so that
string hashes (and so how hash tables fill) are the same from run to run. The module is copied once at the start and every
child imports that copy, so a reinstall during the run cannot mix two builds
into one set of figures.
"""
import argparse
import datetime
import gc
import json
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAGE = os.sysconf("SC_PAGE_SIZE")
CHILD_ADDRESS_SPACE = 8 << 30  # bytes
STEP_SLACK = 48  # bytes: how far a row may exceed the previous row's trend before it is called a step
CHANGED = 0.05  # --compare marks a figure that moved by more than this fraction
VALUE_BASE = 1 << 20  # ints from here on are never CPython's cached small ints


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def settled_rss():
    gc.collect()
    return rss()


def reset_peak():
    """Start a new high-water mark at the current RSS; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# ---------------------------------------------------------------------------
# Values and classes shared by the workloads.

ALPHABET = "".join(chr(c) for c in range(33, 127))  # 94 printable ASCII characters
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
FILLER = ("the quick brown fox jumps over the lazy dog while the red lamp on the small table lights "
          "a blue rug and a green chair in the corner of a quiet room at the end of a long hall ") * 2


def text(c, width, alphabet=ALPHABET):
    """A new string of `width` characters spelling c in base len(alphabet):
    distinct for c below len(alphabet) ** width."""
    chars = []
    for _ in range(width):
        c, r = divmod(c, len(alphabet))
        chars.append(alphabet[r])
    return "".join(chars)


def fresh(s):
    """A new string object with the text of s (two characters or more)."""
    return s[:1] + s[1:]


def plain_class(names, name="Plain"):
    """A class whose __init__ takes and sets `names`, as hand-written code would."""
    params = "".join(f", {a}" for a in names)
    body = "".join(f"\n    self.{a} = {a}" for a in names) or "\n    pass"
    namespace = {}
    exec(f"def __init__(self{params}):{body}\n", namespace)
    return type(name, (), {"__init__": namespace["__init__"]})


def measure_objects(n, make):
    """RSS growth per object of make(0..n-1), with one object made (and kept)
    beforehand so that names, type caches and shared layouts are in place."""
    keep = make(n)
    objs = [None] * n
    before = settled_rss()
    for i in range(n):
        objs[i] = make(i)
    after = settled_rss()
    assert keep is not None and objs[-1] is not None
    return {"per": (after - before) / n}


# ---------------------------------------------------------------------------
# Workloads, run inside the child. Each returns a dict of figures.

def child_info(args):
    import Calderwick

    return {"file": os.path.abspath(Calderwick.__file__)}


def child_attrs(args):
    """Objects with `attrs` int attributes, every value an int of its own."""
    n, k = args["n"], args["attrs"]
    names = [f"a{j}" for j in range(k)]
    if args["side"] == "calderwick":
        from Calderwick import Indexable

        def make(i):
            base = VALUE_BASE + i * k
            return Indexable(**dict(zip(names, range(base, base + k))))
    else:
        Plain = plain_class(names)

        def make(i):
            base = VALUE_BASE + i * k
            return Plain(*range(base, base + k))
    return measure_objects(n, make)


KIND_ATTRS = 8
# (key, label, value(c, nested)): c is distinct per attribute of every object
VALUE_KINDS = [
    ("int", "int (distinct)", lambda c, nested: VALUE_BASE + c),
    ("float", "float (distinct)", lambda c, nested: c * 0.5 + 0.25),
    ("bool", "bool", lambda c, nested: c % 2 == 0),
    ("none", "None", lambda c, nested: None),
    ("str3", "str, 3 chars", lambda c, nested: text(c, 3)),
    ("str20", "str, 20 chars", lambda c, nested: f"item-{c:015d}"),
    ("str200", "str, 200 chars", lambda c, nested: f"{c:012d} " + FILLER[:187]),
    ("latin1", "str, 10 chars, non-ASCII (Latin-1)", lambda c, nested: f"Zür-{c % 1000000:06d}"),
    ("cjk", "str, 8 chars, non-ASCII (CJK)", lambda c, nested: f"東京{c % 1000000:06d}"),
    ("list", "list of 3 ints", lambda c, nested: [VALUE_BASE + 3 * c + j for j in range(3)]),
    ("tuple", "tuple of 3 ints", lambda c, nested: tuple(VALUE_BASE + 3 * c + j for j in range(3))),
    ("nested", "nested object (2 int attributes)",
     lambda c, nested: nested(VALUE_BASE + 2 * c, VALUE_BASE + 2 * c + 1)),
]
KIND_VALUE = {key: value for key, _, value in VALUE_KINDS}


def child_kind_objects(args):
    """Objects with KIND_ATTRS attributes, every one holding a value of one kind."""
    n, value = args["n"], KIND_VALUE[args["kind"]]
    names = [f"a{j}" for j in range(KIND_ATTRS)]
    if args["side"] == "calderwick":
        from Calderwick import Indexable

        def nested(x, y):
            return Indexable(x=x, y=y)

        def make(i):
            c = i * KIND_ATTRS
            return Indexable(**{name: value(c + j, nested) for j, name in enumerate(names)})
    else:
        Plain, nested = plain_class(names), plain_class(["x", "y"], "Nested")

        def make(i):
            c = i * KIND_ATTRS
            return Plain(*[value(c + j, nested) for j in range(KIND_ATTRS)])
    return measure_objects(n, make)


FLIGHT_NAMES = ("flight_id", "flight_no", "year", "month", "day", "distance_km", "passengers",
                "dep_delay", "arr_delay", "taxi_out", "taxi_in", "air_time", "fuel_kg", "load_factor",
                "carrier", "flight_code", "status", "gate", "runway",
                "origin", "destination", "aircraft")
AIRPORT_NAMES = ("code", "city", "country", "lat", "lon")
AIRCRAFT_NAMES = ("tail", "model", "seats", "built")
AIRPORTS, AIRCRAFT = 300, 2_000
FLIGHT_BASE = 10_000_000
STATUSES = ("landed", "delayed", "diverted", "cancelled", "scheduled", "boarding")
MODELS = ("A320", "A321", "A359", "B738", "B789", "E190", "AT76", "CRJ9")


def airport_values(a):
    return (text(a, 3, LETTERS), f"City {a:03d}", text(a % 60, 2, LETTERS),
            (a * 0.613) % 180.0 - 90.0, (a * 1.237) % 360.0 - 180.0)


def aircraft_values(t):
    return (f"D-{text(t, 4, LETTERS)}", fresh(MODELS[t % len(MODELS)]), 70 + t % 330, 1990 + t % 35)


def flight_values(rng, i, origin, destination, aircraft):
    carrier, flight_no = text(rng.randrange(40), 2, LETTERS), rng.randrange(1, 10_000)
    return [
        FLIGHT_BASE + i, flight_no, 2024, rng.randrange(1, 13), rng.randrange(1, 29),
        rng.randrange(150, 12_000), rng.randrange(0, 400),
        rng.gauss(8.0, 20.0), rng.gauss(5.0, 25.0), rng.uniform(5.0, 40.0), rng.uniform(3.0, 20.0),
        rng.uniform(30.0, 800.0), rng.uniform(1_500.0, 90_000.0), rng.random(),
        carrier, f"{carrier}{flight_no}", fresh(rng.choice(STATUSES)),
        f"{LETTERS[rng.randrange(8)]}{rng.randrange(1, 60)}", f"{rng.randrange(1, 37):02d}{rng.choice('LCR')}",
        origin, destination, aircraft,
    ]


def child_flights(args):
    """Flight-log records, their nested objects owned per record or from pools;
    for Calderwick also an Index over them."""
    n, owned = args["n"], args["nested"] == "owned"
    if args["side"] == "calderwick":
        from Calderwick import Index, Indexable

        def kwargs_of(names):
            return lambda *values: Indexable(**dict(zip(names, values)))
        airport, aircraft, flight = kwargs_of(AIRPORT_NAMES), kwargs_of(AIRCRAFT_NAMES), kwargs_of(FLIGHT_NAMES)
        warm = Index()
        warm.add_object(flight(*flight_values(random.Random(0), -1, airport(*airport_values(0)),
                                              airport(*airport_values(1)), aircraft(*aircraft_values(0)))))
        del warm
    else:
        airport, aircraft = plain_class(AIRPORT_NAMES, "Airport"), plain_class(AIRCRAFT_NAMES, "Aircraft")
        flight = plain_class(FLIGHT_NAMES, "Flight")
    keep = flight(*flight_values(random.Random(0), -1, airport(*airport_values(0)), airport(*airport_values(1)),
                                 aircraft(*aircraft_values(0))))
    airports = [] if owned else [airport(*airport_values(a)) for a in range(AIRPORTS)]
    fleet = [] if owned else [aircraft(*aircraft_values(t)) for t in range(AIRCRAFT)]
    rng = random.Random(11)
    objs = [None] * n
    before = settled_rss()
    for i in range(n):
        a, b, t = rng.randrange(AIRPORTS), rng.randrange(AIRPORTS), rng.randrange(AIRCRAFT)
        if owned:
            o, d, c = airport(*airport_values(a)), airport(*airport_values(b)), aircraft(*aircraft_values(t))
        else:
            o, d, c = airports[a], airports[b], fleet[t]
        objs[i] = flight(*flight_values(rng, i, o, d, c))
    mid = settled_rss()
    result = {"per": (mid - before) / n}
    assert keep is not None
    if args.get("index"):
        index = Index()
        reset_peak()
        start = time.perf_counter()
        index.add_object_many(objs)
        result["seconds"] = time.perf_counter() - start
        peak = peak_rss()
        after = settled_rss()
        assert len(index.get_by_attribute(flight_id=FLIGHT_BASE + n - 1)) == 1
        result["index"] = (after - mid) / n
        result["index_peak"] = (peak - mid) / n
    return result


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


def child_mixed(args):
    """The benchmark mix: Indexable objects, then an Index over them; settled
    growth after each phase and the peak within it."""
    from Calderwick import Index, Indexable

    n = args["n"]
    warm = Index()
    warm.add_object(Indexable(uid=0, small=0, price=0.5, sku="x", city="y", flag=True, tags=[1],
                              seller=Indexable(name="n", rank=0)))
    del warm
    before = settled_rss()
    resettable = reset_peak()
    sellers = {}
    objs = []
    for uid, small, price, sku, city, flag, tags, seller in mixed_records(n):
        s = sellers.get(seller)
        if s is None:
            s = sellers[seller] = Indexable(name=f"seller-{seller}", rank=seller % 10)
        objs.append(Indexable(uid=uid, small=small, price=price, sku=sku, city=city, flag=flag, tags=tags,
                              seller=s))
    objects_peak = peak_rss()
    mid = settled_rss()
    reset_peak()
    index = Index()
    start = time.perf_counter()
    index.add_object_many(objs)
    seconds = time.perf_counter() - start
    load_peak = peak_rss()
    after = settled_rss()
    assert len(index.get_by_attribute(uid=n - 1)) == 1
    return {"objects": (mid - before) / n, "objects_peak": (objects_peak - before) / n,
            "total": (after - before) / n, "total_peak": (max(objects_peak, load_peak) - before) / n,
            "index": (after - mid) / n, "index_peak": (load_peak - mid) / n,
            "seconds": seconds, "peak_reset": resettable}


def child_mixed_streamed(args):
    """The benchmark mix as a program that files each record as it builds it
    (add_object), so that object ids and container element ids are drawn in
    turn: objects and Index together, settled."""
    from Calderwick import Index, Indexable

    n = args["n"]
    index = Index()
    index.add_object(Indexable(uid=0, small=0, price=0.5, sku="x", city="y", flag=True, tags=[1],
                               seller=Indexable(name="n", rank=0)))
    before = settled_rss()
    sellers = {}
    objs = []
    start = time.perf_counter()
    for uid, small, price, sku, city, flag, tags, seller in mixed_records(n):
        s = sellers.get(seller)
        if s is None:
            s = sellers[seller] = Indexable(name=f"seller-{seller}", rank=seller % 10)
        o = Indexable(uid=uid, small=small, price=price, sku=sku, city=city, flag=flag, tags=tags, seller=s)
        index.add_object(o)
        objs.append(o)
    seconds = time.perf_counter() - start
    after = settled_rss()
    assert len(index.get_by_attribute(uid=n - 1)) == 1
    return {"total": (after - before) / n, "seconds": seconds}


def child_sqlite(args):
    import sqlite3

    n = args["n"]
    con = sqlite3.connect(":memory:")
    before = settled_rss()
    reset_peak()
    con.execute("CREATE TABLE r (uid INTEGER, small INTEGER, price REAL, sku TEXT, city TEXT, flag INTEGER, "
                "tags TEXT, seller INTEGER)")
    start = time.perf_counter()
    con.executemany("INSERT INTO r VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    ((uid, small, price, sku, city, int(flag), json.dumps(tags), seller)
                     for uid, small, price, sku, city, flag, tags, seller in mixed_records(n)))
    for col in ("uid", "small", "price", "sku", "city", "flag", "tags", "seller"):
        con.execute(f"CREATE INDEX r_{col} ON r ({col})")
    con.commit()
    seconds = time.perf_counter() - start
    peak = peak_rss()
    after = settled_rss()
    return {"total": (after - before) / n, "total_peak": (peak - before) / n, "seconds": seconds}


def child_pandas(args):
    import pandas as pd

    n = args["n"]
    pd.DataFrame({"a": [1]})  # warm up
    before = settled_rss()
    reset_peak()
    start = time.perf_counter()
    cols = list(zip(*mixed_records(n)))
    frame = pd.DataFrame({
        "uid": pd.Series(cols[0], dtype="int64"), "small": pd.Series(cols[1], dtype="int64"),
        "price": pd.Series(cols[2], dtype="float64"), "sku": pd.Series(cols[3], dtype="object"),
        "city": pd.Series(cols[4], dtype="object"), "flag": pd.Series(cols[5], dtype="bool"),
        "tags": pd.Series(cols[6], dtype="object"), "seller": pd.Series(cols[7], dtype="int64"),
    })
    del cols
    seconds = time.perf_counter() - start
    peak = peak_rss()
    after = settled_rss()
    assert len(frame) == n
    return {"total": (after - before) / n, "total_peak": (peak - before) / n, "seconds": seconds}


INDEX_KINDS = ["none", "bool", "small int", "unique int", "float", "short string", "long string", "list",
               "nested object"]


def index_kind_value(kind, i, rng, shared):
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
    values = [index_kind_value(kind, i, rng, shared) for i in range(n)] if kind != "empty" else [None] * n
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
    before = settled_rss()
    start = time.perf_counter()
    for name in names:
        getattr(o, name, None)
    first = time.perf_counter() - start
    grown = settled_rss() - before
    known_after = known_reads()
    start = time.perf_counter()
    for name in names:
        getattr(o, name, None)
    second = time.perf_counter() - start
    return {"first": first, "second": second, "known_before": known_before, "known_after": known_after,
            "per_name": grown / n}


CHILDREN = {f.__name__[len("child_"):]: f for f in
            (child_info, child_attrs, child_kind_objects, child_flights, child_mixed, child_mixed_streamed, child_sqlite,
             child_pandas,
             child_kind, child_long_strings, child_names)}


def child_main(name, payload):
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))
    print(json.dumps(CHILDREN[name](json.loads(payload))))


# ---------------------------------------------------------------------------
# Parent: one subprocess per figure.

FAILURES = []  # what the failed children said, numbered in the tables from 1
IMPORT_FAILURES = ("ImportError", "ModuleNotFoundError", "undefined symbol", "file too short", "invalid ELF")


def run_child(opts, name, **args):
    env = dict(os.environ)
    # string hashes decide where entries land in hash tables, and so how full they get: one seed for every run
    env.setdefault("PYTHONHASHSEED", "0")
    if opts.child_path:
        env["PYTHONPATH"] = opts.child_path + os.pathsep + env.get("PYTHONPATH", "")
    for attempt in range(4):
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", name, json.dumps(args)],
                              capture_output=True, text=True, env=env)
        if proc.returncode == 0:
            return json.loads(proc.stdout.strip().splitlines()[-1])
        # a module being reinstalled under us shows as a failed import: try again shortly
        if not any(s in proc.stderr for s in IMPORT_FAILURES) or attempt == 3:
            break
        time.sleep(2)
    last = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    FAILURES.append(f"{name} {json.dumps(args)}: exit {proc.returncode}: {last}")
    return {"error": f"failed [{len(FAILURES)}]"}


def snapshot_module(opts):
    """Copy the Calderwick extension that the children would import into a
    private directory and point them at it; returns (original, copy) paths."""
    opts.child_path = opts.pythonpath
    info = run_child(opts, "info")
    if "error" in info:
        sys.exit(f"cannot import Calderwick: {FAILURES[-1]}")
    original = info["file"]
    if not os.path.isfile(original) or os.path.basename(os.path.dirname(original)) == "Calderwick":
        return original, None  # a package, not a lone extension file: use it where it is
    opts.snapshot_dir = tempfile.mkdtemp(prefix="calderwick-memory-")
    copy = os.path.join(opts.snapshot_dir, os.path.basename(original))
    shutil.copy2(original, copy)
    opts.child_path = opts.snapshot_dir
    check = run_child(opts, "info")
    if "error" in check or os.path.realpath(check["file"]) != os.path.realpath(copy):
        sys.exit(f"the copy of the module does not import: {FAILURES[-1] if 'error' in check else check['file']}")
    return original, copy


def have(module):
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def git_revision():
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        head = subprocess.run(["git", "-C", here, "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", here, "status", "--porcelain", "--untracked-files=no", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return head + (" (src/ has uncommitted changes)" if dirty else "")


class Figures:
    """Every figure of a run as (section, row, column, value, unit), in the
    order printed; --json writes them and --compare matches them by name."""

    def __init__(self):
        self.items = []

    def add(self, section, row, col, value, unit):
        if value is not None:
            self.items.append({"section": section, "row": str(row), "col": col, "value": value, "unit": unit})
        return value


def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "B":
        return f"{value:,.0f} B"
    if unit == "MB":
        return f"{value / 2**20:,.1f} MB"
    if unit == "s":
        return f"{value:,.3f} s" if value < 10 else f"{value:,.1f} s"
    if unit == "ns":
        return f"{value * 1e9:,.0f} ns"
    return f"{value:,.4g}"


def table(header, rows, indent="  "):
    """Print rows (lists of cells) under a header, the first column left
    aligned and the others right aligned; a row of one cell is a subheading."""
    widths = [max(len(str(r[i])) for r in [header] + rows if len(r) > i and len(r) > 1) for i in range(len(header))]

    def line(cells):
        if len(cells) == 1:
            return indent + str(cells[0])
        out = [str(cells[0]).ljust(widths[0])] + [str(c).rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return (indent + "  ".join(out)).rstrip()
    if any(str(h) for h in header):
        print(line(header))
    for r in rows:
        print(line(r))


def ratio(a, b):
    return f"{a / b:.2f}x" if a is not None and b else "-"


def failed(result):
    return result.get("error")


# ---------------------------------------------------------------------------
# Sections

def attr_counts(opts):
    if opts.quick and not opts.every_count:
        return list(range(25)) + [28, 32, 40, 48, 56, 64]
    return list(range(65))


def section_attrs(opts, figs):
    n = opts.objects
    print(f"\n1. Bytes per object by attribute count ({n:,} objects per figure; every value an int of its own)")
    rows, steps = [], []
    prev = None  # the previous row: {"k", "values": {side: B}}
    recent = {"Calderwick": [], "plain": []}  # B/attr of the last rows that were not steps
    for k in attr_counts(opts):
        ind = run_child(opts, "attrs", n=n, attrs=k, side="calderwick")
        pla = run_child(opts, "attrs", n=n, attrs=k, side="plain")
        if failed(ind) or failed(pla):
            rows.append([k, failed(ind) or fmt(ind["per"], "B"), "", failed(pla) or fmt(pla["per"], "B")])
            prev, recent = None, {side: [] for side in recent}
            continue
        values = {"Calderwick": figs.add("attrs", k, "calderwick", ind["per"], "B"),
                  "plain": figs.add("attrs", k, "plain", pla["per"], "B")}
        added, flags = {side: "" for side in values}, []
        for side, value in values.items():
            if prev is None:
                continue
            gap, growth = k - prev["k"], value - prev["values"][side]
            added[side] = f"{round(growth / gap):+,d}"
            trend = statistics.median(recent[side][-3:]) if recent[side] else None
            if trend is not None and growth - trend * gap > STEP_SLACK:
                flags.append(f"step in {side} (+{growth - trend * gap:,.0f} B over the trend)")
                steps.append(f"{side} at {k} (+{growth - trend * gap:,.0f} B)")
            else:
                recent[side].append(growth / gap)
        rows.append([k, fmt(values["Calderwick"], "B"), added["Calderwick"], fmt(values["plain"], "B"),
                     added["plain"], ratio(values["Calderwick"], values["plain"]), "; ".join(flags)])
        prev = {"k": k, "values": values}
    table(["attrs", "Calderwick", "B/attr", "plain", "B/attr", "Calderwick/plain", ""], rows)
    print("  B/attr: growth per added attribute since the previous row. A step: a row whose growth exceeds "
          f"the trend (the median B/attr of the three rows before it that were not steps) by over {STEP_SLACK} B")
    print("  steps: " + (", ".join(steps) if steps else "none"))


def section_kinds(opts, figs):
    n = opts.objects
    print(f"\n2. Bytes per object by value kind ({KIND_ATTRS} attributes of one kind, {n:,} objects per figure)")
    rows = []
    for key, label, _ in VALUE_KINDS:
        ind = run_child(opts, "kind_objects", n=n, kind=key, side="calderwick")
        pla = run_child(opts, "kind_objects", n=n, kind=key, side="plain")
        c = None if failed(ind) else figs.add("kinds", label, "calderwick", ind["per"], "B")
        p = None if failed(pla) else figs.add("kinds", label, "plain", pla["per"], "B")
        rows.append([label, failed(ind) or fmt(c, "B"), failed(pla) or fmt(p, "B"), ratio(c, p)])
    table(["value kind", "Calderwick", "plain", "Calderwick/plain"], rows)
    print("  a nested value is an Indexable in Calderwick and a plain object in the plain row; bool and None "
          "are singletons on both sides")


def section_flights(opts, figs):
    n = opts.flight_records
    print(f"\n3. Flight-log records ({len(FLIGHT_NAMES)} attributes: 7 ints, 7 floats, 5 short strings, 3 nested "
          f"objects), {n:,} records, bytes per record")
    objects, index = [], []
    for nested, label in (("owned", "nested objects owned by each record"),
                          ("shared", f"from shared pools ({AIRPORTS} airports, {AIRCRAFT:,} aircraft)")):
        ind = run_child(opts, "flights", n=n, side="calderwick", nested=nested, index=True)
        pla = run_child(opts, "flights", n=n, side="plain", nested=nested)
        c = None if failed(ind) else figs.add("flights", label, "calderwick", ind["per"], "B")
        p = None if failed(pla) else figs.add("flights", label, "plain", pla["per"], "B")
        objects.append([label, failed(ind) or fmt(c, "B"), failed(pla) or fmt(p, "B"), ratio(c, p)])
        if not failed(ind):
            figs.add("flight index", label, "settled", ind["index"], "B")
            figs.add("flight index", label, "peak", ind["index_peak"], "B")
            figs.add("flight index", label, "seconds", ind["seconds"], "s")
            index.append([label, fmt(ind["index"], "B"), fmt(ind["index_peak"], "B"),
                          fmt(ind["index"] + ind["per"], "B"), f"{ind['seconds']:.2f} s"])
        else:
            index.append([label, failed(ind)])
    table(["objects", "Calderwick", "plain", "Calderwick/plain"], objects)
    print(f"  an airport has {len(AIRPORT_NAMES)} attributes, an aircraft {len(AIRCRAFT_NAMES)}; shared pools are "
          "built before the first reading")
    print()
    table(["Index (add_object_many)", "settled", "peak", "objects+Index", "built in"], index)
    print("  peak: the high-water mark during add_object_many over the RSS before it")


def section_mix(opts, figs):
    n = 1_000_000 if opts.large else opts.records
    print(f"\n4. The benchmark mix (8 attributes), {n:,} records, bytes per record")
    r = run_child(opts, "mixed", n=n)
    rows, total = [], None
    if failed(r):
        rows.append(["Calderwick", failed(r)])
    else:
        for key, label in (("objects", "Indexable objects alone"), ("total", "objects + Index"),
                           ("index", "  of which the Index")):
            figs.add("mix", label, "settled", r[key], "B")
            figs.add("mix", label, "peak", r[key + "_peak"], "B")
            rows.append([label, fmt(r[key], "B"), fmt(r[key + "_peak"], "B"),
                         f"{r['seconds']:.2f} s" if key == "index" else "", ""])
        figs.add("mix", "  of which the Index", "seconds", r["seconds"], "s")
        total = r["total"]
    label = "objects + Index, each added as built"
    st = run_child(opts, "mixed_streamed", n=n)
    if failed(st):
        rows.append([label, failed(st)])
    else:
        figs.add("mix", label, "settled", st["total"], "B")
        figs.add("mix", label, "seconds", st["seconds"], "s")
        rows.append([label, fmt(st["total"], "B"), "", f"{st['seconds']:.2f} s", ""])
    peers = [("sqlite3", "sqlite", "sqlite3 :memory:, an index per column"), ("pandas", "pandas", "pandas DataFrame")]
    for module, child, label in peers:
        if not have(module):
            rows.append([label, "(not installed)", "", "", ""])
            continue
        p = run_child(opts, child, n=n)
        if failed(p):
            rows.append([label, failed(p)])
            continue
        figs.add("mix", label, "settled", p["total"], "B")
        figs.add("mix", label, "peak", p["total_peak"], "B")
        figs.add("mix", label, "seconds", p["seconds"], "s")
        rows.append([label, fmt(p["total"], "B"), fmt(p["total_peak"], "B"), f"{p['seconds']:.2f} s",
                     f"Calderwick/{module} {ratio(total, p['total'])}" if total else ""])
    table(["", "settled", "peak", "load", ""], rows)
    note = "" if failed(r) or r.get("peak_reset") else " (peak since the child started: clear_refs refused)"
    print("  peak: the high-water mark while loading over the RSS before it (for the Index: over the RSS with the "
          f"objects built){note}")


def section_index_kinds(opts, figs):
    n = opts.kind_records
    print(f"\n5. What the Index adds per record by value kind ({n:,} records, one attribute, indexed; "
          "values built beforehand)")
    rows = []
    empty = run_child(opts, "kind", n=n, kind="empty")
    base = None if failed(empty) else figs.add("index kinds", "no attribute (object + index membership)", "bytes",
                                                 empty["per"], "B")
    rows.append(["no attribute (object + index membership)", failed(empty) or fmt(base, "B")])
    for kind in INDEX_KINDS:
        r = run_child(opts, "kind", n=n, kind=kind)
        if failed(r) or base is None:
            rows.append([kind, failed(r) or "-"])
            continue
        rows.append([kind, fmt(figs.add("index kinds", kind, "bytes", r["per"] - base, "B"), "B")])
    table(["attribute kind", "bytes"], rows)
    print("  the rows below the first: an indexed object with that attribute less one with none")


def section_long_strings(opts, figs):
    print("\n6. Long strings in one attribute of indexed objects, total growth")
    rows = []
    for label, count, size in (("20 strings of 10 KB", 20, 10_000), ("1 string of 1 MiB", 1, 1 << 20)):
        r = run_child(opts, "long_strings", count=count, size=size)
        rows.append([label, failed(r) or fmt(figs.add("long strings", label, "total", r["total"], "MB"), "MB")])
    table(["", "total"], rows)


def section_names(opts, figs):
    n = opts.names
    print(f"\n7. Attribute names: {n:,} distinct names never seen before, read with getattr(o, name, None)")
    r = run_child(opts, "names", n=n)
    if failed(r):
        print(f"  {failed(r)}")
        return
    rows = []
    for key, label, unit in (("first", "first read of every name (interns it)", "s"),
                             ("second", "second read of every name", "s"),
                             ("per_name", "RSS growth per name on the first read", "B"),
                             ("known_before", "read of a known name, before", "ns"),
                             ("known_after", "read of a known name, after", "ns")):
        rows.append([label, fmt(figs.add("names", label, "value", r[key], unit), unit)])
    table(["", ""], rows)


SECTIONS = {"attrs": section_attrs, "kinds": section_kinds, "flights": section_flights, "mix": section_mix,
            "index-kinds": section_index_kinds, "long-strings": section_long_strings, "names": section_names}


# ---------------------------------------------------------------------------
# Comparison of two runs

def describe(meta):
    return (f"{meta.get('date', '?')}, Python {meta.get('python', '?')}, {meta.get('machine', '?')}; "
            f"module {meta.get('module', '?')}, tree {meta.get('revision', '?')}")


def compare(old, new):
    print(f"\nOld against new, new/old per figure (below 1: less in the new run; *: a change over "
          f"{CHANGED:.0%})")
    print(f"  old: {describe(old['meta'])}")
    print(f"  new: {describe(new['meta'])}")
    sizes = [k for k in ("objects", "flight_records", "records", "kind_records", "names")
             if old["meta"].get("sizes", {}).get(k) != new["meta"].get("sizes", {}).get(k)]
    if sizes:
        print("  the runs differ in size: " + ", ".join(
            f"{k} {old['meta'].get('sizes', {}).get(k)} -> {new['meta'].get('sizes', {}).get(k)}" for k in sizes))
    olds = {(f["section"], f["row"], f["col"]): f for f in old["figures"]}
    news = {(f["section"], f["row"], f["col"]): f for f in new["figures"]}
    def unique(items):  # first-seen order
        return list(dict.fromkeys(items))

    order = unique((f["section"], f["row"], f["col"]) for f in new["figures"] + old["figures"])
    for s in unique(k[0] for k in order):
        keys = [k for k in order if k[0] == s]
        cols = unique(c for _, _, c in keys)
        rows_ = unique(r for _, r, _ in keys)
        header = [s]
        for c in cols:
            header += [f"{c} old", "new", "new/old"]
        lines = []
        for r in rows_:
            cells = [r]
            for c in cols:
                o, n = olds.get((s, r, c)), news.get((s, r, c))
                unit = (n or o or {}).get("unit", "")
                if o is None and n is None:
                    cells += ["", "", ""]
                    continue
                ov, nv = o and o["value"], n and n["value"]
                if ov is not None and nv is not None and ov:
                    change = f"{nv / ov:.2f}x" + (" *" if abs(nv / ov - 1) > CHANGED else "  ")
                else:
                    change = "-  "
                cells += [fmt(ov, unit), fmt(nv, unit), change]
            lines.append(cells)
        print()
        table(header, lines)


# ---------------------------------------------------------------------------

def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="a few thousand objects per figure")
    p.add_argument("--records", type=int, help="records in the benchmark mix (default 300,000; --quick 20,000)")
    p.add_argument("--large", action="store_true", help="the benchmark mix over 1,000,000 records")
    p.add_argument("--objects", type=int, help="objects per figure by attribute count and by value kind "
                                               "(default 30,000; --quick 5,000)")
    p.add_argument("--flight-records", type=int, help="flight-log records (default 100,000; --quick 5,000)")
    p.add_argument("--kind-records", type=int, help="records per index-by-kind figure (default 100,000; "
                                                    "--quick 5,000)")
    p.add_argument("--names", type=int, help="unseen names read (default 100,000; --quick 10,000)")
    p.add_argument("--every-count", action="store_true", help="with --quick: every attribute count from 0 to 64 "
                   "(otherwise 0-24, then 28, 32, 40, 48, 56, 64)")
    p.add_argument("--only", help="comma-separated sections to run: " + ",".join(SECTIONS))
    p.add_argument("--pythonpath", help="directory to import Calderwick from")
    p.add_argument("--json", help="write every figure to this file")
    p.add_argument("--compare", metavar="OLD_JSON", help="print the figures of an earlier --json run against these")
    p.add_argument("--from", dest="from_json", metavar="NEW_JSON",
                   help="with --compare: take the new figures from this file instead of measuring")
    p.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    opts = p.parse_args()
    if opts.child:
        child_main(*opts.child)
        return
    defaults = {"records": (300_000, 20_000), "objects": (30_000, 5_000), "flight_records": (100_000, 5_000),
                "kind_records": (100_000, 5_000), "names": (100_000, 10_000)}
    for key, (full, quick) in defaults.items():
        if getattr(opts, key) is None:
            setattr(opts, key, quick if opts.quick else full)

    if opts.from_json:
        if not opts.compare:
            p.error("--from needs --compare")
        with open(opts.compare) as f:
            old = json.load(f)
        with open(opts.from_json) as f:
            new = json.load(f)
        compare(old, new)
        return
    old = None
    if opts.compare:
        with open(opts.compare) as f:
            old = json.load(f)
    only = list(SECTIONS) if not opts.only else [s.strip() for s in opts.only.split(",")]
    unknown = [s for s in only if s not in SECTIONS]
    if unknown:
        p.error(f"unknown sections: {', '.join(unknown)} (choose from {', '.join(SECTIONS)})")

    started = time.perf_counter()
    opts.snapshot_dir = None
    try:
        original, copy = snapshot_module(opts)
        date = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
        meta = {"date": date, "python": platform.python_version(), "machine": machine(), "module": original,
                "module_mtime": datetime.datetime.fromtimestamp(os.path.getmtime(original)).strftime(
                    "%Y-%m-%d %H:%M:%S"),
                "revision": git_revision(), "quick": opts.quick,
                "sizes": {"objects": opts.objects, "flight_records": opts.flight_records,
                          "records": 1_000_000 if opts.large else opts.records,
                          "kind_records": opts.kind_records, "names": opts.names}}
        print("Calderwick memory: RSS growth, each figure in a fresh subprocess")
        print(f"  {date}, Python {meta['python']}, {meta['machine']}")
        print(f"  module {original} (built {meta['module_mtime']}{', copied for the run' if copy else ''}); "
              f"tree {meta['revision']}")
        figs = Figures()
        for name in only:
            SECTIONS[name](opts, figs)
    finally:
        if opts.snapshot_dir:
            shutil.rmtree(opts.snapshot_dir, ignore_errors=True)
    meta["seconds"] = time.perf_counter() - started
    meta["sections"] = only
    if FAILURES:
        print("\nFailed children:")
        for i, message in enumerate(FAILURES, 1):
            print(f"  [{i}] {message}")
    meta["failures"] = FAILURES
    print(f"\nThe run took {meta['seconds']:.0f} s.")
    result = {"meta": meta, "figures": figs.items}
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(result, f, indent=1)
        print(f"Figures written to {opts.json}.")
    if old is not None:
        compare(old, result)


if __name__ == "__main__":
    main()
