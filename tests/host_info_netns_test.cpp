// The Linux host information of a network namespace this test process made itself, with
// interfaces it adds; and the domain name of a host name it sets in its own UTS namespace.
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/host_info.h"
#include "capture/platform/linux_host_info.h"
#include "tests/netns.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

using Lines = std::vector<std::string>;

class HostInfoNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  }
  void TearDown() override {
    // Deleting one end of a veth pair deletes both.
    for (const char* name : {"tvh1", "tvh3", "tvh5"}) test::Run(std::string("ip link del ") + name);
  }
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  LinuxHostInfo info_;
};

TEST_F(HostInfoNamespace, OnlyLoopbackIsTheNoAdapterCase) {
  ASSERT_TRUE(test::Run("ip addr add 127.0.0.2/8 dev lo"));
  AdapterList adapters = info_.QueryAdapters();
  EXPECT_EQ(adapters.status, AdapterStatus::kNoData);
  Lines lines = ShowHostNetworkInfo(*state_, info_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"no adapter information exists for the local computer", "local host IP address: 127.0.0.1"}));
  EXPECT_EQ(BindChoices(*state_), (Lines{"127.0.0.1", "127.0.0.1"}));
  test::Run("ip addr del 127.0.0.2/8 dev lo");
}

TEST_F(HostInfoNamespace, AdaptersInIndexOrderWithTheirFirstAddress) {
  // Indexes chosen so that neither creation order nor name order is index order.
  ASSERT_TRUE(test::Run("ip link add tvh1 index 11 type veth peer name tvh2 index 4"));
  ASSERT_TRUE(test::Run("ip link add tvh3 index 2 type veth peer name tvh4 index 20"));
  ASSERT_TRUE(test::Run("ip link add tvh5 index 8 type veth peer name tvh6 index 6"));
  for (const char* address : {"198.18.1.1/24 dev tvh1", "198.18.1.9/24 dev tvh1", "198.18.7.1/24 dev tvh1",
                              "198.18.3.3/24 dev tvh3 label tvh3:a", "198.18.4.4/24 dev tvh4",
                              "198.18.6.6/24 dev tvh6"}) {
    ASSERT_TRUE(test::Run(std::string("ip addr add ") + address)) << address;
  }
  Lines lines = ShowHostNetworkInfo(*state_, info_);
  EXPECT_EQ(lines.back(), "IP address(es): 198.18.3.3 0.0.0.0 198.18.6.6 0.0.0.0 198.18.1.1 198.18.4.4 ");
  EXPECT_EQ(BindChoices(*state_), (Lines{"198.18.3.3", "0.0.0.0", "198.18.6.6", "0.0.0.0", "127.0.0.1"}));
}

// The host name is this UTS namespace's own, so the test may set it.
class HostNameNamespace : public HostInfoNamespace {
 protected:
  void SetUp() override {
    HostInfoNamespace::SetUp();
    if (IsSkipped()) return;
    if (unshare(CLONE_NEWUTS) != 0) GTEST_SKIP() << "cannot create a UTS namespace";
    hosts_ = folder_.Write("hosts", "# comment tvhost\n127.0.0.1 localhost\n198.18.0.1 tvhost.lab.example TVHOST\n");
  }
  NetworkParams Query(const std::string& hostName, const std::string& resolvConf) {
    EXPECT_EQ(sethostname(hostName.data(), hostName.size()), 0);
    return LinuxHostInfo(folder_.Write("resolv.conf", resolvConf), hosts_).QueryNetworkParams();
  }
  test::TempFolder folder_;
  std::string hosts_;
};

TEST_F(HostNameNamespace, DomainFromResolverThenHostNameThenHostsFile) {
  NetworkParams params = Query("tvhost", "search resolver.example\n");
  EXPECT_EQ(params.hostName, "tvhost");
  EXPECT_EQ(params.domainName, "resolver.example");
  EXPECT_EQ(Query("box.corp.example", "nameserver 198.18.0.53\n").domainName, "corp.example");
  EXPECT_EQ(Query("tvhost", "").domainName, "lab.example");
  EXPECT_EQ(Query("elsewhere", "").domainName, "");
}

}  // namespace
}  // namespace trovix
