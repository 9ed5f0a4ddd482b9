// Packet socket with a TPACKET_V3 receive ring. SOCK_DGRAM gives every datagram from its
// IP header on, in both directions; a small classic BPF program keeps only IPv4 and
// drops the loopback's outgoing copy, so each datagram on lo is seen once.
#include "capture/platform/packet_socket.h"

// net/if.h must come before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trovix {
namespace {

// 16 blocks of 1 MiB: a 64 KiB datagram always fits a block, and a burst of tens of
// thousands of small datagrams fits the ring while the capture thread is not running.
constexpr uint32_t kBlockSize = 1u << 20;
constexpr uint32_t kBlockCount = 16;
constexpr uint32_t kFrameSize = 1u << 11;
// A block is handed over after this many milliseconds even when not full, so a quiet
// interface still shows its packets promptly.
constexpr uint32_t kBlockTimeoutMs = 4;
constexpr uint32_t kSnapLength = 65536;

int AttachFilter(int fd) noexcept {
  static sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 5),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 2),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_HATYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_LOOPBACK, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, kSnapLength),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

int SetUpRing(PacketRing& ring) noexcept {
  int version = TPACKET_V3;
  if (setsockopt(ring.fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return errno;
  tpacket_req3 req{};
  req.tp_block_size = kBlockSize;
  req.tp_block_nr = kBlockCount;
  req.tp_frame_size = kFrameSize;
  req.tp_frame_nr = kBlockSize / kFrameSize * kBlockCount;
  req.tp_retire_blk_tov = kBlockTimeoutMs;
  if (setsockopt(ring.fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return errno;
  ring.mapSize = static_cast<size_t>(kBlockSize) * kBlockCount;
  void* map = mmap(nullptr, ring.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, ring.fd, 0);
  if (map == MAP_FAILED) return errno;
  ring.map = static_cast<uint8_t*>(map);
  ring.blockSize = kBlockSize;
  ring.blockCount = kBlockCount;
  ring.nextBlock = 0;
  return 0;
}

}  // namespace

int InterfaceIndexForAddress(uint32_t address) noexcept {
  if (address == htonl(INADDR_ANY)) return 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  int index = -1;
  for (ifaddrs* it = list; it != nullptr && index < 0; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    if (in->sin_addr.s_addr == address) {
      unsigned found = if_nametoindex(it->ifa_name);
      if (found != 0) index = static_cast<int>(found);
    }
  }
  freeifaddrs(list);
  return index;
}

int OpenPacketRing(int ifindex, PacketRing& ring) noexcept {
  ring = PacketRing{};
  // Protocol 0 until bind: no datagram of another interface reaches the ring meanwhile.
  ring.fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ring.fd < 0) return errno;
  int error = AttachFilter(ring.fd) == 0 ? SetUpRing(ring) : errno;
  if (error == 0) {
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_ALL);
    where.sll_ifindex = ifindex;
    if (bind(ring.fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) error = errno;
  }
  if (error != 0) {
    ClosePacketRing(ring);
    return error;
  }
  ring.ifindex = ifindex;
  return 0;
}

void ClosePacketRing(PacketRing& ring) noexcept {
  if (ring.map != nullptr) munmap(ring.map, ring.mapSize);
  if (ring.fd >= 0) close(ring.fd);
  ring = PacketRing{};
}

bool DrainPacketRing(PacketRing& ring, DatagramHandler handler, void* context) noexcept {
  for (;;) {
    auto* block = reinterpret_cast<tpacket_block_desc*>(ring.map + static_cast<size_t>(ring.nextBlock) * ring.blockSize);
    // The kernel hands a block over by its status word; acquire it before reading the block.
    uint32_t* status = &block->hdr.bh1.block_status;
    if ((__atomic_load_n(status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) return true;

    bool keepGoing = true;
    const tpacket_hdr_v1& bh = block->hdr.bh1;
    const uint8_t* blockEnd = reinterpret_cast<const uint8_t*>(block) + ring.blockSize;
    const uint8_t* at = reinterpret_cast<const uint8_t*>(block) + bh.offset_to_first_pkt;
    for (uint32_t i = 0; i < bh.num_pkts && keepGoing; ++i) {
      const auto* frame = reinterpret_cast<const tpacket3_hdr*>(at);
      const uint8_t* data = at + frame->tp_net;
      // Trust the kernel's offsets only as far as the block reaches.
      if (data < at || data + frame->tp_snaplen > blockEnd) break;
      // The filter attached before bind has already dropped all but IPv4 and loopback's
      // outgoing copies, so every frame here is a datagram to hand on.
      keepGoing = handler(context, data, frame->tp_snaplen);
      if (frame->tp_next_offset == 0) break;
      at += frame->tp_next_offset;
    }

    __atomic_store_n(status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    ring.nextBlock = (ring.nextBlock + 1) % ring.blockCount;
    if (!keepGoing) return false;
  }
}

bool PacketRingInterfaceGone(PacketRing& ring) noexcept {
  int error = 0;
  socklen_t size = sizeof error;
  getsockopt(ring.fd, SOL_SOCKET, SO_ERROR, &error, &size);
  if (ring.ifindex == 0) return false;
  char name[IF_NAMESIZE];
  return if_indextoname(static_cast<unsigned>(ring.ifindex), name) == nullptr;
}

}  // namespace trovix
