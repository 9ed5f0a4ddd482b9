// trovix-cli's --stats and --stats-interval: the statistics of what a capture or a file
// kept, as tab-separated columns under a header line or as one JSON array.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "capture/sources/source.h"
#include "capture/statistics.h"
#include "cli/packet_output.h"

namespace trovix::cli {

enum class StatsTable { kNone, kConversations, kEndpoints, kPorts, kProtocols, kPrograms };

// "conversations", "endpoints", "ports", "protocols", "programs".
bool ParseStatsTable(std::string_view word, StatsTable& out);
// Seconds as a decimal ("1", "0.001", "2.5"), at most nanosecond precision: its
// nanoseconds, or 0 when it is not such a number above 0 and up to a year.
int64_t ParseInterval(std::string_view text);

// The table, rows by bytes, largest first.
void AppendStatsTable(std::string& out, const Statistics& s, StatsTable table, bool json);
// Each interval from the first datagram to the last: its start in seconds after the first
// datagram, its datagrams and bytes.
void AppendRates(std::string& out, const Statistics& s, bool json);

// Counts every datagram the output takes (so -c bounds both) before it is printed or
// written, with the owner entry SetOwner named last.
class StatisticsSink : public DatagramSink {
 public:
  StatisticsSink(Statistics& statistics, PacketOutput& output) : statistics_(statistics), output_(output) {}
  bool Take(const uint8_t* datagram, size_t length, const DatagramFields& fields, int64_t receiveTime) noexcept override;
  void BatchDone() noexcept override { output_.BatchDone(); }
  void FromSource(int source) noexcept override { output_.FromSource(source); }
  bool CaptureOpened() noexcept override { return output_.CaptureOpened(); }
  void SetOwner(uint32_t owner) noexcept { owner_ = owner; }
  // Datagrams left out for want of memory.
  uint64_t missed() const noexcept { return missed_; }

 private:
  Statistics& statistics_;
  PacketOutput& output_;
  uint32_t owner_ = kUnknownOwner;
  uint64_t missed_ = 0;
};

}  // namespace trovix::cli
