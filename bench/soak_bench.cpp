// The soak benchmark: the real main window (offscreen) through many "go!"/"stop" cycles,
// pressed with the mouse, while a child process floods loopback with UDP datagrams that
// the window's filters keep. Afterwards no descriptor, thread or mapping may be left over,
// resident memory must not grow, and no row may be added once "stop" has returned.
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "capture/platform/helper_process.h"
#include "bench/bench_services.h"
#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "ui/main_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kSourcePort = 40311;
constexpr uint16_t kDestinationPort = 40312;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
  int cycles = 1000;
  int warmUp = 5;
  int minCaptureMs = 10;  // each cycle captures for a time spread over [min, max]
  int maxCaptureMs = 25;
  int stopAt = 5000;      // or less, once this many packets are stored
  int settleMs = 50;      // event loop run after "stop": more than two row timer ticks
  int rssEvery = 100;
  bool clearHistory = false;
};

// Shared with the flood process, which counts what it sent and ends when told.
struct Flood {
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> sent{0};
};

// Sends datagrams from 127.0.0.1:kSourcePort as fast as it can until told to stop. A
// process of its own, so it adds nothing to this process's descriptors or threads.
pid_t StartFlood(Flood* flood) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
  trovix::test::SendNumbered(kSourcePort, kDestinationPort, UINT32_MAX, 32, &flood->stop, &flood->sent);
  _exit(0);
}

int CountEntries(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

int CountLines(const char* path) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) ++n;
  return n;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Resources {
  int fds, tasks, maps;
  long rssKb;
};

// The descriptor counted includes the one reading /proc/self/fd, alike every time.
Resources Measure() {
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), CountLines("/proc/self/maps"), ResidentKb()};
}

struct Stats {
  long n = 0;
  double min = 0, max = 0, sum = 0;
  void Add(double v) {
    min = n == 0 ? v : std::min(min, v);
    max = n == 0 ? v : std::max(max, v);
    sum += v;
    ++n;
  }
  double Mean() const { return n == 0 ? 0 : sum / static_cast<double>(n); }
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--clear-history") {
      o.clearHistory = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    int value = std::stoi(argv[++i]);
    if (arg == "--cycles") o.cycles = value;
    else if (arg == "--warm-up") o.warmUp = value;
    else if (arg == "--min-ms") o.minCaptureMs = value;
    else if (arg == "--max-ms") o.maxCaptureMs = value;
    else if (arg == "--stop-at") o.stopAt = value;
    else if (arg == "--settle-ms") o.settleMs = value;
    else if (arg == "--rss-every") o.rssEvery = value;
    else return false;
  }
  return o.cycles > 0 && o.warmUp >= 0 && o.minCaptureMs >= 0 && o.maxCaptureMs >= o.minCaptureMs &&
         o.rssEvery > 0;
}

// What the cycles saw, apart from the resource counts.
struct Tally {
  Stats rows;          // packet rows at "stop"
  Stats stopMs;        // how long the "stop" click took
  int endedItself = 0; // the store was full at "stop": the capture had ended itself
  int empty = 0;       // nothing stored yet at "stop"
  int grewAfterStop = 0;
  int notAllShown = 0; // rows at "stop" fewer than the packets stored
  int didNotStart = 0;
};

// Runs an event loop, as the window's own loop runs for a user (deferred deletes
// included, which processEvents alone would leave), until `done` or `ms` have passed;
// looks in every millisecond.
template <typename Done>
void RunEventLoop(int ms, Done done) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  QEventLoop loop;
  QTimer look;
  look.setTimerType(Qt::PreciseTimer);
  look.setInterval(1);
  QObject::connect(&look, &QTimer::timeout, &loop, [&] {
    if (done() || Clock::now() >= deadline) loop.quit();
  });
  look.start();
  loop.exec();
}

class Soak {
 public:
  Soak(trovix::MainDialog& dialog, trovix::CaptureState& state, const Options& options)
      : dialog_(dialog), state_(state), options_(options),
        go_(static_cast<QPushButton*>(dialog.Control(trovix::resources::kIdGo))),
        stop_(static_cast<QPushButton*>(dialog.Control(trovix::resources::kIdStop))),
        from_(static_cast<QComboBox*>(dialog.Control(trovix::resources::kIdFrom))),
        to_(static_cast<QComboBox*>(dialog.Control(trovix::resources::kIdTo))) {}

  int HistoryEntries() const { return from_->count() + to_->count(); }

  // One "go!", a capture of `captureMs` (or until stopAt packets are stored), one "stop",
  // and the check that nothing arrives afterwards. The store is watched rather than the
  // list, which grows only at the row timer's ticks, by thousands of rows at a time here.
  void Cycle(int captureMs, Tally& tally) {
    QTest::mouseClick(go_, Qt::LeftButton);
    if (!stop_->isEnabled()) {
      ++tally.didNotStart;
      return;
    }
    uint32_t enough = static_cast<uint32_t>(options_.stopAt);
    RunEventLoop(captureMs, [&] {
      return trovix::PublishedPacketCount(state_.store) >= enough || !stop_->isEnabled();
    });
    Clock::time_point clicked = Clock::now();
    QTest::mouseClick(stop_, Qt::LeftButton);
    tally.stopMs.Add(Ms(Clock::now() - clicked));
    int rows = dialog_.packetList().rowCount();
    uint32_t stored = trovix::PublishedPacketCount(state_.store);
    tally.rows.Add(rows);
    if (stored == trovix::kMaxPackets) ++tally.endedItself;
    if (rows == 0) ++tally.empty;
    if (rows != static_cast<int>(stored)) ++tally.notAllShown;
    RunEventLoop(options_.settleMs, [] { return false; });
    if (dialog_.packetList().rowCount() != rows || trovix::PublishedPacketCount(state_.store) != stored) {
      ++tally.grewAfterStop;
    }
    if (options_.clearHistory) {
      // Without the two entries that every "go!" adds to the filter fields' drop-down lists.
      for (QComboBox* field : {from_, to_}) {
        QString text = field->currentText();
        field->clear();
        field->setEditText(text);
      }
    }
  }

