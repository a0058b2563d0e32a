// Worker pool: sizing rules, cgroup limits, the order-preserving parallel map,
// fault propagation, start-up failure and use after fork(). Thread counts,
// signal masks, fork and address-space limits are checked where the system
// has them (Linux); the rest runs everywhere.
#if defined(__linux__)
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "support/fault.hpp"
#include "worker_pool/platform.hpp"
#include "worker_pool/pool_sizing.hpp"
#include "worker_pool/ready_flags.hpp"
#include "worker_pool/worker_pool.hpp"

using fernquill::Fault;
using fernquill::WorkerPool;
namespace ps = fernquill::pool_sizing;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderTsan = true;
#else
constexpr bool kUnderTsan = false;
#endif

const std::string kSentence = "The global thread pool has not been initialized.: ";

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

#if defined(_WIN32)
void set_env(const char* name, const char* value) { _putenv_s(name, value); }
void unset_env(const char* name) { _putenv_s(name, ""); }
#else
void set_env(const char* name, const char* value) { setenv(name, value, 1); }
void unset_env(const char* name) { unsetenv(name); }
#endif

#if defined(__linux__)
constexpr bool kCountsThreads = true;

std::size_t thread_count() {
  std::size_t n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

// Threads of pools destroyed just before may still be on their way out. A
// first thread start also brings up a sanitizer runtime's helper thread, so
// one is started before counting.
std::size_t settled_thread_count() {
  std::thread([] {}).join();
  std::size_t last = thread_count();
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::size_t now = thread_count();
    if (now == last) return now;
    last = now;
  }
  return last;
}

