// The capture-file reader on its own thread, fed by a pipe in steps: what it publishes is
// whole, a stop ends it while the stream sends nothing, and the stream's end is its own
// end. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pcap/dlt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "capture/capture_file.h"
#include "tests/datagram_builder.h"
#include "tests/pcap_bytes.h"

namespace trovix {
namespace {

struct Counting : CaptureListener {
  void PacketsPublished(uint32_t count) noexcept override { published = count; }
  void CaptureEnded() noexcept override { ended = true; }
  std::atomic<uint32_t> published{0};
  std::atomic<bool> ended{false};
};

TEST(FileReader, PublishesWholePacketsAndEndsByStopOrByTheStreamsEnd) {
  auto state = std::make_unique<CaptureState>();
  for (bool stop : {true, false}) {
    PrepareCapture(*state, {"", "*:*", "*:*", false, true, true, true, true, true, true, true, -1, true});
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    Counting listener;
    FileReading reading;
    ASSERT_EQ(StartFileReader(*state, &listener, fds[0], reading), 0);
    std::thread writer([&] {
      std::string bytes = test::PcapHeader(DLT_RAW);
      auto d = test::MakeDatagram({.protocol = 17, .sport = 1, .dport = 2, .payload = 8});
      for (uint32_t k = 0; k < 3000; ++k) {
        std::memcpy(&d[28], &k, sizeof k);  // each packet carries its own index
        bytes += test::PcapRecord(d, k, 0);
        if (k % 500 == 499) {
          (void)!write(fds[1], bytes.data(), bytes.size());
          bytes.clear();
        }
      }
      if (!stop) close(fds[1]);
    });
    // As the list reads them: every published packet whole, while more arrive.
    uint32_t seen = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen < 3000 && std::chrono::steady_clock::now() < until) {
      for (uint32_t count = listener.published.load(); seen < count; ++seen) {
        StoredPacket p;
        ASSERT_TRUE(LocatePacket(state->store, static_cast<int32_t>(seen), p));
        uint32_t carried;
        std::memcpy(&carried, p.bytes + 28, sizeof carried);
        ASSERT_EQ(carried, seen);
      }
    }
    writer.join();
    EXPECT_EQ(seen, 3000u);
    if (stop) {
      StopCaptureThread(*state);  // the pipe is open and sends nothing more
      close(fds[1]);
      EXPECT_EQ(reading.end, FileEnd::kStopped);
      EXPECT_FALSE(listener.ended);
    } else {
      ASSERT_TRUE(listener.ended || [&] {
        for (int i = 0; i < 500 && !listener.ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return listener.ended.load();
      }());
      StopCaptureThread(*state);
      EXPECT_EQ(reading.end, FileEnd::kEndOfFile);
    }
    EXPECT_EQ(reading.records, 3000u);
  }
}

}  // namespace
}  // namespace trovix
