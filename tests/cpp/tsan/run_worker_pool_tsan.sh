#!/usr/bin/env bash
# Builds the worker pool and its tests alone with ThreadSanitizer and runs them.
# Usage: tests/cpp/tsan/run_worker_pool_tsan.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
out="${1:-$root/build-tsan-pool}"
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Wall -Wextra -pthread
       -I "$root/src")
g++ "${flags[@]}" -c "$root/src/worker_pool/worker_pool.cpp" -o "$out/worker_pool.o" &
g++ "${flags[@]}" -c "$root/tests/cpp/test_worker_pool.cpp" -o "$out/test_worker_pool.o" &
g++ "${flags[@]}" -c "$root/tests/cpp/main.cpp" -o "$out/main.o"
wait %1 %2
g++ -fsanitize=thread -pthread "$out"/worker_pool.o "$out"/test_worker_pool.o "$out"/main.o \
  -o "$out/worker_pool_tsan"
# A forked child starts threads of its own: let TSan allow that. halt_on_error
# makes any report fail the run.
TSAN_OPTIONS="die_after_fork=0 halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$out/worker_pool_tsan" "$@"
