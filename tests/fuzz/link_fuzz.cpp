// Arbitrary bytes as one frame of a capture file, through the link-layer stripping that
// reading a capture file uses and then the filters. Byte 0 picks the link type; the rest
// is the frame, in a buffer of exactly its size so that any read past it is reported.
#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "capture/capture_state.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "cli/link_layer.h"

namespace {

using namespace trovix;

void Check(bool ok) {
  if (!ok) std::abort();
}

// The link types read here, and one that is not.
constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                              DLT_IPV4,   DLT_NULL,      DLT_LOOP,       DLT_IEEE802_11};

CaptureState& State() {
  static CaptureState* state = [] {
    auto* s = new CaptureState();
    s->OnTcp = s->OnUdp = s->OnIcmp = s->OnIgmp = s->OnRaw = 1;
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
  bool found = cli::IpInFrame(linkType, frame.data(), frame.size(), datagram, length);
  if (!cli::KnownLinkType(linkType)) Check(!found);
  if (!found) return 0;
  // The datagram is the frame's tail, an IPv4 one, and nothing outside the frame.
  Check(length > 0 && datagram >= frame.data() && datagram + length == frame.data() + frame.size());
  Check((datagram[0] >> 4) == 4);

  DatagramFields fields;
  size_t kept = length;
  if (ScreenDatagram(State(), datagram, kept, fields)) {
    Check(kept >= 20 && kept <= length);
    char line[kPacketLineMax + 1];
    Check(FormatPacketLine(0, fields, line) <= kPacketLineMax);
  }
  return 0;
}
