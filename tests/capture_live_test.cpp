// Real captures on real sockets, inside the private network namespace of this process.
#include <arpa/inet.h>
// net/if.h must come before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <dirent.h>
#include <linux/if_ether.h>
#include <linux/capability.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/sources/local_source.h"
#include "capture/kernel_filter.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/platform/packet_socket.h"
#include "tests/datagram_builder.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "tests/veth6_traffic.h"

namespace trovix {
namespace {

using namespace std::chrono_literals;

class RecordingListener : public CaptureListener {
 public:
  void PacketsPublished(uint32_t count) noexcept override { published = count; }
  void CaptureEnded() noexcept override { ended = true; }
  std::atomic<uint32_t> published{0};
  std::atomic<bool> ended{false};
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

sockaddr_in Address(const char* ip, uint16_t port) {
  sockaddr_in a{AF_INET, htons(port), {}, {}};
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

int UdpSocket(const char* ip, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Address(ip, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendUdp(int fd, const char* ip, uint16_t port, const void* data, size_t size) {
  sockaddr_in to = Address(ip, port);
  ASSERT_EQ(sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), static_cast<ssize_t>(size));
}

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

struct Seen {
  StoredPacket packet;
  std::string line;
};

class CaptureLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  }
  void TearDown() override { StopCaptureThread(*state_); }

  void Start(const CaptureOptions& options) {
    PrepareCapture(*state_, options);
    CaptureStart start = StartCaptureThread(*state_, &listener_);
    ASSERT_EQ(start.result, CaptureStartResult::kStarted) << std::strerror(start.error);
  }
  uint32_t Count() { return PublishedPacketCount(state_->store); }
  // Waits for at least `n` packets, then a little longer for stragglers.
  void AwaitPackets(uint32_t n) {
    EXPECT_TRUE(WaitUntil([&] { return Count() >= n; })) << "only " << Count() << " of " << n;
    std::this_thread::sleep_for(50ms);
  }
  std::vector<Seen> Stored() {
    std::vector<Seen> all;
    for (uint32_t k = 0; k < Count(); ++k) {
      Seen s;
      EXPECT_TRUE(LocatePacket(state_->store, static_cast<int32_t>(k), s.packet));
      char line[kPacketLineMax + 1];
      s.line.assign(line, FormatStoredPacketLine(k, s.packet.bytes, static_cast<size_t>(s.packet.length), line));
      all.push_back(s);
    }
    return all;
  }
  // Every stored packet has its line, in order, in the sniff log. Stops the capture first,
  // so that late packets (a TCP close, say) cannot arrive between the two readings.
  void ExpectLogMatchesStore() {
    StopCaptureThread(*state_);
    std::string expected;
    for (const Seen& s : Stored()) expected += s.line + "\r\n";
    EXPECT_EQ(std::string(state_->sniffLog.text, PublishedLogLength(state_->sniffLog)), expected);
  }

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  RecordingListener listener_;
};

uint16_t SourcePort(const Seen& s) { return static_cast<uint16_t>(s.packet.bytes[20] << 8 | s.packet.bytes[21]); }

TEST_F(CaptureLive, LoopbackUdpTcpAndIcmpAreStoredOnceWithTheirLines) {
  Start({"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});

  int receiver = UdpSocket("127.0.0.1", 40002);
  int sender = UdpSocket("127.0.0.1", 40001);
  SendUdp(sender, "127.0.0.1", 40002, "trovix-udp", 10);

  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Address("127.0.0.1", 40003);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(server, 1), 0);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);

  int icmp = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  ASSERT_GE(icmp, 0);
  uint8_t echo[8] = {ICMP_ECHO, 0, 0xF7, 0xFE, 0, 1, 0, 0};  // checksum of this header
  sockaddr_in lo = Address("127.0.0.1", 0);
  ASSERT_EQ(sendto(icmp, echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 8);

  AwaitPackets(1 + 3 + 2);  // the datagram, the TCP handshake, echo request and reply
  for (int fd : {receiver, sender, server, client, icmp}) close(fd);

  std::vector<Seen> seen = Stored();
  int udp = 0, syn = 0, icmpCount = 0;
  for (const Seen& s : seen) {
    if (s.packet.protocol == 17 && SourcePort(s) == 40001) {
      ++udp;
      ASSERT_EQ(s.packet.length, 38);
      EXPECT_EQ(std::memcmp(s.packet.bytes + 28, "trovix-udp", 10), 0);
      EXPECT_EQ(s.line.substr(s.line.find("\tudp")), "\tudp\t127.0.0.1\t40001\t127.0.0.1\t40002\t38\t64");
    }
    if (s.packet.protocol == 6 && s.packet.length >= 40 && (s.packet.bytes[33] & 0x12) == 0x02) {
      ++syn;
      EXPECT_NE(s.line.find("\ttcp\t127.0.0.1\t"), std::string::npos);
      EXPECT_NE(s.line.find("\t127.0.0.1\t40003\t"), std::string::npos);
    }
    if (s.packet.protocol == 1) {
      ++icmpCount;
      EXPECT_NE(s.line.find("\ticmp\t127.0.0.1\t0\t127.0.0.1\t0\t28\t64"), std::string::npos) << s.line;
    }
  }
  EXPECT_EQ(udp, 1) << "a loopback datagram must be stored exactly once";
  EXPECT_EQ(syn, 1);
  EXPECT_EQ(icmpCount, 2);
  EXPECT_EQ(seen.front().line.substr(0, 3), "\t0\t");
  ExpectLogMatchesStore();
}

TEST_F(CaptureLive, Ipv6OverLoopbackIsStoredOnceBesideIpv4) {
  Start({"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true, /*ipv6=*/true});
  auto at6 = [](uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    return a;
  };
  int receiver = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int sender = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 to = at6(40102), from = at6(40101), service = at6(40103), lo = at6(0);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  ASSERT_EQ(sendto(sender, "trovix-udp6", 11, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 11);
  int server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&service), sizeof service), 0);
  ASSERT_EQ(listen(server, 1), 0);
  int client = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&service), sizeof service), 0);
  int icmp = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);  // the kernel sums it
  uint8_t echo[8] = {128, 0, 0, 0, 0, 1, 0, 1};
  ASSERT_EQ(sendto(icmp, echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 8);
  test::SendNumbered(40104, 40105, 1);

  AwaitPackets(1 + 3 + 2 + 1);  // UDP, the TCP handshake, echo request and reply, IPv4 UDP
  StopCaptureThread(*state_);  // before the close, whose FIN or RST would be a fourth TCP line
  for (int fd : {receiver, sender, server, client, icmp}) close(fd);
  std::vector<std::string> lines;
  for (const Seen& s : Stored()) lines.push_back(s.line.substr(s.line.find('\t', 1)));
  auto count = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line); };
  EXPECT_EQ(count("\tudp\t::1\t40101\t::1\t40102\t59\t64"), 1) << "stored once, padding-free";
  EXPECT_EQ(count("\ticmp6\t::1\t0\t::1\t0\t48\t64"), 2);
  EXPECT_EQ(count("\tudp\t127.0.0.1\t40104\t127.0.0.1\t40105\t32\t64"), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("\ttcp\t::1\t") == 0; }),
            3);
  ExpectLogMatchesStore();
}

