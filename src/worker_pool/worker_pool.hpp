// The process-wide worker pool and the order-preserving parallel map that the
// batch operations run on. Plain C++ over the system's threads (platform.hpp);
// nothing here knows about Python.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "worker_pool/platform.hpp"

namespace fernquill {

// A fixed set of detached worker threads that run one index-range job at a time.
//
// Jobs are handed over whole: the range is split into runs through a shared
// cursor whose chunks shrink towards the end, and a worker that runs dry takes
// the unstarted back half of another worker's run, so one slow item does not
// hold up the items queued behind it. The submitting thread sleeps until every
// worker has let go of the job.
class WorkerPool {
 public:
  static constexpr std::size_t kDefaultStackSize = 2 * 1024 * 1024;

  // The process-wide pool, created on first use with the size from
  // pool_sizing::pool_size_from_environment(). Throws Fault("The global
  // thread pool has not been initialized.: <cause>") when a worker cannot be
  // started, and the same message on every later call in this process.
  static WorkerPool& global();

  // Starts `workers` threads (at least 1). If one cannot be started, those
  // already running are stopped and waited for, then Fault is thrown with the
  // sentence above.
  explicit WorkerPool(std::size_t workers, std::size_t stack_size = kDefaultStackSize)
      : WorkerPool(workers, stack_size, &platform::start_detached_thread) {}
  // Stops the workers and waits until none of them touches the pool. The
  // global pool is never destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const noexcept { return size_; }

  // Calls body(i) exactly once for every i in [0, n) unless a call throws.
  // n == 1 runs on the calling thread, as does a job submitted while this
  // thread submits one; n >= 2 runs on the workers while the caller sleeps.
  // The bodies see the caller's interrupt token (support/interrupt.hpp) as
  // a view, and the caller runs its check while it sleeps; a check that
  // throws stops the job like a failed body. The first exception thrown by
  // a body stops the job and is rethrown here once no worker uses the job
  // any more (others are dropped). Returns the number of body calls that
  // completed, which equals n whenever the call returns normally.
  template <class F>
  std::size_t parallel_for(std::size_t n, F&& body) {
    using Body = std::remove_reference_t<F>;
    return run(
        n, [](void* ctx, std::size_t i) { (*static_cast<Body*>(ctx))(i); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
  }

  // The same, with the calling thread running meanwhile() once the workers
  // have the job, instead of only sleeping: a caller can consume results
  // while later items are still being worked on (it must itself wait for
  // each item it reads; the pool tells it nothing). If meanwhile() throws,
  // the job is stopped and, once no worker uses it, that exception is
  // rethrown. With n == 1 the body runs first, then meanwhile().
  template <class F, class M>
  std::size_t parallel_for(std::size_t n, F&& body, M&& meanwhile) {
    using Body = std::remove_reference_t<F>;
    using Meanwhile = std::remove_reference_t<M>;
    return run(
        n, [](void* ctx, std::size_t i) { (*static_cast<Body*>(ctx))(i); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))),
        [](void* ctx) { (*static_cast<Meanwhile*>(ctx))(); },
        const_cast<void*>(static_cast<const void*>(std::addressof(meanwhile))));
  }

  // The type-erased core of parallel_for.
  std::size_t run(std::size_t n, void (*fn)(void* ctx, std::size_t index), void* ctx,
                  void (*meanwhile)(void* ctx) = nullptr, void* meanwhile_ctx = nullptr);

 protected:
  // Starts each worker through `start` (platform::start_detached_thread's
  // signature), so that a test can make a start fail and exercise the
  // clean-up path.
  using ThreadStart = int (*)(std::size_t stack_size, void* (*body)(void*), void* arg);
  WorkerPool(std::size_t workers, std::size_t stack_size, ThreadStart start);

 private:
  struct Job;
  struct alignas(64) Run {
    std::mutex mutex;
    std::size_t next = 0;  // first index not yet started
    std::size_t end = 0;
  };
  struct StartArgs {
    WorkerPool* pool;
    std::size_t index;
  };

  static void* thread_main(void* arg);
  void worker_loop(std::size_t index);
  Job* wait_for_job(std::uint64_t& seen_epoch);
  void work_on(Job& job, std::size_t index);
  bool take_next(Run& own, std::size_t& index);
  bool refill(Job& job, std::size_t index);
  void stop_workers();
  // Until no worker uses the job, running the submitter's check meanwhile.
  void wait_for_workers(Job& job, std::exception_ptr& caller_error);

  std::size_t size_ = 0;
  std::unique_ptr<Run[]> runs_;  // one per worker, empty between jobs

  std::mutex submit_mutex_;  // one job at a time
  std::mutex mutex_;         // guards the fields below
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::condition_variable exit_cv_;
  std::atomic<std::uint64_t> epoch_{0};  // bumped for every job and at shutdown
  Job* current_ = nullptr;
  bool shutdown_ = false;
  std::size_t live_ = 0;  // workers whose thread function has not returned
};

}  // namespace fernquill
