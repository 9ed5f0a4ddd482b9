// Time to build one packet report: the last packet of a full store (the locate step sums
// 9,999 lengths), a full-size TCP segment in every view, the largest datagram, a DNS
// response with ten answers, a TLS ClientHello and a QUIC client Initial to decrypt.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "capture/capture_state.h"
#include "capture/packet_store.h"
#include "report/packet_report.h"
#include "report/report_items.h"
#include "tests/quic_vectors.h"

namespace {

using trovix::PacketStore;
using trovix::ReportViews;

std::vector<uint8_t> TcpDatagram(size_t payload) {
  std::vector<uint8_t> d(40 + payload, 'x');
  const uint8_t header[40] = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 6, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                              0, 80, 0x04, 0x0A, 0, 0, 0, 1, 0, 0, 0, 2, 0x50, 0x18, 0xFF, 0xFF, 0, 0, 0, 0};
  std::memcpy(d.data(), header, sizeof header);
  return d;
}

// The capture's own append steps, without its filters.
void Append(PacketStore& s, uint8_t protocol, const std::vector<uint8_t>& d) {
  trovix::AppendPacket(s, protocol, d.data(), d.size());
}

void RunReport(benchmark::State& state, const PacketStore& store, int32_t index, ReportViews views) {
  size_t bytes = 0;
  for (auto _ : state) {
    trovix::PacketReport report = trovix::BuildPacketReport(store, index, views);
    bytes = report.text.size();
    benchmark::DoNotOptimize(report.text.data());
  }
  state.counters["report_bytes"] = static_cast<double>(bytes);
}

void BM_LastPacketOfFullStore(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  std::vector<uint8_t> small = TcpDatagram(20);  // 60 bytes: 10,000 fit the byte area
  for (int k = 0; k < 10000; ++k) Append(*store, 6, small);
  RunReport(state, *store, 9999, {true, false, true});
}

void BM_TcpFullSegmentAllViews(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  Append(*store, 6, TcpDatagram(1460));
  RunReport(state, *store, 0, {true, false, true});
}

void BM_TcpFullSegmentTextAndHex(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  Append(*store, 6, TcpDatagram(1460));
  RunReport(state, *store, 0, {false, true, true});
}

void BM_LargestDatagram(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  std::vector<uint8_t> d(65535, 0xAB);
  d[0] = 0x45;
  Append(*store, 17, d);
  RunReport(state, *store, 0, {});
}

// What the window adds on top: cutting the largest report into list items.
void BM_SplitLargestReport(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  std::vector<uint8_t> d(65535, 0xAB);
  d[0] = 0x45;
  Append(*store, 17, d);
  std::string text = trovix::BuildPacketReport(*store, 0, {}).text;
  for (auto _ : state) {
    auto items = trovix::SplitReportItems(text);
    benchmark::DoNotOptimize(items.data());
  }
}

// A UDP datagram of `size` bytes, payload 'x': IPv4 with a bare header, or IPv6 behind a
// hop-by-hop, a destination options and a fragment header (a first fragment), so that the
// IPv6 report walks and prints three extension headers.
std::vector<uint8_t> UdpDatagram(size_t size, bool ipv6) {
  static const uint8_t v4[28] = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                                 0x9C, 0x40, 0, 53, 0, 0, 0, 0};
  static const uint8_t v6[72] = {
      0x60, 0, 0, 0, 0, 0, 0, 64, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
      0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
      60, 0, 1, 4, 0, 0, 0, 0,                      // hop-by-hop options, PadN
      44, 0, 1, 4, 0, 0, 0, 0,                      // destination options, PadN
      17, 0, 0, 1, 0x12, 0x34, 0x56, 0x78,          // fragment: offset 0, more fragments
      0x9C, 0x40, 0, 53, 0, 0, 0, 0};
  std::vector<uint8_t> d(size, 'x');
  if (ipv6) {
    std::memcpy(d.data(), v6, sizeof v6);
  } else {
    std::memcpy(d.data(), v4, sizeof v4);
  }
  return d;
}

void BM_UdpReport(benchmark::State& state, bool ipv6) {
  auto store = std::make_unique<PacketStore>();
  Append(*store, 17, UdpDatagram(static_cast<size_t>(state.range(0)), ipv6));
  RunReport(state, *store, 0, {});
}

// An IPv4 datagram of `protocol` from 198.18.0.1 to 198.18.0.2 around `transport`.
std::vector<uint8_t> Ipv4Around(uint8_t protocol, std::vector<uint8_t> transport) {
  std::vector<uint8_t> d = {0x45, 0, 0, 0, 0, 0, 0x40, 0, 64, protocol, 0, 0, 198, 18, 0, 1, 198, 18, 0, 2};
  size_t total = d.size() + transport.size();
  d[2] = static_cast<uint8_t>(total >> 8);
  d[3] = static_cast<uint8_t>(total);
  d.insert(d.end(), transport.begin(), transport.end());
  return d;
}

