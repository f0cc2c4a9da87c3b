"""Resident memory of a long multi-threaded soak on bounded data.

Runs the soak of tests/python/test_threads_soak.py (every operation, several
threads, a pool of a few hundred objects, indexes and keepers replaced every
1,500 operations, so the live data stays the same size) and prints the
process's RSS before it starts, every 30 s, at the end, and after everything
is dropped and collected, each with the C heap's bytes in use and the number
of Python memory blocks in use (these two grow with a leak; RSS alone also
grows with fragmentation).

The starting figure is taken after a warm-up (a small soak, one second on
two threads, dropped), so that what the process loads or builds once (the
module's first look for numpy, type caches) counts in it; the RSS right
after the import is printed too. With --trim it also prints the RSS after a
malloc_trim(0) at the end, which shows how much of it was memory freed but
still kept by the C allocator (the module itself trims when an index goes,
at most every 200 ms, and when the last one goes).

    python benchmarks/soak_rss.py [--seconds 180] [--threads 8] [--objects 300]
                                  [--recycle 1500] [--tick 30] [--trim] [--json]
"""
import argparse
import ctypes
import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from test_threads_soak import Soak  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL("libc.so.6")
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2:
    _mallinfo2.restype = _MallInfo2


def heap_mb():
    """Bytes the C allocator has handed out and not had back (all arenas)."""
    if not _mallinfo2:
        return float("nan")
    m = _mallinfo2()
    return (m.uordblks + m.hblkhd) / 2**20


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=180)
    ap.add_argument("--threads", type=int, default=8)
    ap.add_argument("--objects", type=int, default=300)
    ap.add_argument("--recycle", type=int, default=1500, help="replace the indexes every this many operations")
    ap.add_argument("--tick", type=float, default=30)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--trim", action="store_true", help="also report RSS after malloc_trim(0) at the end")
    ap.add_argument("--no-check", action="store_true", help="skip the exactness check of the final state")
    ap.add_argument("--json", metavar="PATH", help="write the figures to PATH")
    args = ap.parse_args()

    gc.collect()
    imported = rss_mb()
    warm = Soak(seed=args.seed + 1, n_objects=50)
    warm.run(2, 1.0, args.seed + 1)
    warm.check()
    del warm
    gc.collect()
    figures = {"imported": imported, "start": rss_mb(), "start_heap": heap_mb(), "start_blocks": sys.getallocatedblocks(),
               "ticks": []}
    print(f"imported         rss {imported:8.1f} MB", flush=True)
    print(f"start (warm)     rss {figures['start']:8.1f} MB  malloc in use {figures['start_heap']:8.1f} MB  "
          f"py blocks {figures['start_blocks']:,}", flush=True)

    soak = Soak(seed=args.seed, n_objects=args.objects, recycle_every=args.recycle)

    def on_tick(elapsed):
        r, h, b = rss_mb(), heap_mb(), sys.getallocatedblocks()
        figures["ticks"].append((round(elapsed), r, h, b))
        print(f"t={elapsed:6.0f} s       rss {r:8.1f} MB  malloc in use {h:8.1f} MB  py blocks {b:,}  ops {soak.ops:,}",
              flush=True)

    rate = soak.run(args.threads, args.seconds, args.seed, on_tick=on_tick, tick=args.tick)
    figures["end"] = rss_mb()
    figures["end_heap"] = heap_mb()
    figures["ops_per_s"] = rate
    print(f"end              rss {figures['end']:8.1f} MB  malloc in use {figures['end_heap']:8.1f} MB  {soak.ops:,} ops, {rate:,.0f} ops/s", flush=True)
    if not args.no_check:
        soak.check()
        print("final state exact", flush=True)
    del soak
    gc.collect()
    figures["dropped"] = rss_mb()
    figures["dropped_heap"] = heap_mb()
    figures["dropped_blocks"] = sys.getallocatedblocks()
    print(f"dropped, gc      rss {figures['dropped']:8.1f} MB  malloc in use {figures['dropped_heap']:8.1f} MB  "
          f"py blocks {figures['dropped_blocks']:,}", flush=True)
    first = next((t for t in figures["ticks"] if t[0] >= 60), None)
    if first and figures["ticks"][-1] is not first:
        last = figures["ticks"][-1]
        print(f"rss at {last[0]} s / rss at {first[0]} s: {last[1] / first[1]:.2f}", flush=True)
    print(f"rss dropped / rss at start: {figures['dropped'] / figures['start']:.2f}", flush=True)
    if args.trim:
        _libc.malloc_trim(0)
        figures["trimmed"] = rss_mb()
        print(f"malloc_trim(0)   rss {figures['trimmed']:8.1f} MB", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
