#!/usr/bin/env python3
"""Long runs of the model test of the query surface (tests/python/surface_machine.py).

Runs batches of random programs until the time is up; every program is
checked against the brute-force model after each rule. A failing program is
shrunk, printed whole and counted, and the run goes on with fresh programs.

    python scripts/model_soak.py --seconds 3600          # an hour
    python scripts/model_soak.py --seconds 60 --log f    # failures also into f
"""
import argparse
import os
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from hypothesis import HealthCheck, Phase, settings  # noqa: E402
from hypothesis.stateful import run_state_machine_as_test  # noqa: E402

from surface_machine import Surface  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=600.0)
    parser.add_argument("--batch", type=int, default=200, help="programs per batch")
    parser.add_argument("--steps", type=int, default=60, help="rules per program")
    parser.add_argument("--log", help="append failing programs to this file too")
    args = parser.parse_args()
    started = time.perf_counter()
    faults = 0
    batches = 0
    while time.perf_counter() - started < args.seconds:
        batches += 1
        try:
            run_state_machine_as_test(Surface, settings=settings(
                max_examples=args.batch, stateful_step_count=args.steps, deadline=None, database=None,
                phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck)))
        except Exception:  # noqa: BLE001 - a fault found: reported, then the run goes on
            faults += 1
            report = traceback.format_exc()
            print(report, flush=True)
            if args.log:
                with open(args.log, "a") as f:
                    f.write(report + "\n")
        t = Surface.totals
        elapsed = time.perf_counter() - started
        print(f"{elapsed:7.0f}s  {t['programs']} programs ({t['programs'] / elapsed:.1f}/s), {t['rules']} rules, "
              f"{t['queries']} queries checked, {faults} faults", flush=True)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
