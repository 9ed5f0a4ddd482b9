#include "capture/platform/capability_check.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace trovix {

int SystemCapGet(cap_user_header_t header, cap_user_data_t data) {
  return static_cast<int>(syscall(SYS_capget, header, data));
}

int32_t CapabilityPrivilegeCheck::CheckAdminMembership(int32_t* flag) {
  if (flag == nullptr) return 0;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (capget_(&header, data) != 0) return 0;
  // A kernel that answered in another layout rewrote the version; its data is not ours.
  if (header.version != _LINUX_CAPABILITY_VERSION_3) return 0;
  // Permitted is enough: the capability is raised only while the socket is opened.
  const __user_cap_data_struct& word = data[CAP_TO_INDEX(CAP_NET_RAW)];
  if (((word.effective | word.permitted) & CAP_TO_MASK(CAP_NET_RAW)) != 0) *flag = 1;
  return 1;
}

int32_t CheckAdminMembership(int32_t* flag) {
  CapabilityPrivilegeCheck check;
  return check.CheckAdminMembership(flag);
}

}  // namespace trovix