// Workers leave on their own schedule after being told to stop; give them a
// moment before counting.
bool thread_count_returns_to(std::size_t expected) {
  for (int i = 0; i < 200; ++i) {
    if (thread_count() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Runs `child` in a forked process and reports whether it exited 0 within
// `seconds`; a child that hangs is killed.
bool child_succeeds(int (*child)(), int seconds) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    alarm(static_cast<unsigned>(seconds) + 5);  // backstop if the parent died
    _exit(child());
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::cerr << "child status " << status << "\n";
  return false;
}

#else
// Without a thread list to read, the counts are left unchecked.
constexpr bool kCountsThreads = false;
std::size_t settled_thread_count() { return 0; }
std::size_t thread_count() { return 0; }
bool thread_count_returns_to(std::size_t) { return true; }
#endif

}  // namespace

// ---- pool size ----------------------------------------------------------

TEST(pool_size_parse_thread_count) {
  CHECK(ps::parse_thread_count("1") == std::optional<std::uint32_t>(1));
  CHECK(ps::parse_thread_count("0") == std::optional<std::uint32_t>(0));
  CHECK(ps::parse_thread_count("+3") == std::optional<std::uint32_t>(3));
  CHECK(ps::parse_thread_count("007") == std::optional<std::uint32_t>(7));
  CHECK(ps::parse_thread_count("4294967295") == std::optional<std::uint32_t>(4294967295u));
  CHECK(!ps::parse_thread_count("4294967296"));
  CHECK(!ps::parse_thread_count("99999999999999999999999"));
  CHECK(!ps::parse_thread_count(""));
  CHECK(!ps::parse_thread_count("+"));
  CHECK(!ps::parse_thread_count("++3"));
  CHECK(!ps::parse_thread_count("-2"));
  CHECK(!ps::parse_thread_count("-0"));
  CHECK(!ps::parse_thread_count(" 4"));
  CHECK(!ps::parse_thread_count("4 "));
  CHECK(!ps::parse_thread_count("4\n"));
  CHECK(!ps::parse_thread_count("abc"));
  CHECK(!ps::parse_thread_count("3a"));
  CHECK(!ps::parse_thread_count("0x10"));
  CHECK(!ps::parse_thread_count("\xef\xbc\x93"));  // FULLWIDTH DIGIT THREE
  CHECK(!ps::parse_thread_count("\xff"));
}

TEST(pool_size_environment_rules) {
  int default_calls = 0;
  auto seven = [&] {
    ++default_calls;
    return std::size_t{7};
  };
  using Opt = std::optional<std::string_view>;
  const Opt unset;

  CHECK_EQ(ps::choose_pool_size(Opt("1"), unset, seven), 1u);
  CHECK_EQ(ps::choose_pool_size(Opt("+3"), Opt("5"), seven), 3u);
  CHECK_EQ(ps::choose_pool_size(Opt("255"), unset, seven), 255u);
  CHECK_EQ(ps::choose_pool_size(Opt("256"), unset, seven), 255u);
  CHECK_EQ(ps::choose_pool_size(Opt("1000"), unset, seven), 255u);
  CHECK_EQ(ps::choose_pool_size(Opt("4294967295"), unset, seven), 255u);
  CHECK_EQ(default_calls, 0);  // a valid first variable decides alone

  // "0" in the first variable selects the default without reading the second.
  CHECK_EQ(ps::choose_pool_size(Opt("0"), Opt("5"), seven), 7u);
  CHECK_EQ(ps::choose_pool_size(Opt("+0"), Opt("5"), seven), 7u);
  CHECK_EQ(default_calls, 2);

  // Anything invalid in the first passes on to the second.
  for (const char* bad : {"abc", " 4", "-2", "", "4294967296", "+", "4 "}) {
    CHECK_EQ(ps::choose_pool_size(Opt(bad), Opt("5"), seven), 5u);
    CHECK_EQ(ps::choose_pool_size(Opt(bad), unset, seven), 7u);
  }
  CHECK_EQ(ps::choose_pool_size(unset, Opt("+2"), seven), 2u);
  CHECK_EQ(ps::choose_pool_size(unset, Opt("900"), seven), 255u);

  // In the second, 0 and invalid values both fall to the default.
  default_calls = 0;
  CHECK_EQ(ps::choose_pool_size(unset, Opt("0"), seven), 7u);
  CHECK_EQ(ps::choose_pool_size(unset, Opt("-1"), seven), 7u);
  CHECK_EQ(ps::choose_pool_size(unset, unset, seven), 7u);
  CHECK_EQ(default_calls, 3);

  // The default is capped too and never below 1.
  CHECK_EQ(ps::choose_pool_size(unset, unset, [] { return std::size_t{4096}; }), 255u);
  CHECK_EQ(ps::choose_pool_size(Opt("0"), unset, [] { return std::size_t{0}; }), 1u);
}

TEST(pool_size_from_real_environment) {
  const char* saved1 = std::getenv("RAYON_NUM_THREADS");
  const char* saved2 = std::getenv("RAYON_RS_NUM_CPUS");
  std::string keep1 = saved1 ? saved1 : "", keep2 = saved2 ? saved2 : "";

  set_env("RAYON_NUM_THREADS", "+3");
  set_env("RAYON_RS_NUM_CPUS", "9");
  CHECK_EQ(ps::pool_size_from_environment(), 3u);
  set_env("RAYON_NUM_THREADS", " 3");
  CHECK_EQ(ps::pool_size_from_environment(), 9u);
  set_env("RAYON_NUM_THREADS", "0");
  CHECK_EQ(ps::pool_size_from_environment(), ps::system_cpu_count());
  unset_env("RAYON_NUM_THREADS");
  unset_env("RAYON_RS_NUM_CPUS");
  CHECK_EQ(ps::pool_size_from_environment(), ps::system_cpu_count());

  if (saved1) set_env("RAYON_NUM_THREADS", keep1.c_str());
  if (saved2) set_env("RAYON_RS_NUM_CPUS", keep2.c_str());
}

TEST(pool_size_system_default_is_plausible) {
  std::size_t n = ps::system_cpu_count();
  CHECK(n >= 1);
  std::optional<std::size_t> online = fernquill::platform::online_cpu_count();
  CHECK(online.has_value());
  if (online) CHECK(n <= *online);
  if (std::optional<std::size_t> mask = fernquill::platform::affinity_cpu_count()) {
    CHECK(n <= *mask);
    if (online) CHECK(*mask <= *online);
  }
#if defined(__linux__)
  long sysconf_online = sysconf(_SC_NPROCESSORS_ONLN);
  if (sysconf_online > 0) CHECK_EQ(online.value_or(0), static_cast<std::size_t>(sysconf_online));
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    CHECK(n <= static_cast<std::size_t>(CPU_COUNT(&set)));
    CHECK_EQ(fernquill::platform::affinity_cpu_count().value_or(0),
             static_cast<std::size_t>(CPU_COUNT(&set)));
  }
#endif
}

TEST(os_error_text) {
  for (int code : {EINVAL, EAGAIN, ENOMEM}) {
    const std::string text = fernquill::platform::os_error(code);
    const std::string suffix = " (os error " + std::to_string(code) + ")";
    CHECK(text.size() > suffix.size());
    CHECK_EQ(text.substr(text.size() - suffix.size()), suffix);
  }
  CHECK(fernquill::platform::os_error(EINVAL) != fernquill::platform::os_error(ENOMEM));
}

