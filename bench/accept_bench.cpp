// Per-packet cost of the accept path (filters, store, line, log, publication) next to a
// plain copy of the same bytes, which is the least any capture must do.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "capture/capture_thread.h"
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
