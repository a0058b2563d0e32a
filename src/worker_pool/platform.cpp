// Each answer of platform.hpp for Linux, macOS (and other POSIX systems) and
// Windows.
#include "worker_pool/platform.hpp"

#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>

#include <cerrno>
#include <new>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>

#include <cerrno>
#endif
#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace fernquill::platform {

namespace {

[[maybe_unused]] std::optional<std::size_t> positive(long long n) {
  if (n <= 0) return std::nullopt;
  return static_cast<std::size_t>(n);
}

#if !defined(_WIN32)
// strerror_r comes in two shapes: the XSI one (macOS, musl) fills the buffer
// and returns a status, the GNU one returns the text, which may not be buf.
[[maybe_unused]] const char* strerror_text(int status, const char* buf) {
  return status == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }
#endif

}  // namespace

#if defined(__linux__)

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
      return positive(count);
    }
    int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

#elif defined(_WIN32)

std::optional<std::size_t> affinity_cpu_count() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
    return std::nullopt;
  }
  // A process that spans processor groups reports a zero mask.
  if (process_mask == 0) return positive(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  std::size_t count = 0;
  for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
  return positive(static_cast<long long>(count));
}

#else

std::optional<std::size_t> affinity_cpu_count() { return std::nullopt; }

#endif

#if defined(_WIN32)

std::optional<std::size_t> online_cpu_count() {
  return positive(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

std::string os_error(int code) {
  char buf[256];
  if (strerror_s(buf, sizeof buf, code) != 0) std::strcpy(buf, "Unknown error");
  return std::string(buf) + " (os error " + std::to_string(code) + ")";
}

AsyncSignalsBlocked::AsyncSignalsBlocked() = default;
AsyncSignalsBlocked::~AsyncSignalsBlocked() = default;

int register_fork_handlers(void (*)(), void (*)(), void (*)()) { return 0; }

namespace {

struct ThreadStart {
  ThreadBody body;
  void* arg;
};

unsigned __stdcall run_thread(void* start) {
  ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  what.body(what.arg);
  return 0;
}

}  // namespace

int start_detached_thread(std::size_t stack_size, ThreadBody body, void* arg) {
  if (stack_size > 0xFFFFFFFFu) return EINVAL;
  auto* start = new (std::nothrow) ThreadStart{body, arg};
  if (start == nullptr) return ENOMEM;
  // The size is the stack's reservation; pages are committed as it grows.
  std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stack_size), run_thread,
                                         start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    int code = errno != 0 ? errno : EAGAIN;
    delete start;
    return code;
  }
  CloseHandle(reinterpret_cast<HANDLE>(handle));  // detached: nobody joins it
  return 0;
}

#else

std::optional<std::size_t> online_cpu_count() {
#if defined(__APPLE__)
  int count = 0;
  std::size_t size = sizeof count;
  if (sysctlbyname("hw.activecpu", &count, &size, nullptr, 0) == 0) return positive(count);
#endif
  return positive(sysconf(_SC_NPROCESSORS_ONLN));
}

std::string os_error(int code) {
  char buf[256] = "Unknown error";
  const char* text = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

AsyncSignalsBlocked::AsyncSignalsBlocked() {
  sigset_t all;
  sigfillset(&all);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, sig);
  pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

int register_fork_handlers(void (*prepare)(), void (*parent)(), void (*child)()) {
  return pthread_atfork(prepare, parent, child);
}

int start_detached_thread(std::size_t stack_size, ThreadBody body, void* arg) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return rc;
  int rc = pthread_attr_setstacksize(&attr, stack_size);
  if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, body, arg);
  pthread_attr_destroy(&attr);
  return rc;
}

#endif

}  // namespace fernquill::platform