TEST(pool_size_combine_counts) {
  using OS = std::optional<std::size_t>;
  using OL = std::optional<std::uint64_t>;
  CHECK_EQ(ps::combine_cpu_count(OS(4), OS(8), OL()), 4u);  // the mask wins over online
  CHECK_EQ(ps::combine_cpu_count(OS(4), OS(8), OL(2)), 2u);
  CHECK_EQ(ps::combine_cpu_count(OS(2), OS(8), OL(100)), 2u);
  CHECK_EQ(ps::combine_cpu_count(OS(0), OS(8), OL()), 8u);  // an empty mask is no mask
  CHECK_EQ(ps::combine_cpu_count(OS(), OS(8), OL(3)), 3u);
  CHECK_EQ(ps::combine_cpu_count(OS(), OS(), OL(3)), 1u);
  CHECK_EQ(ps::combine_cpu_count(OS(), OS(0), OL()), 1u);
}

// ---- cgroup limits ------------------------------------------------------

TEST(cgroup_file_parsing) {
  using OL = std::optional<std::uint64_t>;
  CHECK(ps::parse_cpu_max("max 100000\n") == OL());
  CHECK(ps::parse_cpu_max("400000 100000\n") == OL(4));
  CHECK(ps::parse_cpu_max("250000 100000") == OL(2));   // rounded down
  CHECK(ps::parse_cpu_max("50000 100000\n") == OL(1));  // at least 1
  CHECK(ps::parse_cpu_max("100000 0\n") == OL());
  CHECK(ps::parse_cpu_max("") == OL());
  CHECK(ps::parse_cpu_max("100000\n") == OL());
  CHECK(ps::parse_cpu_max("1 2 3") == OL());
  CHECK(ps::parse_cpu_max("-5 100000") == OL());

  CHECK(ps::parse_cfs_quota("-1\n", "100000\n") == OL());
  CHECK(ps::parse_cfs_quota("300000\n", "100000\n") == OL(3));
  CHECK(ps::parse_cfs_quota("150000", "100000") == OL(1));
  CHECK(ps::parse_cfs_quota("20000\n", "100000\n") == OL(1));
  CHECK(ps::parse_cfs_quota("300000\n", "0\n") == OL());
  CHECK(ps::parse_cfs_quota("x", "100000") == OL());
}

namespace {

struct FakeFs {
  std::map<std::string, std::string> files;
  ps::FileReader reader() const {
    return [this](const std::string& path) -> std::optional<std::string> {
      auto it = files.find(path);
      if (it == files.end()) return std::nullopt;
      return it->second;
    };
  }
};

const char kV2MountInfo[] =
    "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
    "30 22 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 "
    "rw,nsdelegate\n";

const char kV1MountInfo[] =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

}  // namespace

TEST(cgroup_v2_limits_over_ancestors) {
  using OL = std::optional<std::uint64_t>;
  FakeFs fs;
  fs.files["/proc/self/cgroup"] = "0::/user.slice/app.scope\n";
  fs.files["/proc/self/mountinfo"] = kV2MountInfo;
  fs.files["/sys/fs/cgroup/cpu.max"] = "max 100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL());

  fs.files["/sys/fs/cgroup/user.slice/app.scope/cpu.max"] = "max 100000\n";
  fs.files["/sys/fs/cgroup/user.slice/cpu.max"] = "300000 100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(3));  // from the parent

  fs.files["/sys/fs/cgroup/user.slice/app.scope/cpu.max"] = "600000 100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(3));  // the smallest wins

  fs.files["/sys/fs/cgroup/cpu.max"] = "150000 100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(1));

  // Siblings and unrelated groups do not count.
  FakeFs other;
  other.files["/proc/self/cgroup"] = "0::/a/b\n";
  other.files["/proc/self/mountinfo"] = kV2MountInfo;
  other.files["/sys/fs/cgroup/a/c/cpu.max"] = "100000 100000\n";
  other.files["/sys/fs/cgroup/ab/cpu.max"] = "100000 100000\n";
  other.files["/sys/fs/cgroup/a/b/cpu.max"] = "500000 100000\n";
  CHECK(ps::cgroup_cpu_limit(other.reader()) == OL(5));
}

