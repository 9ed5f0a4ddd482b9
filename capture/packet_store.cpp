// Store and log appends. The order of the writes is what makes the store safe to read
// without a lock: everything of packet k is in place before the count becomes k + 1.
#include "capture/packet_store.h"

#include <cstring>
#include <new>

#include "capture/byte_reader.h"
#include "capture/ipv6_extensions.h"
#include "capture/packet_line.h"

namespace trovix {
namespace {

static_assert(kMaxPackets * (kPacketLineMax + 2) + 1 <= static_cast<size_t>(kSniffLogSize),
              "a full capture's log must fit the sniff log");

bool ProtocolSwitchOn(const CaptureState& s, uint8_t protocol, bool ipv6) {
  if (ipv6) {
    // "icmp" covers ICMPv6; "raw" every upper layer of IPv6 but TCP, UDP and ICMPv6.
    switch (protocol) {
      case 6: return s.OnTcp == 1;
      case 17: return s.OnUdp == 1;
      case kIcmpv6: return s.OnIcmp == 1;
      case kRawProtocol: return s.OnRaw == 1;
      default: return false;
    }
  }
  switch (protocol) {
    case 6: return s.OnTcp == 1;
    case 17: return s.OnUdp == 1;
    case 2: return s.OnIgmp == 1;
    case 1: return s.OnIcmp == 1;
    case 255: return s.OnRaw == 1;
    default: return false;
  }
}

bool Passes(const CaptureState& state, const DatagramFields& f) {
  if (!AddressTestPasses(state, f.src, f.dst)) return false;
  if (!ProtocolSwitchOn(state, f.protocol, f.ipv6)) return false;
  if (f.protocol != 6 && f.protocol != 17) return true;
  return f.portsValid && PortTestPasses(state, f.sport, f.dport);
}

}  // namespace

CaptureState& TheCaptureState() {
  // Static storage starts zero-filled without its pages being touched, and the record is
  // made in it without clearing the stores again: a start then costs nothing for their
  // 5 MB until they are used. Never destroyed, so an exit never waits on a capture.
  alignas(CaptureState) static unsigned char storage[sizeof(CaptureState)];
  static CaptureState* const state = new (storage) CaptureState;
  return *state;
}

void ResetPacketStore(PacketStore& store) noexcept {
  uint32_t count = store.packetCount.load(std::memory_order_relaxed);
  int32_t used = store.storedBytes.load(std::memory_order_relaxed);
  std::memset(store.bytes, 0, static_cast<size_t>(used < 0 ? 0 : used > kByteAreaSize ? kByteAreaSize : used));
  std::memset(store.protocols, 0, count < kTableEntries ? count : kTableEntries);
  PoisonBytes(store.bytes, kByteAreaSize);
  store.storedBytes.store(0, std::memory_order_relaxed);
  store.packetCount.store(0, std::memory_order_release);
}

void ResetStores(CaptureState& state) {
  ResetPacketStore(state.store);
  std::memset(state.sniffLog.text, 0, static_cast<size_t>(state.sniffLog.length.load(std::memory_order_relaxed)));
  state.sniffLog.length.store(0, std::memory_order_relaxed);
}

bool ScreenDatagram(const CaptureState& state, const uint8_t* datagram, size_t& length,
                    DatagramFields& fields) noexcept {
  if (length > kMaxDatagramLength) length = kMaxDatagramLength;
  // An Ethernet frame is at least 60 bytes, so a short datagram arrives with the frame's
  // padding behind it. The total length says where the datagram ends; a smaller value
  // than the IP header, or a larger one than was received (a cut datagram), says nothing
  // usable, and then what was received is kept. IPv6 says it as 40 + its payload length.
  // A payload length of 0 is an empty payload, unless a hop-by-hop header follows (a
  // jumbogram, whose length only its option tells) or more arrived than the field could
  // say (BIG TCP): then the datagram is all that was received, as it is for an IPv4 total
  // length of 0.
  ByteReader r(datagram, length);
  bool ipv6 = IsIpv6Datagram(datagram, length);
  if ((ipv6 ? state.OnIpv6 : state.OnIpv4) != 1) return false;
  if (ipv6) {
    size_t payload = r.Be16(4);
    bool unsaid = payload == 0 && (r.U8(6) == kHopByHop || length > kIpv6HeaderSize + kMaxFieldLength);
    if (!unsaid && kIpv6HeaderSize + payload < length) length = kIpv6HeaderSize + payload;
  } else {
    size_t total = r.Be16(2);
    if (total >= 20 && total < length) length = total;
  }
  return ReadDatagramFields(datagram, length, fields) && Passes(state, fields);
}

AcceptResult AcceptDatagram(CaptureState& state, const uint8_t* datagram, size_t length,
                            int64_t receiveTime) noexcept {
  DatagramFields fields;
  if (!ScreenDatagram(state, datagram, length, fields)) return AcceptResult::kDropped;
  return AppendPacket(state.store, fields.protocol, datagram, length, &state.sniffLog, &fields, receiveTime);
}

AcceptResult AppendPacket(PacketStore& store, uint8_t protocol, const uint8_t* datagram, size_t length,
                          SniffLog* log, const DatagramFields* fields, int64_t receiveTime) noexcept {
  uint32_t index = store.packetCount.load(std::memory_order_relaxed);
  int32_t total = store.storedBytes.load(std::memory_order_relaxed);
  if (index >= kMaxPackets) return AcceptResult::kNoRoom;
  if (length > static_cast<size_t>(kByteAreaSize - total)) return AcceptResult::kNoRoom;

  store.protocols[index] = protocol;
  store.lengths[index] = static_cast<int32_t>(length);
  store.receiveTimes[index] = receiveTime;
  UnpoisonBytes(store.bytes + total, length);
  if (length > 0) std::memcpy(store.bytes + total, datagram, length);
  store.storedBytes.store(total + static_cast<int32_t>(length), std::memory_order_relaxed);

  if (log != nullptr && fields != nullptr) {
    int32_t at = log->length.load(std::memory_order_relaxed);
    size_t n = FormatPacketLine(index, *fields, log->text + at);
    log->text[at + n] = '\r';
    log->text[at + n + 1] = '\n';
    log->length.store(at + static_cast<int32_t>(n) + 2, std::memory_order_release);
  }

  store.packetCount.store(index + 1, std::memory_order_release);
  return index + 1 == kMaxPackets ? AcceptResult::kStoredLast : AcceptResult::kStored;
}

bool LocatePacket(const PacketStore& store, int32_t index, StoredPacket& out) noexcept {
  uint32_t count = PublishedPacketCount(store);
  if (index < 0 || static_cast<uint32_t>(index) >= count) return false;
  // Every entry is checked on the way: a negative one could bring a later sum back inside
  // the area and so hide an earlier entry that overran it.
  int32_t offset = 0;
  for (int32_t k = 0; k <= index; ++k) {
    int32_t entry = store.lengths[k];
    if (entry < 0 || entry > kByteAreaSize - offset) return false;
    if (k < index) offset += entry;
  }
  int32_t length = store.lengths[index];
  out = {store.bytes + offset, offset, length, store.protocols[index], store.receiveTimes[index]};
  return true;
}

}  // namespace trovix
