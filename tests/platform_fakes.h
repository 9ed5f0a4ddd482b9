// Stand-ins for the platform layer, for tests that must not depend on the host they run on.
#pragma once

#include <cstdint>

#include "capture/host_info.h"

namespace trovix::test {

class FakeHostInfo : public HostInfoSource {
 public:
  NetworkParams QueryNetworkParams() override { return params; }
  AdapterList QueryAdapters() override { return adapters; }

  NetworkParams params;
  AdapterList adapters;
};

}  // namespace trovix::test
