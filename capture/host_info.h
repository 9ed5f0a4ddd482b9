// Host network information for the packet list at start-up, and the four interface
// address slots that "go!" compares the bind text with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture_state.h"

namespace trovix {

// Host name, domain name and DNS servers in the system's order. error is 0 on success,
// otherwise the system's error code and the other fields are unused.
struct NetworkParams {
  uint32_t error = 0;
  std::string hostName;
  std::string domainName;
  std::vector<std::string> dnsServers;
};

enum class AdapterStatus {
  kOk,      // firstAddresses holds one entry per adapter (may still be empty)
  kNoData,  // the host has no adapter besides loopback
  kFailed,  // the query itself failed; see error
};

// The first IPv4 address of every adapter, dotted decimal, "0.0.0.0" for an adapter
// without one, in the system's adapter order.
struct AdapterList {
  AdapterStatus status = AdapterStatus::kNoData;
  uint32_t error = 0;
  std::vector<std::string> firstAddresses;
};

// Where the host information comes from; tests hand in their own.
class HostInfoSource {
 public:
  virtual ~HostInfoSource() = default;
  virtual NetworkParams QueryNetworkParams() = 0;
  virtual AdapterList QueryAdapters() = 0;
};

inline constexpr size_t kHostInfoLineMax = 255;  // a line's text, as its 256-byte buffer holds
inline constexpr size_t kAddressTextMax = 15;    // "255.255.255.255"

// Queries `source` and returns the lines for the packet list, in order. Sets the four
// interface address slots of `state` from this answer alone: the first four adapters'
// addresses, or "127.0.0.1" in slot 1 when there is no adapter, nothing when the query failed.
std::vector<std::string> ShowHostNetworkInfo(CaptureState& state, HostInfoSource& source);

// The entries of the "bind to interface:" field: slot 1 always (also when empty), slots
// 2 to 4 when not empty, then "127.0.0.1". The first entry is the one to select.
std::vector<std::string> BindChoices(const CaptureState& state);

}  // namespace trovix