void Put16(std::vector<uint8_t>& d, size_t value) {
  d.push_back(static_cast<uint8_t>(value >> 8));
  d.push_back(static_cast<uint8_t>(value));
}

// A DNS response over UDP: one question, www.example.org, and ten A answers that point
// back at its name, as a resolver's answer for a name with many addresses looks.
std::vector<uint8_t> DnsResponseTenAnswers() {
  std::vector<uint8_t> m = {0x9C, 0x40, 0, 53, 0, 0, 0, 0,  // UDP header
                            0x12, 0x34, 0x81, 0x80, 0, 1, 0, 10, 0, 0, 0, 0,
                            3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'o', 'r', 'g', 0, 0, 1, 0, 1};
  for (uint8_t k = 1; k <= 10; ++k) {
    const uint8_t answer[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 198, 51, 100, k};
    m.insert(m.end(), answer, answer + sizeof answer);
  }
  return Ipv4Around(17, m);
}

// A TCP segment with a ClientHello as a browser sends it: 16 suites, a server name, ALPN
// h2 and http/1.1, supported versions, groups, signature algorithms and an X25519 share.
std::vector<uint8_t> ClientHelloWithSniAndAlpn() {
  std::vector<uint8_t> ext;
  auto extension = [&ext](uint16_t type, std::vector<uint8_t> data) {
    Put16(ext, type);
    Put16(ext, data.size());
    ext.insert(ext.end(), data.begin(), data.end());
  };
  extension(0, {0, 14, 0, 0, 11, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'o', 'r', 'g'});
  extension(16, {0, 12, 2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'});
  extension(43, {4, 3, 4, 3, 3});
  extension(10, {0, 6, 0, 29, 0, 23, 0, 24});
  extension(13, {0, 8, 4, 3, 8, 4, 4, 1, 5, 3});
  std::vector<uint8_t> share = {0, 36, 0, 29, 0, 32};
  share.resize(38, 0x42);
  extension(51, share);
  std::vector<uint8_t> hello = {3, 3};
  hello.resize(2 + 32, 0xAB);
  hello.push_back(32);
  hello.resize(hello.size() + 32, 0xCD);
  Put16(hello, 32);
  for (uint16_t suite = 0x1301; suite < 0x1311; ++suite) Put16(hello, suite);
  hello.insert(hello.end(), {1, 0});
  Put16(hello, ext.size());
  hello.insert(hello.end(), ext.begin(), ext.end());
  std::vector<uint8_t> segment = {0x9C, 0x40, 0x01, 0xBB, 0, 0, 0, 1, 0, 0, 0, 1, 0x50, 0x18, 0xFF, 0xFF, 0, 0, 0, 0,
                                  22, 3, 1};
  Put16(segment, hello.size() + 4);
  segment.insert(segment.end(), {1, 0});
  Put16(segment, hello.size());
  segment.insert(segment.end(), hello.begin(), hello.end());
  return Ipv4Around(6, segment);
}

void BM_DnsResponseTenAnswers(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  Append(*store, 17, DnsResponseTenAnswers());
  RunReport(state, *store, 0, {});
}

void BM_TlsClientHelloSniAlpn(benchmark::State& state) {
  auto store = std::make_unique<PacketStore>();
  Append(*store, 6, ClientHelloWithSniAndAlpn());
  RunReport(state, *store, 0, {});
}

// The client Initial of RFC 9001 appendix A.2 over UDP to port 443: its keys derived,
// its protection removed, its frames and ClientHello read.
void BM_QuicClientInitialDecrypt(benchmark::State& state) {
  std::vector<uint8_t> initial = trovix::test::QuicBytes(trovix::test::kQuicClientInitial);
  std::vector<uint8_t> udp = {0xC3, 0x50, 0x01, 0xBB};
  Put16(udp, 8 + initial.size());
  Put16(udp, 0);
  udp.insert(udp.end(), initial.begin(), initial.end());
  auto store = std::make_unique<PacketStore>();
  Append(*store, 17, Ipv4Around(17, udp));
  RunReport(state, *store, 0, {});
}

}  // namespace

BENCHMARK(BM_QuicClientInitialDecrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DnsResponseTenAnswers)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TlsClientHelloSniAlpn)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_UdpReport, Ipv4, false)->Arg(128)->Arg(512)->Arg(1500)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_UdpReport, Ipv6ThreeExtensions, true)->Arg(128)->Arg(512)->Arg(1500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LastPacketOfFullStore)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TcpFullSegmentAllViews)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TcpFullSegmentTextAndHex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LargestDatagram)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SplitLargestReport)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
