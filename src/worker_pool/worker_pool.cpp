#include "worker_pool/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <utility>
#include <vector>

#include "support/fault.hpp"

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

std::string_view trim(std::string_view s) {
  const char* ws = " \t\r\n";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t pos = s.find(sep, start);
    if (pos == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_mount_path(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out.push_back(
          static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct CgroupMount {
  std::string root;   // the part of the hierarchy that is mounted
  std::string point;  // where it is mounted
};

bool has_token(std::string_view list, std::string_view token) {
  for (std::string_view t : split(list, ',')) {
    if (t == token) return true;
  }
  return false;
}

bool is_path_prefix(std::string_view prefix, std::string_view path) {
  if (prefix == "/") return true;
  if (path.substr(0, prefix.size()) != prefix) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/';
}

// The directories of the group at `group_path` and of each ancestor up to the
// mount point, innermost first.
std::vector<std::string> group_dirs(const CgroupMount& mount, std::string_view group_path) {
  std::string rel;
  if (is_path_prefix(mount.root, group_path)) {
    rel = std::string(group_path.substr(mount.root == "/" ? 0 : mount.root.size()));
  }
  // A group outside the mounted part (shown as "/../..") or any odd path: only
  // the mount point itself can be trusted.
  for (std::string_view part : split(rel, '/')) {
    if (part == "..") {
      rel.clear();
      break;
    }
  }
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  std::string base = mount.point;
  while (base.size() > 1 && base.back() == '/') base.pop_back();

  std::vector<std::string> dirs;
  for (;;) {
    dirs.push_back(base + rel);
    if (rel.empty()) break;
    std::size_t slash = rel.rfind('/');
    rel.resize(slash == std::string::npos ? 0 : slash);
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
  }
  return dirs;
}

void keep_smaller(std::optional<std::uint64_t>& best, std::optional<std::uint64_t> limit) {
  if (limit && (!best || *limit < *best)) best = limit;
}

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // Files under /proc and /sys are small; the bound only guards against a
  // path that turns out to be something else.
  constexpr std::size_t kMaxBytes = 16 << 20;
  std::string data;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    data.append(buf, static_cast<std::size_t>(in.gcount()));
    if (data.size() > kMaxBytes) return std::nullopt;
  }
  if (in.bad()) return std::nullopt;
  return data;
}

std::optional<std::size_t> affinity_cpu_count() {
  // The kernel's mask may be wider than cpu_set_t; grow until it fits.
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      if (count <= 0) return std::nullopt;
      return static_cast<std::size_t>(count);
    }
    int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::size_t> online_cpu_count() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n <= 0) return std::nullopt;
  return static_cast<std::size_t>(n);
}

std::string os_error(int code) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

namespace pool_sizing {

std::optional<std::uint32_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::optional<std::uint64_t> value = parse_u64(text);
  if (!value || *value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::size_t choose_pool_size(std::optional<std::string_view> num_threads,
                             std::optional<std::string_view> rs_num_cpus,
                             const std::function<std::size_t()>& system_default) {
  auto capped = [](std::uint64_t n) {
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(n, 1, kMaxWorkers));
  };
  if (num_threads) {
    if (std::optional<std::uint32_t> n = parse_thread_count(*num_threads)) {
      // 0 asks for the default outright, without the second variable.
      return capped(*n > 0 ? *n : system_default());
    }
  }
  if (rs_num_cpus) {
    std::optional<std::uint32_t> n = parse_thread_count(*rs_num_cpus);
    if (n && *n > 0) return capped(*n);
  }
  return capped(system_default());
}

std::optional<std::uint64_t> parse_cpu_max(std::string_view contents) {
  std::vector<std::string_view> fields;
  for (std::string_view f : split(trim(contents), ' ')) {
    if (!f.empty()) fields.push_back(f);
  }
  if (fields.size() != 2) return std::nullopt;
  std::optional<std::uint64_t> quota = parse_u64(fields[0]);  // "max" fails here
  std::optional<std::uint64_t> period = parse_u64(fields[1]);
  if (!quota || !period || *period == 0) return std::nullopt;
  return std::max<std::uint64_t>(*quota / *period, 1);
}

std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
  std::optional<std::uint64_t> q = parse_u64(trim(quota));  // -1 fails here
  std::optional<std::uint64_t> p = parse_u64(trim(period));
  if (!q || !p || *p == 0) return std::nullopt;
  return std::max<std::uint64_t>(*q / *p, 1);
}

