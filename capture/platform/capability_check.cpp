#include "capture/platform/capability_check.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>

#include "capture/platform/capabilities.h"
#include "capture/platform/helper_process.h"

namespace trovix {

int32_t HelperPrivilegeCheck::CheckAdminMembership(int32_t* flag) {
  if (flag == nullptr) return 0;
  std::string helper = helper_.empty() ? CaptureHelperPath() : helper_;
  if (helper.empty() || access(helper.c_str(), F_OK) != 0) return 0;
  // access() asks with the real user and every group of the process, as exec would.
  if (access(helper.c_str(), X_OK) != 0) return 1;
  if (prctl(PR_CAPBSET_READ, CAP_NET_RAW, 0, 0, 0) != 1) return 1;
  if (geteuid() == 0 || FileGrantsNetRaw(helper.c_str())) *flag = 1;
  return 1;
}

int32_t CheckAdminMembership(int32_t* flag) {
  HelperPrivilegeCheck check;
  return check.CheckAdminMembership(flag);
}

}  // namespace trovix
