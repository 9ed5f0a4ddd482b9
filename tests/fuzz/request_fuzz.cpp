// Arbitrary bytes as what crosses between a client and the capture helper. Byte 0 even:
// the rest is a request; a request the helper's parser takes must be usable as it stands
// (bounded ring, clean texts) and give filters and a kernel program. Byte 0 odd: the rest
// is a batch of datagrams, every one of which must lie inside the message.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/endpoint_filter.h"
#include "capture/helper_protocol.h"
#include "capture/kernel_filter.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace trovix;
using fuzz::Check;

struct Span {
  const uint8_t* begin;
  const uint8_t* end;
};

bool InsideMessage(void* context, const uint8_t* datagram, size_t length, int64_t) {
  const auto& message = *static_cast<Span*>(context);
  Check(datagram >= message.begin && length <= static_cast<size_t>(message.end - datagram));
  return true;
}

KernelFilter CheckRequest(const HelperRequest& r) {
  Check(r.ifindex >= 0);
  Check(r.blockSize >= kMinRingBlock && r.blockSize <= kMaxRingBlock && (r.blockSize & (r.blockSize - 1)) == 0);
  Check(r.blockCount >= 2 && uint64_t{r.blockSize} * r.blockCount <= kMaxRingBytes);
  Check(r.handOverMs >= 1 && r.handOverMs <= kMaxHandOverMs);
  for (const char* text : {r.fromText, r.toText}) {
    size_t n = strnlen(text, kRequestTextSize);
    Check(n < kRequestTextSize);
    for (size_t i = 0; i < n; ++i) Check(text[i] >= 0x20 && text[i] <= 0x7e);
  }
  // What the helper does with it before it opens its socket.
  CaptureState& state = fuzz::State();
  state.sourceFilter = ParseEndpointFilter(r.fromText);
  state.destinationFilter = ParseEndpointFilter(r.toText);
  state.TwoWayTraffic = r.twoWayTraffic;
  SetReverseAddresses(state);
  state.OnTcp = r.tcp;
  state.OnUdp = r.udp;
  state.OnIcmp = r.icmp;
  state.OnIgmp = r.igmp;
  state.OnRaw = r.raw;
  KernelFilter filter = CompileKernelFilter(state);
  Check(filter.length > 0 && filter.length <= kKernelFilterMax);
  return filter;
}

// An expression's program behind the request: whole instructions, no more than the
// helper's array beside its own program holds, no load below the datagram's first byte
// but the packet type's, and no accept of more than the snap length once joined.
void CheckExpression(const KernelFilter& own, const uint8_t* tail, size_t size) {
  static sock_filter expression[kMaxExpressionInstructions];
  static sock_filter joined[kKernelFilterMax + kMaxExpressionInstructions];
  Check(size % sizeof(sock_filter) == 0 && size / sizeof(sock_filter) <= kMaxExpressionInstructions);
  size_t count = size / sizeof(sock_filter);
  std::memcpy(expression, tail, size);
  for (size_t i = 0; i < count; ++i) {
    uint16_t mode = BPF_MODE(expression[i].code);
    bool load = BPF_CLASS(expression[i].code) == BPF_LD || BPF_CLASS(expression[i].code) == BPF_LDX;
    bool packetType = mode == BPF_ABS && expression[i].k == static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE);
    if (load && (mode == BPF_ABS || mode == BPF_IND || mode == BPF_MSH) && !packetType) {
      Check(expression[i].k < 0x80000000u);
    }
  }
  Check(JoinKernelFilter(own, expression, count, joined) == own.length + count);
  for (size_t i = own.length; i < own.length + count; ++i) {
    Check(joined[i].code != (BPF_RET | BPF_K) || joined[i].k <= kKernelSnapLength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* body = data + 1;
  size_t length = size - 1;
  if ((data[0] & 1) != 0) {
    Span message{body, body + length};
    (void)WalkBatch(body, length, InsideMessage, &message);
    return 0;
  }
  HelperRequest request;
  if (ParseHelperRequest(body, length, request)) {
    CheckExpression(CheckRequest(request), body + sizeof request, length - sizeof request);
  }
  return 0;
}
