// Kernel filter: the address test, the protocol switches and the port test in classic BPF.
// Classic BPF jumps only forward, by at most 255 instructions, so the program is laid out
// in the order the tests run and every failed test jumps to the one drop at the end.
#include "capture/kernel_filter.h"

// net/if.h before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>

#include <cstring>

#include "capture/packet_line.h"

namespace trovix {
namespace {

// Jump targets: instruction labels resolved when the program is finished.
constexpr int kNext = -1;
constexpr int kAccept = 0;
constexpr int kDrop = 1;
constexpr int kLabels = 10;

class Builder {
 public:
  int NewLabel() noexcept {
    if (labels_ < kLabels) return labels_++;
    whole_ = false;
    return kDrop;
  }
  void Bind(int label) noexcept { at_[label] = count_; }
  void Stmt(uint16_t code, uint32_t k) noexcept { Put(code, k, kNext, kNext); }
  void Jump(uint16_t code, uint32_t k, int yes, int no) noexcept { Put(code, k, yes, no); }
  // An unconditional jump: its target goes in k.
  void Goto(int label) noexcept { Put(BPF_JMP | BPF_JA, 0, label, kNext); }

  // Resolves the labels; false when the program did not come out whole.
  bool Finish(KernelFilter& out) noexcept {
    out = {};
    bool whole = whole_ && count_ <= kKernelFilterMax;
    for (int i = 0; whole && i < count_; ++i) {
      out.code[i] = code_[i];
      if (code_[i].code == (BPF_JMP | BPF_JA)) {
        uint8_t distance = 0;
        whole = Resolve(i, yes_[i], distance);
        out.code[i].k = distance;
      } else {
        whole = Resolve(i, yes_[i], out.code[i].jt) && Resolve(i, no_[i], out.code[i].jf);
      }
    }
    out.length = whole ? static_cast<uint16_t>(count_) : 0;
    return whole;
  }

 private:
  void Put(uint16_t code, uint32_t k, int yes, int no) noexcept {
    if (count_ < kKernelFilterMax) {
      code_[count_] = BPF_STMT(code, k);
      yes_[count_] = yes;
      no_[count_] = no;
    }
    ++count_;
  }
  bool Resolve(int from, int label, uint8_t& offset) const noexcept {
    if (label == kNext) return true;
    int distance = at_[label] - from - 1;
    if (distance < 0 || distance > 255) return false;
    offset = static_cast<uint8_t>(distance);
    return true;
  }

  sock_filter code_[kKernelFilterMax] = {};
  int yes_[kKernelFilterMax] = {};
  int no_[kKernelFilterMax] = {};
  int at_[kLabels] = {};
  int labels_ = 2;  // kAccept and kDrop
  int count_ = 0;
  bool whole_ = true;
};

constexpr uint32_t Ancillary(uint32_t what) { return static_cast<uint32_t>(SKF_AD_OFF) + what; }

// On a loopback interface only the incoming copy, so each datagram there is seen once;
// then nothing shorter than the family's header.
void EmitOnceAndLength(Builder& b, uint32_t headerLength) noexcept {
  int notOutgoing = b.NewLabel();
  b.Stmt(BPF_LD | BPF_W | BPF_ABS, Ancillary(SKF_AD_PKTTYPE));
  b.Jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, kNext, notOutgoing);
  b.Stmt(BPF_LD | BPF_W | BPF_ABS, Ancillary(SKF_AD_HATYPE));
  b.Jump(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_LOOPBACK, kDrop, notOutgoing);
  b.Bind(notOutgoing);
  b.Stmt(BPF_LD | BPF_W | BPF_LEN, 0);
  b.Jump(BPF_JMP | BPF_JGE | BPF_K, headerLength, kNext, kDrop);
}

// The families the capture keeps: IPv6 frames go to `ipv6` (when kept), IPv4 frames on
// through the IPv4 rules, anything else is dropped. The accept path tells the families
// apart by the version in the first byte, so an IPv4 frame that holds a version 6 goes
// the IPv6 way too.
void EmitFrameRules(Builder& b, const CaptureState& s, int ipv6) noexcept {
  b.Stmt(BPF_LD | BPF_H | BPF_ABS, Ancillary(SKF_AD_PROTOCOL));
  if (s.OnIpv6 == 1) b.Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, ipv6, kNext);
  b.Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, kNext, kDrop);
  if (s.OnIpv6 == 1) {
    b.Stmt(BPF_LD | BPF_B | BPF_ABS, 0);
    b.Stmt(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    b.Jump(BPF_JMP | BPF_JEQ | BPF_K, 0x60, ipv6, kNext);
  }
  if (s.OnIpv4 != 1) b.Goto(kDrop);
  EmitOnceAndLength(b, 20);
}

