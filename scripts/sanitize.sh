#!/usr/bin/env bash
# Runs the whole test suite against a build of the native code instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake option VANTLE_SANITIZE).
#
#   scripts/sanitize.sh [PYTEST ARGS]        or    scripts/dev.sh sanitize [PYTEST ARGS]
#
# It builds into a virtual environment and build directory of its own (.venv-asan and
# build/asan; VANTLE_ASAN_VENV and VANTLE_ASAN_BUILD_DIR move them), so the ordinary
# environment is left alone. It is slow (a second build, every test instrumented) and is
# therefore not part of the default test command: run it by hand before a release, after
# touching the C++ code, or in a nightly job. Any sanitizer report ends the run with a
# non-zero status.
#
# The interpreter itself is not instrumented, so the ASan runtime must be the first library
# in the process: it is preloaded. The modules keep their private, static C++ runtime (see
# CMakeLists.txt) and take the sanitizer runtimes as shared libraries.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

export VANTLE_VENV="${VANTLE_ASAN_VENV:-$root/.venv-asan}"
export VANTLE_BUILD_DIR="${VANTLE_ASAN_BUILD_DIR:-$root/build/asan}"
export VANTLE_CMAKE_ARGS="-DVANTLE_SANITIZE=ON"
# Instrumented compiles are heavy; keep the build from taking the whole machine.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

"$root/scripts/dev.sh" setup

# The runtimes of the compiler that built the modules (CMake's default C++ compiler).
cxx="${CXX:-c++}"
libasan="$("$cxx" -print-file-name=libasan.so)"
if [ ! -e "$libasan" ]; then
    echo "sanitize.sh: $cxx has no shared AddressSanitizer runtime (libasan.so)" >&2
    exit 1
fi

# - detect_leaks=0: the interpreter, GLib and GStreamer keep allocations until exit on
#   purpose (interned objects, type registrations, the plugin registry); leak reports
#   would be about them, not about us. Reference leaks of ours are caught by the tests'
#   own lifetime checks (weakref, descriptor and thread counts).
# - allocator_may_return_null=1: an impossible allocation (numpy asked for a huge array)
#   stays a MemoryError, as in the normal build, instead of ending the process.
# Reports go to files (one per process, subprocesses included): the tests capture the
# standard error of the process that a report ends.
reports="$VANTLE_VENV/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# libstdc++ is preloaded too: the interpreter does not link it, and ASan, which intercepts
# __cxa_throw, must find the real one when it starts. Without it the first exception thrown
# by a shared C++ library (libproxy, under souphttpsrc, throws and catches its own) aborts
# with "CHECK failed: ... real___cxa_throw".
libstdcxx="$("$cxx" -print-file-name=libstdc++.so)"
export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
# Python's small-object allocator hides its blocks from ASan; plain malloc shows them.
export PYTHONMALLOC=malloc
# A registry of its own: the instrumented plugin never lands in the ordinary one.
export GST_REGISTRY="$VANTLE_VENV/gst-registry.bin"
# Tells tests that they run instrumented: resident-memory figures mean little here (shadow
# memory, the quarantine of freed blocks), so growth limits on them do not apply.
export VANTLE_SANITIZERS="address,undefined"

echo "[vantle] pytest under ASan/UBSan (LD_PRELOAD=$LD_PRELOAD)" >&2
status=0
"$VANTLE_VENV/bin/python" -m pytest -q "$@" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
        echo "===== $report" >&2
        cat "$report" >&2
    done
    echo "[vantle] sanitizer reports above (kept in $reports)" >&2
    [ "$status" -eq 0 ] && status=1
fi
exit "$status"
