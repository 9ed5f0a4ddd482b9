// The privilege to capture on Linux: the right to run the capture helper, which holds
// CAP_NET_RAW. Installed, only members of group trovix may run it.
#pragma once

#include <string>

#include "capture/privilege.h"

namespace trovix {

class HelperPrivilegeCheck : public PrivilegeCheck {
 public:
  // `helper` stands in for the helper that would be found, so tests can point elsewhere.
  explicit HelperPrivilegeCheck(std::string helper = {}) : helper_(std::move(helper)) {}
  // The check fails when no helper is found. The process may capture when it may run the
  // helper and the helper will hold CAP_NET_RAW: it is root's to run (root gets every
  // capability the bounding set allows), or the file grants it.
  int32_t CheckAdminMembership(int32_t* flag) override;

 private:
  std::string helper_;
};

}  // namespace trovix