// "raw" keeps every protocol but tcp, udp, icmp and igmp, in either family, and the line
// names it as the protocols database does.
TEST_F(CaptureLive, RawKeepsEveryOtherProtocolOfEitherFamilyByItsName) {
  Start({"127.0.0.1", "*:*", "*:*", false, false, false, false, false, /*raw=*/true, /*ipv6=*/true});
  for (int p : {47, 50, 253}) ASSERT_TRUE(test::SendRawIp(AF_INET, p) && test::SendRawIp(AF_INET6, p)) << p;
  test::SendNumbered(40111, 40112, 1);  // UDP, whose switch is off
  AwaitPackets(6);
  std::vector<std::string> columns;
  for (const Seen& s : Stored()) columns.push_back(s.line.substr(s.line.find('\t', 1)));
  std::ranges::sort(columns);  // two loopback queues may hand them over in either order
  EXPECT_EQ(columns, std::vector<std::string>(
                         {"\tesp\t127.0.0.1\t0\t127.0.0.1\t0\t28\t64", "\tesp\t::1\t0\t::1\t0\t48\t64",
                          "\tgre\t127.0.0.1\t0\t127.0.0.1\t0\t28\t64", "\tgre\t::1\t0\t::1\t0\t48\t64",
                          "\traw\t127.0.0.1\t0\t127.0.0.1\t0\t28\t64", "\traw\t::1\t0\t::1\t0\t48\t64"}));
  ExpectLogMatchesStore();
}

