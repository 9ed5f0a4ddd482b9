// Kernel filter: the address test, the protocol switches and the port test in classic BPF,
// and the check of an expression's program that runs after them.
// Classic BPF jumps only forward, by at most 255 instructions, so the program is laid out
// in the order the tests run and every failed test jumps to the one drop at the end.
#include "capture/kernel_filter.h"

// net/if.h before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

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
void EmitFrameRules(Builder& b, const CaptureSettings& s, int ipv6) noexcept {
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
void EmitIpv6Rules(Builder& b, const CaptureSettings& s, int ipv6) noexcept {
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

// The protocol switches, then for TCP and UDP the port test. A protocol a switch names
// goes the way of its switch; with "raw" on, every other protocol is kept. A fragment other
// than the first carries no ports; the accept path reads them as 0, which no given port
// equals.
void EmitProtocolAndPorts(Builder& b, const CaptureSettings& s) noexcept {
  uint32_t p = s.sourceFilter.port;
  uint32_t q = s.destinationFilter.port;
  bool portTest = p != 0 || q != 0;
  int ports = portTest ? b.NewLabel() : kAccept;
  bool raw = s.SwitchFlag(kRawRow.which) == 1;
  b.Stmt(BPF_LD | BPF_B | BPF_ABS, 9);
  for (const SwitchRow& row : kSwitchRows) {
    if (row.ipv4 == kNoProtocol) continue;
    bool on = s.SwitchFlag(row.which) == 1;
    int then = !on ? kDrop : row.ports ? ports : kAccept;
    if (on || raw) b.Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(row.ipv4), then, kNext);
  }
  b.Goto(raw ? kAccept : kDrop);
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
int AddressPairs(const CaptureSettings& s, AddressPair* pairs) noexcept {
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

KernelFilter CompileKernelFilter(const CaptureSettings& s) noexcept {
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

namespace {

constexpr uint32_t kAnyValue = 0xFFFFFFFFu;
// A datagram's length: the kernel keeps lengths in ints.
constexpr uint32_t kAnyLength = 0x7FFFFFFFu;
constexpr uint32_t kLowestNegative = 0x80000000u;
constexpr uint32_t kMshLimit = 4 * 0xF;

// What A, X and the scratch words may hold at an instruction, as upper bounds of their
// unsigned 32-bit values: 0 until some way into it brings more, so an instruction that no
// way reaches is still checked, alone.
struct Bounds {
  uint32_t a, x;
  uint32_t m[BPF_MEMWORDS];
};

uint32_t Saturated(uint64_t value) { return value > kAnyValue ? kAnyValue : static_cast<uint32_t>(value); }

// Every bit below the highest one of `value` set: a bound of an OR or XOR of smaller values.
uint32_t BitsUpTo(uint32_t value) {
  for (int shift = 1; shift < 32; shift *= 2) value |= value >> shift;
  return value;
}

// A's bound after the ALU operation `op` of A (bound `a`) with `b` (K itself, or X's bound).
bool AluBound(uint16_t op, uint32_t a, uint32_t b, bool constant, uint32_t& out) {
  switch (op) {
    case BPF_ADD: out = Saturated(uint64_t{a} + b); return true;
    case BPF_SUB: out = b == 0 ? a : kAnyValue; return true;  // it may wrap below zero
    case BPF_MUL: out = Saturated(uint64_t{a} * b); return true;
    case BPF_DIV: out = a; return true;
    case BPF_MOD:
    case BPF_AND: out = std::min(a, b); return true;
    case BPF_OR:
    case BPF_XOR: out = BitsUpTo(a | b); return true;
    case BPF_LSH: out = b >= 32 ? kAnyValue : Saturated(uint64_t{a} << b); return true;
    case BPF_RSH: out = constant && b < 32 ? a >> b : a; return true;
    case BPF_NEG: out = kAnyValue; return true;
    default: return false;
  }
}

uint32_t LoadBound(uint16_t size) { return size == BPF_B ? 0xFF : size == BPF_H ? 0xFFFF : kAnyValue; }

bool IsDatagramOffset(uint32_t k) { return k < kLowestNegative; }

// Takes `in`, one instruction that is neither a jump nor a return, into `b`; false when it
// may read outside the datagram or is not one the kernel runs.
bool Step(const sock_filter& in, Bounds& b) {
  uint16_t code = in.code;
  uint32_t k = in.k;
  bool loads = BPF_CLASS(code) == BPF_LD || BPF_CLASS(code) == BPF_LDX;
  bool memory = (loads && BPF_MODE(code) == BPF_MEM) || BPF_CLASS(code) == BPF_ST || BPF_CLASS(code) == BPF_STX;
  if (memory && k >= BPF_MEMWORDS) return false;
  switch (BPF_CLASS(code)) {
    case BPF_LD:
      switch (code) {
        case BPF_LD | BPF_W | BPF_ABS:
        case BPF_LD | BPF_H | BPF_ABS:
        case BPF_LD | BPF_B | BPF_ABS:
          if (!IsDatagramOffset(k) && k != static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)) return false;
          b.a = LoadBound(BPF_SIZE(code));
          return true;
        case BPF_LD | BPF_W | BPF_IND:
        case BPF_LD | BPF_H | BPF_IND:
        case BPF_LD | BPF_B | BPF_IND:
          // The kernel adds X to k in 32 bits and treats a negative sum as one of its areas.
          if (!IsDatagramOffset(k) || uint64_t{b.x} + k >= kLowestNegative) return false;
          b.a = LoadBound(BPF_SIZE(code));
          return true;
        case BPF_LD | BPF_W | BPF_LEN: b.a = kAnyLength; return true;
        case BPF_LD | BPF_IMM: b.a = k; return true;
        case BPF_LD | BPF_MEM: b.a = b.m[k]; return true;
        default: return false;
      }
    case BPF_LDX:
      switch (code) {
        case BPF_LDX | BPF_B | BPF_MSH:
          if (!IsDatagramOffset(k)) return false;
          b.x = kMshLimit;
          return true;
        case BPF_LDX | BPF_W | BPF_LEN: b.x = kAnyLength; return true;
        case BPF_LDX | BPF_W | BPF_IMM: b.x = k; return true;
        case BPF_LDX | BPF_W | BPF_MEM: b.x = b.m[k]; return true;
        default: return false;
      }
    case BPF_ST: b.m[k] = b.a; return code == BPF_ST;
    case BPF_STX: b.m[k] = b.x; return code == BPF_STX;
    case BPF_ALU: {
      bool constant = BPF_SRC(code) == BPF_K;
      if ((code & ~(BPF_OP(0xFF) | BPF_SRC(0xFF))) != BPF_ALU) return false;
      return AluBound(BPF_OP(code), b.a, constant ? k : b.x, constant, b.a);
    }
    case BPF_MISC:
      if (code == (BPF_MISC | BPF_TAX)) b.x = b.a;
      else if (code == (BPF_MISC | BPF_TXA)) b.a = b.x;
      else return false;
      return true;
    default:
      return false;
  }
}

// Hands `b` on to instruction `to`, where it joins what other paths bring.
bool Reach(Bounds* at, size_t length, uint64_t to, const Bounds& b) {
  if (to >= length) return false;
  Bounds& there = at[to];
  there.a = std::max(there.a, b.a);
  there.x = std::max(there.x, b.x);
  for (size_t i = 0; i < BPF_MEMWORDS; ++i) there.m[i] = std::max(there.m[i], b.m[i]);
  return true;
}

bool IsJump(uint16_t code) {
  switch (code & ~BPF_SRC(0xFF)) {
    case BPF_JMP | BPF_JEQ:
    case BPF_JMP | BPF_JGT:
    case BPF_JMP | BPF_JGE:
    case BPF_JMP | BPF_JSET: return true;
    default: return false;
  }
}

}  // namespace

bool ExpressionReadsOnlyTheDatagram(const sock_filter* program, size_t length) noexcept {
  if (length == 0) return true;
  std::unique_ptr<Bounds[]> at(new (std::nothrow) Bounds[length]());
  if (at == nullptr) return false;
  at[0].a = at[0].x = kAnyValue;
  std::fill(std::begin(at[0].m), std::end(at[0].m), kAnyValue);
  // Classic BPF jumps only forward: every way into an instruction is joined before it runs.
  for (size_t i = 0; i < length; ++i) {
    Bounds b = at[i];
    const sock_filter& in = program[i];
    bool fine;
    if (in.code == (BPF_RET | BPF_K)) {
      fine = true;
    } else if (in.code == (BPF_RET | BPF_A)) {
      fine = b.a <= kKernelSnapLength;
    } else if (in.code == (BPF_JMP | BPF_JA)) {
      fine = Reach(at.get(), length, i + 1 + uint64_t{in.k}, b);
    } else if (IsJump(in.code)) {
      fine = Reach(at.get(), length, i + 1 + in.jt, b) && Reach(at.get(), length, i + 1 + in.jf, b);
    } else {
      fine = Step(in, b) && Reach(at.get(), length, i + 1, b);
    }
    if (!fine) return false;
  }
  return true;
}

}  // namespace trovix
