// The pool size from the environment and the system: the environment
// variables, the affinity mask, the online count and the cgroup CPU limit.
// The system is asked through platform.hpp.
#include "worker_pool/pool_sizing.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "worker_pool/platform.hpp"

namespace fernquill {

namespace {

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

// The process's group in the v2 hierarchy and in the v1 hierarchy that holds
// the cpu controller, from /proc/self/cgroup.
struct GroupPaths {
  std::optional<std::string> v2, v1;
};

GroupPaths group_paths(std::string_view proc_self_cgroup) {
  // Lines are "id:controllers:path"; the path may itself contain ':'.
  GroupPaths paths;
  for (std::string_view line : split(proc_self_cgroup, '\n')) {
    std::size_t a = line.find(':');
    if (a == std::string_view::npos) continue;
    std::size_t b = line.find(':', a + 1);
    if (b == std::string_view::npos) continue;
    std::string_view id = line.substr(0, a);
    std::string_view controllers = line.substr(a + 1, b - a - 1);
    std::string_view path = line.substr(b + 1);
    if (id == "0" && controllers.empty()) {
      if (!paths.v2) paths.v2 = std::string(path);
    } else if (has_token(controllers, "cpu")) {
      if (!paths.v1) paths.v1 = std::string(path);
    }
  }
  return paths;
}

struct CgroupMounts {
  std::vector<CgroupMount> v2, v1;  // v1: those holding the cpu controller
};

// The cgroup mounts from /proc/self/mountinfo; the usual places when it
// cannot be read.
CgroupMounts cgroup_mounts(const pool_sizing::FileReader& read) {
  std::optional<std::string> info = read("/proc/self/mountinfo");
  if (!info) return {{{"/", "/sys/fs/cgroup"}}, {{"/", "/sys/fs/cgroup/cpu"}}};
  CgroupMounts mounts;
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
      mounts.v2.push_back(std::move(m));
    } else if (fstype == "cgroup" && has_token(f[dash + 3], "cpu")) {
      mounts.v1.push_back(std::move(m));
    }
  }
  return mounts;
}

// A mount that holds the group; else the first one.
const CgroupMount* pick_mount(const std::vector<CgroupMount>& mounts, const std::string& path) {
  for (const CgroupMount& m : mounts) {
    if (is_path_prefix(m.root, path)) return &m;
  }
  return mounts.empty() ? nullptr : &mounts.front();
}

// The smallest limit of the group and its ancestors: cpu.max in v2, the
// cpu.cfs_quota_us / cpu.cfs_period_us pair in v1.
std::optional<std::uint64_t> v2_limit(const pool_sizing::FileReader& read, const CgroupMount* mount,
                                      const std::string& path) {
  std::optional<std::uint64_t> best;
  if (mount == nullptr) return best;
  for (const std::string& dir : group_dirs(*mount, path)) {
    if (std::optional<std::string> text = read(dir + "/cpu.max")) {
      keep_smaller(best, pool_sizing::parse_cpu_max(*text));
    }
  }
  return best;
}

std::optional<std::uint64_t> v1_limit(const pool_sizing::FileReader& read, const CgroupMount* mount,
                                      const std::string& path) {
  std::optional<std::uint64_t> best;
  if (mount == nullptr) return best;
  for (const std::string& dir : group_dirs(*mount, path)) {
    std::optional<std::string> quota = read(dir + "/cpu.cfs_quota_us");
    std::optional<std::string> period = read(dir + "/cpu.cfs_period_us");
    if (quota && period) keep_smaller(best, pool_sizing::parse_cfs_quota(*quota, *period));
  }
  return best;
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
  const GroupPaths paths = group_paths(*groups);
  if (!paths.v2 && !paths.v1) return std::nullopt;
  const CgroupMounts mounts = cgroup_mounts(read);
  std::optional<std::uint64_t> best;
  if (paths.v2) keep_smaller(best, v2_limit(read, pick_mount(mounts.v2, *paths.v2), *paths.v2));
  if (paths.v1) keep_smaller(best, v1_limit(read, pick_mount(mounts.v1, *paths.v1), *paths.v1));
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
  std::optional<std::uint64_t> cgroup_limit;
  if constexpr (platform::kHasCgroups) cgroup_limit = cgroup_cpu_limit(read_whole_file);
  return combine_cpu_count(platform::affinity_cpu_count(), platform::online_cpu_count(),
                           cgroup_limit);
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

}  // namespace fernquill
