"""Build, evaluate, print and drop very deep query trees: a left fold of and_,
a chain of not_ and an alternation of and_/not_, at growing depths. Each step
should grow linearly with the depth."""
import functools
import sys
import time

from Calderwick import Index, Indexable, PyQueryExpr as Q

SHAPES = {
    "and_ fold": lambda n: functools.reduce(Q.and_, [Q.ge("x", 0)] * n),
    "not_ chain": lambda n: functools.reduce(lambda q, _: Q.not_(q), range(n), Q.lt("x", 4)),
    "and_/not_ alternation": lambda n: functools.reduce(lambda q, _: Q.and_(Q.not_(q), Q.ge("x", 0)), range(n),
                                                        Q.lt("x", 4)),
}


def timed(f):
    start = time.perf_counter()
    result = f()
    return result, time.perf_counter() - start


def main(depths):
    index = Index()
    index.add_object_many([Indexable(x=i) for i in range(1000)])
    print(f"{'shape':24} {'depth':>8} {'build':>9} {'evaluate':>9} {'repr':>9} {'drop':>9}")
    for name, make in SHAPES.items():
        for n in depths:
            q, build = timed(lambda: make(n))
            _, evaluate = timed(lambda: index.reduced_query(q).collect())
            _, render = timed(lambda: repr(q))
            holder = [q]
            del q
            _, drop = timed(holder.clear)
            print(f"{name:24} {n:>8} {build:>8.3f}s {evaluate:>8.3f}s {render:>8.3f}s {drop:>8.3f}s")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [1_000, 10_000, 100_000])