std::optional<std::uint64_t> cgroup_cpu_limit(const FileReader& read) {
  std::optional<std::string> groups = read("/proc/self/cgroup");
  if (!groups) return std::nullopt;

  // Lines are "id:controllers:path"; the path may itself contain ':'.
  std::optional<std::string> v2_path, v1_path;
  for (std::string_view line : split(*groups, '\n')) {
    std::size_t a = line.find(':');
    if (a == std::string_view::npos) continue;
    std::size_t b = line.find(':', a + 1);
    if (b == std::string_view::npos) continue;
    std::string_view id = line.substr(0, a);
    std::string_view controllers = line.substr(a + 1, b - a - 1);
    std::string_view path = line.substr(b + 1);
    if (id == "0" && controllers.empty()) {
      if (!v2_path) v2_path = std::string(path);
    } else if (has_token(controllers, "cpu")) {
      if (!v1_path) v1_path = std::string(path);
    }
  }
  if (!v2_path && !v1_path) return std::nullopt;

  std::vector<CgroupMount> v2_mounts, v1_mounts;
  if (std::optional<std::string> info = read("/proc/self/mountinfo")) {
    // "id parent major:minor root mount-point options [optional...] - fstype
    // source super-options"
    for (std::string_view line : split(*info, '\n')) {
      std::vector<std::string_view> f = split(line, ' ');
      std::size_t dash = 6;
      while (dash < f.size() && f[dash] != "-") ++dash;
      if (dash + 3 >= f.size()) continue;
      std::string_view fstype = f[dash + 1];
      CgroupMount m{unescape_mount_path(f[3]), unescape_mount_path(f[4])};
      if (fstype == "cgroup2") {
        v2_mounts.push_back(std::move(m));
      } else if (fstype == "cgroup" && has_token(f[dash + 3], "cpu")) {
        v1_mounts.push_back(std::move(m));
      }
    }
  } else {
    v2_mounts.push_back({"/", "/sys/fs/cgroup"});
    v1_mounts.push_back({"/", "/sys/fs/cgroup/cpu"});
  }

  // Prefer a mount that holds the group; else the first one.
  auto pick = [](const std::vector<CgroupMount>& mounts,
                 const std::string& path) -> const CgroupMount* {
    for (const CgroupMount& m : mounts) {
      if (is_path_prefix(m.root, path)) return &m;
    }
    return mounts.empty() ? nullptr : &mounts.front();
  };

  std::optional<std::uint64_t> best;
  if (v2_path) {
    if (const CgroupMount* m = pick(v2_mounts, *v2_path)) {
      for (const std::string& dir : group_dirs(*m, *v2_path)) {
        if (std::optional<std::string> text = read(dir + "/cpu.max")) {
          keep_smaller(best, parse_cpu_max(*text));
        }
      }
    }
  }
  if (v1_path) {
    if (const CgroupMount* m = pick(v1_mounts, *v1_path)) {
      for (const std::string& dir : group_dirs(*m, *v1_path)) {
        std::optional<std::string> quota = read(dir + "/cpu.cfs_quota_us");
        std::optional<std::string> period = read(dir + "/cpu.cfs_period_us");
        if (quota && period) keep_smaller(best, parse_cfs_quota(*quota, *period));
      }
    }
  }
  return best;
}

