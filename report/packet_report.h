// The packet report: the text that decodes one stored datagram for the details window.
#pragma once

#include <cstdint>
#include <string>

#include "capture/capture_state.h"

namespace trovix {

// The user's payload view options, as the menu keeps them.
struct ReportViews {
  bool TcpDataInAsciiView = false;
  bool TcpDataInTextView = false;
  bool DataInHexViewTcpAndUdp = false;
  // For a terminal: the character views show every byte that is not printable ASCII as
  // '.' (see AppendPayload).
  bool printableOnly = false;
};

enum class ReportOutcome {
  kReport,         // `text` decodes the packet
  kNothingStored,  // no report: the main packet list gets kNothingStoredText instead
  kNoSuchPacket,   // the index names no packet of this capture; `text` says so
};

// Added to the main packet list, not the details list, when nothing is stored.
inline constexpr const char* kNothingStoredText = "don't found data!";

struct PacketReport {
  ReportOutcome outcome = ReportOutcome::kNothingStored;
  std::string text;  // every line ends with "\r\n"; empty for kNothingStored
  // The index to keep as the selected packet: a negative one (no row) becomes 0.
  int32_t selectedPacketIndex = 0;
};

// Pure: reads the store as a reader on the user-interface thread may (published packets
// only) and touches no window. Never reads outside the reported packet.
PacketReport BuildPacketReport(const PacketStore& store, int32_t selectedPacketIndex,
                               const ReportViews& views);

// The same report for a datagram that is not in the store, as packet `index` of a capture.
std::string BuildDatagramReport(int64_t index, uint8_t protocol, const uint8_t* datagram, size_t length,
                                const ReportViews& views);

}  // namespace trovix
