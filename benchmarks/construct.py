"""Object construction (benchmark, not a test): `Indexable(**kw)` against a plain Python class whose
__init__ sets the same attributes, per object, with the ratios of one run.

    python benchmarks/construct.py --pythonpath build/rel
    python benchmarks/construct.py --pythonpath build/rel --n 50000 --repeat 7

Cases, each timed over --n objects built from keyword dictionaries made beforehand (median of --repeat
samples of the process's CPU time, so that other work on a busy machine counts less; the cases take
turns so that a drift of its load hits them alike; the cyclic collector is off while timing):

  * the 8-attribute record of benchmarks/peers.py (ints, a float, two short strings, a bool, a list of
    0-3 ints, a nested object), against the plain classes of peers.py (slots) and one with a __dict__;
  * the 22-attribute flight-log record of benchmarks/memory.py (7 ints, 7 floats, 5 short strings, three
    nested objects from pools), built alone, and built then bulk-added (`add_object_many` into a fresh
    Index), against the plain class of memory.py.
"""
import argparse
import gc
import os
import random
import statistics
import sys
import time

from memory import (AIRCRAFT, AIRPORTS, AIRCRAFT_NAMES, AIRPORT_NAMES, FLIGHT_NAMES, aircraft_values,
                    airport_values, flight_values, plain_class)
from peers import CATEGORIES, FIELDS, LETTERS, Record


def record_kwargs(n, rng, owners):
    return [{"id": i, "grp": rng.randrange(100), "price": rng.random() * 1000.0,
             "category": rng.choice(CATEGORIES), "name": "".join(rng.choices(LETTERS, k=6)),
             "flag": rng.random() < 0.5, "tags": rng.sample(range(40), rng.randrange(4)),
             "owner": owners[rng.randrange(len(owners))]} for i in range(n)]


def flight_kwargs(n, rng, make_airport, make_aircraft):
    airports = [make_airport(**dict(zip(AIRPORT_NAMES, airport_values(a)))) for a in range(AIRPORTS)]
    fleet = [make_aircraft(**dict(zip(AIRCRAFT_NAMES, aircraft_values(t)))) for t in range(AIRCRAFT)]
    return [dict(zip(FLIGHT_NAMES, flight_values(rng, i, rng.choice(airports), rng.choice(airports),
                                                 rng.choice(fleet)))) for i in range(n)]


def sample(build, kws):
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        out = build(kws)
        seconds = time.process_time() - start
    finally:
        gc.enable()
    del out
    return seconds / len(kws)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=100_000, help="objects per sample (default 100,000)")
    p.add_argument("--repeat", type=int, default=5, help="samples per case (median shown)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--pythonpath", help="directory to import Calderwick from")
    opts = p.parse_args()
    if opts.pythonpath:
        sys.path.insert(0, opts.pythonpath)
    import Calderwick as cw

    print(f"Construction: {opts.n:,} objects per sample, median of {opts.repeat}; module {cw.__file__}")
    print(f"load average {os.getloadavg()[0]:.2f} at the start")
    Indexable, Index = cw.Indexable, cw.Index
    rng = random.Random(opts.seed)

    class Owner:
        __slots__ = ("name",)

        def __init__(self, name):
            self.name = name

    DictRecord = plain_class(FIELDS, "DictRecord")
    owners_cw = [Indexable(name=f"owner-{k:05d}") for k in range(max(1, opts.n // 1000))]
    owners_plain = [Owner(f"owner-{k:05d}") for k in range(len(owners_cw))]
    kw8 = record_kwargs(opts.n, rng, owners_cw)
    kw8_plain = [dict(kw, owner=owners_plain[int(kw["owner"].name[6:])]) for kw in kw8]

    Flight = plain_class(FLIGHT_NAMES, "Flight")
    kw22 = flight_kwargs(opts.n, random.Random(opts.seed + 1), Indexable, Indexable)
    kw22_plain = flight_kwargs(opts.n, random.Random(opts.seed + 1), plain_class(AIRPORT_NAMES, "Airport"),
                               plain_class(AIRCRAFT_NAMES, "Aircraft"))

    def build_and_add(kws):
        objs = [Indexable(**kw) for kw in kws]
        Index().add_object_many(objs)
        return objs

    cases = {
        "Indexable, 8 attributes": (lambda kws: [Indexable(**kw) for kw in kws], kw8),
        "plain (slots), 8 attributes": (lambda kws: [Record(**kw) for kw in kws], kw8_plain),
        "plain (dict), 8 attributes": (lambda kws: [DictRecord(**kw) for kw in kws], kw8_plain),
        "Indexable, 22 attributes": (lambda kws: [Indexable(**kw) for kw in kws], kw22),
        "Indexable, 22 attributes + add_object_many": (build_and_add, kw22),
        "plain (dict), 22 attributes": (lambda kws: [Flight(**kw) for kw in kws], kw22_plain),
    }
    samples = {name: [] for name in cases}
    for _ in range(opts.repeat):
        for name, (build, kws) in cases.items():
            samples[name].append(sample(build, kws))
    median = {name: statistics.median(s) for name, s in samples.items()}
    print(f"\n{'case':<46}{'per object':>12}{'spread':>10}")
    for name, s in samples.items():
        print(f"{name:<46}{median[name] * 1e6:>10.3f} us{(max(s) - min(s)) / median[name]:>9.0%}")
    print("\nratios")
    for a, b in (("Indexable, 8 attributes", "plain (slots), 8 attributes"),
                 ("Indexable, 8 attributes", "plain (dict), 8 attributes"),
                 ("Indexable, 22 attributes", "plain (dict), 22 attributes"),
                 ("Indexable, 22 attributes + add_object_many", "plain (dict), 22 attributes")):
        print(f"  {a} / {b}: {median[a] / median[b]:.2f}x")


if __name__ == "__main__":
    main()
