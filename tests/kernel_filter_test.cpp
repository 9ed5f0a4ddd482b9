#include "capture/kernel_filter.h"

// net/if.h before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "capture/sources/local_source.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "tests/datagram_builder.h"

namespace trovix {
namespace {

using test::DatagramShape;
using test::MakeDatagram;

struct Frame {
  uint32_t protocol = ETH_P_IP;
  uint32_t packetType = PACKET_HOST;
  uint32_t hardwareType = ARPHRD_ETHER;
};

constexpr uint32_t Ancillary(int what) { return static_cast<uint32_t>(SKF_AD_OFF + what); }

// Classic BPF as the kernel runs it on a socket, for the instructions the compiler emits:
// a load past the datagram ends the program with 0. Anything else fails the test.
uint32_t RunFilter(const KernelFilter& f, const std::vector<uint8_t>& d, const Frame& frame) {
  uint32_t a = 0, x = 0;
  auto load = [&](uint64_t at, int size, bool& ok) {
    uint32_t v = 0;
    ok = at + static_cast<uint64_t>(size) <= d.size();
    for (int i = 0; ok && i < size; ++i) v = v << 8 | d[at + static_cast<uint64_t>(i)];
    return v;
  };
  for (uint32_t pc = 0; pc < f.length; ++pc) {
    const sock_filter& op = f.code[pc];
    bool ok = true;
    switch (op.code) {
      case BPF_LD | BPF_W | BPF_ABS:
      case BPF_LD | BPF_H | BPF_ABS:
      case BPF_LD | BPF_B | BPF_ABS: {
        int size = BPF_SIZE(op.code) == BPF_W ? 4 : BPF_SIZE(op.code) == BPF_H ? 2 : 1;
        if (op.k == Ancillary(SKF_AD_PROTOCOL)) a = frame.protocol;
        else if (op.k == Ancillary(SKF_AD_PKTTYPE)) a = frame.packetType;
        else if (op.k == Ancillary(SKF_AD_HATYPE)) a = frame.hardwareType;
        else a = load(op.k, size, ok);
        break;
      }
      case BPF_LD | BPF_H | BPF_IND: a = load(uint64_t{x} + op.k, 2, ok); break;
      case BPF_LD | BPF_W | BPF_LEN: a = static_cast<uint32_t>(d.size()); break;
      case BPF_LDX | BPF_B | BPF_MSH: x = (load(op.k, 1, ok) & 0x0F) * 4; break;
      case BPF_ALU | BPF_AND | BPF_K: a &= op.k; break;
      case BPF_JMP | BPF_JA: pc += op.k; break;
      case BPF_JMP | BPF_JEQ | BPF_K: pc += a == op.k ? op.jt : op.jf; break;
      case BPF_JMP | BPF_JGE | BPF_K: pc += a >= op.k ? op.jt : op.jf; break;
      case BPF_JMP | BPF_JSET | BPF_K: pc += (a & op.k) != 0 ? op.jt : op.jf; break;
      case BPF_RET | BPF_K: return op.k;
      default: ADD_FAILURE() << "instruction " << op.code << " at " << pc; return 0;
    }
    if (!ok) return 0;
  }
  ADD_FAILURE() << "the program runs past its end";
  return 0;
}

class KernelFilterTest : public ::testing::Test {
 protected:
  bool Kernel(const std::vector<uint8_t>& d, const Frame& frame = {}) {
    return RunFilter(CompileKernelFilter(*state_), d, frame) != 0;
  }
  bool User(std::vector<uint8_t> d) {
    size_t length = d.size();
    DatagramFields fields;
    return ScreenDatagram(*state_, d.data(), length, fields);
  }
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
};

TEST_F(KernelFilterTest, DropsWhatTheFiltersReject) {
  PrepareCapture(*state_, {"", "*:*", "10.0.0.2:53", false, true, true, false, false, false});
  EXPECT_TRUE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.2", 9, 53})));
  EXPECT_TRUE(Kernel(MakeDatagram({6, "10.0.0.9", "10.0.0.2", 9, 53})));
  EXPECT_FALSE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.2", 53, 54})));      // port
  EXPECT_FALSE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.3", 9, 53})));       // address
  EXPECT_FALSE(Kernel(MakeDatagram({1, "10.0.0.1", "10.0.0.2"})));               // switch off
  EXPECT_FALSE(Kernel(MakeDatagram({47, "10.0.0.1", "10.0.0.2", 9, 53})));       // never stored
  std::vector<uint8_t> later = MakeDatagram({17, "10.0.0.1", "10.0.0.2", 9, 53});
  later[7] = 1;  // a later fragment has no ports
  EXPECT_FALSE(Kernel(later));
  EXPECT_FALSE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.2", 9, 53}), {ETH_P_ARP}));
  EXPECT_FALSE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.2", 9, 53}),
                      {ETH_P_IP, PACKET_OUTGOING, ARPHRD_LOOPBACK}));
  EXPECT_TRUE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.2", 9, 53}), {ETH_P_IP, PACKET_OUTGOING, ARPHRD_ETHER}));