// IPv6 frames are kept whole: the filters would have to walk extension headers, and the
// accept path decides anyway. The program only has to let through a superset, so the
// length test is IPv4's (an IPv6 frame may hold bytes the accept path reads as IPv4).
void EmitIpv6Rules(Builder& b, const CaptureState& s, int ipv6) noexcept {
  if (s.OnIpv6 != 1) return;
  b.Goto(kAccept);  // the IPv4 rules that fall through here passed
  b.Bind(ipv6);
  EmitOnceAndLength(b, 20);
}

struct AddressPair {
  bool checkSource;
  uint32_t source;
  bool checkDestination;
  uint32_t destination;
};

// Each pair is one alternative; the first that matches passes the address test. With no
// pair, no datagram passes it.
void EmitAddressTest(Builder& b, const AddressPair* pairs, int count) noexcept {
  if (count == 0) {
    b.Goto(kDrop);
    return;
  }
  int passed = b.NewLabel();
  for (int i = 0; i < count; ++i) {
    const AddressPair& p = pairs[i];
    int fails = i + 1 == count ? kDrop : b.NewLabel();
    if (p.checkSource) {
      b.Stmt(BPF_LD | BPF_W | BPF_ABS, 12);
      b.Jump(BPF_JMP | BPF_JEQ | BPF_K, p.source, kNext, fails);
    }
    if (p.checkDestination) {
      b.Stmt(BPF_LD | BPF_W | BPF_ABS, 16);
      b.Jump(BPF_JMP | BPF_JEQ | BPF_K, p.destination, kNext, fails);
    }
    if (fails != kDrop) {
      b.Goto(passed);
      b.Bind(fails);
    }
  }
  b.Bind(passed);
}

// The protocol switches, then for TCP and UDP the port test. A fragment other than the
// first carries no ports; the accept path reads them as 0, which no given port equals.
void EmitProtocolAndPorts(Builder& b, const CaptureState& s) noexcept {
  uint32_t p = s.sourceFilter.port;
  uint32_t q = s.destinationFilter.port;
  bool portTest = p != 0 || q != 0;
  int ports = portTest ? b.NewLabel() : kAccept;
  b.Stmt(BPF_LD | BPF_B | BPF_ABS, 9);
  const struct {
    uint8_t protocol;
    int32_t flag;
    int then;
  } switches[] = {{6, s.OnTcp, ports}, {17, s.OnUdp, ports}, {2, s.OnIgmp, kAccept},
                  {1, s.OnIcmp, kAccept}, {255, s.OnRaw, kAccept}};
  for (const auto& sw : switches) {
    if (sw.flag == 1) b.Jump(BPF_JMP | BPF_JEQ | BPF_K, sw.protocol, sw.then, kNext);
  }
  b.Goto(kDrop);
  if (!portTest) return;
  b.Bind(ports);
  b.Stmt(BPF_LD | BPF_H | BPF_ABS, 6);
  b.Jump(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, kDrop, kNext);
  b.Stmt(BPF_LDX | BPF_B | BPF_MSH, 0);
  if (p != 0) {
    b.Stmt(BPF_LD | BPF_H | BPF_IND, 0);
    b.Jump(BPF_JMP | BPF_JEQ | BPF_K, p, kNext, kDrop);
  }
  if (q != 0) {
    b.Stmt(BPF_LD | BPF_H | BPF_IND, 2);
    b.Jump(BPF_JMP | BPF_JEQ | BPF_K, q, kNext, kDrop);
  }
}

