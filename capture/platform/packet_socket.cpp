// Packet socket with a TPACKET_V3 receive ring. SOCK_DGRAM gives every datagram from its
// IP header on, in both directions; the caller's classic BPF program decides which of
// them reach the ring.
#include "capture/platform/packet_socket.h"

// net/if.h must come before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "capture/platform/capabilities.h"
#include "capture/platform/rtnetlink.h"

namespace trovix {
namespace {

constexpr uint32_t kFrameSize = 1u << 11;

int AttachFilter(int fd, const sock_filter* program, uint16_t length) noexcept {
  sock_fprog fprog{length, const_cast<sock_filter*>(program)};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog);
}

}  // namespace

int PacketRing::SetUpRing(RingShape shape) noexcept {
  int version = TPACKET_V3;
  if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return errno;
  tpacket_req3 req{};
  req.tp_block_size = shape.blockSize;
  req.tp_block_nr = shape.blockCount;
  req.tp_frame_size = kFrameSize;
  req.tp_frame_nr = shape.blockSize / kFrameSize * shape.blockCount;
  req.tp_retire_blk_tov = shape.handOverMs;
  if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return errno;
  size_t size = static_cast<size_t>(shape.blockSize) * shape.blockCount;
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) return errno;
  map_ = static_cast<uint8_t*>(map);
  mapSize_ = size;
  blockSize_ = shape.blockSize;
  blockCount_ = shape.blockCount;
  nextBlock_ = 0;
  return 0;
}