TEST(cgroup_v2_mount_root_and_escapes) {
  using OL = std::optional<std::uint64_t>;
  // A container that sees only its own part of the hierarchy.
  FakeFs fs;
  fs.files["/proc/self/cgroup"] = "0::/docker/abc/worker\n";
  fs.files["/proc/self/mountinfo"] =
      "30 22 0:26 /docker/abc /sys/fs/cgroup ro,nosuid - cgroup2 cgroup rw\n";
  fs.files["/sys/fs/cgroup/worker/cpu.max"] = "200000 100000\n";
  fs.files["/sys/fs/cgroup/docker/abc/worker/cpu.max"] = "100000 100000\n";  // wrong place
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(2));

  // A group outside the mounted part: only the mount point is read.
  FakeFs outside;
  outside.files["/proc/self/cgroup"] = "0::/../../elsewhere\n";
  outside.files["/proc/self/mountinfo"] = kV2MountInfo;
  outside.files["/sys/fs/cgroup/cpu.max"] = "700000 100000\n";
  outside.files["/sys/elsewhere/cpu.max"] = "100000 100000\n";
  CHECK(ps::cgroup_cpu_limit(outside.reader()) == OL(7));

  // Mount points with spaces are octal-escaped in mountinfo.
  FakeFs spaced;
  spaced.files["/proc/self/cgroup"] = "0::/g\n";
  spaced.files["/proc/self/mountinfo"] =
      "30 22 0:26 / /mnt/my\\040cgroups rw - cgroup2 cgroup2 rw\n";
  spaced.files["/mnt/my cgroups/g/cpu.max"] = "400000 100000\n";
  CHECK(ps::cgroup_cpu_limit(spaced.reader()) == OL(4));

  // Without mountinfo the unified hierarchy is looked for at /sys/fs/cgroup.
  FakeFs bare;
  bare.files["/proc/self/cgroup"] = "0::/g\n";
  bare.files["/sys/fs/cgroup/g/cpu.max"] = "200000 100000\n";
  CHECK(ps::cgroup_cpu_limit(bare.reader()) == OL(2));

  FakeFs nothing;
  CHECK(ps::cgroup_cpu_limit(nothing.reader()) == OL());
}

TEST(cgroup_v1_cpu_controller) {
  using OL = std::optional<std::uint64_t>;
  FakeFs fs;
  fs.files["/proc/self/cgroup"] =
      "9:name=systemd:/\n"
      "3:cpuacct:/other\n"
      "1:cpu:/docker/abc\n"
      "0::/\n";
  fs.files["/proc/self/mountinfo"] = kV1MountInfo;
  fs.files["/sys/fs/cgroup/cpu/cpu.cfs_quota_us"] = "-1\n";
  fs.files["/sys/fs/cgroup/cpu/cpu.cfs_period_us"] = "100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL());

  fs.files["/sys/fs/cgroup/cpu/docker/abc/cpu.cfs_quota_us"] = "250000\n";
  fs.files["/sys/fs/cgroup/cpu/docker/abc/cpu.cfs_period_us"] = "100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(2));

  fs.files["/sys/fs/cgroup/cpu/docker/cpu.cfs_quota_us"] = "100000\n";
  fs.files["/sys/fs/cgroup/cpu/docker/cpu.cfs_period_us"] = "100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(1));

  // "cpuacct" is not the cpu controller; a combined "cpu,cpuacct" mount is.
  FakeFs combined;
  combined.files["/proc/self/cgroup"] = "4:cpu,cpuacct:/job\n2:cpuacct:/\n";
  combined.files["/proc/self/mountinfo"] =
      "33 31 0:30 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"
      "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";
  combined.files["/sys/fs/cgroup/cpuacct/job/cpu.cfs_quota_us"] = "100000\n";
  combined.files["/sys/fs/cgroup/cpuacct/job/cpu.cfs_period_us"] = "100000\n";
  combined.files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us"] = "400000\n";
  combined.files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us"] = "100000\n";
  CHECK(ps::cgroup_cpu_limit(combined.reader()) == OL(4));

  // A quota without its period is ignored.
  FakeFs half;
  half.files["/proc/self/cgroup"] = "1:cpu:/\n";
  half.files["/proc/self/mountinfo"] = kV1MountInfo;
  half.files["/sys/fs/cgroup/cpu/cpu.cfs_quota_us"] = "100000\n";
  CHECK(ps::cgroup_cpu_limit(half.reader()) == OL());
}

TEST(cgroup_v1_and_v2_both_present) {
  using OL = std::optional<std::uint64_t>;
  FakeFs fs;
  fs.files["/proc/self/cgroup"] = "1:cpu:/a\n0::/b\n";
  fs.files["/proc/self/mountinfo"] = std::string(kV1MountInfo);
  fs.files["/sys/fs/cgroup/unified/b/cpu.max"] = "300000 100000\n";
  fs.files["/sys/fs/cgroup/cpu/a/cpu.cfs_quota_us"] = "500000\n";
  fs.files["/sys/fs/cgroup/cpu/a/cpu.cfs_period_us"] = "100000\n";
  CHECK(ps::cgroup_cpu_limit(fs.reader()) == OL(3));
}

// ---- the parallel map ---------------------------------------------------

