// Arbitrary bytes as one capture: protocol switches, "from:" and "to:" texts and a run of
// received datagrams, through the whole accept path (filters, store, line and log). After
// the run the store and the log must still describe each other exactly.
//
// Byte 0: the switches tcp, udp, icmp, igmp, raw and both traffic (bits 0 to 5).
// Byte 1: how many times the run of datagrams is received: 1 to 4 (bits 0 and 1), or 1,024
// for the value 255, so that even a short input can fill the store without making every
// input slow. Then the "from:" text up to a newline, the "to:" text up to a newline, and
// the datagrams, each behind a two-byte big-endian length (cut at the end of the input).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "capture/capture_state.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace trovix;
using fuzz::Check;
using fuzz::State;

std::string_view TakeLine(std::string_view& rest) {
  size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return line;
}

struct Received {
  const uint8_t* bytes;
  size_t size;
};

bool SwitchOn(const CaptureState& s, uint8_t protocol) {
  switch (protocol) {
    case 1: return s.OnIcmp == 1;
    case 2: return s.OnIgmp == 1;
    case 6: return s.OnTcp == 1;
    case 17: return s.OnUdp == 1;
    case 255: return s.OnRaw == 1;
    default: return false;
  }
}

// Every stored packet against the datagram it came from, its line in the log, and the totals.
void CheckStore(const CaptureState& s, const std::vector<Received>& kept) {
  const PacketStore& store = s.store;
  uint32_t count = PublishedPacketCount(store);
  Check(count == kept.size() && count <= kMaxPackets);
  const char* log = s.sniffLog.text;
  size_t logLength = PublishedLogLength(s.sniffLog);
  size_t at = 0;
  int64_t sum = 0;
  for (uint32_t k = 0; k < count; ++k) {
    // Packets are walked by a running sum; locating each one would sum from 0 every time.
    StoredPacket p{store.bytes + sum, static_cast<int32_t>(sum), store.lengths[k], store.protocols[k], 0};
    if (k + 1 == count) {
      StoredPacket last;
      Check(LocatePacket(store, static_cast<int32_t>(k), last) && last.offset == p.offset && last.length == p.length);
    }
    Check(p.length >= 20 && static_cast<size_t>(p.length) <= kept[k].size);
    Check(std::memcmp(p.bytes, kept[k].bytes, static_cast<size_t>(p.length)) == 0);
    // A datagram is only ever cut to its own total length.
    if (static_cast<size_t>(p.length) < kept[k].size) Check((p.bytes[2] << 8 | p.bytes[3]) == p.length);
    Check(SwitchOn(s, p.protocol) && p.protocol == p.bytes[9]);
    sum += p.length;

    char line[kPacketLineMax + 1];
    size_t n = FormatStoredPacketLine(k, p.bytes, static_cast<size_t>(p.length), line);
    Check(n > 0 && n <= kPacketLineMax && at + n + 2 <= logLength);
    Check(std::memcmp(log + at, line, n) == 0 && log[at + n] == '\r' && log[at + n + 1] == '\n');
    Check(std::count(line, line + n, '\t') == 8);
    at += n + 2;
  }
  Check(sum == store.storedBytes.load() && sum <= kByteAreaSize);
  Check(at == logLength && log[logLength] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  CaptureState& s = State();
  s.OnTcp = data[0] & 1;
  s.OnUdp = (data[0] >> 1) & 1;
  s.OnIcmp = (data[0] >> 2) & 1;
  s.OnIgmp = (data[0] >> 3) & 1;
  s.OnRaw = (data[0] >> 4) & 1;
  s.TwoWayTraffic = (data[0] >> 5) & 1;
  int rounds = data[1] == 255 ? 1024 : 1 + (data[1] & 3);
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  s.sourceFilter = ParseEndpointFilter(TakeLine(rest));
  s.destinationFilter = ParseEndpointFilter(TakeLine(rest));
  SetReverseAddresses(s);
  ResetStores(s);

  std::vector<Received> datagrams;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(rest.data());
  const uint8_t* end = p + rest.size();
  while (end - p >= 2) {
    size_t n = std::min<size_t>(static_cast<size_t>(p[0] << 8 | p[1]), static_cast<size_t>(end - p - 2));
    datagrams.push_back({p + 2, n});
    p += 2 + n;
  }

  std::vector<Received> kept;
  bool ended = false;
  for (int round = 0; round < rounds && !ended && !datagrams.empty(); ++round) {
    for (const Received& d : datagrams) {
      int32_t before = s.store.storedBytes.load();
      AcceptResult result = AcceptDatagram(s, d.bytes, d.size);
      if (d.size < 20) Check(result == AcceptResult::kDropped);
      if (result == AcceptResult::kStored || result == AcceptResult::kStoredLast) kept.push_back(d);
      if (result == AcceptResult::kStoredLast) Check(kept.size() == kMaxPackets);
      // No room: either the tables are full or this datagram is larger than what is left.
      if (result == AcceptResult::kNoRoom) {
        Check(kept.size() == kMaxPackets || d.size > static_cast<size_t>(kByteAreaSize - before));
      }
      if (result == AcceptResult::kStoredLast || result == AcceptResult::kNoRoom) {
        ended = true;  // the capture ends here, as the capture thread ends it
        break;
      }
    }
  }
  CheckStore(s, kept);
  return 0;
}
