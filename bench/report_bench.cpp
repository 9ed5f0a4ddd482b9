// Time to build one packet report: the last packet of a full store (the locate step sums
// 9,999 lengths), a full-size TCP segment in every view, and the largest datagram.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "capture/capture_state.h"
#include "capture/packet_store.h"
#include "report/packet_report.h"
#include "report/report_items.h"

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

}  // namespace

BENCHMARK(BM_LastPacketOfFullStore)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TcpFullSegmentAllViews)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TcpFullSegmentTextAndHex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LargestDatagram)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SplitLargestReport)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
