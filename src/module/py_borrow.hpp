// The per-object borrows every method takes, and the section in which a call
// runs engine code with the interpreter let go of. Shared by every extension
// module of the package.
//
// With the interpreter lock, a call holds the lock for its whole length, so a
// borrow conflict can only come from the same thread (a callback re-entering
// the object). Without it (free-threaded builds), a call holds its object
// borrowed for its whole length: calls from several threads that read run at
// once, and a change while another thread holds a borrow raises the same
// error a re-entrant change would. The counter is then changed atomically.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <new>

namespace fernquill::py {

// Raises the pending RuntimeError and unwinds (defined in py_support.hpp).
[[noreturn]] void raise_borrow_error(const char* message);

// The counter: 0 free, n > 0 shared borrows, -1 exclusive. Objects hold one
// as a field, constructed with init_borrow_counter.
inline constexpr Py_ssize_t kExclusive = -1;

#ifdef Py_GIL_DISABLED
using BorrowCounter = std::atomic<Py_ssize_t>;

namespace borrow_counter {
inline bool try_share(BorrowCounter& c) {
  Py_ssize_t seen = c.load(std::memory_order_relaxed);
  do {
    if (seen == kExclusive) return false;
  } while (!c.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                    std::memory_order_relaxed));
  return true;
}
inline void unshare(BorrowCounter& c) { c.fetch_sub(1, std::memory_order_release); }
inline bool try_own(BorrowCounter& c) {
  Py_ssize_t free = 0;
  return c.compare_exchange_strong(free, kExclusive, std::memory_order_acquire,
                                   std::memory_order_relaxed);
}
inline void disown(BorrowCounter& c) { c.store(0, std::memory_order_release); }
}  // namespace borrow_counter
#else
// The interpreter lock orders every access.
using BorrowCounter = Py_ssize_t;

namespace borrow_counter {
inline bool try_share(BorrowCounter& c) {
  if (c == kExclusive) return false;
  ++c;
  return true;
}
inline void unshare(BorrowCounter& c) { --c; }
inline bool try_own(BorrowCounter& c) {
  if (c != 0) return false;
  c = kExclusive;
  return true;
}
inline void disown(BorrowCounter& c) { c = 0; }
}  // namespace borrow_counter
#endif

// Constructs a free counter in an object's freshly allocated memory.
inline void init_borrow_counter(BorrowCounter* where) { new (where) BorrowCounter(0); }

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowCounter& counter) : c_(counter) {
    if (!borrow_counter::try_share(c_)) raise_borrow_error("Already mutably borrowed");
  }
  ~SharedBorrow() { borrow_counter::unshare(c_); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowCounter& c_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowCounter& counter) : c_(counter) {
    if (!borrow_counter::try_own(c_)) raise_borrow_error("Already borrowed");
  }
  ~ExclusiveBorrow() { borrow_counter::disown(c_); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowCounter& c_;
};

// Engine work that touches no Python object. Without the interpreter lock the
// thread detaches for it, so that a garbage collection another thread starts
// (which waits for every attached thread) need not wait for a long scan. With
// the lock nothing changes: a call keeps the lock throughout, as it always has.
class EngineSection {
 public:
#ifdef Py_GIL_DISABLED
  EngineSection() : saved_(PyEval_SaveThread()) {}
  ~EngineSection() { PyEval_RestoreThread(saved_); }
#else
  EngineSection() = default;
#endif
  EngineSection(const EngineSection&) = delete;
  EngineSection& operator=(const EngineSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyThreadState* saved_;
#endif
};

// Runs `work` (engine code only) in an EngineSection and returns its result.
template <class F>
decltype(auto) in_engine(F&& work) {
  [[maybe_unused]] EngineSection section;
  return work();
}

}  // namespace fernquill::py
