// The statistics' passes: each datagram read once through the byte reader, its
// conversation found through one hash look-up (its endpoints are the conversation's), and
// its counts added in place.
#include "capture/statistics.h"

#include <cstring>

#include "capture/byte_reader.h"
#include "capture/ipv6_extensions.h"
#include "capture/packet_line.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr uint32_t kNoRow = UINT32_MAX;
constexpr uint8_t kTcp = 6, kUdp = 17;

uint64_t Mix(uint64_t h, uint64_t word) noexcept {
  h ^= word;
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

// A hash of a key made of whole 4-byte words.
template <typename Key>
uint32_t HashOf(const Key& key) noexcept {
  static_assert(sizeof(Key) % 4 == 0);
  uint64_t h = 0x243F6A8885A308D3ull;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&key);
  size_t at = 0;
  for (; at + 8 <= sizeof(Key); at += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    h = Mix(h, word);
  }
  if (at < sizeof(Key)) {
    uint32_t word;
    std::memcpy(&word, bytes + at, 4);
    h = Mix(h, word);
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

struct PortRule {
  uint16_t port;
  bool udp, tcp;
  Application application;
};
// Ports the report reads a section for (DNS with mDNS and LLMNR, DHCP and DHCPv6, NTP),
// and QUIC's. These win over a payload's first bytes, as in the report.
constexpr PortRule kPortRules[] = {
    {53, true, true, Application::kDns},    {5353, true, false, Application::kDns},
    {5355, true, true, Application::kDns},  {67, true, false, Application::kDhcp},
    {68, true, false, Application::kDhcp},  {546, true, false, Application::kDhcp},
    {547, true, false, Application::kDhcp}, {123, true, false, Application::kNtp},
    {443, true, false, Application::kQuic},
};
// A TCP segment that begins no message of its own (the rest of a record or a body) is
// taken by its well-known port.
constexpr PortRule kTcpFallbacks[] = {
    {443, false, true, Application::kTls}, {853, false, true, Application::kTls},
    {80, false, true, Application::kHttp}, {8080, false, true, Application::kHttp},
};

const PortRule* RuleFor(const PortRule* begin, const PortRule* end, bool tcp, uint16_t a, uint16_t b) noexcept {
  for (const PortRule* rule = begin; rule != end; ++rule) {
    if ((tcp ? rule->tcp : rule->udp) && (rule->port == a || rule->port == b)) return rule;
  }
  return nullptr;
}

const char* ProtocolName(uint8_t protocol, bool ipv6) {
  switch (protocol) {
    case kTcp: return "TCP";
    case kUdp: return "UDP";
    case 1: return ipv6 ? ProtocolWord(protocol) : "ICMP";
    case 2: return ipv6 ? ProtocolWord(protocol) : "IGMP";
    case kIcmpv6: return ipv6 ? "ICMPv6" : ProtocolWord(protocol);
    default: return ProtocolWord(protocol);
  }
}

}  // namespace

bool ProgramIds::Add(uint32_t programId) noexcept {
  for (uint32_t& slot : id) {
    if (slot == programId) return false;
    if (slot == kNoProgram) {
      slot = programId;
      return true;
    }
  }
  return false;
}

double Conversation::bitsPerSecond() const noexcept {
  if (duration() <= 0) return 0;
  return static_cast<double>(total().bytes) * 8e9 / static_cast<double>(duration());
}

Application ApplicationOf(bool tcp, uint16_t sourcePort, uint16_t destinationPort, const uint8_t* payload,
                          size_t length) noexcept {
  if (const PortRule* rule = RuleFor(std::begin(kPortRules), std::end(kPortRules), tcp, sourcePort, destinationPort)) {
    return rule->application;
  }
  if (tcp && BeginsTlsRecord(ByteReader(payload, length))) return Application::kTls;
  if (tcp && BeginsHttpMessage(ByteReader(payload, length))) return Application::kHttp;
  if (const PortRule* rule =
          RuleFor(std::begin(kTcpFallbacks), std::end(kTcpFallbacks), tcp, sourcePort, destinationPort)) {
    return rule->application;
  }
  return Application::kOther;
}

std::string AddressText(const Address& address, bool ipv6) {
  char text[kAddressTextSize];
  if (ipv6) {
    FormatIpv6(address.bytes, text);
  } else {
    ByteReader r(address.bytes, 4);
    FormatIpv4(r.Ipv4(0), text);
  }
  return text;
}

namespace {

// The transport's payload behind `at`, when the header is whole and something follows.
void ReadTransport(ByteReader& r, size_t at, uint8_t protocol, const uint8_t*& payload, size_t& length) {
  size_t header = protocol == kTcp ? static_cast<size_t>(r.U8(at + 12) >> 4) * 4 : 8;
  if ((protocol == kTcp && header < 20) || !r.Has(at, header) || r.size() - at == header) return;
  payload = r.data() + at + header;
  length = r.size() - at - header;
}

}  // namespace

bool ReadDatagramKey(const uint8_t* bytes, size_t length, uint8_t protocol, DatagramKey& d) noexcept {
  bool ipv6 = IsIpv6Datagram(bytes, length);
  if (length < (ipv6 ? kIpv6HeaderSize : 20)) return false;
  ByteReader r(bytes, length);
  d = {};
  d.size = DatagramSize(bytes, length);
  const uint8_t* source = bytes + (ipv6 ? 8 : 12);
  const uint8_t* destination = bytes + (ipv6 ? 24 : 16);
  size_t addressSize = ipv6 ? 16 : 4;
  // Only the first fragment carries the transport header.
  size_t upper = 0;
  bool first = false;
  if (ipv6) {
    Ipv6UpperLayer walk = WalkIpv6Extensions(r, [](uint8_t, size_t, size_t) {});
    upper = walk.at;
    first = walk.complete && walk.fragmentOffset == 0;
  } else {
    upper = (r.U8(0) & 0x0Fu) * 4u;
    first = (r.Be16(6) & 0x1FFFu) == 0 && upper >= 20;
  }
  bool ports = (protocol == kTcp || protocol == kUdp) && first && r.Has(upper, 4);
  if (ports) {
    d.sourcePort = r.Be16(upper);
    d.destinationPort = r.Be16(upper + 2);
    ReadTransport(r, upper, protocol, d.payload, d.payloadLength);
  }
  int order = std::memcmp(source, destination, addressSize);
  d.fromLow = order < 0 || (order == 0 && d.sourcePort <= d.destinationPort);
  std::memcpy(d.key.low.bytes, d.fromLow ? source : destination, addressSize);
  std::memcpy(d.key.high.bytes, d.fromLow ? destination : source, addressSize);
  d.key.lowPort = d.fromLow ? d.sourcePort : d.destinationPort;
  d.key.highPort = d.fromLow ? d.destinationPort : d.sourcePort;
  d.key.protocol = protocol;
  d.key.ipv6 = ipv6;
  return true;
}

Application DatagramKey::application() const noexcept {
  if (payload == nullptr) return Application::kCount;
  return ApplicationOf(key.protocol == kTcp, sourcePort, destinationPort, payload, payloadLength);
}

Statistics::Statistics(int64_t rateInterval, const ProgramTable& programs)
    : table_(programs), interval_(rateInterval > 0 ? rateInterval : 0) {}

void Statistics::Pass(const PacketStore& store, uint32_t from, uint32_t to) {
  to = std::min(to, PublishedPacketCount(store));
  for (uint32_t i = from; i < to; ++i) {
    StoredPacket p{};
    if (!LocatePacket(store, static_cast<int32_t>(i), p)) continue;
    Add(p.bytes, static_cast<size_t>(p.length), p.protocol, p.receiveTime, PacketOwner(store, static_cast<int32_t>(i)));
  }
  end_ = std::max(end_, to);
}

void Statistics::Add(const uint8_t* bytes, size_t length, uint8_t protocol, int64_t time, uint32_t owner) {
  Datagram d{};
  if (!ReadDatagramKey(bytes, length, protocol, d)) {
    ++unreadable_;
    return;
  }
  bool ipv6 = d.key.ipv6 != 0;
  total_.Add(d.size);
  protocols_.family[ipv6].Add(d.size);
  protocols_.protocol[ipv6][protocol].Add(d.size);
  if (d.payload != nullptr) protocols_.application[ipv6][protocol == kUdp][static_cast<size_t>(d.application())].Add(d.size);
  if (!started_) {
    started_ = true;
    start_ = time;
  }
  if (interval_ > 0) {
    // A datagram older than the first (a file out of order) counts in the first interval.
    uint64_t k = time > start_ ? static_cast<uint64_t>(time - start_) / static_cast<uint64_t>(interval_) : 0;
    if (k >= kMaxRateBuckets) {
      late_.Add(d.size);
    } else {
      if (k >= rates_.size()) rates_.resize(k + 1);
      rates_[k].Add(d.size);
    }
  }

  uint32_t row = ConversationOf(d);
  Conversation* c = nullptr;
  bool aToB = true;
  if (row == kNoRow) {
    untabled_.Add(d.size);
  } else {
    c = &conversations_[row];
    aToB = d.fromLow == c->aIsLow;
    (aToB ? c->aToB : c->bToA).Add(d.size);
    c->first = std::min(c->first, time);
    c->last = std::max(c->last, time);
    endpointsSummed_ = false;
  }
  if (owner != kOwnerPending && owner != kUnknownOwner) CountPrograms(owner, d.size, c, aToB);
}

uint32_t Statistics::ConversationOf(const Datagram& d) {
  if (lastConversation_ != kNoRow && d.key == lastKey_) return lastConversation_;
  uint32_t hash = HashOf(d.key);
  uint32_t row = conversationIndex_.Find(hash, [&](uint32_t r) { return conversations_[r].key == d.key; });
  if (row == kNoRow) {
    if (conversations_.size() >= kMaxConversations) return kNoRow;
    row = static_cast<uint32_t>(conversations_.size());
    Conversation c{};
    c.key = d.key;
    c.aIsLow = d.fromLow;
    c.first = INT64_MAX;
    c.last = INT64_MIN;
    bool ports = d.key.protocol == kTcp || d.key.protocol == kUdp;
    const Address* ends[2] = {&c.a(), &c.b()};
    uint16_t endPorts[2] = {c.aPort(), c.bPort()};
    for (int end = 0; end < 2; ++end) {
      EndpointKey key{*ends[end], 0, 0, d.key.ipv6};
      c.addressRow[end] = EndpointOf(addresses_, addressIndex_, key);
      key.port = endPorts[end];
      key.protocol = d.key.protocol;
      c.portRow[end] = ports ? EndpointOf(ports_, portIndex_, key) : kNoRow;
    }
    conversations_.push_back(c);
    conversationIndex_.Insert(hash, row);
  }
  lastConversation_ = row;
  lastKey_ = d.key;
  return row;
}

uint32_t Statistics::EndpointOf(std::vector<Endpoint>& table, Index& index, const EndpointKey& key) {
  uint32_t hash = HashOf(key);
  uint32_t row = index.Find(hash, [&](uint32_t r) { return table[r].key == key; });
  if (row != kNoRow) return row;
  row = static_cast<uint32_t>(table.size());
  table.push_back(Endpoint{key, {}, {}, {}});
  index.Insert(hash, row);
  return row;
}

uint32_t Statistics::ProgramRowOf(uint32_t programId) {
  if (programId < programRowOfId_.size() && programRowOfId_[programId] != 0) return programRowOfId_[programId] - 1;
  const Program* program = table_.ProgramOf(programId);
  if (program == nullptr) return kNoRow;
  std::string key = std::string(program->pid == 0 ? "" : program->name) + '\0' + program->user;
  auto [at, made] = programRowOfName_.try_emplace(key, static_cast<uint32_t>(programRows_.size()));
  if (made) programRows_.push_back(ProgramRow{program->pid == 0 ? "" : program->name, program->user, {}, {}, 0});
  if (programId >= programRowOfId_.size()) programRowOfId_.resize(programId + 1, 0);
  programRowOfId_[programId] = at->second + 1;
  return at->second;
}

void Statistics::CountPrograms(uint32_t owner, uint64_t size, Conversation* c, bool aToB) {
  if (owner != lastOwner_) {
    Owner ends = table_.OwnerOf(owner);
    lastOwnerIds_[0] = ends.source;
    lastOwnerIds_[1] = ends.destination;
    lastOwnerRows_[0] = ProgramRowOf(ends.source);
    lastOwnerRows_[1] = ProgramRowOf(ends.destination);
    lastOwner_ = owner;
  }
  for (int end = 0; end < 2; ++end) {
    uint32_t row = lastOwnerRows_[end];
    if (row == kNoRow) continue;
    ProgramRow& program = programRows_[row];
    (end == 0 ? program.sent : program.received).Add(size);
    if (c == nullptr) continue;
    // A conversation counts once for a program, whichever of its processes took part.
    bool known = false;
    for (uint32_t id : c->programs.id) known = known || (id != kNoProgram && ProgramRowOf(id) == row);
    if (!known && c->programs.Add(lastOwnerIds_[end])) ++program.conversations;
    // The sender's program is its end's, the receiver's the other end's.
    int at = (end == 0) == aToB ? 0 : 1;
    addresses_[c->addressRow[at]].programs.Add(lastOwnerIds_[end]);
    if (c->portRow[0] != kNoRow) ports_[c->portRow[at]].programs.Add(lastOwnerIds_[end]);
  }
}

void Statistics::SumEndpoints() const noexcept {
  if (endpointsSummed_) return;
  for (auto* table : {&addresses_, &ports_}) {
    for (Endpoint& e : *table) e.sent = e.received = {};
  }
  auto add = [](Traffic& to, const Traffic& from) {
    to.packets += from.packets;
    to.bytes += from.bytes;
  };
  for (const Conversation& c : conversations_) {
    for (auto [table, rows] : {std::pair{&addresses_, c.addressRow}, std::pair{&ports_, c.portRow}}) {
      if (rows[0] == kNoRow) continue;
      Endpoint &a = (*table)[rows[0]], &b = (*table)[rows[1]];
      add(a.sent, c.aToB), add(a.received, c.bToA);
      add(b.sent, c.bToA), add(b.received, c.aToB);
    }
  }
  endpointsSummed_ = true;
}

std::vector<ProtocolNode> Statistics::ProtocolTree() const {
  std::vector<ProtocolNode> tree;
  auto byBytes = [](std::vector<std::pair<size_t, Traffic>>& nodes) {
    std::stable_sort(nodes.begin(), nodes.end(), [](const auto& x, const auto& y) { return x.second.bytes > y.second.bytes; });
  };
  std::vector<std::pair<size_t, Traffic>> families;
  for (size_t f = 0; f < 2; ++f) {
    if (protocols_.family[f].packets != 0) families.emplace_back(f, protocols_.family[f]);
  }
  byBytes(families);
  for (auto [f, familyTraffic] : families) {
    std::string family = f == 0 ? "IPv4" : "IPv6";
    tree.push_back({0, family, family, familyTraffic, static_cast<int>(f)});
    std::vector<std::pair<size_t, Traffic>> protocols;
    for (size_t p = 0; p < 256; ++p) {
      if (protocols_.protocol[f][p].packets != 0) protocols.emplace_back(p, protocols_.protocol[f][p]);
    }
    byBytes(protocols);
    for (auto [p, protocolTraffic] : protocols) {
      std::string name = ProtocolName(static_cast<uint8_t>(p), f == 1);
      std::string path = family + "/" + name;
      tree.push_back({1, name, path, protocolTraffic, static_cast<int>(f), static_cast<int>(p)});
      if (p != kTcp && p != kUdp) continue;
      std::vector<std::pair<size_t, Traffic>> applications;
      for (size_t a = 0; a < static_cast<size_t>(Application::kCount); ++a) {
        const Traffic& t = protocols_.application[f][p == kUdp][a];
        if (t.packets != 0) applications.emplace_back(a, t);
      }
      byBytes(applications);
      for (auto [a, t] : applications) {
        tree.push_back({2, kApplicationNames[a], path + "/" + kApplicationNames[a], t, static_cast<int>(f),
                        static_cast<int>(p), static_cast<int>(a)});
      }
    }
  }
  return tree;
}

template <typename Same>
uint32_t Statistics::Index::Find(uint32_t hash, Same&& same) const noexcept {
  if (slots_.empty()) return kNoRow;
  size_t mask = slots_.size() - 1;
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    uint64_t slot = slots_[at];
    if (slot == 0) return kNoRow;
    if (static_cast<uint32_t>(slot >> 32) == hash && same(static_cast<uint32_t>(slot) - 1)) {
      return static_cast<uint32_t>(slot) - 1;
    }
  }
}

void Statistics::Index::Insert(uint32_t hash, uint32_t row) {
  if ((used_ + 1) * 2 > slots_.size()) Grow();
  size_t mask = slots_.size() - 1;
  size_t at = hash & mask;
  while (slots_[at] != 0) at = (at + 1) & mask;
  slots_[at] = uint64_t{hash} << 32 | (uint64_t{row} + 1);
  ++used_;
}

void Statistics::Index::Grow() {
  std::vector<uint64_t> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, 0);
  size_t mask = slots_.size() - 1;
  for (uint64_t slot : old) {
    if (slot == 0) continue;
    size_t at = (slot >> 32) & mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

}  // namespace trovix
