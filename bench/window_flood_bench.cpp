// The window's capture path beside tcpdump under the flood of cli_flood_bench: inside a
// private network namespace one sender sends numbered 32-byte UDP datagrams over loopback
// to 100 destination ports in turn; the real window (offscreen, "udp" only, "to:"
// *:40500) and `tcpdump -w FILE 'udp and dst port 40500'` keep the 1% to the first port.
// Reports rows kept and CPU: the capture helper's (all of it, start to end) and the
// window's capture thread's, against tcpdump's. Before that, how long the "go!" and "stop"
// clicks keep the window's event loop busy, idle and under the flood.
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_services.h"
#include "bench/port_flood.h"
#include "bench/tcpdump_peer.h"
#include "capture/packet_store.h"
#include "capture/platform/helper_process.h"
#include "resources/dialogs.h"
#include "tests/netns.h"
#include "ui/main_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kFirstPort = 40500;
constexpr int kPorts = 100;
constexpr uint16_t kSenderPort = 40700;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double ChildrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

uint32_t Flood(uint32_t count, const std::atomic<bool>* stop = nullptr) {
  return trovix::bench::FloodPorts(kFirstPort, kPorts, kSenderPort, count, stop).sent;
}

struct Clicks {
  std::vector<double> go, stop;
  void Print(const char* when) {
    for (auto* v : {&go, &stop}) std::sort(v->begin(), v->end());
    std::printf("  %-14s \"go!\" median %.2f ms, max %.2f ms; \"stop\" median %.2f ms, max %.2f ms (%zu cycles)\n", when,
                go[go.size() / 2], go.back(), stop[stop.size() / 2], stop.back(), go.size());
  }
};

}  // namespace

int main(int argc, char** argv) {
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
  uint32_t count = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 1000000;
  int cycles = argc > 2 ? std::stoi(argv[2]) : 20;
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "window_flood_bench: %s\n", problem.c_str());
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::MainDialog dialog(state, trovix::bench::WindowServices());
  dialog.show();
  using namespace trovix::resources;
  auto* go = static_cast<QPushButton*>(dialog.Control(kIdGo));
  auto* stop = static_cast<QPushButton*>(dialog.Control(kIdStop));
  static_cast<QComboBox*>(dialog.Control(kIdBind))->setEditText("127.0.0.1");
  static_cast<QComboBox*>(dialog.Control(kIdTo))->setEditText("*:" + QString::number(kFirstPort));
  static_cast<QPushButton*>(dialog.Control(kIdTcp))->setChecked(false);
  static_cast<QPushButton*>(dialog.Control(kIdUdp))->setChecked(true);
  auto timed = [](QPushButton* button) {
    auto start = Clock::now();
    button->click();
    return Ms(Clock::now() - start);
  };

  // The clicks, first with the machine quiet, then under a flood that the capture keeps.
  for (bool flooding : {false, true}) {
    std::atomic<bool> stopFlood{false};
    std::thread flood;
    if (flooding) flood = std::thread([&] { Flood(UINT32_MAX, &stopFlood); });
    Clicks clicks;
    for (int i = 0; i < cycles; ++i) {
      clicks.go.push_back(timed(go));
      (void)QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000);
      QTest::qWait(30);
      clicks.stop.push_back(timed(stop));
      QTest::qWait(20);
    }
    stopFlood = true;
    if (flood.joinable()) flood.join();
    clicks.Print(flooding ? "under a flood:" : "idle:");
  }
  trovix::ReapCaptureHelpers(true);

  trovix::bench::TcpdumpPeer dump;
  if (!dump.Start("tcpdump", "udp and dst port " + std::to_string(kFirstPort))) {
    std::fprintf(stderr, "window_flood_bench: tcpdump did not start\n");
    return 1;
  }
  double childrenBefore = ChildrenCpuMs();
  go->click();
  (void)QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000);
  auto start = Clock::now();
  uint32_t sent = 0;
  std::thread sender([&] { sent = Flood(count); });
  while (sent == 0) QTest::qWait(50);  // the window's event loop runs meanwhile
  sender.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  QTest::qWait(1500);  // tcpdump hands over a partly filled block after 1 s
  if (stop->isEnabled()) stop->click();
  double threadMs = state.run.threadCpuNs / 1e6;
  trovix::ReapCaptureHelpers(true);
  double helperMs = ChildrenCpuMs() - childrenBefore;
  uint32_t kept = (sent + kPorts - 1) / kPorts;
  trovix::bench::TcpdumpResult theirs = dump.Stop(kept);
  std::printf("sent %u datagrams in %.2f s (%.0f/s), %u of them to port %u\n", sent, seconds, sent / seconds, kept,
              kFirstPort);
  std::printf("  window   rows %d, stored %u; CPU %.1f ms: helper %.1f ms + capture thread %.1f ms\n",
              dialog.packetList().rowCount(), trovix::PublishedPacketCount(state.store), helperMs + threadMs, helperMs,
              threadMs);
  std::printf("  tcpdump  captured %u; CPU %.1f ms\n", theirs.captured, theirs.cpuMs);
  return 0;
}
