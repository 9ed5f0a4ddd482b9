// Per-packet cost of the accept path (filters, store, line, log, publication) next to a
// plain copy of the same bytes, which is the least any capture must do.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/sources/local_source.h"
#include "capture/packet_store.h"
#include "tests/datagram_builder.h"

namespace trovix {
namespace {

std::vector<uint8_t> Datagram(benchmark::State& s) {
  return test::MakeDatagram({.protocol = 17, .src = "198.18.0.1", .dst = "198.18.0.2", .sport = 40001,
                             .dport = 53, .payload = static_cast<size_t>(s.range(0))});
}

// Stores are emptied after every 10,000 packets; that cost is part of each figure.
void BM_AcceptStored(benchmark::State& s) {
  auto state = std::make_unique<CaptureState>();
  CaptureOptions options{"127.0.0.1", "198.18.0.1:*", "*:53", true, true, true, true, true, true};
  PrepareCapture(*state, options);
  auto d = Datagram(s);
  for (auto _ : s) {
    AcceptResult r = AcceptDatagram(*state, d.data(), d.size());
    if (r != AcceptResult::kStored) PrepareCapture(*state, options);
    benchmark::DoNotOptimize(r);
  }
  s.SetItemsProcessed(s.iterations());
}
BENCHMARK(BM_AcceptStored)->Arg(32)->Arg(512);

// IPv4 beside IPv6 for the same UDP payload, with IPv6 on and every datagram kept: the
// "to:" filter "*:53" alone, or an address and port in "to:" (bracketed for IPv6).
// kIpv6Full has no zero group to compress: the longest hex texts (39 characters).
enum class Shape { kIpv4, kIpv6, kIpv6HopByHop, kIpv6Full };
enum class Filter { kPortOnly, kAddressAndPort };

std::vector<uint8_t> ShapedDatagram(Shape shape, size_t payload) {
  if (shape == Shape::kIpv4) {
    return test::MakeDatagram({.protocol = 17, .src = "198.18.0.2", .dst = "198.18.0.1", .sport = 40001,
                               .dport = 53, .payload = payload});
  }
  test::Ipv6Shape v6{.src = "2001:db8::2", .dst = "2001:db8::1", .sport = 40001, .dport = 53, .payload = payload};
  if (shape == Shape::kIpv6HopByHop) v6.extensions = {{0, std::vector<uint8_t>(8, 0)}};
  if (shape == Shape::kIpv6Full) {
    v6.src = "2001:db8:85a3:8d3:1319:8a2e:370:7348";
    v6.dst = "2001:db8:85a3:8d3:1319:8a2e:370:7349";
  }
  return test::MakeIpv6Datagram(v6);
}

void BM_AcceptFamily(benchmark::State& s, Shape shape, Filter filter) {
  auto state = std::make_unique<CaptureState>();
  const char* to = filter == Filter::kPortOnly ? "*:53" : shape == Shape::kIpv4 ? "198.18.0.1:53" : "[2001:db8::1]:53";
  CaptureOptions options{"127.0.0.1", "*:*", to, false, true, true, true, true, true, /*ipv6=*/true};
  PrepareCapture(*state, options);
  auto d = ShapedDatagram(shape, static_cast<size_t>(s.range(0)));
  bool dropped = false;
  for (auto _ : s) {
    AcceptResult r = AcceptDatagram(*state, d.data(), d.size());
    if (r != AcceptResult::kStored) {
      dropped = dropped || r == AcceptResult::kDropped;
      PrepareCapture(*state, options);
    }
    benchmark::DoNotOptimize(r);
  }
  if (dropped) s.SkipWithError("the filters dropped the datagram");
  s.SetItemsProcessed(s.iterations());
  s.SetLabel(std::to_string(d.size()) + " bytes");
}
BENCHMARK_CAPTURE(BM_AcceptFamily, ipv4, Shape::kIpv4, Filter::kPortOnly)->Arg(32)->Arg(512);
BENCHMARK_CAPTURE(BM_AcceptFamily, ipv6, Shape::kIpv6, Filter::kPortOnly)->Arg(32)->Arg(512);
BENCHMARK_CAPTURE(BM_AcceptFamily, ipv6_hop_by_hop, Shape::kIpv6HopByHop, Filter::kPortOnly)->Arg(32)->Arg(512);
BENCHMARK_CAPTURE(BM_AcceptFamily, ipv6_full_addresses, Shape::kIpv6Full, Filter::kPortOnly)->Arg(32);
BENCHMARK_CAPTURE(BM_AcceptFamily, ipv4_address_filter, Shape::kIpv4, Filter::kAddressAndPort)->Arg(32);
BENCHMARK_CAPTURE(BM_AcceptFamily, ipv6_bracket_filter, Shape::kIpv6, Filter::kAddressAndPort)->Arg(32);

void BM_AcceptFilteredOut(benchmark::State& s) {
  auto state = std::make_unique<CaptureState>();
  PrepareCapture(*state, {"127.0.0.1", "198.18.0.9:*", "*:*", true, true, true, true, true, true});
  auto d = Datagram(s);
  for (auto _ : s) benchmark::DoNotOptimize(AcceptDatagram(*state, d.data(), d.size()));
  s.SetItemsProcessed(s.iterations());
}
BENCHMARK(BM_AcceptFilteredOut)->Arg(32);

void BM_PlainCopy(benchmark::State& s) {
  auto area = std::make_unique<uint8_t[]>(kByteAreaSize);
  auto d = Datagram(s);
  size_t at = 0;
  for (auto _ : s) {
    if (at + d.size() > static_cast<size_t>(kByteAreaSize)) at = 0;
    std::memcpy(area.get() + at, d.data(), d.size());
    benchmark::ClobberMemory();
    at += d.size();
  }
  s.SetItemsProcessed(s.iterations());
}
BENCHMARK(BM_PlainCopy)->Arg(32)->Arg(512);

}  // namespace
}  // namespace trovix

BENCHMARK_MAIN();
