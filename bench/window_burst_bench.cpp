// The burst benchmark with the real main window attached (offscreen): numbered UDP
// datagrams blasted over loopback in a private network namespace while the window
// captures and shows them, and tcpdump captures the same traffic. Also reports how long
// the process took to show its window and its resident memory after a full capture.
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "capture/platform/helper_process.h"
#include "bench/bench_services.h"
#include "bench/tcpdump_peer.h"
#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "ui/main_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kSourcePort = 40301;
constexpr uint16_t kDestinationPort = 40302;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long RealtimeNs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000000L + t.tv_nsec;
}

std::string ResidentMemory() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return line.substr(6);
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
#ifdef TROVIX_CAPTURE_HELPER
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
#endif
  long startedNs = 0;  // when the caller started this process, if it says
  int runs = 3;
  std::string tcpdump = "tcpdump";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--started-ns") startedNs = std::stol(argv[i + 1]);
    else if (arg == "--runs") runs = std::stoi(argv[i + 1]);
    else if (arg == "--tcpdump") tcpdump = argv[i + 1];
  }
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "window_burst_bench: %s\n", problem.c_str());
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::MainDialog dialog(state, trovix::bench::WindowServices());
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog)) return 1;
  long shownNs = RealtimeNs();
  if (startedNs != 0) std::printf("window shown %.1f ms after the process was started\n", (shownNs - startedNs) / 1e6);

  using namespace trovix::resources;
  static_cast<QComboBox*>(dialog.Control(kIdBind))->setEditText("127.0.0.1");
  static_cast<QComboBox*>(dialog.Control(kIdFrom))->setEditText("*:40301");
  static_cast<QPushButton*>(dialog.Control(kIdTcp))->setChecked(false);
  static_cast<QPushButton*>(dialog.Control(kIdUdp))->setChecked(true);

  for (int run = 1; run <= runs; ++run) {
    trovix::bench::TcpdumpPeer dump;
    bool withTcpdump = tcpdump != "none" && dump.Start(tcpdump, "udp and src port 40301");
    static_cast<QPushButton*>(dialog.Control(kIdGo))->click();
    (void)QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000);
    trovix::test::Burst burst;
    std::atomic<bool> sent{false};
    std::thread sender([&] {
      burst = trovix::test::SendNumbered(kSourcePort, kDestinationPort, trovix::kMaxPackets, 32);
      sent = true;
    });
    // The window's own event loop runs meanwhile, as it does for a user.
    Clock::time_point lastRow{};
    (void)QTest::qWaitFor([&] {
      if (dialog.packetList().rowCount() >= static_cast<int>(trovix::kMaxPackets) && lastRow == Clock::time_point{}) {
        lastRow = Clock::now();
      }
      return sent && (lastRow != Clock::time_point{} || Clock::now() - burst.end > std::chrono::seconds(2));
    }, 10000);
    sender.join();
    if (static_cast<QPushButton*>(dialog.Control(kIdStop))->isEnabled()) {
      static_cast<QPushButton*>(dialog.Control(kIdStop))->click();
    }
    uint32_t stored = trovix::PublishedPacketCount(state.store);
    std::printf("run %d: sent %u in %.1f ms (%.0f datagrams/s)\n", run, burst.sent, Ms(burst.end - burst.start),
                burst.sent / (Ms(burst.end - burst.start) / 1000));
    std::printf("  trovix window: stored %u/%u, missing %u, rows shown %d", stored, burst.sent,
                trovix::test::MissingSequences(trovix::test::StoredSequences(state.store), burst.sent), dialog.packetList().rowCount());
    if (lastRow != Clock::time_point{}) std::printf(", last row shown %.1f ms after the last send", Ms(lastRow - burst.end));
    std::printf("\n");
    if (withTcpdump) {
      trovix::bench::TcpdumpResult r = dump.Stop(burst.sent);
      std::printf("  tcpdump: captured %u/%u, missing %u (%s)\n", r.captured, burst.sent, r.missing, r.summary.c_str());
    }
  }
  std::printf("resident memory after a full capture:%s\n", ResidentMemory().c_str());
  return 0;
}
