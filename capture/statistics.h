// Statistics over the stored datagrams: conversations, endpoints, a protocol tree, programs
// and the rate per interval, made by passes over the store. A pass goes on where the last
// one ended, so a live capture costs each datagram once; the tables grow by conversation,
// endpoint and program, never by datagram.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/packet_store.h"
#include "capture/program_table.h"

namespace trovix {

// The most conversations kept. A datagram of a conversation past it is counted in the
// totals, the protocol tree, the programs and the rates, but in no conversation or
// endpoint (Statistics::untabled says how much that was).
inline constexpr uint32_t kMaxConversations = 1u << 20;
// The most rate intervals from the first datagram on; datagrams later than the last are
// counted in Statistics::lateForRates.
inline constexpr uint32_t kMaxRateBuckets = 1u << 21;
// The programs named in one conversation or endpoint (a 5-tuple is rarely held by more
// than one socket at each end); a further program still counts in its own row.
inline constexpr size_t kProgramsPerRow = 4;

struct Traffic {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  void Add(uint64_t size) noexcept {
    ++packets;
    bytes += size;
  }
};

// An address of either family: IPv4 in the first 4 bytes, the rest 0.
struct Address {
  uint8_t bytes[16];
  bool operator==(const Address&) const = default;
};

// Program ids (program_table.h) seen in a row, kNoProgram past the last.
struct ProgramIds {
  uint32_t id[kProgramsPerRow] = {};
  // False when the id is already there or there is no room.
  bool Add(uint32_t programId) noexcept;
};

// Both directions of a 5-tuple (TCP, UDP) or of an address pair (any other protocol).
// Its key is the pair in a fixed order (lower address and port first), so either
// direction finds it.
struct ConversationKey {
  Address low, high;
  uint16_t lowPort, highPort;  // 0 for a protocol without ports
  uint8_t protocol;
  uint8_t ipv6;
  uint8_t pad[2] = {};
  bool operator==(const ConversationKey&) const = default;
};
static_assert(sizeof(ConversationKey) == 40);

struct Conversation {
  ConversationKey key;
  // A is the source of the conversation's first datagram: the low end or the high end.
  bool aIsLow;
  Traffic aToB, bToA;
  int64_t first, last;  // receive times, nanoseconds since 1970
  ProgramIds programs;
  // Rows of Statistics::addresses() for A and B, and of ports() (UINT32_MAX without ports).
  uint32_t addressRow[2];
  uint32_t portRow[2];

  const Address& a() const noexcept { return aIsLow ? key.low : key.high; }
  const Address& b() const noexcept { return aIsLow ? key.high : key.low; }
  uint16_t aPort() const noexcept { return aIsLow ? key.lowPort : key.highPort; }
  uint16_t bPort() const noexcept { return aIsLow ? key.highPort : key.lowPort; }
  bool ports() const noexcept { return key.protocol == 6 || key.protocol == 17; }
  Traffic total() const noexcept { return {aToB.packets + bToA.packets, aToB.bytes + bToA.bytes}; }
  int64_t duration() const noexcept { return last - first; }
  // Bits per second over its duration; 0 for a conversation of no duration.
  double bitsPerSecond() const noexcept;
};

struct EndpointKey {
  Address address;
  uint16_t port;     // 0 for an address alone
  uint8_t protocol;  // 6 or 17 with a port, else 0
  uint8_t ipv6;
  bool operator==(const EndpointKey&) const = default;
};
static_assert(sizeof(EndpointKey) == 20);

struct Endpoint {
  EndpointKey key;
  Traffic sent, received;
  ProgramIds programs;  // the programs that sent or received at it
  Traffic total() const noexcept { return {sent.packets + received.packets, sent.bytes + received.bytes}; }
};

// A program as a row: every process of one name and user.
struct ProgramRow {
  std::string name;  // empty for a user alone (a socket whose process could not be read)
  std::string user;
  Traffic sent, received;
  uint64_t conversations = 0;
  Traffic total() const noexcept { return {sent.packets + received.packets, sent.bytes + received.bytes}; }
};

// What TCP and UDP payloads are counted as, chosen by port and by the report's tests of
// their first bytes.
enum class Application : uint8_t { kDns, kTls, kQuic, kHttp, kDhcp, kNtp, kOther, kCount };
inline constexpr const char* kApplicationNames[] = {"DNS", "TLS", "QUIC", "HTTP", "DHCP", "NTP", "other"};
static_assert(std::size(kApplicationNames) == static_cast<size_t>(Application::kCount));

// The application of a TCP or UDP payload between these ports (not an empty payload).
Application ApplicationOf(bool tcp, uint16_t sourcePort, uint16_t destinationPort, const uint8_t* payload,
                          size_t length) noexcept;

// The protocol tree: each family, each upper-layer protocol in it, and TCP's and UDP's
// payloads by application (a segment without payload is counted at TCP alone).
struct ProtocolCounts {
  Traffic family[2];  // IPv4, IPv6
  Traffic protocol[2][256];
  Traffic application[2][2][static_cast<size_t>(Application::kCount)];  // [family][TCP, UDP]
};

// One node of the tree as it is shown: depth 0 a family, 1 a protocol, 2 an application.
struct ProtocolNode {
  int depth;
  std::string name;  // "IPv4", "TCP", "ICMPv6", a protocol's list word, "DNS", "other"
  std::string path;  // "IPv4/UDP/DNS"
  Traffic traffic;
  // What the node counts: 0 IPv4, 1 IPv6; the upper-layer protocol; an Application (-1
  // where the depth has none).
  int family = -1;
  int protocol = -1;
  int application = -1;
};

// What a pass reads of one datagram: its conversation's key, which end sent it, its size,
// and TCP's or UDP's payload when it has one.
struct DatagramKey {
  ConversationKey key;
  bool fromLow;      // its source is the key's low end
  uint32_t size;     // the IP length its header gives (the list's size)
  const uint8_t* payload = nullptr;
  size_t payloadLength = 0;
  uint16_t sourcePort = 0, destinationPort = 0;
  // The application its payload counts as; kCount without a payload.
  Application application() const noexcept;
};

// False for a datagram too short to hold its IP header; `protocol` is the store's.
bool ReadDatagramKey(const uint8_t* datagram, size_t length, uint8_t protocol, DatagramKey& out) noexcept;

class Statistics {
 public:
  // Rates per `rateInterval` nanoseconds (0: none); programs named through `programs`.
  explicit Statistics(int64_t rateInterval = 1000000000, const ProgramTable& programs = TheProgramTable());

