#!/usr/bin/env bash
# Builds the worker pool and its tests alone with ThreadSanitizer and runs them;
# any arguments go to the test program (a case-name filter).
# The build goes to $TSAN_BUILD_DIR (default build-tsan-pool in the repo root).
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
out="${TSAN_BUILD_DIR:-$root/build-tsan-pool}"
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Wall -Wextra -pthread
       -I "$root/src")
g++ "${flags[@]}" -c "$root/src/worker_pool/worker_pool.cpp" -o "$out/worker_pool.o" &
pool_pid=$!
g++ "${flags[@]}" -c "$root/src/worker_pool/pool_sizing.cpp" -o "$out/pool_sizing.o"
g++ "${flags[@]}" -c "$root/src/worker_pool/platform.cpp" -o "$out/platform.o"
g++ "${flags[@]}" -c "$root/tests/cpp/test_worker_pool.cpp" -o "$out/test_worker_pool.o"
g++ "${flags[@]}" -c "$root/tests/cpp/test_ready_flags.cpp" -o "$out/test_ready_flags.o"
wait "$pool_pid"
g++ "${flags[@]}" -c "$root/tests/cpp/main.cpp" -o "$out/main.o"
g++ -fsanitize=thread -pthread "$out/worker_pool.o" "$out/pool_sizing.o" "$out/platform.o" \
  "$out/test_worker_pool.o" "$out/test_ready_flags.o" \
  "$out/main.o" \
  -o "$out/worker_pool_tsan"
# A forked child starts threads of its own, which TSan must be told to allow;
# halt_on_error turns any report into a failed run.
TSAN_OPTIONS="die_after_fork=0 halt_on_error=1 ${TSAN_OPTIONS:-}" "$out/worker_pool_tsan" "$@"
