// The options and parsed filters a capture runs with: what the accept path and the kernel
// program read, and all that the capture helper needs of a capture. No store, no thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <linux/filter.h>

#include "capture/endpoint_filter.h"
#include "capture/protocol_table.h"

namespace trovix {

inline constexpr int kInterfaceSlots = 4;
inline constexpr int kBindMatches = 5;  // loopback, then slots 1 to 4
inline constexpr int kBindTextSize = 46;  // an IPv6 address; an IPv4 text keeps 19 characters
inline constexpr int kBindTextIpv4Max = 19;
inline constexpr int kSlotTextSize = 20;
inline constexpr int kFilterTextKept = 64;

struct CaptureSettings {
  // Written only while no capture thread runs; starting the thread orders these writes
  // before every read the thread makes, so they need no atomics.
  int32_t OnTcp = 0;
  int32_t OnUdp = 0;
  int32_t OnIcmp = 0;
  int32_t OnIgmp = 0;
  int32_t OnRaw = 0;
  // The flag above of a row of kSwitchRows.
  int32_t SwitchFlag(ProtocolSwitch which) const noexcept {
    switch (which) {
      case ProtocolSwitch::kTcp: return OnTcp;
      case ProtocolSwitch::kUdp: return OnUdp;
      case ProtocolSwitch::kIcmp: return OnIcmp;
      case ProtocolSwitch::kIgmp: return OnIgmp;
      case ProtocolSwitch::kRaw: return OnRaw;
    }
    return 0;
  }
  // Which families the capture keeps: IPv4 unless a program asks for IPv6 alone.
  int32_t OnIpv4 = 1;
  int32_t OnIpv6 = 0;
  int32_t TwoWayTraffic = 0;
  // The interface a program named (-1: the bind text chooses); see CaptureOptions.
  int32_t interfaceIndex = -1;
  // A program compiled from a filter expression (trovix-cli), which the capture helper
  // runs after its own: what it drops never reaches the ring. Empty for none.
  std::vector<sock_filter> expressionProgram;
  EndpointFilter sourceFilter = AnyEndpoint();
  EndpointFilter destinationFilter = AnyEndpoint();
  char reverseSourceAddress[kFilterAddressSize] = {};
  char reverseDestinationAddress[kFilterAddressSize] = {};
  char bindText[kBindTextSize] = {};
  // The filter texts as given, for the capture helper, which parses them itself; empty
  // with filterTextsFit 0 when one was too long to hand over.
  char fromText[kFilterTextKept] = {};
  char toText[kFilterTextKept] = {};
  int32_t filterTextsFit = 1;
  int32_t bindMatches[kBindMatches] = {};
  char interfaceSlots[kInterfaceSlots][kSlotTextSize] = {};
};

// What "go!" reads from the window.
struct CaptureOptions {
  std::string_view bindText;
  std::string_view fromText;
  std::string_view toText;
  bool twoWayTraffic = false;
  bool tcp = false;
  bool udp = false;
  bool icmp = false;
  bool igmp = false;
  bool raw = false;
  bool ipv6 = false;  // IPv6 datagrams too
  bool ipv4 = true;   // off for a capture of IPv6 alone
  // A program that names its interface: that interface's index (0 for every interface),
  // used in place of the one the bind text chooses; -1 lets the bind text choose.
  int interfaceIndex = -1;
  bool keepMore = false;  // the larger store ("keep &more"), see UseLargerStore
  // A filter expression's program for the kernel (see CaptureSettings::expressionProgram).
  std::vector<sock_filter> expressionProgram = {};
  // Its text, for a capture on another machine, whose own side compiles it.
  std::string_view expressionText = {};
  // A capture on another machine asks its trovix-cli for each datagram's programs.
  bool programs = false;
};

// Sets the bind text and its matches against the interface slots, parses the filters,
// sets the reverse addresses and the protocol and family flags. keepMore is the store's
// concern, not read here.
void ApplyCaptureOptions(CaptureSettings& settings, const CaptureOptions& options);

}  // namespace trovix