 private:
  trovix::MainDialog& dialog_;
  trovix::CaptureState& state_;
  const Options& options_;
  QPushButton* go_;
  QPushButton* stop_;
  QComboBox* from_;
  QComboBox* to_;
};

void PrintResources(const char* when, const Resources& r) {
  std::printf("| %s | %d | %d | %d | %ld kB |\n", when, r.fds, r.tasks, r.maps, r.rssKb);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef TROVIX_CAPTURE_HELPER
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
#endif
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: soak_bench [--cycles N] [--warm-up N] [--min-ms MS] [--max-ms MS] [--stop-at N] "
                 "[--settle-ms MS] [--rss-every N] [--clear-history]\n");
    return 2;
  }
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "soak_bench: %s\n", problem.c_str());
    return 1;
  }
  // Before any thread exists: the flood process is a plain fork of this one.
  void* shared = mmap(nullptr, sizeof(Flood), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  Flood* flood = new (shared) Flood;
  pid_t flooder = StartFlood(flood);
  if (flooder < 0) return 1;

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::MainDialog dialog(state, trovix::bench::WindowServices());
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog)) return 1;

  using namespace trovix::resources;
  static_cast<QComboBox*>(dialog.Control(kIdBind))->setEditText("127.0.0.1");
  static_cast<QComboBox*>(dialog.Control(kIdFrom))->setEditText("*:40311");
  static_cast<QPushButton*>(dialog.Control(kIdTcp))->setChecked(false);
  static_cast<QPushButton*>(dialog.Control(kIdUdp))->setChecked(true);

  Soak soak(dialog, state, options);
  Tally warmUp;
  int spread = options.maxCaptureMs - options.minCaptureMs + 1;
  // A fixed pattern, so "stop" lands at every phase of the window's row timer.
  auto captureMs = [&](int cycle) { return options.minCaptureMs + (cycle * 7) % spread; };
  for (int k = 0; k < options.warmUp; ++k) soak.Cycle(captureMs(k), warmUp);

  Resources before = Measure();
  uint32_t sentBefore = flood->sent.load();
  Clock::time_point start = Clock::now();
  Tally tally;
  std::printf("VmRSS after %d warm-up cycles: %ld kB\n", options.warmUp, before.rssKb);
  for (int cycle = 1; cycle <= options.cycles; ++cycle) {
    soak.Cycle(captureMs(cycle), tally);
    if (cycle % options.rssEvery == 0) {
      std::printf("VmRSS after cycle %d: %ld kB\n", cycle, ResidentKb());
      std::fflush(stdout);
    }
  }
  Clock::time_point end = Clock::now();
  uint32_t sentAfter = flood->sent.load();
  Resources after = Measure();
  flood->stop = true;
  waitpid(flooder, nullptr, 0);

  double seconds = Ms(end - start) / 1000;
  std::printf("\n| | descriptors | threads | mappings | VmRSS |\n|---|---|---|---|---|\n");
  PrintResources(("after " + std::to_string(options.warmUp) + " warm-up cycles").c_str(), before);
  PrintResources(("after " + std::to_string(options.cycles) + " more cycles").c_str(), after);
  std::printf("\n%d cycles in %.1f s (%.1f ms a cycle); flood %.0f datagrams/s over the run\n", options.cycles,
              seconds, Ms(end - start) / options.cycles, (sentAfter - sentBefore) / seconds);
  std::printf("capture %d to %d ms or until %d packets are stored, then %d ms of event loop after \"stop\"\n",
              options.minCaptureMs, options.maxCaptureMs, options.stopAt, options.settleMs);
  std::printf("entries in the \"from:\" and \"to:\" drop-down lists: %d\n", soak.HistoryEntries());
  std::printf("packet rows at \"stop\": mean %.0f, min %.0f, max %.0f; none %d; ended by itself (store full) %d\n",
              tally.rows.Mean(), tally.rows.min, tally.rows.max, tally.empty, tally.endedItself);
  std::printf("\"stop\" click: mean %.2f ms, max %.2f ms\n", tally.stopMs.Mean(), tally.stopMs.max);
  std::printf("rows or stored packets added after \"stop\" returned: %d; rows at \"stop\" short of the store: %d; "
              "\"go!\" that did not start: %d\n",
              tally.grewAfterStop, tally.notAllShown, tally.didNotStart + warmUp.didNotStart);

  bool leaked = before.fds != after.fds || before.tasks != after.tasks || before.maps != after.maps;
  bool faulty = tally.grewAfterStop != 0 || tally.notAllShown != 0 || tally.didNotStart + warmUp.didNotStart != 0;
  if (leaked) std::printf("LEAK: descriptors, threads or mappings differ\n");
  if (faulty) std::printf("FAULT: see the counts above\n");
  if (tally.didNotStart + warmUp.didNotStart != 0) {
    // The window says why in its last line, such as a capture it could not open.
    trovix::PacketListModel& list = dialog.packetList();
    std::printf("the window's last line:%s\n", qPrintable(list.RowText(list.rowCount() - 1)));
  }
  return leaked || faulty ? 1 : 0;
}