TEST_F(CaptureLive, UnknownBindTextCapturesEveryInterfaceOnce) {
  Start({"no such address", "*:*", "*:*", false, false, true, false, false, false});
  EXPECT_EQ(CaptureBindAddress(*state_), htonl(INADDR_ANY));
  EXPECT_TRUE(state_->run.bindTextUnknown);
  int sender = UdpSocket("127.0.0.1", 40011);
  int receiver = UdpSocket("127.0.0.1", 40012);
  for (int i = 0; i < 3; ++i) SendUdp(sender, "127.0.0.1", 40012, "x", 1);
  AwaitPackets(3);
  close(sender);
  close(receiver);
  EXPECT_EQ(Count(), 3u);
  ExpectLogMatchesStore();
}

TEST_F(CaptureLive, DatagramsTheFiltersRejectNeverReachTheRing) {
  Start({"127.0.0.1", "*:*", "*:40062", false, false, true, false, false, false});
  test::SendNumbered(40061, 40063, 200);
  test::SendNumbered(40061, 40062, 3);
  AwaitPackets(3);
  StopCaptureThread(*state_);
  EXPECT_EQ(Count(), 3u);
  EXPECT_EQ(state_->run.datagramsSeen, 3u);
  EXPECT_EQ(state_->run.kernel.received, 3u);
}

TEST_F(CaptureLive, LargestDatagramIsStoredWhole) {
  Start({"127.0.0.1", "*:*", "*:40022", false, false, true, false, false, false});
  int sender = UdpSocket("127.0.0.1", 40021);
  int receiver = UdpSocket("127.0.0.1", 40022);
  std::vector<uint8_t> payload(65507);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  SendUdp(sender, "127.0.0.1", 40022, payload.data(), payload.size());
  AwaitPackets(1);
  close(sender);
  close(receiver);
  ASSERT_EQ(Count(), 1u);
  std::vector<Seen> seen = Stored();
  ASSERT_EQ(seen[0].packet.length, 65535);
  EXPECT_EQ(std::memcmp(seen[0].packet.bytes + 28, payload.data(), payload.size()), 0);
  EXPECT_NE(seen[0].line.find("\t65535\t64"), std::string::npos);
}

