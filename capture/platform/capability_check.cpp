#include "capture/platform/capability_check.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

#include "capture/platform/helper_process.h"

namespace trovix {
namespace {

// Whether the file's capability attribute grants CAP_NET_RAW as permitted.
bool FileGrantsNetRaw(const std::string& path) {
  vfs_ns_cap_data data{};
  ssize_t n = getxattr(path.c_str(), "security.capability", &data, sizeof data);
  if (n < static_cast<ssize_t>(XATTR_CAPS_SZ_2) && n != static_cast<ssize_t>(XATTR_CAPS_SZ_1)) return false;
  uint32_t revision = data.magic_etc & VFS_CAP_REVISION_MASK;
  if (revision != VFS_CAP_REVISION_1 && revision != VFS_CAP_REVISION_2 && revision != VFS_CAP_REVISION_3) {
    return false;
  }
  return (data.data[CAP_TO_INDEX(CAP_NET_RAW)].permitted & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

}  // namespace

int32_t HelperPrivilegeCheck::CheckAdminMembership(int32_t* flag) {
  if (flag == nullptr) return 0;
  std::string helper = helper_.empty() ? CaptureHelperPath() : helper_;
  if (helper.empty() || access(helper.c_str(), F_OK) != 0) return 0;
  // access() asks with the real user and every group of the process, as exec would.
  if (access(helper.c_str(), X_OK) != 0) return 1;
  if (prctl(PR_CAPBSET_READ, CAP_NET_RAW, 0, 0, 0) != 1) return 1;
  if (geteuid() == 0 || FileGrantsNetRaw(helper)) *flag = 1;
  return 1;
}

int32_t CheckAdminMembership(int32_t* flag) {
  HelperPrivilegeCheck check;
  return check.CheckAdminMembership(flag);
}

}  // namespace trovix
