// Scanning a column of rows on the process-wide worker pool, block by block.
//
// This is the entry point for every native scan of many rows (the column
// calls, the command-line writer): plan the blocks, then run one body per
// block on the pool with the interpreter lock released. A body sees only its
// own rows and writes only its own block's output, so blocks need no locks;
// results come back in block order, which is row order.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "arrow/string_column.hpp"
#include "module/py_support.hpp"
#include "support/interrupt.hpp"
#include "worker_pool/worker_pool.hpp"

namespace fernquill::columns {

// Rows [begin, end) of one chunk, `bytes` bytes in all.
struct RowBlock {
  std::size_t chunk;
  std::size_t begin, end;
  std::size_t bytes;
};

// Input bytes per block: large enough that the pool's hand-over is noise,
// small enough that two workers stay balanced and a block's output stays a
// bounded working set.
inline constexpr std::size_t kBlockBytes = std::size_t{512} << 10;
// Rows per block at most, for columns of many tiny or empty rows.
inline constexpr std::size_t kBlockRows = std::size_t{1} << 16;

// Consecutive blocks covering every row of every chunk; a block never spans
// two chunks and holds at least one row (empty chunks give no block).
std::vector<RowBlock> plan_row_blocks(const StringColumn& column,
                                      std::size_t block_bytes = kBlockBytes,
                                      std::size_t block_rows = kBlockRows);

// Releases the interpreter lock for the life of the scope.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  // Runs the signal handlers with the lock taken back for them; throws
  // ErrorSet (the exception kept for when the lock is back) when one raises.
  static void check_signals(void* released) {
    auto* self = static_cast<GilReleased*>(released);
    PyEval_RestoreThread(self->state_);
    const int failed = PyErr_CheckSignals();
    self->state_ = PyEval_SaveThread();
    if (failed < 0) py::throw_error_set();
  }

 private:
  PyThreadState* state_;
};

// Calls body(i) for every i in [0, blocks) on the worker pool, with the
// interpreter lock released, and returns with it held again. The first
// exception a body throws is rethrown here (with the lock held). The caller
// must keep everything the bodies read alive and unchanged meanwhile (hold a
// shared borrow of the processor, own the column).
template <class Body>
void run_blocks(std::size_t blocks, Body&& body) {
  if (blocks == 0) return;
  WorkerPool& pool = WorkerPool::global();  // may throw Fault: lock still held
  GilReleased unlocked;
  // Signals are looked for while the pool works, as in the module's calls.
  Interrupt token(&GilReleased::check_signals, &unlocked);
  const InterruptScope scope(token);
  pool.parallel_for(blocks, body);
}

}  // namespace fernquill::columns
