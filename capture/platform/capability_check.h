// The privilege to capture on Linux: CAP_NET_RAW, which a packet socket needs whoever the
// user is, held in the permitted set (so it can be raised) or already effective.
#pragma once

#include <linux/capability.h>

#include "capture/privilege.h"

namespace trovix {

using CapGetCall = int (*)(cap_user_header_t header, cap_user_data_t data);

// The capget system call itself.
int SystemCapGet(cap_user_header_t header, cap_user_data_t data);

class CapabilityPrivilegeCheck : public PrivilegeCheck {
 public:
  // `capget` stands in for the system call so tests can make the query fail.
  explicit CapabilityPrivilegeCheck(CapGetCall capget = SystemCapGet) : capget_(capget) {}
  int32_t CheckAdminMembership(int32_t* flag) override;

 private:
  CapGetCall capget_;
};

}  // namespace trovix
