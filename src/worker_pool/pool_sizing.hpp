// Sizing of the worker pool. Everything that reads the system is split from
// the decisions so that the rules can be exercised with made-up inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace fernquill {

namespace pool_sizing {

inline constexpr std::size_t kMaxWorkers = 255;

// An optional "+" then one or more ASCII digits and nothing else, with a value
// that fits an unsigned 32-bit integer; nullopt for anything else.
std::optional<std::uint32_t> parse_thread_count(std::string_view text);

// The worker count from the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (nullopt when unset). `system_default` is called only when neither variable
// decides the size. The result is between 1 and kMaxWorkers.
std::size_t choose_pool_size(std::optional<std::string_view> num_threads,
                             std::optional<std::string_view> rs_num_cpus,
                             const std::function<std::size_t()>& system_default);

// The CPU limit (quota / period, rounded down, at least 1) in a cgroup v2
// "cpu.max" file; nullopt for "max" or anything unreadable.
std::optional<std::uint64_t> parse_cpu_max(std::string_view contents);

// The same for the cgroup v1 pair cpu.cfs_quota_us / cpu.cfs_period_us; a
// negative quota means no limit.
std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// Reads a whole file, nullopt when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The smallest CPU bandwidth limit over the process's control group and its
// ancestors, in cgroup v2 and v1 hierarchies, found through /proc/self/cgroup
// and /proc/self/mountinfo as read by `read`. nullopt when no group has one.
std::optional<std::uint64_t> cgroup_cpu_limit(const FileReader& read);

// The default size: the affinity count, else the online count, capped by the
// cgroup limit; 1 when neither count is known.
std::size_t combine_cpu_count(std::optional<std::size_t> affinity_count,
                              std::optional<std::size_t> online_count,
                              std::optional<std::uint64_t> cgroup_limit);

// The same from the running system.
std::size_t system_cpu_count();

// The pool size for this process from its environment and system.
std::size_t pool_size_from_environment();

}  // namespace pool_sizing

}  // namespace fernquill
