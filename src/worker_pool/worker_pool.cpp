#include "worker_pool/worker_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "support/fault.hpp"
#include "support/interrupt.hpp"
#include "worker_pool/platform.hpp"
#include "worker_pool/pool_sizing.hpp"

namespace fernquill {

namespace {

constexpr char kNotInitialized[] = "The global thread pool has not been initialized.";

// An idle worker first polls for a new job, briefly busy and then yielding the
// processor, before it goes to sleep; back-to-back jobs then start without a
// wake-up round trip, and an idle pool soon uses no processor time.
constexpr int kBusyPolls = 200;
constexpr int kYieldPolls = 32;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

using platform::os_error;

// Set while this thread submits a job. A job submitted meanwhile (from a
// check or a callback that runs on it) runs on this thread alone: the pool
// takes one job at a time and would wait for this one forever.
thread_local bool t_submitting = false;

}  // namespace

// One call of run() with n >= 2. Lives on the submitting thread's stack; the
// fields below the atomics are guarded by the pool's mutex_.
struct WorkerPool::Job {
  std::size_t n;
  void (*fn)(void*, std::size_t);
  void* ctx;
  std::atomic<std::size_t> cursor{0};  // next index never handed out
  std::atomic<bool> stop{false};       // a body threw; hand out nothing more
  Interrupt* interrupt = nullptr;      // the submitter's token, if any

  std::size_t active = 0;  // workers that joined and have not left
  std::size_t left = 0;    // workers that left (so nothing remained to hand out)
  std::size_t completed = 0;
  std::exception_ptr error;
};

WorkerPool::WorkerPool(std::size_t workers, std::size_t stack_size, ThreadStart start)
    : size_(std::max<std::size_t>(workers, 1)), runs_(new Run[size_]) {
  std::string failure;
  {
    // Workers start with the asynchronous signals blocked so that those keep
    // going to the application's own threads; faults raised by a worker
    // itself stay deliverable so that crash handlers still see them.
    platform::AsyncSignalsBlocked blocked;
    try {
      for (std::size_t i = 0; failure.empty() && i < size_; ++i) {
        std::string what = "failed to start worker " + std::to_string(i + 1) + " of " +
                           std::to_string(size_) + " (stack of " + std::to_string(stack_size) +
                           " bytes): ";
        auto* args = new StartArgs{this, i};
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++live_;
        }
        if (int rc = start(stack_size, &WorkerPool::thread_main, args); rc != 0) {
          delete args;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            --live_;
          }
          failure = what + os_error(rc);
        }
      }
    } catch (...) {
      stop_workers();
      throw;
    }
  }
  if (!failure.empty()) {
    stop_workers();
    throw Fault(std::string(kNotInitialized) + ": " + failure);
  }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
    epoch_.fetch_add(1, std::memory_order_release);
  }
  work_cv_.notify_all();
  std::unique_lock<std::mutex> lock(mutex_);
  exit_cv_.wait(lock, [this] { return live_ == 0; });
}

void* WorkerPool::thread_main(void* arg) {
  StartArgs args = *static_cast<StartArgs*>(arg);
  delete static_cast<StartArgs*>(arg);
  args.pool->worker_loop(args.index);
  return nullptr;
}

void WorkerPool::worker_loop(std::size_t index) {
  std::uint64_t seen = 0;
  while (Job* job = wait_for_job(seen)) work_on(*job, index);
  // Notify while holding the lock: once it is released the pool may be gone.
  std::lock_guard<std::mutex> lock(mutex_);
  if (--live_ == 0) exit_cv_.notify_all();
}

WorkerPool::Job* WorkerPool::wait_for_job(std::uint64_t& seen) {
  for (int i = 0; i < kBusyPolls + kYieldPolls; ++i) {
    if (epoch_.load(std::memory_order_acquire) != seen) break;
    if (i < kBusyPolls) {
      cpu_relax();
    } else {
      std::this_thread::yield();
    }
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_cv_.wait(lock,
                  [&] { return shutdown_ || epoch_.load(std::memory_order_relaxed) != seen; });
    if (shutdown_) return nullptr;
    seen = epoch_.load(std::memory_order_relaxed);
    // A job that already ended has been cleared; wait for the next one.
    if (current_ != nullptr) {
      ++current_->active;
      return current_;
    }
  }
}

bool WorkerPool::take_next(Run& own, std::size_t& index) {
  std::lock_guard<std::mutex> lock(own.mutex);
  if (own.next >= own.end) return false;
  index = own.next++;
  return true;
}

bool WorkerPool::refill(Job& job, std::size_t self) {
  // A fresh run from the cursor; runs shrink as the range runs out so that
  // the last ones are short.
  std::size_t begin = job.cursor.load(std::memory_order_relaxed);
  while (begin < job.n) {
    std::size_t len = std::max<std::size_t>((job.n - begin) / (2 * size_), 1);
    if (job.cursor.compare_exchange_weak(begin, begin + len, std::memory_order_relaxed)) {
      std::lock_guard<std::mutex> lock(runs_[self].mutex);
      runs_[self].next = begin;
      runs_[self].end = begin + len;
      return true;
    }
  }
  // Nothing left to hand out: take the unstarted back half of another run.
  for (std::size_t k = 1; k < size_; ++k) {
    Run& victim = runs_[(self + k) % size_];
    std::size_t from, to;
    {
      std::lock_guard<std::mutex> lock(victim.mutex);
      if (victim.next >= victim.end) continue;
      to = victim.end;
      from = victim.next + (victim.end - victim.next) / 2;
      victim.end = from;
    }
    std::lock_guard<std::mutex> lock(runs_[self].mutex);
    runs_[self].next = from;
    runs_[self].end = to;
    return true;
  }
  return false;
}