// With BIG TCP the kernel hands over IPv6 datagrams beyond 64 KiB (payload length 0): each
// is stored whole, through the helper's pieces, and read as the TCP it carries.
TEST_F(CaptureLive, BigTcpDatagramsAreStoredWhole) {
  ASSERT_TRUE(test::Run("ip link set dev lo gso_max_size 196608 gro_max_size 196608"));
  Start({"::1", "*:*", "[::1]:40026", false, true, false, false, false, false, /*ipv6=*/true});
  sockaddr_in6 service{AF_INET6, htons(40026), 0, in6addr_loopback, 0};
  auto* at = reinterpret_cast<sockaddr*>(&service);
  int server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), client = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(bind(server, at, sizeof service) == 0 && listen(server, 1) == 0 && connect(client, at, sizeof service) == 0);
  int peer = accept(server, nullptr, nullptr);
  std::thread reader([peer] {
    for (char sink[1 << 16]; read(peer, sink, sizeof sink) > 0;) {
    }
  });
  std::vector<uint8_t> data(400000, 0x5A);
  EXPECT_EQ(write(client, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  auto big = [](const Seen& s) { return s.packet.length > 65575; };
  EXPECT_TRUE(WaitUntil([&] { return std::ranges::any_of(Stored(), big); }));
  StopCaptureThread(*state_);
  close(client);
  reader.join();
  for (int fd : {peer, server}) close(fd);
  test::Run("ip link set dev lo gso_max_size 65536 gro_max_size 65536");
  for (const Seen& s : Stored()) {
    if (!big(s)) continue;
    EXPECT_EQ(s.line.find("\ttcp\t::1\t"), s.line.find('\t', 1)) << s.line;
    EXPECT_TRUE(s.line.ends_with("\t::1\t40026\t" + std::to_string(s.packet.length) + "\t64")) << s.line;
    // Its TCP payload follows a jumbo payload option where GRO made it, else the header.
    size_t tcp = 40 + (s.packet.bytes[6] == 0 ? (s.packet.bytes[41] + 1u) * 8u : 0);
    size_t payload = tcp + (s.packet.bytes[tcp + 12] >> 4) * 4u;
    EXPECT_EQ(std::count(s.packet.bytes + payload, s.packet.bytes + s.packet.length, 0x5A),
              s.packet.length - static_cast<int32_t>(payload));
  }
}

TEST_F(CaptureLive, ByteAreaFilledToItsLastByteThenTheNextDatagramEndsTheCapture) {
  Start({"127.0.0.1", "*:*", "*:40082", false, false, true, false, false, false});
  int sender = UdpSocket("127.0.0.1", 40081);
  int receiver = UdpSocket("127.0.0.1", 40082);
  // Twelve datagrams of 65,535 bytes and one of 32,780 end exactly at byte 819,200.
  std::vector<uint8_t> payload(65507, 0x5A);
  payload[32751] = 0xA5;  // the last byte of the thirteenth
  for (int k = 0; k < 12; ++k) SendUdp(sender, "127.0.0.1", 40082, payload.data(), payload.size());
  SendUdp(sender, "127.0.0.1", 40082, payload.data(), 32752);
  AwaitPackets(13);
  EXPECT_FALSE(listener_.ended.load());
  SendUdp(sender, "127.0.0.1", 40082, "x", 1);
  EXPECT_TRUE(WaitUntil([&] { return listener_.ended.load(); }));
  close(sender);
  close(receiver);
  EXPECT_EQ(state_->stopFlag.load(), 1);
  EXPECT_EQ(Count(), 13u);
  EXPECT_EQ(state_->store.storedBytes.load(), 819200);
  StoredPacket last;
  ASSERT_TRUE(LocatePacket(state_->store, 12, last));
  EXPECT_EQ(last.offset, 786420);
  ASSERT_EQ(last.length, 32780);
  EXPECT_EQ(last.bytes[32779], 0xA5);
}

class VethCapture : public CaptureLive {
 protected:
  void SetUp() override {
    CaptureLive::SetUp();
    if (IsSkipped()) return;
    peer_ = std::make_unique<test::VethPeer>();
    ASSERT_TRUE(peer_->ok()) << "cannot set up the veth peer namespace";
    std::strcpy(state_->interfaceSlots[0], "198.18.0.1");
  }
  // Sends `n` datagrams to the peer's echo port and waits for each echo.
  void Converse(int n) {
    int fd = UdpSocket("198.18.0.1", 40031);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < n; ++i) {
      SendUdp(fd, "198.18.0.2", 7, &i, sizeof i);
      pollfd p{fd, POLLIN, 0};
      char buf[16];
      ASSERT_EQ(poll(&p, 1, 2000), 1);
      ASSERT_EQ(recv(fd, buf, sizeof buf, 0), 4);
    }
    close(fd);
  }
  // Loopback traffic at the same time, which a capture bound to the veth must not see.
  void ChatterOnLoopback() {
    int fd = UdpSocket("127.0.0.1", 40041);
    SendUdp(fd, "127.0.0.1", 40041, "lo", 2);
    close(fd);
  }
  int CountDirection(const char* src, const char* dst) {
    int n = 0;
    std::string needle = std::string("\t") + src + "\t";
    for (const Seen& s : Stored()) {
      if (s.line.find("\tudp\t" + std::string(src) + "\t") != std::string::npos &&
          s.line.find(std::string("\t") + dst + "\t") != std::string::npos) {
        ++n;
      }
    }
    return n;
  }
  std::unique_ptr<test::VethPeer> peer_;
};