  // IPv6 only with its switch on, and then every IPv6 datagram: the accept path decides.
  auto v6 = test::MakeIpv6Datagram({.sport = 9, .dport = 54});
  EXPECT_FALSE(Kernel(v6, {ETH_P_IPV6}));
  PrepareCapture(*state_, {"", "*:*", "10.0.0.2:53", false, true, true, false, false, false, /*ipv6=*/true});
  EXPECT_TRUE(Kernel(v6, {ETH_P_IPV6}));
  EXPECT_FALSE(Kernel(v6, {ETH_P_IPV6, PACKET_OUTGOING, ARPHRD_LOOPBACK}));
  EXPECT_FALSE(Kernel(MakeDatagram({17, "10.0.0.1", "10.0.0.2", 53, 54})));

  // A text that is not the dotted quad of any datagram matches none, in either direction.
  PrepareCapture(*state_, {"", "010.0.0.1:*", "10.0.0.2:*", true, true, true, true, true, true});
  EXPECT_FALSE(Kernel(MakeDatagram({1, "10.0.0.1", "10.0.0.2"})));
  EXPECT_FALSE(Kernel(MakeDatagram({1, "10.0.0.2", "10.0.0.1"})));

  // "raw" keeps every protocol the other switches do not name, and only those.
  PrepareCapture(*state_, {"", "*:*", "*:*", false, /*tcp=*/false, /*udp=*/true, false, false, /*raw=*/true});
  for (uint8_t p : {0, 4, 41, 47, 50, 58, 89, 132, 254, 255}) EXPECT_TRUE(Kernel(MakeDatagram({p}))) << int(p);
  for (uint8_t p : {1, 2, 6}) EXPECT_FALSE(Kernel(MakeDatagram({p}))) << int(p);
  EXPECT_TRUE(Kernel(MakeDatagram({17})));
}

TEST(FilterAddressValue, OnlyTheTextADatagramHas) {
  uint32_t value = 0;
  EXPECT_TRUE(FilterAddressValue("192.168.0.5", 24, value));
  EXPECT_EQ(value, 0xC0A80005u);
  for (const char* text : {"", "*", "10.0.0.*", "010.0.0.1", "10.0.0", "10.0.0.1.5", "256.0.0.1", " 10.0.0.1",
                           "10.0.0.1 ", "1.2.3.4x"}) {
    EXPECT_FALSE(FilterAddressValue(text, 24, value)) << text;
  }
  char unterminated[4] = {'1', '.', '2', '.'};
  EXPECT_FALSE(FilterAddressValue(unterminated, sizeof unterminated, value));
}