void WorkerPool::work_on(Job& job, std::size_t self) {
  // The bodies stop when the submitter's token is told to; they never run
  // its check, which belongs to the submitting thread.
  Interrupt view = job.interrupt != nullptr ? Interrupt::view_of(*job.interrupt) : Interrupt();
  const InterruptScope scope(view);
  Run& own = runs_[self];
  std::size_t done = 0;
  std::exception_ptr error;
  for (;;) {
    if (job.stop.load(std::memory_order_relaxed)) break;
    std::size_t i;
    if (!take_next(own, i)) {
      if (!refill(job, self)) break;
      continue;
    }
    try {
      job.fn(job.ctx, i);
      ++done;
    } catch (...) {
      error = std::current_exception();
      job.stop.store(true, std::memory_order_relaxed);
      break;
    }
  }
  {
    // Only a stop leaves anything here; it is dropped with the rest of the job.
    std::lock_guard<std::mutex> lock(own.mutex);
    own.next = own.end = 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  job.completed += done;
  if (error && !job.error) job.error = std::move(error);
  ++job.left;
  if (--job.active == 0) done_cv_.notify_one();
}

std::size_t WorkerPool::run(std::size_t n, void (*fn)(void*, std::size_t), void* ctx,
                            void (*meanwhile)(void*), void* meanwhile_ctx) {
  if (n == 0) return 0;
  if (n == 1 || t_submitting) {
    for (std::size_t i = 0; i < n; ++i) fn(ctx, i);
    if (meanwhile != nullptr) meanwhile(meanwhile_ctx);
    return n;
  }
  std::lock_guard<std::mutex> serial(submit_mutex_);
  t_submitting = true;
  struct Reset {
    ~Reset() { t_submitting = false; }
  } reset;
  Job job;
  job.n = n;
  job.fn = fn;
  job.ctx = ctx;
  job.interrupt = current_interrupt();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = &job;
    epoch_.fetch_add(1, std::memory_order_release);
  }
  // Any one worker can finish the job alone, and one worker takes at least
  // one item, so there is no point in waking more than n.
  if (n >= size_) {
    work_cv_.notify_all();
  } else {
    for (std::size_t i = 0; i < n; ++i) work_cv_.notify_one();
  }
  std::exception_ptr caller_error;
  if (meanwhile != nullptr) {
    try {
      meanwhile(meanwhile_ctx);
    } catch (...) {
      caller_error = std::current_exception();
      job.stop.store(true, std::memory_order_relaxed);
    }
  }
  wait_for_workers(job, caller_error);
  if (caller_error) std::rethrow_exception(caller_error);
  if (job.error) std::rethrow_exception(job.error);
  return job.completed;
}

void WorkerPool::wait_for_workers(Job& job, std::exception_ptr& caller_error) {
  // A worker leaves only when nothing is left to hand out, so once one has
  // left and none remains, no worker touches the job or its data again.
  std::unique_lock<std::mutex> lock(mutex_);
  const auto finished = [&] { return job.left > 0 && job.active == 0; };
  // The submitter runs its token's check while it waits, with the lock
  // released; a check that throws stops the job, as a failed meanwhile does.
  while (!caller_error && job.interrupt != nullptr && job.interrupt->has_check() &&
         !done_cv_.wait_for(lock, Interrupt::kPeriod, finished)) {
    lock.unlock();
    try {
      job.interrupt->check_now();
    } catch (...) {
      caller_error = std::current_exception();
      job.stop.store(true, std::memory_order_relaxed);
    }
    lock.lock();
  }
  done_cv_.wait(lock, finished);
  current_ = nullptr;
}

// The process-wide pool. A forked child has none of its parent's threads, so a
// pool inherited through fork would never run a job: the child handler below
// forgets it (leaking it on purpose, as its locks may have been held by a
// worker at the moment of the fork) and resets the once-only guard, so that
// the child builds a pool of its own, sized afresh, on first use. A failed
// creation is likewise not inherited. pthread_atfork also holds the guard
// across fork() so that a child never sees a half-made pool.
namespace {

std::mutex g_create_mutex;
std::atomic<WorkerPool*> g_pool{nullptr};
std::string* g_failure = nullptr;  // guarded by g_create_mutex; never freed
bool g_atfork_registered = false;  // guarded by g_create_mutex

void before_fork() { g_create_mutex.lock(); }
void parent_after_fork() { g_create_mutex.unlock(); }
void child_after_fork() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_failure = nullptr;
  g_create_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::global() {
  if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(g_create_mutex);
  if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) return *pool;
  if (g_failure != nullptr) throw Fault(*g_failure);
  if (!g_atfork_registered) {
    if (int rc = platform::register_fork_handlers(before_fork, parent_after_fork, child_after_fork);
        rc != 0) {
      throw Fault(std::string(kNotInitialized) +
                  ": cannot register fork handlers: " + os_error(rc));
    }
    g_atfork_registered = true;
  }
  try {
    // Never destroyed: the workers live until the process ends.
    auto* pool = new WorkerPool(pool_sizing::pool_size_from_environment());
    g_pool.store(pool, std::memory_order_release);
    return *pool;
  } catch (const Fault& fault) {
    g_failure = new std::string(fault.what());
    throw;
  }
}

}  // namespace fernquill