TEST_F(VethCapture, BothDirectionsOfAConversationAreCaptured) {
  Start({"198.18.0.1", "198.18.0.1:*", "198.18.0.2:*", true, false, true, false, false, false});
  ChatterOnLoopback();
  Converse(5);
  AwaitPackets(10);
  EXPECT_EQ(CountDirection("198.18.0.1", "198.18.0.2"), 5);
  EXPECT_EQ(CountDirection("198.18.0.2", "198.18.0.1"), 5);
  EXPECT_EQ(Count(), 10u);
  ExpectLogMatchesStore();
}

TEST_F(VethCapture, FiltersApplyToRealTraffic) {
  Start({"198.18.0.1", "198.18.0.1:*", "198.18.0.2:*", false, false, true, false, false, false});
  Converse(4);
  AwaitPackets(4);
  EXPECT_EQ(CountDirection("198.18.0.1", "198.18.0.2"), 4);
  EXPECT_EQ(CountDirection("198.18.0.2", "198.18.0.1"), 0);
  StopCaptureThread(*state_);

  Start({"198.18.0.1", "*:40031", "*:*", false, false, true, false, false, false});
  Converse(3);
  AwaitPackets(3);
  EXPECT_EQ(Count(), 3u);  // only the requests leave from port 40031
  EXPECT_EQ(CountDirection("198.18.0.1", "198.18.0.2"), 3);
  StopCaptureThread(*state_);

  Start({"198.18.0.1", "*:*", "*:*", true, false, /*udp=*/false, /*icmp=*/true, false, false});
  Converse(2);
  int fd = UdpSocket("198.18.0.1", 40032);
  SendUdp(fd, "198.18.0.2", 9, "x", 1);  // a closed port: answered by ICMP port unreachable
  AwaitPackets(1);
  close(fd);
  ASSERT_EQ(Count(), 1u);  // the answer alone: none of the UDP datagrams
  EXPECT_EQ(Stored()[0].line, "\t0\ticmp\t198.18.0.2\t0\t198.18.0.1\t0\t57\t64");
}

// Bound by its IPv6 address: a hop-by-hop header is walked to the UDP ports, and of the
// fragments of a datagram, in either direction, only the first has ports.
TEST_F(VethCapture, Ipv6HopByHopHeaderAndFragmentsAreStoredWithTheirLines) {
  Start({"2001:db8::1", "*:*", "*:*", false, false, true, false, false, false, /*ipv6=*/true});
  int hopByHop = test::VethUdp6Socket(40401, /*hopByHop=*/true);
  int fragmented = test::VethUdp6Socket(40402, false, /*fragments=*/true);
  ASSERT_GE(hopByHop, 0);
  ASSERT_GE(fragmented, 0);
  EXPECT_TRUE(test::EchoOverIpv6(hopByHop, 10));
  EXPECT_TRUE(test::EchoOverIpv6(fragmented, 2000));  // the peer sends it back in 1500-byte fragments
  close(hopByHop);
  close(fragmented);
  AwaitPackets(6);
  std::vector<std::string> lines;
  for (const Seen& s : Stored()) lines.push_back(s.line);
  EXPECT_EQ(lines, std::vector<std::string>({
                       "\t0\tudp\t2001:db8::1\t40401\t2001:db8::2\t7\t66\t64",
                       "\t1\tudp\t2001:db8::2\t7\t2001:db8::1\t40401\t58\t64",
                       "\t2\tudp\t2001:db8::1\t40402\t2001:db8::2\t7\t1280\t64",
                       "\t3\tudp\t2001:db8::1\t0\t2001:db8::2\t0\t824\t64",
                       "\t4\tudp\t2001:db8::2\t7\t2001:db8::1\t40402\t1496\t64",
                       "\t5\tudp\t2001:db8::2\t0\t2001:db8::1\t0\t608\t64",
                   }));
  ExpectLogMatchesStore();
}

TEST_F(VethCapture, AnAddressWithItsOwnLabelCapturesOnItsInterface) {
  // Not "tvx0:1": the kernel finds an interface by such an alias name too.
  ASSERT_TRUE(test::Run("ip addr add 198.18.0.9/24 dev tvx0 label tvx0.lab"));
  std::strcpy(state_->interfaceSlots[1], "198.18.0.9");
  Start({"198.18.0.9", "*:*", "*:*", false, false, true, false, false, false});
  Converse(1);
  AwaitPackets(2);
  EXPECT_EQ(CountDirection("198.18.0.1", "198.18.0.2"), 1);
  EXPECT_EQ(CountDirection("198.18.0.2", "198.18.0.1"), 1);
}

