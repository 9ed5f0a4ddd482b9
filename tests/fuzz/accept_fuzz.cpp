// Arbitrary bytes as one capture: protocol switches, "from:" and "to:" texts and a run of
// received datagrams, through the whole accept path (filters, store, line and log). After
// the run the store and the log must still describe each other exactly.
//
// Byte 0: the switches tcp, udp, icmp, igmp, raw and both traffic (bits 0 to 5), IPv6 on
// (bit 6) and, with IPv6 on, IPv4 off (bit 7).
// Byte 1: how many times the run of datagrams is received: 1 to 4 (bits 0 and 1). The value
// 255 receives it 4 times into a store that already holds 9,990 packets and has 2,000
// bytes left, so that a short input can fill either limit. Then the "from:" text up to a newline, the "to:" text up to a newline, and
// the datagrams, each behind a two-byte big-endian length (cut at the end of the input).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "capture/area_poison.h"
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

// Whether the switches keep a stored protocol, written out here rather than read from the
// protocol table that the accept path reads: tcp 6 and udp 17 in both families, icmp 1 over
// IPv4 and 58 over IPv6, igmp 2 over IPv4 alone, and raw every other.
bool SwitchKeeps(const CaptureState& s, uint8_t protocol, bool ipv6) {
  switch (protocol) {
    case 6: return s.OnTcp == 1;
    case 17: return s.OnUdp == 1;
    case 1: return (ipv6 ? s.OnRaw : s.OnIcmp) == 1;
    case 58: return (ipv6 ? s.OnIcmp : s.OnRaw) == 1;
    case 2: return (ipv6 ? s.OnRaw : s.OnIgmp) == 1;
    default: return s.OnRaw == 1;
  }
}

// Where the checked part of a store begins: after what it held before the input's run.
struct Start {
  uint32_t packets = 0;
  int64_t bytes = 0;
  size_t log = 0;
};

// Every packet stored by the run against the datagram it came from, its line in the log,
// and the totals.
void CheckStore(const CaptureState& s, const std::vector<Received>& kept, const Start& start) {
  const PacketStore& store = s.store;
  uint32_t count = PublishedPacketCount(store);
  Check(count == start.packets + kept.size() && count <= kMaxPackets);
  const char* log = s.sniffLog.text;
  size_t logLength = PublishedLogLength(s.sniffLog);
  size_t at = start.log;
  int64_t sum = start.bytes;
  for (uint32_t k = start.packets; k < count; ++k) {
    // Packets lie back to back: each is located where the running sum says.
    StoredPacket p;
    Check(LocatePacket(store, static_cast<int32_t>(k), p) && p.offset == sum);
    const Received& from = kept[k - start.packets];
    bool ipv6 = IsIpv6Datagram(from.bytes, from.size);
    Check((ipv6 ? s.OnIpv6 : s.OnIpv4) == 1);
    Check(p.length >= (ipv6 ? 40 : 20) && static_cast<size_t>(p.length) <= from.size);
    Check(std::memcmp(p.bytes, from.bytes, static_cast<size_t>(p.length)) == 0);
    // A datagram is only ever cut to its own total length: 40 + the payload length for IPv6.
    if (static_cast<size_t>(p.length) < from.size) {
      Check(ipv6 ? 40 + (p.bytes[4] << 8 | p.bytes[5]) == p.length : (p.bytes[2] << 8 | p.bytes[3]) == p.length);
    }
    Check(SwitchKeeps(s, p.protocol, ipv6) && (ipv6 || p.protocol == p.bytes[9]));
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

// Filling the store takes 10,000 appends, far more than any other input, so a run that is
// to reach its limits starts from a copy of a store filled once through the same path:
// 9,000 UDP datagrams of 82 bytes and 990 of 80, then checked like any other run.
constexpr uint32_t kPrefilledPackets = 9990;
constexpr int64_t kPrefilledBytes = 9000 * 82 + 990 * 80;

const CaptureState& Prefilled() {
  static const CaptureState* const filled = [] {
    auto* f = new CaptureState();
    f->OnUdp = 1;
    f->OnIpv4 = 1;
    ResetStores(*f);
    uint8_t d[82] = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1, 0x9c, 0x40, 0x9c, 0x41};
    for (uint32_t k = 0; k < kPrefilledPackets; ++k) {
      size_t size = k < 9000 ? 82 : 80;
      d[3] = static_cast<uint8_t>(size);
      Check(AcceptDatagram(*f, d, size) == AcceptResult::kStored);
    }
    Check(f->store.storedBytes.load() == kPrefilledBytes);
    return f;
  }();
  return *filled;
}

// The prefilled store into `to`, which ResetStores has just emptied.
Start CopyPrefilled(CaptureState& to) {
  const CaptureState& from = Prefilled();
  Start start{kPrefilledPackets, kPrefilledBytes, PublishedLogLength(from.sniffLog)};
  UnpoisonBytes(to.store.bytes, static_cast<size_t>(start.bytes));
  std::memcpy(to.store.bytes, from.store.bytes, static_cast<size_t>(start.bytes));
  PacketColumns::ForEach([&](auto column) {
    std::memcpy((to.store.*column).at, (from.store.*column).at, start.packets * EntrySize(column));
  });
  std::memcpy(to.sniffLog.text, from.sniffLog.text, start.log);
  to.sniffLog.length.store(static_cast<int32_t>(start.log));
  to.store.storedBytes.store(static_cast<int32_t>(start.bytes));
  to.store.packetCount.store(start.packets, std::memory_order_release);
  return start;
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
  s.OnIpv6 = (data[0] >> 6) & 1;
  s.OnIpv4 = s.OnIpv6 == 1 && (data[0] >> 7) != 0 ? 0 : 1;
  bool nearlyFull = data[1] == 255;
  int rounds = nearlyFull ? 4 : 1 + (data[1] & 3);
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  s.sourceFilter = ParseEndpointFilter(TakeLine(rest));
  s.destinationFilter = ParseEndpointFilter(TakeLine(rest));
  SetReverseAddresses(s);
  ResetStores(s);
  Start start = nearlyFull ? CopyPrefilled(s) : Start{};

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
      size_t stored = start.packets + kept.size();
      if (result == AcceptResult::kStoredLast) Check(stored == kMaxPackets);
      // No room: either the tables are full or this datagram is larger than what is left.
      if (result == AcceptResult::kNoRoom) {
        Check(stored == kMaxPackets || d.size > static_cast<size_t>(kByteAreaSize - before));
      }
      if (result == AcceptResult::kStoredLast || result == AcceptResult::kNoRoom) {
        ended = true;  // the capture ends here, as the capture thread ends it
        break;
      }
    }
  }
  CheckStore(s, kept, start);
  return 0;
}
