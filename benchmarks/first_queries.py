"""First and warm queries (benchmark, not a test): what the first query of each kind costs against the same
query once the index has answered it before, on the records of benchmarks/peers.py.

    python benchmarks/first_queries.py --pythonpath build/rel             # 200,000 records
    python benchmarks/first_queries.py --pythonpath build/rel --n 1000000 --cold 3 --json docs/first.json --readme
    python benchmarks/first_queries.py --from docs/first.json --readme   # the README's table, measuring nothing

For each kind of query (a range and a lower bound on the float `price`, an upper bound on the unique int
`id`, `in_` on `grp`, `starts_with` / `ends_with` / `contains` on the six-letter `name`, an element of the
list `tags`):

  * first: a fresh Index, `add_object_many` of every record, then the query once, timed as
    `reduced_query` and `collect` apart and together; --cold fresh indexes (the previous one dropped and
    collected first), the median shown;
  * warm: the same query on the last of those indexes, median of --repeat samples, a sample of a fast query
    repeating it to last a few milliseconds (as in peers.py);
  * first / warm: how much more the first one costs.

Then the first query after a run of --assignments assignments, each to an object picked at random (with
replacement) and each a fresh value, one the object does not hold at that moment: six random letters to
`name` followed by `starts_with`, a price in [0, 1000) followed by `bt`; once on an index that had answered
the query before the run ("warm"), once straight after the load ("cold"). The assignments are
timed too (per assignment), the values drawn before the timing; after each case the index is dropped and
the objects get their loaded values back.

Every answer is checked against a brute-force scan of the objects. The records are built once and shared by
every fresh index, so a first query is the first of its index, not of the process; the data is frozen out of
the cyclic collector while measuring.
"""
import argparse
import datetime
import gc
import json
import os
import platform
import random
import statistics
import sys
import time

from peers import LETTERS, Case, Data, Mismatch, check, fmt_time, load_text, machine, measure, replace_in_readme