// The alternatives of the address test as the accept path tries them; none when the
// filters pass no address at all.
int AddressPairs(const CaptureState& s, AddressPair* pairs) noexcept {
  const EndpointFilter& from = s.sourceFilter;
  const EndpointFilter& to = s.destinationFilter;
  uint32_t a = 0, c = 0;
  if (from.anyAddress == 1 && to.anyAddress == 1) {
    pairs[0] = {false, 0, false, 0};
    return 1;
  }
  if (from.anyAddress == 1 && to.addressGiven == 1) {
    if (!FilterAddressValue(to.address, sizeof to.address, c)) return 0;
    pairs[0] = {false, 0, true, c};
    return 1;
  }
  if (to.anyAddress == 1 && from.addressGiven == 1) {
    if (!FilterAddressValue(from.address, sizeof from.address, a)) return 0;
    pairs[0] = {true, a, false, 0};
    return 1;
  }
  if (from.addressGiven != 1 || to.addressGiven != 1) return 0;
  int n = 0;
  if (FilterAddressValue(from.address, sizeof from.address, a) && FilterAddressValue(to.address, sizeof to.address, c)) {
    pairs[n++] = {true, a, true, c};
  }
  if (FilterAddressValue(s.reverseSourceAddress, sizeof s.reverseSourceAddress, a) &&
      FilterAddressValue(s.reverseDestinationAddress, sizeof s.reverseDestinationAddress, c)) {
    pairs[n++] = {true, a, true, c};
  }
  return n;
}

}  // namespace

bool FilterAddressValue(const char* text, size_t size, uint32_t& address) noexcept {
  size_t length = strnlen(text, size);
  if (length == size || length >= kIpv4TextSize) return false;
  uint32_t value = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    uint32_t byte = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 3; ++p, ++digits) byte = byte * 10 + static_cast<uint32_t>(*p - '0');
    if (digits == 0 || byte > 255) return false;
    value = value << 8 | byte;
  }
  if (*p != '\0') return false;
  // Leading zeros read as the same number but are not the text any datagram has.
  char canonical[kIpv4TextSize];
  FormatIpv4(value, canonical);
  if (std::strcmp(canonical, text) != 0) return false;
  address = value;
  return true;
}

void EmitEnd(Builder& b) noexcept {
  b.Bind(kAccept);
  b.Stmt(BPF_RET | BPF_K, kKernelSnapLength);
  b.Bind(kDrop);
  b.Stmt(BPF_RET | BPF_K, 0);
}

KernelFilter CompileKernelFilter(const CaptureState& s) noexcept {
  KernelFilter out;
  Builder b;
  int ipv6 = b.NewLabel();
  EmitFrameRules(b, s, ipv6);
  AddressPair pairs[2];
  EmitAddressTest(b, pairs, AddressPairs(s, pairs));
  EmitProtocolAndPorts(b, s);
  EmitIpv6Rules(b, s, ipv6);
  EmitEnd(b);
  if (b.Finish(out)) return out;
  // Cannot happen with the tests above, which stay far within the limits; should it, the
  // frame rules alone still hold and the accept path does the filtering.
  Builder frameOnly;
  int frameOnlyIpv6 = frameOnly.NewLabel();
  EmitFrameRules(frameOnly, s, frameOnlyIpv6);
  EmitIpv6Rules(frameOnly, s, frameOnlyIpv6);
  EmitEnd(frameOnly);
  frameOnly.Finish(out);
  return out;
}

size_t JoinKernelFilter(const KernelFilter& own, const sock_filter* expression, size_t length,
                        sock_filter* out) noexcept {
  for (size_t i = 0; i < own.length; ++i) {
    out[i] = own.code[i];
    bool accepts = own.code[i].code == (BPF_RET | BPF_K) && own.code[i].k != 0;
    if (length > 0 && accepts) out[i] = BPF_STMT(BPF_JMP | BPF_JA, static_cast<uint32_t>(own.length - i - 1));
  }
  for (size_t i = 0; i < length; ++i) {
    sock_filter& in = out[own.length + i] = expression[i];
    if (in.code == (BPF_RET | BPF_K) && in.k > kKernelSnapLength) in.k = kKernelSnapLength;
  }
  return own.length + length;
}

}  // namespace trovix