// Whatever the accept path keeps, the kernel program lets through.
TEST_F(KernelFilterTest, LetsThroughEverythingTheFiltersAccept) {
  std::mt19937 rng(12);
  auto pick = [&](auto& list) { return list[rng() % std::size(list)]; };
  const char* addresses[] = {"10.0.0.1", "10.0.0.2", "192.168.0.5", "0.0.0.0", "255.255.255.255"};
  const char* addressParts[] = {"*", "", "10.0.0.1", "10.0.0.2", "192.168.0.5", "010.0.0.1", "10.0.0.*", "a:b",
                                " 10.0.0.1", "10.0.0.1 ", "256.0.0.1", "10.0.0", "0.0.0.0", "255.255.255.255"};
  const char* portParts[] = {"*", "", "80", "53", "0", "-5", "65536", "80x", " 53", "+53", "99999999999", "0053"};
  const uint8_t protocols[] = {1, 2, 6, 17, 255, 6, 17, 47, 0, 41, 50, 58, 132, 254};
  const uint16_t ports[] = {0, 53, 80, 65535, 1234};
  const uint8_t headerWords[] = {5, 5, 5, 6, 15, 4, 0};
  const char* v6Addresses[] = {"2001:db8::1", "2001:db8::2", "::1", "fe80::1"};
  const char* v6AddressParts[] = {"[2001:db8::1]", "[2001:DB8::2]", "2001:db8::1", "[::1]", "::1", "[zz]", "[::1"};
  const uint8_t v6Uppers[] = {6, 17, 58, 50, 59, 1, 2, 47};
  auto filterText = [&]() {
    std::string t;
    switch (rng() % 8) {
      case 0: return std::string(pick(addressParts));
      case 2: return std::string(pick(v6AddressParts)) + (rng() % 2 == 0 ? ":" + std::string(pick(portParts)) : "");
      case 1:
        for (uint32_t n = rng() % 26; n > 0; --n) t += ".:*0123456789 -x"[rng() % 16];
        return t;
      default: return std::string(pick(addressParts)) + ":" + pick(portParts);
    }
  };
  auto datagram = [&]() {
    std::vector<uint8_t> d;
    if (rng() % 5 == 0) {
      for (uint32_t n = rng() % 80; n > 0; --n) d.push_back(static_cast<uint8_t>(rng()));
      return d;
    }
    if (rng() % 3 == 0) {
      test::Ipv6Shape shape{pick(v6Uppers), pick(v6Addresses), pick(v6Addresses), pick(ports), pick(ports), rng() % 20};
      if (rng() % 3 == 0) shape.extensions.push_back({0, std::vector<uint8_t>(8, 0)});
      if (rng() % 3 == 0) shape.extensions.push_back(test::FragmentHeader(rng() % 2 == 0 ? 0 : 1232, rng() % 2 == 0));
      d = test::MakeIpv6Datagram(shape);
    } else {
      d = MakeDatagram({pick(protocols), pick(addresses), pick(addresses), pick(ports), pick(ports), rng() % 20, 64,
                        pick(headerWords)});
    }
    if (rng() % 6 == 0) d[6 + rng() % 2] = static_cast<uint8_t>(rng());  // fragment fields
    if (rng() % 6 == 0) d.resize(rng() % (d.size() + 1));                 // cut short
    if (rng() % 6 == 0) d.resize(d.size() + rng() % 30, 0);               // frame padding
    if (rng() % 10 == 0 && d.size() >= 4) d[2 + rng() % 2] = static_cast<uint8_t>(rng());
    return d;
  };

  int accepted = 0, acceptedIpv6 = 0, rejectedByBoth = 0;
  for (int option = 0; option < 20000; ++option) {
    std::string from = filterText(), to = filterText();
    uint32_t bits = rng();
    PrepareCapture(*state_, {"", from, to, (bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0,
                             (bits & 16) != 0, (bits & 32) != 0, (bits & 64) != 0, (bits & 128) == 0 || (bits & 64) == 0});
    KernelFilter program = CompileKernelFilter(*state_);
    for (int k = 0; k < 40; ++k) {
      std::vector<uint8_t> d = datagram();
      // Each family in its own frames; with IPv6 on, sometimes in the other's. With it off
      // an IPv6 frame is dropped whatever it holds, as frames of any other type are.
      bool v6Frame = !d.empty() && (d[0] >> 4 == 6) != ((bits & 64) != 0 && rng() % 8 == 0);
      Frame frame{v6Frame ? uint32_t{ETH_P_IPV6} : uint32_t{ETH_P_IP},
                  rng() % 2 == 0 ? uint32_t{PACKET_HOST} : uint32_t{PACKET_OUTGOING}, ARPHRD_ETHER};
      bool kernel = RunFilter(program, d, frame) != 0;
      if (User(d)) {
        ++accepted;
        acceptedIpv6 += d[0] >> 4 == 6;
        ASSERT_TRUE(kernel) << "from \"" << from << "\" to \"" << to << "\" switches " << (bits & 255) << " case " << k;
      } else if (!kernel) {
        ++rejectedByBoth;
      }
    }
  }
  // Both sides of the property are exercised, and the kernel does spare the accept path.
  EXPECT_GT(accepted, 7000);
  EXPECT_GT(acceptedIpv6, 1000);
  EXPECT_GT(rejectedByBoth, 600000);
}

// An expression's program may read the datagram, and only the datagram, and keep at most
// the snap length of it.
TEST(ExpressionReadsOnlyTheDatagram, RefusesLoadsOutsideItAndReturnsOfAUnboundedA) {
  constexpr uint16_t kLdb = BPF_LD | BPF_B | BPF_ABS, kLdbX = BPF_LD | BPF_B | BPF_IND, kMsh = BPF_LDX | BPF_B | BPF_MSH;
  constexpr uint16_t kTax = BPF_MISC | BPF_TAX, kRet = BPF_RET | BPF_K, kRetA = BPF_RET | BPF_A;
  constexpr uint16_t kLdx = BPF_LDX | BPF_W | BPF_IMM;
  const sock_filter keep = BPF_STMT(kRet, 524288), drop = BPF_STMT(kRet, 0);
  auto Below = [](int offset) { return static_cast<uint32_t>(offset); };
  struct Case {
    const char* what;
    std::vector<sock_filter> program;
    bool taken;
  } cases[] = {
      {"ports after the IPv4 header", {BPF_STMT(kMsh, 0), BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
                                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 80, 0, 1), keep, drop}, true},
      {"an index from the datagram's bytes", {BPF_STMT(kMsh, 0), BPF_STMT(kLdbX, 12), BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 16),
                                              BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0), BPF_STMT(kTax, 0),
                                              BPF_STMT(kLdbX, 0), keep}, true},
      {"an index kept in a scratch word", {BPF_STMT(kLdb, 0), BPF_STMT(BPF_ST, 3), BPF_STMT(BPF_LDX | BPF_W | BPF_MEM, 3),
                                           BPF_STMT(kLdbX, 1), keep}, true},
      {"inbound", {BPF_STMT(BPF_LD | BPF_H | BPF_ABS, Ancillary(SKF_AD_PKTTYPE)),
                   BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 1), drop, keep}, true},
      {"a return of a byte", {BPF_STMT(kLdb, 0), BPF_STMT(kRetA, 0)}, true},
      {"the mark", {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Ancillary(SKF_AD_MARK)), BPF_STMT(kRetA, 0)}, false},
      {"a link-layer byte", {BPF_STMT(kLdb, Below(SKF_LL_OFF + 6)), BPF_STMT(kRetA, 0)}, false},
      {"a link-layer header length", {BPF_STMT(kMsh, Below(SKF_LL_OFF)), keep}, false},
      {"a negative index", {BPF_STMT(kLdx, 0), BPF_STMT(kLdbX, 0xFFFFFFFF), keep}, false},
      {"X made negative", {BPF_STMT(kLdx, 0xFFE00000), BPF_STMT(kLdbX, 0), keep}, false},
      {"an index from a word", {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0), BPF_STMT(kTax, 0), BPF_STMT(kLdbX, 0)}, false},
      {"X as the capture's program left it", {BPF_STMT(kLdbX, 0), keep}, false},
      {"X negative on one way in", {BPF_STMT(kLdb, 0), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 2), BPF_STMT(kLdx, 0xFFE00000),
                                    BPF_STMT(BPF_JMP | BPF_JA, 1), BPF_STMT(kLdx, 4), BPF_STMT(kLdbX, 0), keep}, false},
      {"a return of the length", {BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0), BPF_STMT(kRetA, 0)}, false},
      {"a scratch word past the last", {BPF_STMT(kLdb, 0), BPF_STMT(BPF_ST, 16), keep}, false},
      {"a jump out of the program", {BPF_JUMP(BPF_JMP | BPF_JA, 5, 0, 0), keep}, false},
      {"no return at the end", {BPF_STMT(kLdb, 0)}, false},
      {"an unknown instruction", {BPF_STMT(0xFF, 0), keep}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExpressionReadsOnlyTheDatagram(c.program.data(), c.program.size()), c.taken) << c.what;
  }
}

}  // namespace
}  // namespace trovix