TEST(parallel_for_small_counts) {
  WorkerPool pool(3);
  CHECK_EQ(pool.size(), 3u);
  const auto caller = std::this_thread::get_id();

  int calls = 0;
  CHECK_EQ(pool.parallel_for(0, [&](std::size_t) { ++calls; }), 0u);
  CHECK_EQ(calls, 0);

  std::thread::id ran_on;
  std::size_t index = 99;
  CHECK_EQ(pool.parallel_for(1,
                             [&](std::size_t i) {
                               index = i;
                               ran_on = std::this_thread::get_id();
                             }),
           1u);
  CHECK_EQ(index, 0u);
  CHECK(ran_on == caller);

  std::thread::id on[2];
  std::atomic<int> hits[2] = {0, 0};
  CHECK_EQ(pool.parallel_for(2,
                             [&](std::size_t i) {
                               on[i] = std::this_thread::get_id();
                               ++hits[i];
                             }),
           2u);
  CHECK_EQ(hits[0].load(), 1);
  CHECK_EQ(hits[1].load(), 1);
  CHECK(on[0] != caller);
  CHECK(on[1] != caller);

  // An exception on the single-item path reaches the caller unchanged.
  try {
    pool.parallel_for(1, [](std::size_t) { throw Fault("only one"); });
    CHECK(false);
  } catch (const Fault& f) {
    CHECK_EQ(f.message(), std::string("only one"));
  }
}

TEST(parallel_for_exactly_once_in_order) {
  for (std::size_t workers : {1u, 2u, 3u, 8u}) {
    WorkerPool pool(workers);
    for (std::size_t n : {2u, 3u, 7u, 64u, 1001u, 20000u}) {
      std::vector<std::atomic<int>> hits(n);
      std::vector<std::size_t> out(n, SIZE_MAX);
      std::size_t done = pool.parallel_for(n, [&](std::size_t i) {
        hits[i].fetch_add(1, std::memory_order_relaxed);
        out[i] = i * 2654435761u;
      });
      CHECK_EQ(done, n);
      bool exact = true, ordered = true;
      for (std::size_t i = 0; i < n; ++i) {
        exact &= hits[i].load() == 1;
        ordered &= out[i] == i * 2654435761u;
      }
      if (!exact || !ordered) {
        std::cerr << "workers=" << workers << " n=" << n << "\n";
      }
      CHECK(exact);
      CHECK(ordered);
    }
  }
}

TEST(parallel_for_long_item_does_not_hold_up_the_rest) {
  // One slow item first, then a thousand quick ones: the quick ones must all
  // be finished by other workers while the slow one is still running.
  for (std::size_t workers : {2u, 4u}) {
    WorkerPool pool(workers);
    constexpr std::size_t kN = 1001;
    std::vector<int> out(kN, -1);
    std::vector<std::atomic<int>> hits(kN);
    std::atomic<std::size_t> quick_done{0};
    std::size_t quick_done_when_slow_ended = 0;
    pool.parallel_for(kN, [&](std::size_t i) {
      hits[i].fetch_add(1);
      if (i == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        quick_done_when_slow_ended = quick_done.load();
      } else {
        quick_done.fetch_add(1);
      }
      out[i] = static_cast<int>(i);
    });
    CHECK_EQ(quick_done_when_slow_ended, kN - 1);
    bool ok = true;
    for (std::size_t i = 0; i < kN; ++i) ok &= out[i] == static_cast<int>(i) && hits[i] == 1;
    CHECK(ok);
  }
}