def kinds(data, Q):
    """(key, label, make the query, brute-force predicate over an object)."""
    grps = [5, 17, 42, 63, 88]
    cut = max(1, data.n // 100)
    return [
        ("bt_price", "bt price 500..510", lambda: Q.bt("price", 500, 510), lambda o: 500 <= o.price <= 510),
        ("gt_price", "gt price 990", lambda: Q.gt("price", 990), lambda o: o.price > 990),
        ("lt_id", f"lt id {cut:,} (unique int)", lambda: Q.lt("id", cut), lambda o: o.id < cut),
        ("in_grp", "in grp (5 values)", lambda: Q.in_("grp", grps), lambda o: o.grp in grps),
        ("starts_with", "starts_with name 'ab'", lambda: Q.starts_with("name", "ab"),
         lambda o: o.name.startswith("ab")),
        ("ends_with", "ends_with name 'ab'", lambda: Q.ends_with("name", "ab"), lambda o: o.name.endswith("ab")),
        ("contains", "contains name 'qu'", lambda: Q.contains("name", "qu"), lambda o: "qu" in o.name),
        ("tags", "eq tags 7 (list element)", lambda: Q.eq("tags", 7), lambda o: 7 in o.tags),
    ]


def fresh_run(data, rng, attr, count):
    """count (object, value) pairs: objects picked at random with replacement, each value one the object
    does not hold at that point of the run."""
    objects = data.objects
    current = {}
    if attr == "name":
        draw = lambda: "".join(rng.choices(LETTERS, k=6))  # noqa: E731
    else:
        draw = lambda: rng.random() * 1000.0  # noqa: E731
    run = []
    for _ in range(count):
        i = rng.randrange(data.n)
        value = draw()
        while value == current.get(i, data.columns[attr][i]):
            value = draw()
        current[i] = value
        run.append((objects[i], value))
    return run, {i: data.columns[attr][i] for i in current}


class Bench:
    def __init__(self, opts, data, cw):
        self.opts, self.data, self.cw = opts, data, cw
        self.rows = []

    def load(self):
        gc.collect()
        start = time.perf_counter()
        index = self.cw.Index()
        index.add_object_many(self.data.objects)
        return index, time.perf_counter() - start

    def first(self, index, make, expected, label):
        """Seconds of reduced_query, of collect, of both, for one query."""
        start = time.perf_counter()
        view = index.reduced_query(make())
        middle = time.perf_counter()
        answer = view.collect()
        end = time.perf_counter()
        check(label, "Calderwick", answer, expected)
        return middle - start, end - middle, end - start

    def warm(self, index, make, expected, label):
        case = Case(lambda: index.reduced_query(make()).collect(), lambda a: check(label, "Calderwick", a, expected))
        return measure({"warm": case}, self.opts.repeat)["warm"]

    def row(self, key, label, hits, loads, firsts, warm, assign=None):
        q, c, t = (statistics.median(f[k] for f in firsts) for k in range(3))
        row = {"key": key, "label": label, "hits": hits, "load": statistics.median(loads),
               "first": t, "first_query": q, "first_collect": c, "first_samples": [f[2] for f in firsts],
               "warm": warm["median"], "warm_samples": warm["samples"], "ratio": t / warm["median"]}
        if assign is not None:
            row["assign_per_op"] = statistics.median(assign)
            row["assign_samples"] = assign
        self.rows.append(row)
        hits_text = f"{hits:,}"
        per = fmt_time(row["assign_per_op"]) if assign is not None else ""
        print(f"{label:<44}{hits_text:>7}{fmt_time(row['load']):>10}{per:>10}{fmt_time(q):>10}{fmt_time(c):>10}"
              f"{fmt_time(t):>10}{fmt_time(row['warm']):>10}{row['ratio']:>10.1f}x", flush=True)

    def cold(self, key, label, make, truth):
        expected = {o.id for o in self.data.objects if truth(o)}
        loads, firsts = [], []
        index = None
        for _ in range(self.opts.cold):
            index = None  # the previous index goes before the next is built
            index, seconds = self.load()
            loads.append(seconds)
            firsts.append(self.first(index, make, expected, label))
        self.row(key, label, len(expected), loads, firsts, self.warm(index, make, expected, label))

    def after_assignments(self, key, label, attr, make, truth, warm_before, seed):
        rng = random.Random(seed)
        loads, firsts, assign = [], [], []
        index = warm = expected = None
        for _ in range(self.opts.cold):
            run, start = fresh_run(self.data, rng, attr, self.opts.assignments)
            index, seconds = self.load()
            loads.append(seconds)
            if warm_before:
                before = {o.id for o in self.data.objects if truth(o)}
                for _ in range(3):
                    check(label + " (before)", "Calderwick", index.reduced_query(make()).collect(), before)
            t0 = time.perf_counter()
            for o, value in run:
                setattr(o, attr, value)
            assign.append((time.perf_counter() - t0) / len(run))
            expected = {o.id for o in self.data.objects if truth(o)}
            firsts.append(self.first(index, make, expected, label))
            warm = self.warm(index, make, expected, label)
            index = None
            gc.collect()
            objects = self.data.objects
            for i, value in start.items():
                setattr(objects[i], attr, value)
        self.row(key, label, len(expected), loads, firsts, warm, assign)


README_BEGIN = "<!-- first-queries:begin (written by benchmarks/first_queries.py --readme; do not edit) -->"
README_END = "<!-- first-queries:end -->"


def markdown(figures):
    """The README's table: first and warm times per query kind, with where they were measured."""
    lines = ["| query | hits | assignment before it | first | warm | first / warm |",
             "|---|---:|---:|---:|---:|---:|"]
    for r in figures["rows"]:
        per = fmt_time(r["assign_per_op"]) + " each" if "assign_per_op" in r else ""
        lines.append(f"| {r['label']} | {r['hits']:,} | {per} | {fmt_time(r['first'])} | {fmt_time(r['warm'])}"
                     f" | {r['ratio']:.1f}x |")
    start, end = figures["load_averages_start"][0], figures["load_averages_end"][0]
    lines += ["", f"First: the first query of a fresh `Index` straight after `add_object_many` of every record"
                  f" (median of {figures['cold']} fresh indexes), `reduced_query` and `collect` together; warm:"
                  f" the same query again (median of {figures['repeat']}). The last rows come after"
                  f" {figures['assignments']:,} assignments of fresh values to objects picked at random, on an"
                  " index that had answered the query before them (warm) or straight after its load (cold).",
              "",
              f"Measured on {figures['date']} with N = {figures['n']:,} records, Python {figures['python']},"
              f" {figures['machine']} (load average {start:.1f} at the start, {end:.1f} at the end), by"
              f" `python benchmarks/first_queries.py {' '.join(figures['argv'])}`"
              f" (the whole run took {figures['seconds'] / 60:.0f} minutes)."]
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=200_000, help="records (default 200,000)")
    p.add_argument("--cold", type=int, default=5, help="fresh indexes per first-query figure (median shown)")
    p.add_argument("--repeat", type=int, default=9, help="samples per warm figure (median shown)")
    p.add_argument("--assignments", type=int, default=20_000, help="fresh assignments before a first query")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--pythonpath", help="directory to import Calderwick from")
    p.add_argument("--json", help="write the raw figures here")
    p.add_argument("--from", dest="source", metavar="JSON", help="measure nothing: take the figures from this file")
    p.add_argument("--readme", action="store_true", help="rewrite the README's table from the figures")
    opts = p.parse_args()
    if opts.source:
        with open(opts.source) as f:
            figures = json.load(f)
        if opts.readme:
            replace_in_readme(README_BEGIN, README_END, markdown(figures), opts.source)
        return
    if opts.pythonpath:
        sys.path.insert(0, opts.pythonpath)
    import Calderwick as cw

    loads = os.getloadavg()
    started = time.perf_counter()
    print(f"First and warm queries: N = {opts.n:,} records, seed {opts.seed}, {datetime.date.today().isoformat()}")
    print(f"Python {platform.python_version()}, {machine()}, load average {load_text(loads)} at the start"
          " (1, 5, 15 minutes)")
    print(f"module {cw.__file__}")
    print("command: python " + " ".join([os.path.relpath(sys.argv[0])] + sys.argv[1:]))
    data = Data(opts.n, opts.seed, cw.Indexable)
    gc.collect()
    gc.freeze()
    bench = Bench(opts, data, cw)
    print(f"\nfirst: median of {opts.cold} fresh indexes; warm: median of {opts.repeat} samples on the last one\n")
    print(f"{'query':<44}{'hits':>7}{'load':>10}{'assign':>10}{'first rq':>10}{'collect':>10}"
          f"{'first':>10}{'warm':>10}{'first/warm':>11}")
    print("-" * 122)
    Q = cw.PyQueryExpr
    try:
        for key, label, make, truth in kinds(data, Q):
            bench.cold(key, label, make, truth)
        m = f"{opts.assignments:,}"
        for warm_before, where in ((True, "warm"), (False, "cold")):
            bench.after_assignments(
                f"starts_with_after_names_{'warm' if warm_before else 'load'}",
                f"starts_with 'ab' after {m} names, {where}", "name",
                lambda: Q.starts_with("name", "ab"), lambda o: o.name.startswith("ab"), warm_before, opts.seed + 10)
            bench.after_assignments(
                f"bt_price_after_prices_{'warm' if warm_before else 'load'}",
                f"bt price 500..510 after {m} prices, {where}", "price",
                lambda: Q.bt("price", 500, 510), lambda o: 500 <= o.price <= 510, warm_before, opts.seed + 20)
    except Mismatch as e:
        print(f"\nWRONG ANSWER: {e}")
        sys.exit(1)
    gc.unfreeze()
    print("-" * 122)
    print("load: add_object_many into a fresh Index; assign: per fresh assignment before the first query;"
          " first rq / collect / first:\nreduced_query, collect and both for the first query of the index;"
          " warm: the same query answered again (reduced_query + collect).")
    end = os.getloadavg()
    seconds = time.perf_counter() - started
    print(f"\nwhole run {seconds:.0f} s; load average {load_text(loads)} at the start, {load_text(end)} at the end"
          f" (1, 5, 15 minutes; {os.cpu_count()} cores)")
    if opts.json:
        figures = {"n": opts.n, "seed": opts.seed, "date": datetime.date.today().isoformat(),
                   "python": platform.python_version(), "machine": machine(), "module": cw.__file__,
                   "argv": sys.argv[1:], "cold": opts.cold, "repeat": opts.repeat,
                   "assignments": opts.assignments, "load_averages_start": list(loads),
                   "load_averages_end": list(end), "seconds": seconds, "rows": bench.rows}
        with open(opts.json, "w") as f:
            json.dump(figures, f, indent=1)
        if opts.readme:
            replace_in_readme(README_BEGIN, README_END, markdown(figures), opts.json)
    elif opts.readme:
        raise SystemExit("--readme needs --json (the figures the table is written from)")


if __name__ == "__main__":
    main()