// Sends `datagram` out of tvx0 in an Ethernet frame padded to the 60-byte minimum, as a
// network card pads it: 46 bytes after the Ethernet header, whatever the datagram's length.
void SendPaddedFrame(const std::vector<uint8_t>& datagram) {
  uint16_t type = htons(datagram[0] >> 4 == 6 ? ETH_P_IPV6 : ETH_P_IP);
  int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, type);
  ASSERT_GE(fd, 0);
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = type;
  to.sll_ifindex = static_cast<int>(if_nametoindex("tvx0"));
  to.sll_halen = 6;
  std::memset(to.sll_addr, 0xFF, 6);
  std::vector<uint8_t> payload = datagram;
  payload.resize(46);
  EXPECT_EQ(sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 46);
  close(fd);
}

TEST_F(VethCapture, ShortDatagramsAreStoredWithoutTheFramePadding) {
  const std::vector<uint8_t> sent[] = {
      // a bare TCP ACK from 198.18.0.1:40000 to 198.18.0.2:7
      {0x45, 0, 0, 40, 0, 1, 0, 0, 64, 6, 0, 0, 198, 18, 0, 1, 198, 18, 0, 2,
       0x9C, 0x40, 0, 7, 0, 0, 0, 1, 0, 0, 0, 1, 0x50, 0x10, 0xFF, 0xFF, 0, 0, 0, 0},
      // an IGMPv2 membership report for 224.0.0.251
      {0x45, 0, 0, 28, 0, 2, 0, 0, 1, 2, 0, 0, 198, 18, 0, 1, 224, 0, 0, 251, 0x16, 0, 0, 0, 224, 0, 0, 251},
      // UDP from 198.18.0.1:40001 to 198.18.0.2:9 with the one-byte payload "x"
      {0x45, 0, 0, 29, 0, 3, 0, 0, 64, 17, 0, 0, 198, 18, 0, 1, 198, 18, 0, 2, 0x9C, 0x41, 0, 9, 0, 9, 0, 0, 'x'},
  };
  Start({"198.18.0.1", "198.18.0.1:*", "*:*", false, true, true, true, true, true});
  for (const auto& d : sent) SendPaddedFrame(d);
  AwaitPackets(3);
  for (const auto& d : sent) {
    int same = 0;
    for (const Seen& s : Stored()) {
      same += std::vector<uint8_t>(s.packet.bytes, s.packet.bytes + s.packet.length) == d ? 1 : 0;
    }
    EXPECT_EQ(same, 1) << "the " << d.size() << "-byte datagram";
  }
}

// The payload length ends an IPv6 datagram, even at 0 when no hop-by-hop header could
// make it a jumbogram.
TEST_F(VethCapture, ShortIpv6DatagramsAreStoredWithoutTheFramePadding) {
  const std::vector<uint8_t> sent[] = {
      test::MakeIpv6Datagram({.upper = 59}),               // no next header, no payload
      test::MakeIpv6Datagram({.upper = 59, .payload = 4}),
  };
  Start({"2001:db8::1", "*:*", "*:*", false, false, false, false, false, /*raw=*/true, /*ipv6=*/true});
  for (const auto& d : sent) SendPaddedFrame(d);
  AwaitPackets(2);
  std::vector<Seen> seen = Stored();
  ASSERT_EQ(seen.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(std::vector<uint8_t>(seen[k].packet.bytes, seen[k].packet.bytes + seen[k].packet.length), sent[k]);
  }
  EXPECT_EQ(seen[0].line, "\t0\tipv6-nonxt\t2001:db8::1\t0\t2001:db8::2\t0\t40\t64");
  EXPECT_EQ(seen[1].line, "\t1\tipv6-nonxt\t2001:db8::1\t0\t2001:db8::2\t0\t44\t64");
}

TEST_F(VethCapture, InterfaceThatDisappearsEndsTheCapture) {
  Start({"198.18.0.1", "*:*", "*:*", false, true, true, true, true, true});
  Converse(1);
  AwaitPackets(2);
  ASSERT_TRUE(test::Run("ip link del tvx0"));
  EXPECT_TRUE(WaitUntil([&] { return listener_.ended.load(); }));
  EXPECT_EQ(state_->stopFlag.load(), 1);
  EXPECT_GE(Count(), 2u);
}

