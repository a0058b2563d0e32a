#!/usr/bin/env bash
# Builds the engine and its tests where Linux with GCC is not enough to find
# out: for Windows with MinGW-w64 (run under wine), and with clang and libc++
# (the nearest thing to macOS's toolchain here), then runs the tests of both.
# Installs the compilers and wine when they are missing; fails when a build or
# a test fails, or when a test program outlives its time bound.
# Usage: tools/check_portability.sh [BUILD_ROOT] [test-name-filter]
set -euo pipefail
cd "$(dirname "$0")/.."

ROOT=${1:-build-portability}
FILTER=${2:-}
PACKAGES=(g++-mingw-w64-x86-64-posix wine64 clang libc++-14-dev libc++abi-14-dev)
GENERATOR=(-G "Unix Makefiles")  # the generator that once lacked the generated/ folder
# Each test program takes one to two minutes under wine on a loaded 2-core machine;
# the bound turns a hang into a failure instead of a stalled CI.
TEST_TIME_BOUND=900
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# Every test, with the approximate differential at a fiftieth of its million
# cases: the full run is the GIL build's, in the stress tier.
export FERNQUILL_APPROX_CASES=${FERNQUILL_APPROX_CASES:-20000}

install_missing_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    apt-get -o DPkg::Lock::Timeout=900 update -q
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -q "${missing[@]}"
}

engine_tests() {  # NAME EXTRA-CMAKE-ARGS...
    local dir="$ROOT/$1"
    shift
    cmake -S . -B "$dir" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=Release -DFERNQUILL_BUILD_MODULE=OFF \
        -DFERNQUILL_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
    nice -n 10 cmake --build "$dir" --target engine_tests
}

# A wine of our own in the build folder: no Mono or Gecko installers are offered,
# no debug chatter, and its server is stopped when the run ends however it ends.
run_under_wine() {  # PROGRAM ARGS...
    local wine server
    wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
    server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
    export WINEPREFIX="$PWD/$ROOT/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # shellcheck disable=SC2064  # the server's path is fixed now
    trap "'$server' -k 2>/dev/null || true" EXIT
    timeout "$TEST_TIME_BOUND" "$wine" "$@"
}

install_missing_packages

echo "== Windows (MinGW-w64, run under wine)"
engine_tests mingw -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    -DCMAKE_EXE_LINKER_FLAGS=-static
run_under_wine "$ROOT/mingw/engine_tests.exe" $FILTER

echo "== clang with libc++"
engine_tests clang-libcxx -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    "-DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -lc++abi"
timeout "$TEST_TIME_BOUND" "$ROOT/clang-libcxx/engine_tests" $FILTER