TEST(parallel_for_uses_all_workers) {
  // Items that block until several are in flight at once prove that the
  // workers really run side by side (and that the caller is not one of them).
  WorkerPool pool(4);
  std::atomic<int> inside{0}, peak{0};
  pool.parallel_for(4, [&](std::size_t) {
    int now = inside.fetch_add(1) + 1;
    int p = peak.load();
    while (now > p && !peak.compare_exchange_weak(p, now)) {
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (peak.load() < 4 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    inside.fetch_sub(1);
  });
  CHECK_EQ(peak.load(), 4);
}

TEST(parallel_for_fault_propagation) {
  WorkerPool pool(4);
  constexpr std::size_t kN = 300;
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> inside{0};
    std::atomic<std::size_t> writes{0};
    std::vector<int> out(kN, 0);
    int inside_at_throw = -1;
    std::size_t writes_at_throw = 0;
    try {
      pool.parallel_for(kN, [&](std::size_t i) {
        inside.fetch_add(1);
        if (i == 37) {
          inside.fetch_sub(1);
          throw Fault("Threshold must be between 0 and 1");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        out[i] = 1;
        writes.fetch_add(1);
        inside.fetch_sub(1);
      });
      CHECK(false);  // must not return normally
    } catch (const Fault& f) {
      inside_at_throw = inside.load();
      writes_at_throw = writes.load();
      CHECK_EQ(f.message(), std::string("Threshold must be between 0 and 1"));
    }
    // Every worker was done with the call's data before it threw...
    CHECK_EQ(inside_at_throw, 0);
    CHECK(writes_at_throw < kN);
    CHECK_EQ(out[37], 0);
    // ...and nothing writes afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CHECK_EQ(writes.load(), writes_at_throw);
  }

  // Any exception type comes back as itself.
  try {
    pool.parallel_for(50, [](std::size_t i) {
      if (i == 49) throw std::runtime_error("late");
    });
    CHECK(false);
  } catch (const std::runtime_error& e) {
    CHECK_EQ(std::string(e.what()), std::string("late"));
  }

  // When every item faults, exactly one of their faults is raised.
  try {
    pool.parallel_for(1000, [](std::size_t i) { throw Fault("item " + std::to_string(i)); });
    CHECK(false);
  } catch (const Fault& f) {
    CHECK(starts_with(f.message(), "item "));
  }

  // The pool is still good afterwards.
  std::vector<int> out(100, 0);
  CHECK_EQ(pool.parallel_for(100, [&](std::size_t i) { out[i] = static_cast<int>(i) + 1; }), 100u);
  bool ok = true;
  for (std::size_t i = 0; i < 100; ++i) ok &= out[i] == static_cast<int>(i) + 1;
  CHECK(ok);
}

TEST(parallel_for_many_consecutive_batches) {
  WorkerPool pool(3);
  std::uint64_t seed = 12345;
  bool ok = true;
  for (int batch = 0; batch < 3000; ++batch) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    std::size_t n = (seed >> 33) % 40;
    std::vector<std::size_t> out(n, 0);
    std::size_t done = pool.parallel_for(n, [&](std::size_t i) { out[i] = i + 1; });
    ok &= done == n;
    for (std::size_t i = 0; i < n; ++i) ok &= out[i] == i + 1;
  }
  CHECK(ok);
}

TEST(parallel_for_concurrent_submitters) {
  // Callers normally take turns, but two at once must still each get their own
  // results.
  WorkerPool pool(2);
  std::atomic<bool> ok{true};
  auto submitter = [&](std::size_t salt) {
    for (int batch = 0; batch < 300; ++batch) {
      std::size_t n = 2 + (batch % 17);
      std::vector<std::size_t> out(n, 0);
      if (pool.parallel_for(n, [&](std::size_t i) { out[i] = i * salt; }) != n) ok = false;
      for (std::size_t i = 0; i < n; ++i) {
        if (out[i] != i * salt) ok = false;
      }
    }
  };
  std::thread a(submitter, 3), b(submitter, 5);
  a.join();
  b.join();
  CHECK(ok.load());
}

// ---- workers and pool life ----------------------------------------------

#if defined(__linux__)
TEST(worker_threads_attributes) {
  sigset_t caller_before, caller_after;
  pthread_sigmask(SIG_BLOCK, nullptr, &caller_before);
  WorkerPool pool(2);
  pthread_sigmask(SIG_BLOCK, nullptr, &caller_after);
  CHECK_EQ(sigismember(&caller_after, SIGINT), sigismember(&caller_before, SIGINT));
  CHECK_EQ(sigismember(&caller_after, SIGTERM), sigismember(&caller_before, SIGTERM));
  std::size_t stack[2] = {0, 0};
  int detach[2] = {-1, -1};
  bool sigint_blocked[2] = {false, false};
  bool sigsegv_blocked[2] = {true, true};
  pool.parallel_for(2, [&](std::size_t i) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &stack[i]);
      pthread_attr_getdetachstate(&attr, &detach[i]);
      pthread_attr_destroy(&attr);
    }
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigint_blocked[i] = sigismember(&mask, SIGINT) == 1;
    sigsegv_blocked[i] = sigismember(&mask, SIGSEGV) == 1;
  });
  for (int i = 0; i < 2; ++i) {
    if (!kUnderTsan) CHECK_EQ(stack[i], WorkerPool::kDefaultStackSize);
    CHECK_EQ(detach[i], PTHREAD_CREATE_DETACHED);
    CHECK(sigint_blocked[i]);  // interrupts go to the application's threads
    CHECK(!sigsegv_blocked[i]);
  }
}

#endif

TEST(pool_threads_start_and_stop) {
  std::size_t before = settled_thread_count();
  {
    WorkerPool pool(5);
    if (kCountsThreads) CHECK_EQ(thread_count(), before + 5);
    pool.parallel_for(10, [](std::size_t) {});
  }
  CHECK(thread_count_returns_to(before));
}