// The kernel reports an interface going down, and then its removal to nobody: the
// capture, waiting for the interface to come back, must notice that it is gone.
TEST_F(VethCapture, InterfaceRemovedWhileDownEndsTheCapture) {
  Start({"198.18.0.1", "*:*", "*:*", false, true, true, true, true, true});
  Converse(1);
  AwaitPackets(2);
  ASSERT_TRUE(test::Run("ip link set tvx0 down"));
  std::this_thread::sleep_for(100ms);  // the capture has read the error and waits
  EXPECT_FALSE(listener_.ended.load());
  ASSERT_TRUE(test::Run("ip link del tvx0"));
  EXPECT_TRUE(WaitUntil([&] { return listener_.ended.load(); }, 2s));
  StopCaptureThread(*state_);
  EXPECT_EQ(state_->run.endError, ENODEV);
  EXPECT_EQ(Count(), 2u);
}

// Numbered datagrams from 127.0.0.1:40051 to :40052 on a thread of their own, until
// `limit` are sent or the flood is destroyed.
class Flood {
 public:
  explicit Flood(uint32_t limit)
      : thread_([this, limit] { test::SendNumbered(40051, 40052, limit, 4, &stop_, &sent_); }) {}
  ~Flood() {
    stop_ = true;
    thread_.join();
  }
  uint32_t sent() const { return sent_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> sent_{0};
  std::thread thread_;
};

// A client that is busy for a while (its listener holds the capture thread for a second)
// does not stop the helper draining the ring: what comes meanwhile waits in the helper,
// and the kernel drops nothing of a burst twice the ring's size.
TEST_F(CaptureLive, AClientBusyForASecondCostsNoDatagram) {
  struct BusyListener : RecordingListener {
    void PacketsPublished(uint32_t count) noexcept override {
      if (!busy.exchange(true)) std::this_thread::sleep_for(1s);
      published = count;
    }
    std::atomic<bool> busy{false};
  } busy;
  PrepareCapture(*state_, {"127.0.0.1", "*:40261", "*:40262", false, false, true, false, false, false, false, true,
                           -1, true});
  ASSERT_EQ(StartCaptureThread(*state_, &busy, nullptr, {1u << 20, 4, 80}).result, CaptureStartResult::kStarted);
  test::SendNumbered(40261, 40262, 1);
  ASSERT_TRUE(WaitUntil([&] { return busy.busy.load(); }));
  // 8.6 MB into a ring of 4 MiB, in steps: the helper is not held up, only its client.
  for (int step = 0; step < 20; ++step) {
    test::SendNumbered(40261, 40262, 300, 1400);
    std::this_thread::sleep_for(10ms);
  }
  AwaitPackets(6001);
  StopCaptureThread(*state_);
  EXPECT_EQ(Count(), 6001u);
  EXPECT_EQ(state_->run.kernel.dropped, 0u);
  EXPECT_EQ(state_->run.kernel.received, 6001u);
}

TEST_F(CaptureLive, FloodEndsTheCaptureAtExactlyTenThousandPackets) {
  Start({"127.0.0.1", "*:40051", "*:40052", false, false, true, false, false, false});
  {
    Flood flood(15000);
    ASSERT_TRUE(WaitUntil([&] { return listener_.ended.load(); }, 20s)) << Count() << " stored";
  }
  EXPECT_EQ(Count(), kMaxPackets);
  EXPECT_EQ(state_->stopFlag.load(), 1);
  EXPECT_EQ(listener_.published.load(), kMaxPackets);
  std::vector<Seen> seen = Stored();
  uint32_t first;
  std::memcpy(&first, seen[0].packet.bytes + 28, 4);
  for (uint32_t k = 0; k < kMaxPackets; ++k) {
    uint32_t seq;
    std::memcpy(&seq, seen[k].packet.bytes + 28, 4);
    ASSERT_EQ(seq, first + k) << "gap at packet " << k;
  }
  std::string log(state_->sniffLog.text);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 10000);
  std::string last = log.substr(log.rfind("\r\n", log.size() - 3) + 2);
  EXPECT_EQ(last.substr(0, 26), "\t9999\tudp\t127.0.0.1\t40051\t");
}