  // Packets [from, to) of the store, as far as they are published. Packet `from` should be
  // where the last pass ended (end()): each packet is to be counted once. With programs, a
  // live caller passes no packet the sampler has not matched yet (ProgramSampler::matched).
  void Pass(const PacketStore& store, uint32_t from, uint32_t to);
  // The next pass from where the last ended.
  void PassTo(const PacketStore& store, uint32_t to) { Pass(store, end_, to); }
  uint32_t end() const noexcept { return end_; }

  // One datagram as stored (from its IP header; `protocol` the store's upper-layer
  // protocol), for a caller that keeps no store.
  void Add(const uint8_t* datagram, size_t length, uint8_t protocol, int64_t receiveTime, uint32_t owner);

  const std::vector<Conversation>& conversations() const noexcept { return conversations_; }
  // The endpoints' counts are their conversations' sums, made when next asked for: a
  // datagram then costs one row, not five.
  const std::vector<Endpoint>& addresses() const noexcept {
    SumEndpoints();
    return addresses_;
  }
  const std::vector<Endpoint>& ports() const noexcept {
    SumEndpoints();
    return ports_;
  }
  const std::vector<ProgramRow>& programs() const noexcept { return programRows_; }
  const ProtocolCounts& protocols() const noexcept { return protocols_; }
  // The tree in order: each node before its children, siblings by bytes, largest first,
  // nodes without packets left out.
  std::vector<ProtocolNode> ProtocolTree() const;

  const Traffic& total() const noexcept { return total_; }
  const Traffic& untabled() const noexcept { return untabled_; }
  // The first datagram's receive time, from which the rate intervals count (0 before it).
  int64_t start() const noexcept { return start_; }
  int64_t rateInterval() const noexcept { return interval_; }
  // Interval k begins at start() + k * rateInterval(); up to the last with a datagram.
  const std::vector<Traffic>& rates() const noexcept { return rates_; }
  const Traffic& lateForRates() const noexcept { return late_; }
  // Datagrams too short to hold an IP header (none the accept path stores).
  uint64_t unreadable() const noexcept { return unreadable_; }

  // A program id's text, as the list's column names it ("NAME PID", "user NAME").
  std::string ProgramText(uint32_t programId) const { return table_.ProgramText(programId); }

  // Row numbers of a table, most bytes first (earlier rows first among equals).
  template <typename Row>
  static std::vector<uint32_t> ByBytes(const std::vector<Row>& rows);

 private:
  class Index {
   public:
    // The row whose key `same(row)` accepts, or UINT32_MAX.
    template <typename Same>
    uint32_t Find(uint32_t hash, Same&& same) const noexcept;
    void Insert(uint32_t hash, uint32_t row);

   private:
    void Grow();
    std::vector<uint64_t> slots_;  // hash << 32 | row + 1; 0 for an empty slot
    size_t used_ = 0;
  };
  using Datagram = DatagramKey;

  uint32_t ConversationOf(const Datagram& d);
  uint32_t EndpointOf(std::vector<Endpoint>& table, Index& index, const EndpointKey& key);
  uint32_t ProgramRowOf(uint32_t programId);
  void CountPrograms(uint32_t owner, uint64_t size, Conversation* conversation, bool aToB);
  void SumEndpoints() const noexcept;

  const ProgramTable& table_;
  int64_t interval_;
  uint32_t end_ = 0;
  std::vector<Conversation> conversations_;
  mutable std::vector<Endpoint> addresses_, ports_;
  mutable bool endpointsSummed_ = true;
  Index conversationIndex_, addressIndex_, portIndex_;
  std::vector<ProgramRow> programRows_;
  std::unordered_map<std::string, uint32_t> programRowOfName_;
  std::vector<uint32_t> programRowOfId_;  // program id -> row + 1 (0: not looked up yet)
  ProtocolCounts protocols_{};
  Traffic total_, untabled_, late_;
  int64_t start_ = 0;
  bool started_ = false;
  std::vector<Traffic> rates_;
  uint64_t unreadable_ = 0;
  // The last datagram's conversation and owner: a burst of one flow looks up neither again.
  uint32_t lastConversation_ = UINT32_MAX;
  ConversationKey lastKey_{};
  uint32_t lastOwner_ = kOwnerPending;
  uint32_t lastOwnerRows_[2] = {UINT32_MAX, UINT32_MAX};
  uint32_t lastOwnerIds_[2] = {};
};

template <typename Row>
std::vector<uint32_t> Statistics::ByBytes(const std::vector<Row>& rows) {
  std::vector<uint32_t> order(rows.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    uint64_t bx = rows[x].total().bytes, by = rows[y].total().bytes;
    return bx != by ? bx > by : x < y;
  });
  return order;
}

// An address's text: dotted decimal or RFC 5952 (as the packet line writes them).
std::string AddressText(const Address& address, bool ipv6);

}  // namespace trovix
