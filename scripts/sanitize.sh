#!/usr/bin/env bash
# Builds the three modules and the runtime's test probe with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test that can run under them:
#
#   bash scripts/sanitize.sh [pytest args]
#
# Two passes: every selected test with the frame free list off (a freed frame goes
# back to the allocator, so any later use is a use after free), then the tests
# that drive frames hardest (RAVN_SANITIZE_POOLED, default tests/runtime, the
# thread probe among them) with the list on and the frames on it poisoned, so a
# use of a recycled frame is caught as well. Pytest arguments, when given, select
# the tests of both passes.
#
# A failing test does not end a pass; a sanitizer report does (the process
# aborts), and the script then names the test that was running and how many had
# passed. At the end it prints how many tests ran. Exits non-zero on a failing
# test and on any sanitizer report.
#
# Left out: the integration and HTTP tests (markers `integration`, `e2e`). The
# database path goes through SQLAlchemy's asyncio layer, which runs asyncpg
# inside greenlets; greenlet switches C stacks behind AddressSanitizer's back,
# so its stack bookkeeping breaks and it reports errors that are not there.
# (The service tools that those tests start, pg_isready among them, also hang
# with the ASan runtime preloaded.)
#
# The normal in-place build (api/ravn, tests/native) is left alone: the sources
# are copied to build/asan/tree, built there in place (CMake in build/asan/cmake)
# and tested there. Needs the Python requirements of scripts/setup.sh, not the
# services.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/asan
tree=$out/tree
reports=$out/reports

# The real interpreter, not a launcher script: LD_PRELOAD must reach Python itself.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
cxx=${CXX:-g++}

echo "==> copying the sources to $tree" >&2
# Brought up to date each time: a file whose content changed since the last copy
# is copied anew (so its time is now, later than any object built before, and it
# is rebuilt), an unchanged file keeps its time (so the build in build/asan/cmake
# stays incremental), and a deleted file goes. Keeping the sources' own times
# instead would let an object built from an older copy look newer than an edit.
incoming=$out/incoming
rm -rf "$incoming"
mkdir -p "$incoming" "$tree"
tar -C "$root" -cf - --exclude-vcs --exclude=./build --exclude='*.so' --exclude=__pycache__ \
    --exclude=.pytest_cache --exclude='*.egg-info' . | tar -C "$incoming" -xf -
"$python" - "$incoming" "$tree" <<'SYNC'
import filecmp, os, shutil, sys
incoming, tree = sys.argv[1:]
wanted = set()
for folder, _, files in os.walk(incoming):
    for name in files:
        source = os.path.join(folder, name)
        relative = os.path.relpath(source, incoming)
        wanted.add(relative)
        target = os.path.join(tree, relative)
        if not (os.path.isfile(target) and filecmp.cmp(source, target, shallow=False)):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy(source, target)  # content and mode; the time is now
for folder, _, files in os.walk(tree):
    for name in files:
        path = os.path.join(folder, name)
        relative = os.path.relpath(path, tree)
        # Built modules and caches are the build's own, not copies.
        if relative not in wanted and not name.endswith(".so") and "__pycache__" not in relative:
            os.remove(path)
SYNC
rm -rf "$incoming"

echo "==> building with -fsanitize=address,undefined" >&2
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$tree" -B "$out/cmake" "${generator[@]}" -DRAVN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="$cxx" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
    -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$out/cmake" -j2

# Python is not instrumented, so the ASan runtime must be loaded before anything
# else (libubsan may come later, with the modules). libstdc++ comes with it:
# ASan looks up the real __cxa_throw once, at start-up, and the interpreter does
# not link libstdc++, so without it the first C++ throw aborts.
runtime_lib() { readlink -f "$("$cxx" -print-file-name="$1")"; }
libasan=$(runtime_lib libasan.so)
libstdcxx=$(runtime_lib libstdc++.so)
[[ -f $libasan && -f $libstdcxx ]] || { echo "no libasan/libstdc++ for $cxx" >&2; exit 1; }

# detect_leaks=0: the interpreter does not free its own memory at exit (interned
#   strings, type and module state), and that is all LeakSanitizer would list.
#   Reference leaks of the runtime are covered by its own refcount tests.
# halt_on_error=1, abort_on_error=1: the first report ends the process with
#   SIGABRT (UBSan checks are compiled not to recover), so no test carries on.
# log_path (ASan): every process, pytest and the interpreters that tests start,
#   writes its reports to a file here, so a report counts even where a test
#   expected that subprocess to fail. UBSan's log_path cannot work here (libasan
#   takes over the call that sets it), so UBSan reports go to stderr; the abort
#   still fails pytest, or the subprocess test that sees an exit status or stderr
#   it did not expect.
# PYTHONMALLOC=malloc: without it pymalloc serves small objects from its own
#   arenas and ASan cannot see a use of a freed Python object.
preload=$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc

# One pass of pytest under the sanitizers: run_pass NAME POOL(0|1) [pytest args].
# scripts/sanitize_progress.py records the test that is running and the tallies.
failed=0
run_pass() {
    local name=$1 pool=$2
    shift 2
    local progress=$out/progress/pool-$pool
    rm -rf "$progress" "$reports"
    mkdir -p "$progress" "$reports"
    echo "==> running the tests under the sanitizers, $name" >&2
    local status=0
    # --capture=sys: fd-level capture would swallow a UBSan report on stderr when
    # the abort takes pytest down with it. The copied tree needs no pytest cache.
    # -W: when a property test fails, hypothesis's report hook touches a
    # deprecated mypy_extensions name; with warnings as errors that ends the
    # whole session (INTERNALERROR) instead of failing the one test.
    (cd "$tree" && LD_PRELOAD=$preload ASAN_OPTIONS=$ASAN_OPTIONS:log_path=$reports/asan RAVN_FRAME_POOL=$pool \
        RAVN_SANITIZE_PROGRESS=$progress "$python" -m pytest -p no:cacheprovider -p scripts.sanitize_progress \
        -W "ignore:mypy_extensions.TypedDict is deprecated:DeprecationWarning" \
        --capture=sys -m "not integration and not e2e" "$@") || status=$?

    local ran=0 passed=0 failed_tests=0 skipped=0 running=""
    if [[ -f $progress/tally ]]; then read -r ran passed failed_tests skipped <"$progress/tally" || true; fi
    if [[ -f $progress/running ]]; then running=$(<"$progress/running"); fi
    if compgen -G "$reports/*" >/dev/null; then
        for report in "$reports"/*; do
            echo "==> sanitizer report $report" >&2
            cat "$report" >&2
        done
        echo "==> $name: sanitizer report while running ${running:-(no test started)}; $passed tests had passed" >&2
        exit 1
    fi
    if [[ ! -f $progress/finished ]]; then
        # Killed without a report file (a UBSan abort, a signal): say where.
        echo "==> $name: pytest ended (status $status) while running ${running:-(no test started)}; $passed tests had passed" >&2
        exit 1
    fi
    echo "==> $name: $ran tests ran: $passed passed, $failed_tests failed, $skipped skipped (pytest status $status)" >&2
    (( status == 0 )) || failed=1
}

if (( $# )); then
    run_pass "free list off" 0 "$@"
    run_pass "free list on" 1 "$@"
else
    run_pass "free list off" 0
    # shellcheck disable=SC2086  # a list of test paths
    run_pass "free list on" 1 ${RAVN_SANITIZE_POOLED:-tests/runtime}
fi
exit "$failed"