TEST_F(CaptureLive, NothingIsStoredAfterStopReturnsUnderAFlood) {
  Flood flood(UINT32_MAX);
  Start({"127.0.0.1", "*:*", "*:*", false, false, true, false, false, false});
  ASSERT_TRUE(WaitUntil([&] { return Count() > 100; }));
  StopCaptureThread(*state_);
  uint32_t count = Count();
  int32_t bytes = state_->store.storedBytes.load();
  size_t log = PublishedLogLength(state_->sniffLog);
  uint32_t sentAtStop = flood.sent();
  ASSERT_TRUE(WaitUntil([&] { return flood.sent() > sentAtStop + 1000; }))
      << "the flood must go on while nothing is stored";
  std::this_thread::sleep_for(50ms);  // and the helper's last batch would have come by now
  EXPECT_EQ(Count(), count);
  EXPECT_EQ(state_->store.storedBytes.load(), bytes);
  EXPECT_EQ(PublishedLogLength(state_->sniffLog), log);
  EXPECT_EQ(state_->sniffLog.text[log], '\0');
  ExpectLogMatchesStore();
}

TEST_F(CaptureLive, TwoHundredStartStopCyclesLeakNoDescriptor) {
  Flood flood(UINT32_MAX);
  ASSERT_TRUE(WaitUntil([&] { return flood.sent() > 0; }));  // its sockets are open
  int before = OpenDescriptors();
  for (int cycle = 0; cycle < 200; ++cycle) {
    Start({"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
    if (cycle % 20 == 0) {
      ASSERT_TRUE(WaitUntil([&] { return Count() > 0; })) << cycle;
    }
    StopCaptureThread(*state_);
    ASSERT_EQ(state_->stopFlag.load(), 1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(CaptureLive, SocketErrorOnARingForEveryInterfaceEndsTheCapture) {
  PacketRing ring;
  KernelFilter filter = CompileKernelFilter(*state_);
  ASSERT_EQ(PacketRing::Open(0, filter.code, filter.length, ring), 0);
  EXPECT_TRUE(ring.Failed(POLLERR));  // there is no interface whose return could be awaited
}

TEST_F(CaptureLive, StopReturnsEvenWhenTheWakeUpIsLost) {
  Start({"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  std::this_thread::sleep_for(20ms);  // the thread is waiting in poll
  WakeEvent lost = std::move(state_->run.wake);
  auto stop = std::async(std::launch::async, [&] { StopCaptureThread(*state_); });
  bool stopped = stop.wait_for(2s) == std::future_status::ready;
  if (!stopped) lost.Signal();  // let the test end either way
  EXPECT_TRUE(stopped);
}

// A start that does not wait for the helper hears why the socket could not be opened as
// the capture's end: here the helper cannot get CAP_NET_RAW (gone from the bounding set).
TEST_F(CaptureLive, AStartThatDoesNotWaitHearsWhyTheSocketCouldNotOpen) {
  pid_t pid = fork();
  if (pid == 0) {
    if (prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0) _exit(99);
    auto state = std::make_unique<CaptureState>();
    RecordingListener listener;
    PrepareCapture(*state, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
    CaptureStart start = StartCaptureThread(*state, &listener, nullptr, {}, SocketWait::kNone);
    bool ended = WaitUntil([&] { return listener.ended.load(); }, 3s);
    StopCaptureThread(*state);
    _exit((start.result == CaptureStartResult::kStarted) + 2 * ended + 4 * state->run.startFailed +
          8 * (state->run.endError == EPERM));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 15);
}

TEST_F(CaptureLive, StopRightAfterStartLeavesTheStoresEmpty) {
  Start({"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  test::SendNumbered(40071, 40072, 2);
  AwaitPackets(2);  // an earlier capture's packets, which the next start must empty
  Start({"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  StopCaptureThread(*state_);
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(PublishedLogLength(state_->sniffLog), 0u);
  StopCaptureThread(*state_);  // a second stop is harmless
}

}  // namespace
}  // namespace trovix
