// Network parameters read from the resolver configuration this test writes itself.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/platform/linux_host_info.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

using Servers = std::vector<std::string>;

class LinuxNetworkParams : public ::testing::Test {
 protected:
  NetworkParams Query(const std::string& resolvConf) {
    LinuxHostInfo info(folder_.Write("resolv.conf", resolvConf), folder_.Path("no-hosts"));
    return info.QueryNetworkParams();
  }
  test::TempFolder folder_;
};

TEST_F(LinuxNetworkParams, ServersInFileOrderAndTheLastDomainOrSearchLine) {
  NetworkParams params = Query(
      "# written by hand\n"
      "domain first.example\n"
      "nameserver 198.18.0.53\n"
      "; nameserver 198.18.0.99\n"
      "nameserver\tfe80::1%lo  # link-local with zone\r\n"
      "nameserver not-an-address\n"
      "nameserver 198.18.0.300\n"
      "nameserver fe80::2%\n"
      "options ndots:2\n"
      "search second.example third.example\n"
      "  nameserver 198.18.0.55\n"
      "nameserver 198.18.0.54");
  EXPECT_EQ(params.error, 0u);
  EXPECT_EQ(params.dnsServers, (Servers{"198.18.0.53", "fe80::1%lo", "198.18.0.54"}));
  EXPECT_EQ(params.domainName, "second.example");
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(params.hostName, name);
}

TEST_F(LinuxNetworkParams, OnlyTheFirstPartOfAHugeFileIsRead) {
  std::string text = "nameserver 198.18.0.1\n";
  while (text.size() < 200 * 1024) text += "# " + std::string(1000, 'x') + "\n";
  NetworkParams params = Query(text + "nameserver 198.18.0.2\n");
  EXPECT_EQ(params.error, 0u);
  EXPECT_EQ(params.dnsServers, (Servers{"198.18.0.1"}));
}

TEST_F(LinuxNetworkParams, MissingOrUnreadableConfigurationMeansNoServers) {
  for (const std::string& path : {folder_.Path("absent"), folder_.Path("")}) {  // a file, a folder
    LinuxHostInfo info(path, folder_.Path("no-hosts"));
    NetworkParams params = info.QueryNetworkParams();
    EXPECT_EQ(params.error, 0u) << path;
    EXPECT_TRUE(params.dnsServers.empty()) << path;
  }
}

}  // namespace
}  // namespace trovix