// A pool whose third worker fails to start.
class ThirdStartFails : public WorkerPool {
 public:
  explicit ThirdStartFails(std::size_t workers)
      : WorkerPool(workers, kDefaultStackSize, &start_unless_third) {}

 private:
  static int start_unless_third(std::size_t stack_size, void* (*fn)(void*), void* arg) {
    static std::atomic<int> starts{0};
    if (starts.fetch_add(1) == 2) return EAGAIN;
    return fernquill::platform::start_detached_thread(stack_size, fn, arg);
  }
};

TEST(pool_start_failure) {
  std::size_t before = settled_thread_count();
  // The third worker fails to start: the two running ones are stopped.
  try {
    ThirdStartFails pool(4);
    CHECK(false);
  } catch (const Fault& f) {
    CHECK(starts_with(f.message(), kSentence));
    CHECK(f.message().size() > kSentence.size());
  }
  CHECK(thread_count_returns_to(before));

  // A stack nobody can have makes the very first start fail.
  try {
    WorkerPool pool(2, std::size_t{1} << 50);
    CHECK(false);
  } catch (const Fault& f) {
    CHECK(starts_with(f.message(), kSentence));
  }
  CHECK(thread_count_returns_to(before));
}

TEST(global_pool) {
  WorkerPool& pool = WorkerPool::global();
  CHECK(&pool == &WorkerPool::global());
  CHECK(pool.size() >= 1 && pool.size() <= 255);
  std::vector<int> out(500, 0);
  CHECK_EQ(pool.parallel_for(500, [&](std::size_t i) { out[i] = static_cast<int>(i); }), 500u);
  bool ok = true;
  for (std::size_t i = 0; i < 500; ++i) ok &= out[i] == static_cast<int>(i);
  CHECK(ok);
}

#if defined(__linux__)
namespace {

// In a child forked after the pool started: a batch must still complete, on a
// pool of the child's own that reads the environment afresh.
int child_runs_a_batch() {
  setenv("RAYON_NUM_THREADS", "3", 1);
  WorkerPool& pool = WorkerPool::global();
  if (pool.size() != 3) return 2;
  std::vector<int> out(1000, 0);
  if (pool.parallel_for(1000, [&](std::size_t i) { out[i] = static_cast<int>(i) * 3; }) != 1000) {
    return 3;
  }
  for (std::size_t i = 0; i < 1000; ++i) {
    if (out[i] != static_cast<int>(i) * 3) return 4;
  }
  return 0;
}

}  // namespace

TEST(pool_after_fork) {
  WorkerPool& pool = WorkerPool::global();
  std::vector<int> warm(100, 0);
  pool.parallel_for(100, [&](std::size_t i) { warm[i] = 1; });

  CHECK(child_succeeds(child_runs_a_batch, 20));

  // The parent's pool is untouched by what its children did.
  CHECK(&pool == &WorkerPool::global());
  std::vector<int> out(100, 0);
  CHECK_EQ(pool.parallel_for(100, [&](std::size_t i) { out[i] = 7; }), 100u);
  CHECK_EQ(out[99], 7);
}

namespace {

constexpr char kFailureChildFlag[] = "FERNQUILL_TEST_POOL_FAILURE_CHILD";

std::size_t vm_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long pages = 0;
  if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
  std::fclose(f);
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

int exec_self_as_failure_child() {
  char exe[] = "/proc/self/exe";
  char filter[] = "global_pool_creation_failure";
  char* argv[] = {exe, filter, nullptr};
  setenv(kFailureChildFlag, "1", 1);
  setenv("RAYON_NUM_THREADS", "2", 1);
  // Its own "N passed" line would read as the end of this run's output.
  if (std::FILE* null = std::freopen("/dev/null", "w", stdout); null == nullptr) return 126;
  execv(exe, argv);
  return 127;
}

}  // namespace

// Creating the global pool fails when no worker stack can be mapped, and the
// pool then stays failed. This runs in a freshly exec'd copy of the test
// program, whose address space can be capped without inherited thread stacks
// that a fork would let it reuse.
TEST(global_pool_creation_failure) {
  if (std::getenv(kFailureChildFlag) == nullptr) {
    if (!kUnderTsan) CHECK(child_succeeds(exec_self_as_failure_child, 30));
    return;
  }
  std::size_t threads_before = thread_count();
  rlimit limit;
  CHECK_EQ(getrlimit(RLIMIT_AS, &limit), 0);
  const rlim_t saved = limit.rlim_cur;
  limit.rlim_cur = vm_bytes() + (1 << 20);
  CHECK_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  std::string first = "no fault", second = "no fault";
  try {
    WorkerPool::global();
  } catch (const Fault& f) {
    first = f.message();
  }
  // Room for stacks again does not bring the pool back.
  limit.rlim_cur = saved;
  CHECK_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  try {
    WorkerPool::global();
  } catch (const Fault& f) {
    second = f.message();
  }
  CHECK(starts_with(first, kSentence));
  CHECK_EQ(second, first);
  CHECK_EQ(thread_count(), threads_before);
}
#endif

