#include "capture/platform/capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

namespace trovix {
namespace {

// The calling thread's sets, read and written through the raw system calls: the C library
// offers no wrapper, and the thread, not the process, is what capset changes.
struct CapabilitySets {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};

  bool Read() noexcept {
    return syscall(SYS_capget, &header, data) == 0 && header.version == _LINUX_CAPABILITY_VERSION_3;
  }
  bool Write() noexcept { return syscall(SYS_capset, &header, data) == 0; }
};

constexpr int kNetRawIndex = CAP_TO_INDEX(CAP_NET_RAW);
constexpr unsigned kNetRawMask = CAP_TO_MASK(CAP_NET_RAW);

}  // namespace

bool FileGrantsNetRaw(const char* path) noexcept {
  vfs_ns_cap_data data{};
  ssize_t n = getxattr(path, "security.capability", &data, sizeof data);
  if (n < static_cast<ssize_t>(XATTR_CAPS_SZ_2) && n != static_cast<ssize_t>(XATTR_CAPS_SZ_1)) return false;
  uint32_t revision = data.magic_etc & VFS_CAP_REVISION_MASK;
  if (revision != VFS_CAP_REVISION_1 && revision != VFS_CAP_REVISION_2 && revision != VFS_CAP_REVISION_3) {
    return false;
  }
  return (data.data[CAP_TO_INDEX(CAP_NET_RAW)].permitted & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

bool StartedSetId() noexcept { return getuid() != geteuid() || getgid() != getegid(); }

int DropCapabilities(uint64_t keepPermitted) noexcept {
  CapabilitySets sets;
  if (!sets.Read()) return errno != 0 ? errno : EINVAL;
  for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
    auto& word = sets.data[i];
    word.permitted &= static_cast<uint32_t>(keepPermitted >> (32 * i));
    word.effective = 0;
    word.inheritable = 0;
  }
  if (!sets.Write()) return errno;
  // The ambient set is already empty once the inheritable one is, but a kernel without
  // ambient capabilities (EINVAL) has nothing to clear either way.
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return errno;
  return 0;
}

bool HoldsNoCapability() noexcept {
  CapabilitySets sets;
  if (!sets.Read()) return false;
  for (const auto& word : sets.data) {
    if ((word.permitted | word.effective | word.inheritable) != 0) return false;
  }
  return true;
}

bool RaiseForThisThread(int capability) noexcept {
  CapabilitySets sets;
  if (!sets.Read()) return false;
  auto& word = sets.data[CAP_TO_INDEX(capability)];
  unsigned mask = CAP_TO_MASK(capability);
  if ((word.permitted & mask) == 0) return false;
  word.effective |= mask;
  return sets.Write();
}

NetRawRaised::NetRawRaised() noexcept {
  CapabilitySets sets;
  if (!sets.Read()) return;
  auto& word = sets.data[kNetRawIndex];
  if ((word.effective & kNetRawMask) != 0 || (word.permitted & kNetRawMask) == 0) return;
  // Kept whole, so lowering again needs no second query that could fail.
  for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) before_[i] = sets.data[i];
  word.effective |= kNetRawMask;
  raised_ = sets.Write();
}

NetRawRaised::~NetRawRaised() {
  if (!raised_) return;
  CapabilitySets sets;
  for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) sets.data[i] = before_[i];
  (void)sets.Write();
}

}  // namespace trovix
