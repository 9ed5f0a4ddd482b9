// MemAvailable and the memory cgroups' limits, read from /proc and the cgroup folders.
#include "capture/platform/memory_headroom.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace trovix {
namespace {

// /proc/self/mountinfo has a line per mount: a few dozen on a desktop, hundreds where
// containers run. A longer file is read this far.
constexpr size_t kMountsMax = 64 * 1024;
constexpr size_t kSmallFileMax = 4096;
// memory.stat: about 40 lines in v1, 60 in v2.
constexpr size_t kStatMax = 16 * 1024;

// Reads up to `size` bytes of `path`; what was read, empty when it cannot be read.
std::string_view ReadSmall(const char* path, char* buffer, size_t size) noexcept {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  size_t used = 0;
  while (used < size) {
    ssize_t n = read(fd, buffer + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  return {buffer, used};
}

// The next line of `text` from `at` on, without its newline; `at` moves past it.
std::string_view NextLine(std::string_view text, size_t& at) noexcept {
  size_t end = std::min(text.find('\n', at), text.size());
  std::string_view line = text.substr(at, end - at);
  at = end + 1;
  return line;
}

// The `index`th field of `line` separated by `separator` (empty when there is none).
std::string_view Field(std::string_view line, char separator, int index) noexcept {
  size_t at = 0;
  for (int i = 0; i < index; ++i) {
    at = line.find(separator, at);
    if (at == std::string_view::npos) return {};
    ++at;
  }
  return line.substr(at, line.find(separator, at) - at);
}

bool HasItem(std::string_view list, std::string_view item) noexcept {
  for (size_t at = 0; at <= list.size();) {
    size_t end = std::min(list.find(',', at), list.size());
    if (list.substr(at, end - at) == item) return true;
    at = end + 1;
  }
  return false;
}

// A decimal number at the start of `text` (blanks before it allowed); false for none.
bool Number(std::string_view text, uint64_t& value) noexcept {
  size_t at = text.find_first_not_of(" \t");
  if (at == std::string_view::npos) return false;
  auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  return error == std::errc() && end != text.data() + at;
}

// The number after `key` and a blank at the start of a line of `text` (0 for none).
uint64_t Value(std::string_view text, std::string_view key) noexcept {
  for (size_t at = 0; at < text.size();) {
    std::string_view line = NextLine(text, at);
    uint64_t value;
    if (line.size() > key.size() && line.substr(0, key.size()) == key &&
        (line[key.size()] == ' ' || line[key.size()] == ':') && Number(line.substr(key.size() + 1), value)) {
      return value;
    }
  }
  return 0;
}

// The room of the cgroup in one hierarchy, at each level up to its mount point.
uint64_t HierarchyRoom(std::string_view cgroups, std::string_view mounts, bool v1) noexcept {
  char folder[PATH_MAX];
  size_t mountLength = 0;
  if (!MemoryCgroupFolder(cgroups, mounts, v1, folder, sizeof folder, mountLength)) return kMemoryUnlimited;
  const char* names[3] = {v1 ? "memory.limit_in_bytes" : "memory.max", v1 ? "memory.usage_in_bytes" : "memory.current",
                          "memory.stat"};
  uint64_t room = kMemoryUnlimited;
  for (size_t length = std::strlen(folder);;) {
    char path[PATH_MAX];
    char limit[64], usage[64], stat[kStatMax];
    char* buffers[3] = {limit, usage, stat};
    size_t sizes[3] = {sizeof limit, sizeof usage, sizeof stat};
    std::string_view read[3];
    for (int i = 0; i < 3; ++i) {
      if (std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(length), folder, names[i]) >= PATH_MAX) break;
      read[i] = ReadSmall(path, buffers[i], sizes[i]);
    }
    // A level without a limit of its own (v2's root) limits nothing.
    if (!read[0].empty() && !read[1].empty()) room = std::min(room, CgroupRoom(read[0], read[1], read[2], v1));
    if (length <= mountLength) return room;
    while (length > mountLength && folder[length - 1] != '/') --length;
    if (length > mountLength) --length;  // the '/' before the last name
  }
}

}  // namespace

uint64_t MeminfoAvailable(std::string_view meminfo) noexcept {
  for (size_t at = 0; at < meminfo.size();) {
    std::string_view line = NextLine(meminfo, at);
    uint64_t kilobytes;
    if (line.substr(0, 13) == "MemAvailable:" && Number(line.substr(13), kilobytes)) {
      return kilobytes > kMemoryUnlimited / 1024 ? kMemoryUnlimited : kilobytes * 1024;
    }
  }
  return kMemoryUnlimited;
}

uint64_t CgroupRoom(std::string_view limit, std::string_view usage, std::string_view stat, bool v1) noexcept {
  uint64_t most, used;
  if (!Number(limit, most) || !Number(usage, used)) return kMemoryUnlimited;  // v2's "max"
  std::string_view prefix = v1 ? "total_" : "";
  auto value = [&](std::string_view v1Name, std::string_view v2Name) {
    char key[32];
    std::string_view name = v1 ? v1Name : v2Name;
    size_t n = std::min(prefix.size() + name.size(), sizeof key);
    std::memcpy(key, prefix.data(), prefix.size());
    std::memcpy(key + prefix.size(), name.data(), n - prefix.size());
    return Value(stat, {key, n});
  };
  uint64_t cache = value("inactive_file", "inactive_file") + value("active_file", "active_file");
  uint64_t mapped = value("mapped_file", "file_mapped");
  uint64_t kept = used - std::min(used, cache - std::min(cache, mapped));
  return most > kept ? most - kept : 0;
}

bool MemoryCgroupFolder(std::string_view cgroups, std::string_view mounts, bool v1, char* out, size_t size,
                        size_t& mountLength) noexcept {
  // "4:memory:/a/b" for v1, "0::/a/b" for v2.
  std::string_view path;
  for (size_t at = 0; at < cgroups.size() && path.empty();) {
    std::string_view line = NextLine(cgroups, at);
    std::string_view controllers = Field(line, ':', 1);
    bool wanted = v1 ? HasItem(controllers, "memory") : Field(line, ':', 0) == "0" && controllers.empty();
    if (wanted) path = line.substr(std::min(line.size(), Field(line, ':', 0).size() + controllers.size() + 2));
  }
  if (path.empty() || path[0] != '/') return false;
  // "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory": the root
  // of the hierarchy that is mounted, where, and after " - " the type and its options.
  for (size_t at = 0; at < mounts.size();) {
    std::string_view line = NextLine(mounts, at);
    size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    std::string_view tail = line.substr(dash + 3);
    std::string_view type = Field(tail, ' ', 0);
    if (v1 ? type != "cgroup" || !HasItem(Field(tail, ' ', 2), "memory") : type != "cgroup2") continue;
    std::string_view root = Field(line, ' ', 3), mount = Field(line, ' ', 4);
    std::string_view below = path;
    if (root != "/") {
      if (below.substr(0, root.size()) != root || (below.size() > root.size() && below[root.size()] != '/')) continue;
      below.remove_prefix(root.size());
    }
    if (below == "/") below.remove_prefix(1);
    if (mount.size() + below.size() + 1 > size) return false;
    std::memcpy(out, mount.data(), mount.size());
    std::memcpy(out + mount.size(), below.data(), below.size());
    out[mount.size() + below.size()] = '\0';
    mountLength = mount.size();
    return true;
  }
  return false;
}

uint64_t AvailableMemory() noexcept {
  char meminfo[kSmallFileMax], cgroups[kSmallFileMax];
  static_assert(kMountsMax <= 64 * 1024, "on the capture thread's stack");
  char mounts[kMountsMax];
  uint64_t room = MeminfoAvailable(ReadSmall("/proc/meminfo", meminfo, sizeof meminfo));
  std::string_view groups = ReadSmall("/proc/self/cgroup", cgroups, sizeof cgroups);
  std::string_view mountText = ReadSmall("/proc/self/mountinfo", mounts, sizeof mounts);
  for (bool v1 : {true, false}) room = std::min(room, HierarchyRoom(groups, mountText, v1));
  return room;
}

}  // namespace trovix