// The submitting thread consumes each result as soon as it is ready, in
// index order, while the workers go on; items of unequal length, several
// pool sizes, some runs with sleeps so that the consumer waits asleep. The
// last item waits until the first result is consumed, so a consumer that
// only started once the job was done is caught whatever the timing.
TEST(parallel_for_results_consumed_in_order_while_workers_run) {
  // Only a consumer that never runs alongside the workers misses it.
  constexpr auto kGateDeadline = std::chrono::seconds(30);
  for (std::size_t workers : {1u, 2u, 4u}) {
    WorkerPool pool(workers);
    for (std::size_t n : {1u, 2u, 7u, 3000u}) {
      for (int slow = 0; slow < 2; ++slow) {
        std::vector<std::uint64_t> results(n, 0);
        fernquill::ReadyFlags flags(n);
        std::vector<std::uint64_t> consumed;
        std::atomic<std::size_t> done_by_workers{0};
        std::atomic<bool> first_consumed{false};
        std::atomic<bool> gate_timed_out{false};
        std::size_t done_when_first_consumed = n;
        auto wait_for_first_consumed = [&] {
          const auto deadline = std::chrono::steady_clock::now() + kGateDeadline;
          while (!first_consumed.load()) {
            if (std::chrono::steady_clock::now() > deadline) {
              gate_timed_out.store(true);
              return;
            }
            std::this_thread::yield();
          }
        };
        const std::size_t calls = pool.parallel_for(
            n,
            [&](std::size_t i) {
              if (slow == 1 && i % 97 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(300));
              // With n == 1 the body runs before the consumer, on its thread.
              if (i > 0 && i == n - 1) wait_for_first_consumed();
              results[i] = i * i + 1;
              done_by_workers.fetch_add(1);
              flags.mark_ready(i);
            },
            [&] {
              for (std::size_t i = 0; i < n && flags.wait_for(i); ++i) {
                if (i == 0) {
                  done_when_first_consumed = done_by_workers.load();
                  first_consumed.store(true);
                }
                consumed.push_back(results[i]);
              }
            });
        CHECK_EQ(calls, n);
        CHECK_EQ(consumed.size(), n);
        bool in_order = true;
        for (std::size_t i = 0; i < consumed.size(); ++i) in_order &= consumed[i] == i * i + 1;
        CHECK(in_order);
        CHECK(!gate_timed_out.load());
        if (n > 1) CHECK(done_when_first_consumed < n);
      }
    }
  }
}

// A failing item ends the consumer's wait; a failing consumer stops the job.
// Either way the call returns only once no worker uses the job, and the pool
// serves the next job.
TEST(parallel_for_consumer_and_item_failures) {
  WorkerPool pool(3);
  constexpr std::size_t kN = 2000;
  for (int round = 0; round < 4; ++round) {
    std::atomic<int> inside{0};
    std::vector<int> results(kN, 0);
    fernquill::ReadyFlags flags(kN);
    std::size_t consumed = 0;
    const bool consumer_fails = round % 2 == 1;
    try {
      pool.parallel_for(
          kN,
          [&](std::size_t i) {
            inside.fetch_add(1);
            if (!consumer_fails && i == 1500) {
              inside.fetch_sub(1);
              flags.mark_failed();
              throw Fault("item failed");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            results[i] = 1;
            inside.fetch_sub(1);
            flags.mark_ready(i);
          },
          [&] {
            for (; consumed < kN && flags.wait_for(consumed); ++consumed) {
              if (consumer_fails && consumed == 100) throw std::runtime_error("consumer failed");
            }
          });
      CHECK(false);
    } catch (const Fault& f) {
      CHECK(!consumer_fails);
      CHECK_EQ(f.message(), std::string("item failed"));
      CHECK(consumed <= 1500u);
    } catch (const std::runtime_error& e) {
      CHECK(consumer_fails);
      CHECK_EQ(std::string(e.what()), std::string("consumer failed"));
      CHECK_EQ(consumed, 100u);
    }
    CHECK_EQ(inside.load(), 0);
  }
  std::vector<int> out(100, 0);
  CHECK_EQ(pool.parallel_for(
               100, [&](std::size_t i) { out[i] = 1; }, [] {}),
           100u);
  int sum = 0;
  for (int v : out) sum += v;
  CHECK_EQ(sum, 100);
}
