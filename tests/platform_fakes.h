// Stand-ins for the platform layer, for tests that must not depend on the host they run on.
#pragma once

#include <cstdint>

#include "capture/host_info.h"
#include "capture/privilege.h"

namespace trovix::test {

class FakeHostInfo : public HostInfoSource {
 public:
  NetworkParams QueryNetworkParams() override { return params; }
  AdapterList QueryAdapters() override { return adapters; }

  NetworkParams params;
  AdapterList adapters;
};

// result 0 stands for "the check failed"; privileged is only reported with result 1.
class FakePrivilegeCheck : public PrivilegeCheck {
 public:
  FakePrivilegeCheck(int32_t result, bool privileged) : result_(result), privileged_(privileged) {}
  int32_t CheckAdminMembership(int32_t* flag) override {
    if (result_ == 1 && privileged_) *flag = 1;
    return result_;
  }

 private:
  int32_t result_;
  bool privileged_;
};

}  // namespace trovix::test
