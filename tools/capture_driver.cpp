// Command-line capture: runs the engine with the options given and prints each packet
// line as it is published, until interrupted or the capture ends by itself.
#include <poll.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "capture/capture_thread.h"
#include "capture/packet_store.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

class PrintOnEnd : public trovix::CaptureListener {
 public:
  void PacketsPublished(uint32_t) noexcept override {}
  void CaptureEnded() noexcept override {}
};

int Usage() {
  std::fprintf(stderr,
               "usage: trovix-capture [--bind ADDRESS] [--from ADDR:PORT] [--to ADDR:PORT]\n"
               "                      [--both] [--protocols tcp,udp,icmp,igmp,raw]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bind = "127.0.0.1", from = "*:*", to = "*:*", protocols = "tcp,udp,icmp,igmp,raw";
  bool both = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--both") { both = true; continue; }
    if (i + 1 >= argc) return Usage();
    if (arg == "--bind") bind = argv[++i];
    else if (arg == "--from") from = argv[++i];
    else if (arg == "--to") to = argv[++i];
    else if (arg == "--protocols") protocols = argv[++i];
    else return Usage();
  }
  auto has = [&](const char* word) { return protocols.find(word) != std::string::npos; };

  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::PrepareCapture(state, {bind, from, to, both, has("tcp"), has("udp"), has("icmp"), has("igmp"), has("raw")});
  PrintOnEnd listener;
  trovix::CaptureStart start = trovix::StartCaptureThread(state, &listener);
  if (start.result != trovix::CaptureStartResult::kStarted) {
    std::fprintf(stderr, "trovix-capture: cannot capture on %s: %s\n", bind.c_str(), std::strerror(start.error));
    return 1;
  }
  signal(SIGINT, [](int) { g_interrupted = 1; });
  signal(SIGTERM, [](int) { g_interrupted = 1; });

  size_t printed = 0;
  for (;;) {
    bool ended = state.stopFlag.load() != 0;
    size_t length = trovix::PublishedLogLength(state.sniffLog);
    std::fwrite(state.sniffLog.text + printed, 1, length - printed, stdout);
    std::fflush(stdout);
    printed = length;
    if (ended || g_interrupted) break;
    poll(nullptr, 0, 50);
  }
  trovix::StopCaptureThread(state);
  std::fprintf(stderr, "trovix-capture: %u packets stored\n", trovix::PublishedPacketCount(state.store));
  return 0;
}
