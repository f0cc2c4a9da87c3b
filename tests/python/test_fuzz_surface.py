"""A short run of the surface fuzzer (scripts/fuzz_surface.py) in a child
process, so that a crash fails this test instead of ending the run."""
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("hypothesis")

FUZZER = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "fuzz_surface.py"


@pytest.mark.parametrize("seed", [1, 2])
def test_random_programs_agree_with_the_model_and_never_crash(seed):
    proc = subprocess.run([sys.executable, str(FUZZER), "--seconds", "2", "--seed", str(seed)],
                          capture_output=True, text=True, timeout=240)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-4000:]}\n{proc.stderr[-6000:]}"
    assert " calls in " in proc.stdout
    calls = int(proc.stdout.split(" calls in ")[0].split()[-1])
    assert calls > 100, proc.stdout  # the programs did run
