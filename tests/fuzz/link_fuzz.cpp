// Arbitrary bytes as one frame of a capture file, through the link-layer stripping and
// then the whole accept path, as the window's reader and trovix-cli take each frame. Byte 0 picks the link type; the rest
// is the frame, in a buffer of exactly its size so that any read past it is reported.
#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "capture/sources/stream_source.h"
#include "capture/capture_state.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/sources/link_layer.h"

namespace {

using namespace trovix;

void Check(bool ok) {
  if (!ok) std::abort();
}

// The link types read here, and one that is not.
constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,       DLT_IPV4,
                              DLT_NULL,   DLT_LOOP,      DLT_IEEE802_11, DLT_IPV6};

CaptureState& State() {
  static CaptureState* state = [] {
    auto* s = new CaptureState();
    s->OnTcp = s->OnUdp = s->OnIcmp = s->OnIgmp = s->OnRaw = s->OnIpv6 = 1;
    return s;
  }();
  return *state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int linkType = kLinkTypes[data[0] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
  std::vector<uint8_t> frame(data + 1, data + size);

  const uint8_t* datagram = nullptr;
  size_t length = 0;
  bool found = IpInFrame(linkType, frame.data(), frame.size(), datagram, length);
  if (!KnownLinkType(linkType)) Check(!found);
  CaptureState& state = State();
  if (PublishedPacketCount(state.store) + 1 >= kMaxPackets) ResetStores(state);
  uint32_t before = PublishedPacketCount(state.store);
  AcceptResult accepted = AcceptFrame(state, linkType, frame.data(), frame.size(), 0);
  bool stored = accepted == AcceptResult::kStored || accepted == AcceptResult::kStoredLast;
  Check(PublishedPacketCount(state.store) == before + (stored ? 1 : 0) && (found || !stored));
  if (!found) return 0;
  // The datagram is the frame's tail and nothing outside the frame: an IPv4 one, or an
  // IPv6 one with its whole header, and of the version its link header names.
  Check(length > 0 && datagram >= frame.data() && datagram + length == frame.data() + frame.size());
  unsigned version = datagram[0] >> 4;
  Check(version == 4 || (version == 6 && length >= 40));
  bool four = version == 4;
  int etherType = four ? 0x0800 : 0x86DD;
  switch (linkType) {
    case DLT_EN10MB: case DLT_LINUX_SLL: Check((datagram[-2] << 8 | datagram[-1]) == etherType); break;
    case DLT_LINUX_SLL2: Check((frame[0] << 8 | frame[1]) == etherType); break;
    case DLT_IPV4: Check(four); break;
    case DLT_IPV6: Check(!four); break;
    case DLT_NULL: Check((frame[0] == 2 || frame[3] == 2) == four); break;
    case DLT_LOOP: Check((frame[3] == 2) == four); break;
  }

  // trovix-cli screens it without storing it.
  DatagramFields fields;
  size_t kept = length;
  if (ScreenDatagram(state, datagram, kept, fields)) {
    Check(kept >= 20 && kept <= length);
    char line[kPacketLineMax + 1];
    Check(FormatPacketLine(0, fields, line) <= kPacketLineMax);
  }
  return 0;
}