std::size_t combine_cpu_count(std::optional<std::size_t> affinity_count,
                              std::optional<std::size_t> online_count,
                              std::optional<std::uint64_t> cgroup_limit) {
  std::optional<std::size_t> count;
  if (affinity_count && *affinity_count > 0) {
    count = affinity_count;
  } else if (online_count && *online_count > 0) {
    count = online_count;
  }
  if (!count) return 1;
  std::uint64_t n = *count;
  if (cgroup_limit) n = std::min(n, *cgroup_limit);
  return static_cast<std::size_t>(std::max<std::uint64_t>(n, 1));
}

std::size_t system_cpu_count() {
  return combine_cpu_count(affinity_cpu_count(), online_cpu_count(),
                           cgroup_cpu_limit(read_whole_file));
}

std::size_t pool_size_from_environment() {
  auto env = [](const char* name) -> std::optional<std::string_view> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
  };
  return choose_pool_size(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"), system_cpu_count);
}

}  // namespace pool_sizing

// One call of run() with n >= 2. Lives on the submitting thread's stack; the
// fields below the atomics are guarded by the pool's mutex_.
struct WorkerPool::Job {
  std::size_t n;
  void (*fn)(void*, std::size_t);
  void* ctx;
  std::atomic<std::size_t> cursor{0};  // next index never handed out
  std::atomic<bool> stop{false};       // a body threw; hand out nothing more

  std::size_t active = 0;  // workers that joined and have not left
  std::size_t left = 0;    // workers that left (so nothing remained to hand out)
  std::size_t completed = 0;
  std::exception_ptr error;
};

WorkerPool::WorkerPool(std::size_t workers, std::size_t stack_size, std::size_t fail_start_at)
    : size_(std::max<std::size_t>(workers, 1)), runs_(new Run[size_]) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    throw Fault(std::string(kNotInitialized) +
                ": cannot set up thread attributes: " + os_error(rc));
  }
  std::string failure;
  if (int rc = pthread_attr_setstacksize(&attr, stack_size); rc != 0) {
    failure = "cannot use a stack of " + std::to_string(stack_size) + " bytes: " + os_error(rc);
  } else if (rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED); rc != 0) {
    failure = "cannot make threads detached: " + os_error(rc);
  }

  // Workers start with the asynchronous signals blocked so that those keep
  // going to the application's own threads; faults raised by a worker itself
  // stay deliverable so that crash handlers still see them.
  sigset_t all, previous;
  sigfillset(&all);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, sig);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    for (std::size_t i = 0; failure.empty() && i < size_; ++i) {
      std::string what =
          "failed to start worker " + std::to_string(i + 1) + " of " + std::to_string(size_) + ": ";
      if (i == fail_start_at) {
        failure = what + "start refused for testing";
        break;
      }
      auto* args = new StartArgs{this, i};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++live_;
      }
      pthread_t thread;
      if (int rc = pthread_create(&thread, &attr, &WorkerPool::thread_main, args); rc != 0) {
        delete args;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          --live_;
        }
        failure = what + os_error(rc);
      }
    }
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    stop_workers();
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);
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
      sched_yield();
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

std::size_t WorkerPool::run(std::size_t n, void (*fn)(void*, std::size_t), void* ctx) {
  if (n == 0) return 0;
  if (n == 1) {
    fn(ctx, 0);
    return 1;
  }
  std::lock_guard<std::mutex> serial(submit_mutex_);
  Job job;
  job.n = n;
  job.fn = fn;
  job.ctx = ctx;
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
  {
    // A worker leaves only when nothing is left to hand out, so once one has
    // left and none remains, no worker touches the job or its data again.
    std::unique_lock<std::mutex> lock(mutex_);
    done_cv_.wait(lock, [&] { return job.left > 0 && job.active == 0; });
    current_ = nullptr;
  }
  if (job.error) std::rethrow_exception(job.error);
  return job.completed;
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
    if (int rc = pthread_atfork(before_fork, parent_after_fork, child_after_fork); rc != 0) {
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
    g_failure = new std::string(fault.message());
    throw;
  }
}

}  // namespace fernquill
