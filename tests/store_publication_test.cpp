// A reader on another thread never sees a half-stored packet: what the published count
// covers is whole in the store and the log. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "capture/sources/local_source.h"
#include "capture/packet_store.h"
#include "tests/datagram_builder.h"

namespace trovix {
namespace {

TEST(StorePublication, ReaderSeesOnlyWholePackets) {
  auto state = std::make_unique<CaptureState>();
  PrepareCapture(*state, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  std::atomic<bool> done{false};

  std::thread writer([&] {
    auto d = test::MakeDatagram({.protocol = 17, .sport = 1, .dport = 2, .payload = 40});
    for (uint32_t k = 0; k < kMaxPackets; ++k) {
      std::memcpy(&d[28], &k, sizeof k);  // each packet carries its own index
      if (AcceptDatagram(*state, d.data(), d.size()) == AcceptResult::kStoredLast) break;
    }
    done = true;
  });

  // Checks the newest published packet; returns an empty text when it is whole.
  size_t logSearchFrom = 0;
  auto newestIsWhole = [&](uint32_t count) -> std::string {
    int32_t k = static_cast<int32_t>(count - 1);
    StoredPacket p;
    if (!LocatePacket(state->store, k, p)) return "packet " + std::to_string(k) + " not locatable";
    uint32_t carried;
    std::memcpy(&carried, p.bytes + 28, sizeof carried);
    if (carried != static_cast<uint32_t>(k)) return "packet " + std::to_string(k) + " bytes not in place";
    std::string line = "\t" + std::to_string(k) + "\tudp\t10.0.0.1\t1\t10.0.0.2\t2\t68\t64\r\n";
    std::string_view log(state->sniffLog.text, PublishedLogLength(state->sniffLog));
    size_t at = log.find(line, logSearchFrom);
    if (at == std::string_view::npos) return "line of packet " + std::to_string(k) + " not in the log";
    logSearchFrom = at;
    return "";
  };

  uint32_t checked = 0;
  std::string problem;
  while (problem.empty() && (!done || checked < PublishedPacketCount(state->store))) {
    uint32_t count = PublishedPacketCount(state->store);
    if (count == checked) continue;
    problem = newestIsWhole(count);
    checked = count;
  }
  writer.join();
  EXPECT_EQ(problem, "");
  EXPECT_EQ(checked, kMaxPackets);
}

}  // namespace
}  // namespace trovix
