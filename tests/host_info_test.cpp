// The packet list's host information lines and the interface address slots, from a fake
// source.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/host_info.h"
#include "tests/platform_fakes.h"

namespace trovix {
namespace {

using Lines = std::vector<std::string>;

class HostInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    source_.params = {0, "desk", "lab.example", {"198.18.0.53", "198.18.0.54"}};
    source_.adapters = {AdapterStatus::kOk, 0, {}};
  }
  void Adapters(std::vector<std::string> addresses) { source_.adapters = {AdapterStatus::kOk, 0, addresses}; }
  void FillSlotsWithStaleText() {
    for (auto& slot : state_->interfaceSlots) std::strcpy(slot, "198.18.9.9");
  }
  std::string Slot(int i) const { return state_->interfaceSlots[i]; }
  Lines Show() { return ShowHostNetworkInfo(*state_, source_); }

  // About 5 MB: too big for the stack.
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::FakeHostInfo source_;
};

TEST_F(HostInfo, HostWithTwoDnsServersAndThreeAdapters) {
  Adapters({"198.18.0.5", "0.0.0.0", "198.18.1.1"});
  EXPECT_EQ(Show(), (Lines{"host name: desk", "domain name: lab.example", "DNS server(s): 198.18.0.53",
                           " 198.18.0.54", "IP address(es): 198.18.0.5 0.0.0.0 198.18.1.1 "}));
  EXPECT_EQ(Slot(0), "198.18.0.5");
  EXPECT_EQ(Slot(1), "0.0.0.0");
  EXPECT_EQ(Slot(2), "198.18.1.1");
  EXPECT_EQ(Slot(3), "");
  EXPECT_EQ(BindChoices(*state_), (Lines{"198.18.0.5", "0.0.0.0", "198.18.1.1", "127.0.0.1"}));
}

TEST_F(HostInfo, NoAdapterGivesLoopbackTwiceInTheBindChoices) {
  FillSlotsWithStaleText();
  source_.params.dnsServers.clear();
  source_.adapters = {AdapterStatus::kNoData, 0, {}};
  EXPECT_EQ(Show(), (Lines{"host name: desk", "domain name: lab.example", "DNS server(s): ",
                           "no adapter information exists for the local computer",
                           "local host IP address: 127.0.0.1"}));
  EXPECT_EQ(Slot(0), "127.0.0.1");
  for (int i = 1; i < kInterfaceSlots; ++i) EXPECT_EQ(Slot(i), "") << i;
  EXPECT_EQ(BindChoices(*state_), (Lines{"127.0.0.1", "127.0.0.1"}));
}

TEST_F(HostInfo, QueryFailuresGiveTheirCodeAndFillNoSlot) {
  FillSlotsWithStaleText();
  source_.params.error = 111;
  source_.adapters = {AdapterStatus::kFailed, 0x8007000e, {"198.18.0.1"}};
  EXPECT_EQ(Show(), (Lines{"call to GetNetworkParams failed, return value: 0000006f",
                           "call to GetAdaptersInfo failed, return value: 8007000e"}));
  for (int i = 0; i < kInterfaceSlots; ++i) EXPECT_EQ(Slot(i), "") << i;
  EXPECT_EQ(BindChoices(*state_), (Lines{"", "127.0.0.1"}));
}

TEST_F(HostInfo, ManyAdaptersFillFourSlotsAndTheLineGrowsToHoldThemAll) {
  std::vector<std::string> addresses;
  std::string expected = "IP address(es): ";
  for (int i = 0; i < 40; ++i) {
    addresses.push_back("198.18.100." + std::to_string(100 + i));
    expected += addresses.back() + " ";
  }
  Adapters(addresses);
  ASSERT_GT(expected.size(), 256u);
  EXPECT_EQ(Show().back(), expected);
  EXPECT_EQ(BindChoices(*state_),
            (Lines{"198.18.100.100", "198.18.100.101", "198.18.100.102", "198.18.100.103", "127.0.0.1"}));
}

TEST_F(HostInfo, SystemTextIsMadePrintableAndBounded) {
  source_.params.hostName = "de\tsk\r\n" + std::string(400, 'h');
  source_.params.domainName = "\x80\xff";
  Adapters({"198.18.0.1\t0123456789"});
  Lines lines = Show();
  EXPECT_EQ(lines[0], ("host name: de?sk??" + std::string(400, 'h')).substr(0, 255));
  EXPECT_EQ(lines[1], "domain name: ??");
  EXPECT_EQ(lines.back(), "IP address(es): 198.18.0.1?0123 ");
  EXPECT_EQ(Slot(0), "198.18.0.1?0123");
}

TEST_F(HostInfo, BindChoicesSkipEmptyLaterSlotsAndStayInsideEachSlot) {
  std::strcpy(state_->interfaceSlots[2], "198.18.0.3");
  std::memset(state_->interfaceSlots[3], '7', kSlotTextSize);  // no terminator
  EXPECT_EQ(BindChoices(*state_), (Lines{"", "198.18.0.3", std::string(kSlotTextSize, '7'), "127.0.0.1"}));
}

}  // namespace
}  // namespace trovix
