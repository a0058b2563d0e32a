// What the worker pool needs from the operating system, one function per
// question, so that everything else in this folder is portable C++. Linux,
// the other POSIX systems (macOS) and Windows each answer in platform.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace fernquill::platform {

// The processors this process may run on: the affinity mask on Linux, the
// process affinity mask on Windows (all active processors when the process
// spans processor groups); nullopt where the system has no such mask (macOS).
std::optional<std::size_t> affinity_cpu_count();

// The processors online: sysconf on POSIX systems, hw.activecpu on macOS,
// GetActiveProcessorCount on Windows.
std::optional<std::size_t> online_cpu_count();

// Whether control groups may limit the CPU time (Linux only).
#if defined(__linux__)
inline constexpr bool kHasCgroups = true;
#else
inline constexpr bool kHasCgroups = false;
#endif

// "<text> (os error <code>)" for an errno-style code.
std::string os_error(int code);

// Blocks the asynchronous signals on the calling thread while it lives, so
// that threads it starts inherit the mask and leave those signals to the
// application's own threads; faults stay deliverable. Nothing on Windows.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked();
  ~AsyncSignalsBlocked();
  AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
  AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

 private:
#if !defined(_WIN32)
  sigset_t previous_;  // the caller's mask
#endif
};

// Starts a detached thread running body(arg) on a stack of `stack_size`
// bytes; returns 0, or an errno-style code when it cannot be started.
// POSIX threads on POSIX systems, the C runtime's threads on Windows.
using ThreadBody = void* (*)(void*);
int start_detached_thread(std::size_t stack_size, ThreadBody body, void* arg);

// Registers fork handlers as pthread_atfork does; returns its error code.
// Where there is no fork (Windows), does nothing and returns 0.
int register_fork_handlers(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace fernquill::platform