int InterfaceIndexForAddress(uint32_t address) noexcept {
  if (address == htonl(INADDR_ANY)) return 0;
  // By the interface index the kernel gives each address, never by an address label.
  std::vector<InterfaceAddress> addresses;
  try {
    if (ReadIpv4Addresses(addresses) != 0) return -1;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (const InterfaceAddress& a : addresses) {
    if (a.address == address) return a.ifindex;
  }
  return -1;
}

int InterfaceIndexForIpv6Address(const in6_addr& address) noexcept {
  if (IN6_IS_ADDR_UNSPECIFIED(&address)) return 0;
  std::vector<Interface6Address> addresses;
  try {
    if (ReadIpv6Addresses(addresses) != 0) return -1;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (const Interface6Address& a : addresses) {
    if (IN6_ARE_ADDR_EQUAL(&a.address, &address)) return a.ifindex;
  }
  return -1;
}

bool WalkRingBlock(const uint8_t* block, uint32_t blockSize, DatagramHandler handler, void* context) noexcept {
  // Headers are copied out rather than cast in place: an offset that is not a multiple
  // of the header's alignment must not make the read itself undefined.
  if (blockSize < sizeof(tpacket_block_desc)) return true;
  tpacket_hdr_v1 bh;
  std::memcpy(&bh, block + offsetof(tpacket_block_desc, hdr), sizeof bh);
  // No block holds more frames than frame headers fit in it.
  if (bh.num_pkts > blockSize / sizeof(tpacket3_hdr)) return true;
  uint64_t at = bh.offset_to_first_pkt;
  if (at < sizeof(tpacket_block_desc)) return true;
  for (uint32_t i = 0; i < bh.num_pkts; ++i) {
    if (at > blockSize - sizeof(tpacket3_hdr)) return true;
    tpacket3_hdr frame;
    std::memcpy(&frame, block + at, sizeof frame);
    uint64_t data = at + frame.tp_net;
    if (frame.tp_net < sizeof(tpacket3_hdr) || data > blockSize || frame.tp_snaplen > blockSize - data) return true;
    int64_t receiveTime = static_cast<int64_t>(frame.tp_sec) * 1000000000 + frame.tp_nsec;
    if (!handler(context, block + data, frame.tp_snaplen, receiveTime)) return false;
    if (frame.tp_next_offset == 0) return true;
    at += frame.tp_next_offset;
  }
  return true;
}

PacketRing::~PacketRing() { Release(); }

PacketRing::PacketRing(PacketRing&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      ifindex_(other.ifindex_),
      map_(std::exchange(other.map_, nullptr)),
      mapSize_(std::exchange(other.mapSize_, 0)),
      blockSize_(other.blockSize_),
      blockCount_(std::exchange(other.blockCount_, 0)),
      nextBlock_(other.nextBlock_),
      blocksDrained_(other.blocksDrained_),
      failure_(other.failure_),
      interfaceDown_(other.interfaceDown_),
      statistics_(std::exchange(other.statistics_, {})) {}

PacketRing& PacketRing::operator=(PacketRing&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    ifindex_ = other.ifindex_;
    map_ = std::exchange(other.map_, nullptr);
    mapSize_ = std::exchange(other.mapSize_, 0);
    blockSize_ = other.blockSize_;
    blockCount_ = std::exchange(other.blockCount_, 0);
    nextBlock_ = other.nextBlock_;
    blocksDrained_ = other.blocksDrained_;
    failure_ = other.failure_;
    interfaceDown_ = other.interfaceDown_;
    statistics_ = std::exchange(other.statistics_, {});
  }
  return *this;
}

void PacketRing::Release() noexcept {
  if (map_ != nullptr) munmap(map_, mapSize_);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  map_ = nullptr;
  mapSize_ = 0;
  blockCount_ = 0;
}

int PacketRing::Open(int ifindex, const sock_filter* program, uint16_t length, PacketRing& ring,
                     RingShape shape) noexcept {
  PacketRing opened;
  // Protocol 0 until bind: no datagram of another interface reaches the ring meanwhile.
  // Creating the socket is the one step that needs CAP_NET_RAW; it is effective only here.
  int socketError = 0;
  {
    NetRawRaised privilege;
    opened.fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socketError = errno;
  }
  if (opened.fd_ < 0) return socketError;
  if (AttachFilter(opened.fd_, program, length) != 0) return errno;
  if (int error = opened.SetUpRing(shape); error != 0) return error;
  sockaddr_ll where{};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_ALL);
  where.sll_ifindex = ifindex;
  if (bind(opened.fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) return errno;
  opened.ifindex_ = ifindex;
  ring = std::move(opened);
  return 0;
}

bool PacketRing::Drain(DatagramHandler handler, void* context) noexcept {
  if (map_ == nullptr) return true;
  for (uint32_t lap = 0; lap < blockCount_; ++lap) {
    uint8_t* block = map_ + static_cast<size_t>(nextBlock_) * blockSize_;
    // The kernel hands a block over by its status word; acquire it before reading the block.
    auto* status = reinterpret_cast<uint32_t*>(block + offsetof(tpacket_block_desc, hdr.bh1.block_status));
    if ((__atomic_load_n(status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) return true;
    // The filter attached before bind has already dropped all but IPv4 and loopback's
    // outgoing copies (and, as a rule, what the capture's filters reject), so every frame
    // here is a datagram to hand on.
    bool keepGoing = WalkRingBlock(block, blockSize_, handler, context);
    __atomic_store_n(status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    nextBlock_ = (nextBlock_ + 1) % blockCount_;
    ++blocksDrained_;
    if (!keepGoing) return false;
  }
  return true;
}

bool PacketRing::NextBlockHoldsDatagrams() const noexcept {
  if (map_ == nullptr) return false;
  const uint8_t* block = map_ + static_cast<size_t>(nextBlock_) * blockSize_;
  auto* status = reinterpret_cast<const uint32_t*>(block + offsetof(tpacket_block_desc, hdr.bh1.block_status));
  if ((__atomic_load_n(status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0) return true;
  // The kernel counts a datagram into the block it fills as it copies it in; only whether
  // the count is 0 matters here, so a racing read is good enough.
  auto* packets = reinterpret_cast<const uint32_t*>(block + offsetof(tpacket_block_desc, hdr.bh1.num_pkts));
  return __atomic_load_n(packets, __ATOMIC_RELAXED) != 0;
}

bool PacketRing::Failed(short revents) noexcept {
  if ((revents & POLLNVAL) != 0 || fd_ < 0) {
    failure_ = EBADF;
    return true;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
    failure_ = errno;
    return true;
  }
  failure_ = error != 0 ? error : EIO;  // an error condition the socket does not name
  // A socket on every interface has no interface to wait for; one that is bound waits
  // only while its interface exists and the error was one that reading it cleared.
  if (ifindex_ == 0 || error == 0) return true;
  interfaceDown_ = true;
  return InterfaceGoneWhileDown();
}

bool PacketRing::InterfaceGoneWhileDown() noexcept {
  if (!interfaceDown_) return false;
  char name[IF_NAMESIZE];
  if (if_indextoname(static_cast<unsigned>(ifindex_), name) != nullptr) return false;
  failure_ = ENODEV;  // the interface is gone, whatever the socket said about it
  return true;
}

RingStatistics PacketRing::Statistics() noexcept {
  tpacket_stats_v3 now{};
  socklen_t size = sizeof now;
  if (fd_ >= 0 && getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &now, &size) == 0) {
    statistics_.received += now.tp_packets;
    statistics_.dropped += now.tp_drops;
  }
  return statistics_;
}

}  // namespace trovix
