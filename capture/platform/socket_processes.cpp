#include "capture/platform/socket_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "capture/platform/bounded_file.h"
#include "capture/platform/descriptor.h"

namespace trovix {
namespace {

// A /proc entry's process id; 0 for anything that is not one.
pid_t ProcessId(const char* name) {
  if (*name < '1' || *name > '9') return 0;
  char* end = nullptr;
  long value = std::strtol(name, &end, 10);
  return *end == '\0' && value > 0 && value < (1L << 22) ? static_cast<pid_t>(value) : 0;
}

// The inode of a descriptor link "socket:[N]"; 0 for any other link.
uint32_t SocketInode(const char* link, ssize_t size) {
  constexpr char kPrefix[] = "socket:[";
  constexpr size_t kPrefixSize = sizeof kPrefix - 1;
  if (size <= static_cast<ssize_t>(kPrefixSize) + 1 || std::memcmp(link, kPrefix, kPrefixSize) != 0 ||
      link[size - 1] != ']') {
    return 0;
  }
  uint64_t inode = 0;
  for (ssize_t i = kPrefixSize; i < size - 1; ++i) {
    if (link[i] < '0' || link[i] > '9' || inode > UINT32_MAX) return 0;
    inode = inode * 10 + static_cast<uint64_t>(link[i] - '0');
  }
  return inode <= UINT32_MAX ? static_cast<uint32_t>(inode) : 0;
}

// Reads one process's descriptors; those of `wanted` go into `held`.
void ReadDescriptors(const std::string& procRoot, pid_t pid, const std::unordered_set<uint32_t>& wanted,
                     std::vector<uint32_t>& held) {
  std::string folder = procRoot + "/" + std::to_string(pid) + "/fd";
  Descriptor fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return;  // another user's, or gone
  DIR* listing = fdopendir(fd.get());
  if (listing == nullptr) return;
  int dirFd = fd.Release();
  char link[64];
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    ssize_t n = readlinkat(dirFd, entry->d_name, link, sizeof link);
    uint32_t inode = n > 0 && n < static_cast<ssize_t>(sizeof link) ? SocketInode(link, n) : 0;
    if (inode != 0 && wanted.count(inode) != 0) held.push_back(inode);
  }
  closedir(listing);
}

// Every process id of /proc, in ascending order.
std::vector<pid_t> ProcessIds(const std::string& procRoot) {
  std::vector<pid_t> pids;
  DIR* listing = opendir(procRoot.c_str());
  if (listing == nullptr) return pids;
  while (const dirent* entry = readdir(listing)) {
    if (pid_t pid = ProcessId(entry->d_name); pid != 0) pids.push_back(pid);
  }
  closedir(listing);
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace

std::string ProcessName(const std::string& procRoot, pid_t pid) {
  std::string base = procRoot + "/" + std::to_string(pid);
  char path[4096];
  ssize_t n = readlink((base + "/exe").c_str(), path, sizeof path);
  if (n > 0 && n < static_cast<ssize_t>(sizeof path)) {
    std::string_view exe(path, static_cast<size_t>(n));
    // A replaced executable reads "/usr/bin/name (deleted)".
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.ends_with(kDeleted)) exe.remove_suffix(kDeleted.size());
    size_t slash = exe.rfind('/');
    std::string_view name = slash == std::string_view::npos ? exe : exe.substr(slash + 1);
    if (!name.empty()) return std::string(name);
  }
  BoundedFile comm = ReadBoundedFile(base + "/comm", 64);
  if (comm.error != 0) return {};
  std::string name = comm.text.substr(0, comm.text.find('\n'));
  return name;
}

bool FindSocketProcesses(const std::string& procRoot, std::unordered_set<uint32_t>& wanted,
                         const std::vector<pid_t>& first, std::vector<pid_t>& known, bool readAll,
                         std::unordered_map<uint32_t, SocketProcess>& found) {
  std::vector<uint32_t> held;
  std::vector<pid_t> read;
  auto look = [&](pid_t pid) {
    if (std::find(read.begin(), read.end(), pid) != read.end()) return;
    read.push_back(pid);
    held.clear();
    ReadDescriptors(procRoot, pid, wanted, held);
    if (held.empty()) return;
    std::string name = ProcessName(procRoot, pid);
    if (name.empty()) return;  // gone while it was read
    for (uint32_t inode : held) {
      auto [at, added] = found.try_emplace(inode, SocketProcess{pid, name});
      if (!added && pid < at->second.pid) at->second = SocketProcess{pid, name};
    }
  };
  auto settle = [&] {
    for (const auto& [inode, process] : found) wanted.erase(inode);
  };
  for (pid_t pid : first) look(pid);
  settle();
  if (wanted.empty()) return false;
  std::vector<pid_t> all = ProcessIds(procRoot);
  for (pid_t pid : all) {
    if (!std::binary_search(known.begin(), known.end(), pid)) look(pid);
  }
  settle();
  if (wanted.empty() || !readAll) return false;
  for (pid_t pid : all) look(pid);
  settle();
  known = std::move(all);
  return true;
}

std::string UserName(uint32_t uid) {
  passwd entry{};
  passwd* result = nullptr;
  char buffer[4096];
  if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &result) == 0 && result != nullptr) {
    return result->pw_name;
  }
  return std::to_string(uid);
}

}  // namespace trovix
