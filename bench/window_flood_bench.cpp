// The window's capture path beside tcpdump under the flood of cli_flood_bench: inside a
// private network namespace one sender sends numbered 32-byte UDP datagrams over loopback
// to 100 destination ports in turn; the real window (offscreen, "udp" only, "to:"
// *:40500) and `tcpdump -w FILE 'udp and dst port 40500'` keep the 1% to the first port.
// Reports rows kept and CPU: the capture helper's (all of it, start to end) and the
// window's capture thread's, against tcpdump's. Before that, how long the "go!" and "stop"
// clicks keep the window's event loop busy, idle and under the flood.
//
// With --wireshark [COUNT [RUNS]], the window lists the flood beside Wireshark's window
// (`wireshark -k -i lo -f FILTER` on the same platform plugin, installed by
// scripts/install-bench-deps) and tcpdump, all three capturing the same flood at once:
// each one's on-CPU time over every thread of its process tree, from just before the
// flood to 1 s after it, the rows each listed, and how long after its send each of the
// window's rows was listed.
//
// With --programs [COUNT [RUNS]], the flood runs twice per run, the programs hidden and
// shown: the CPU of the window's process and helper (all but the sender), and how many
// kept datagrams were named.
// With --info-names [COUNT [RUNS]], the flood is measured twice in the same run, first with
// "show &info" and "show &names" off, then with both on: the capture path must cost the
// same, since both are made from the store as rows are drawn.
//
// With --two-senders [COUNT [RUNS]], two senders send COUNT (300,000) UDP datagrams of
// 1,428 bytes over loopback between them, with the window capturing "udp" on 127.0.0.1
// with "keep more" and `tcpdump -B 16384 -w FILE udp` beside it: the datagrams each one
// listed or wrote, and the kernel's drops each one counted.
#include <QApplication>
#include <QComboBox>
#include <QListView>
#include <QScrollBar>
#include <QEventLoop>
#include <QTimer>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_services.h"
#include "bench/port_flood.h"
#include "bench/tcpdump_peer.h"
#include "capture/packet_store.h"
#include "capture/platform/helper_process.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/netns.h"
#include "tests/command_output.h"
#include "ui/main_dialog.h"
#include "ui/packet_list_model.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kFirstPort = 40500;
constexpr int kPorts = 100;
constexpr uint16_t kSenderPort = 40700;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double CpuMs(int who) {
  rusage usage{};
  getrusage(who, &usage);
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

// ---- Beside Wireshark's window ----

constexpr uint16_t kProbePort = 40699;
namespace fs = std::filesystem;

// On-CPU nanoseconds of each live thread (schedstat's first field) of `pid` and, with
// `descendants`, of every process below it.
void ThreadTimes(pid_t pid, bool descendants, std::map<std::string, uint64_t>& times) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    uint64_t ns = 0;
    if (stat >> ns) times[std::to_string(pid) + "/" + task.path().filename().string()] = ns;
    if (!descendants) continue;
    std::ifstream children(task.path() / "children");
    for (pid_t child; children >> child;) ThreadTimes(child, true, times);
  }
}

// The processes below this one whose name is `comm`.
std::vector<pid_t> ChildrenNamed(const std::string& comm) {
  std::vector<pid_t> found;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream children(task.path() / "children");
    for (pid_t child; children >> child;) {
      std::ifstream name("/proc/" + std::to_string(child) + "/comm");
      std::string text;
      if (std::getline(name, text) && text == comm) found.push_back(child);
    }
  }
  return found;
}

// CPU over an interval, thread by thread: a thread that ends within it adds nothing.
double DeltaMs(const std::map<std::string, uint64_t>& before, const std::map<std::string, uint64_t>& after) {
  uint64_t ns = 0;
  for (const auto& [thread, end] : after) {
    auto start = before.find(thread);
    ns += end - (start != before.end() ? start->second : 0);
  }
  return ns / 1e6;
}

class WiresharkPeer {
 public:
  ~WiresharkPeer() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(folder_);
  }
  bool Start(const std::string& filter) {
    char folder[] = "/tmp/trovix-wireshark-XXXXXX";
    if (mkdtemp(folder) == nullptr) return false;
    folder_ = folder;
    std::string tmp = "TMPDIR=" + folder_;
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(tmp.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"wireshark", "-k", "-i", "lo", "-f", filter.c_str(), nullptr};
    // A group of its own, so that its dumpcap ends with it rather than capturing on.
    posix_spawnattr_t group;
    posix_spawnattr_init(&group);
    posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&group, 0);
    int failed = posix_spawnp(&pid_, "wireshark", &files, &group, const_cast<char**>(argv), env.data());
    posix_spawnattr_destroy(&group);
    posix_spawn_file_actions_destroy(&files);
    return failed == 0;
  }
  // The size of the file Wireshark's capture writes, 0 before it exists.
  uintmax_t FileSize() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
      if (entry.path().filename().string().rfind("wireshark_", 0) == 0) {
        file_ = entry.path();
        return entry.file_size(error);
      }
    }
    return 0;
  }
  pid_t pid() const { return pid_; }
  // Ends Wireshark and counts the flood's datagrams in its capture file.
  uint32_t StopAndCount(uint16_t senderPort) {
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    trovix::test::CommandResult counted = trovix::test::RunCommand("tshark -r " + file_.string() + " -Y 'udp.srcport == " +
                                                   std::to_string(senderPort) + "' 2>/dev/null | wc -l");
    return static_cast<uint32_t>(std::stoul(counted.out.empty() ? "0" : counted.out));
  }

 private:
  pid_t pid_ = -1;
  std::string folder_;
  fs::path file_;
};

void SendProbe() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{AF_INET, htons(kProbePort), {htonl(INADDR_LOOPBACK)}, {}};
  sockaddr_in to{AF_INET, htons(kFirstPort), {htonl(INADDR_LOOPBACK)}, {}};
  bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  char payload[32];
  std::memset(payload, 0xFF, sizeof payload);  // never a flood sequence number
  sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
}

// How long after its send each flood row was listed: for row k, the first insertion that
// reached it, less the send time of datagram k to the watched port.
void PrintRowDelays(const std::vector<std::pair<int64_t, int>>& inserted, int firstRow,
                    const std::vector<int64_t>& sent) {
  std::vector<double> delays;
  size_t at = 0;
  for (size_t k = 0; k < sent.size(); ++k) {
    while (at < inserted.size() && inserted[at].second < firstRow + static_cast<int>(k)) ++at;
    if (at == inserted.size()) break;
    delays.push_back((inserted[at].first - sent[k]) / 1e6);
  }
  if (delays.empty()) return;
  std::vector<double> sorted = delays;
  std::sort(sorted.begin(), sorted.end());
  size_t late = static_cast<size_t>(std::count_if(delays.begin(), delays.end(), [](double d) { return d > 100; }));
  std::printf("  trovix    rows listed after their send: median %.1f ms, 99th %.1f ms, max %.1f ms; %zu of %zu over 100 ms\n",
              sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100], sorted.back(), late, sorted.size());
}

int BesideWireshark(trovix::MainDialog& dialog, QPushButton* go, QPushButton* stop,
                    uint32_t count, int runs) {
  const std::string filter = "udp and dst port " + std::to_string(kFirstPort);
  for (int run = 1; run <= runs; ++run) {
    WiresharkPeer wireshark;
    if (!wireshark.Start(filter)) {
      std::fprintf(stderr, "window_flood_bench: wireshark did not start (scripts/install-bench-deps installs it)\n");
      return 1;
    }
    go->click();
    // Both are ready once each has seen a probe; Wireshark starts in a second or two.
    uintmax_t header = 0;
    bool ready = false;
    for (int tick = 0; tick < 400 && !ready; ++tick) {
      uintmax_t size = wireshark.FileSize();
      if (header == 0) header = size;
      ready = header != 0 && size > header && dialog.packetList().rowCount() > 0;
      if (header != 0) SendProbe();
      QTest::qWait(50);
    }
    if (!ready) {
      std::fprintf(stderr, "window_flood_bench: wireshark or the window saw no probe within 20 s\n");
      return 1;
    }
    QTest::qWait(300);
    trovix::bench::TcpdumpPeer dump;
    if (!dump.Start("tcpdump", filter)) {
      std::fprintf(stderr, "window_flood_bench: tcpdump did not start\n");
      return 1;
    }
    std::vector<std::pair<int64_t, int>> inserted;
    auto* model = &dialog.packetList();
    auto connection = QObject::connect(model, &QAbstractItemModel::rowsInserted, [&](const QModelIndex&, int, int last) {
      inserted.emplace_back(trovix::bench::MonotonicNs(), last);
    });
    int firstRow = model->rowCount();
    std::vector<pid_t> helpers = ChildrenNamed("trovix-capture");
    std::map<std::string, uint64_t> oursBefore, theirsBefore, oursAfter, theirsAfter;
    ThreadTimes(getpid(), false, oursBefore);
    for (pid_t helper : helpers) ThreadTimes(helper, false, oursBefore);
    ThreadTimes(wireshark.pid(), true, theirsBefore);

    std::vector<int64_t> sentAt;
    sentAt.reserve(count / kPorts + 1);
    uint32_t sent = 0;
    // The window's own event loop runs meanwhile, as it does for a user: no polling here
    // adds to its CPU.
    QEventLoop loop;
    std::thread sender([&] {
      sent = trovix::bench::FloodPorts(kFirstPort, kPorts, kSenderPort, count, nullptr, &sentAt).sent;
      QMetaObject::invokeMethod(&loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    auto start = Clock::now();
    loop.exec();
    sender.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    QTimer::singleShot(1000, &loop, [&] { loop.quit(); });
    loop.exec();
    // The sender was joined: as a thread gone, it counts for nothing.
    ThreadTimes(getpid(), false, oursAfter);
    for (pid_t helper : helpers) ThreadTimes(helper, false, oursAfter);
    ThreadTimes(wireshark.pid(), true, theirsAfter);
    QObject::disconnect(connection);
    int rows = model->rowCount() - firstRow;
    stop->click();
    trovix::ReapCaptureHelpers(true);
    uint32_t kept = static_cast<uint32_t>(sentAt.size());
    uint32_t theirRows = wireshark.StopAndCount(kSenderPort);
    trovix::bench::TcpdumpResult dumped = dump.Stop(kept);
    double ours = DeltaMs(oursBefore, oursAfter), theirs = DeltaMs(theirsBefore, theirsAfter);
    std::printf("run %d: sent %u datagrams in %.2f s (%.0f/s), %u of them to port %u\n", run, sent, seconds,
                sent / seconds, kept, kFirstPort);
    std::string mainThread = std::to_string(getpid()) + "/" + std::to_string(getpid());
    double windowThread = (oursAfter[mainThread] - oursBefore[mainThread]) / 1e6;
    std::printf("  trovix    rows %d; CPU %.1f ms: window thread %.1f ms, its other threads and the helper %.1f ms\n", rows,
                ours, windowThread, ours - windowThread);
    std::printf("  wireshark captured %u; CPU %.1f ms (wireshark and dumpcap); trovix / wireshark %.2f\n", theirRows,
                theirs, ours / theirs);
    std::printf("  tcpdump   captured %u; CPU %.1f ms\n", dumped.captured, dumped.cpuMs);
    PrintRowDelays(inserted, firstRow, sentAt);
  }
  return 0;
}

// ---- The same flood with the programs shown and not ----

int ProgramsOnAndOff(trovix::MainDialog& dialog, trovix::CaptureState& state, QPushButton* go, QPushButton* stop,
                     uint32_t count, int runs) {
  for (int run = 1; run <= runs; ++run) {
    for (bool shown : {false, true}) {
      if ((dialog.options().ShowPrograms != 0) != shown) dialog.Command(trovix::resources::kCmdShowPrograms);
      // The whole process, threads that end included, and its helper; less the sender.
      double before = CpuMs(RUSAGE_SELF) + CpuMs(RUSAGE_CHILDREN);
      std::map<std::string, uint64_t> threadsBefore, threadsAfter;
      ThreadTimes(getpid(), true, threadsBefore);
      go->click();
      if (!QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000)) {
        std::fprintf(stderr, "window_flood_bench: the window did not start capturing\n");
        return 1;
      }
      uint32_t sent = 0;
      double senderMs = 0;
      std::thread sender([&] {
        uint32_t n = Flood(count);
        senderMs = CpuMs(RUSAGE_THREAD);
        sent = n;
      });
      while (sent == 0) QTest::qWait(50);
      sender.join();
      QTest::qWait(500);
      ThreadTimes(getpid(), true, threadsAfter);
      if (getenv("TROVIX_BENCH_THREADS") != nullptr) {
        for (const auto& [thread, end] : threadsAfter) {
          auto start = threadsBefore.find(thread);
          double ms = (end - (start != threadsBefore.end() ? start->second : 0)) / 1e6;
          if (ms > 0.5) std::printf("    thread %s: %.1f ms\n", thread.c_str(), ms);
        }
      }
      if (stop->isEnabled()) stop->click();
      trovix::ReapCaptureHelpers(true);
      double used = CpuMs(RUSAGE_SELF) + CpuMs(RUSAGE_CHILDREN) - before - senderMs;
      uint32_t kept = (sent + kPorts - 1) / kPorts;
      uint32_t stored = trovix::PublishedPacketCount(state.store);
      uint32_t named = 0;
      for (uint32_t k = 0; k < stored; ++k) named += trovix::PacketOwner(state.store, static_cast<int32_t>(k)) > 1;
      std::printf("run %d, programs %s: sent %u, kept %u of %u, %llu dropped by kernel, %u named; CPU %.1f ms\n", run,
                  shown ? "shown " : "hidden", sent, stored, kept,
                  static_cast<unsigned long long>(state.run.kernelDropped.load()), named, used);
    }
  }
  return 0;
}

// ---- Two senders of large datagrams, "keep more" ----

constexpr uint16_t kSendersPort = 40600;
constexpr uint16_t kFirstSenderPort = 40610;
constexpr int kSenders = 2;
constexpr size_t kLargePayload = 1428;

int TwoSenders(trovix::CaptureState& state, QPushButton* go, QPushButton* stop, uint32_t count, int runs) {
  for (int run = 1; run <= runs; ++run) {
    trovix::bench::TcpdumpPeer dump;
    if (!dump.Start("tcpdump", "udp", 16384)) {
      std::fprintf(stderr, "window_flood_bench: tcpdump did not start\n");
      return 1;
    }
    double childrenBefore = CpuMs(RUSAGE_CHILDREN);
    double windowBefore = CpuMs(RUSAGE_THREAD);
    go->click();
    if (!QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000)) {
      std::fprintf(stderr, "window_flood_bench: the window did not start capturing\n");
      return 1;
    }
    trovix::bench::SendersFlood flood;
    std::atomic<bool> done{false};
    std::thread senders([&] {
      flood = trovix::bench::FloodFromSenders(kSendersPort, kFirstSenderPort, kSenders, count, kLargePayload);
      done = true;
    });
    while (!done) QTest::qWait(50);  // the window's event loop runs meanwhile
    senders.join();
    QTest::qWait(1500);  // tcpdump hands over a partly filled block after 1 s
    if (stop->isEnabled()) stop->click();
    double windowMs = CpuMs(RUSAGE_THREAD) - windowBefore;
    double threadMs = state.run.threadCpuNs / 1e6;
    trovix::ReapCaptureHelpers(true);
    double helperMs = CpuMs(RUSAGE_CHILDREN) - childrenBefore;
    uint32_t listed = trovix::PublishedPacketCount(state.store);
    trovix::bench::TcpdumpResult theirs = dump.Stop((count + kSenders - 1) / kSenders);
    std::printf("run %d: %u datagrams of %zu bytes sent by %d senders in %.2f s (%.0f/s)\n", run, flood.sent,
                kLargePayload, kSenders, flood.seconds, flood.sent / flood.seconds);
    std::printf("  window   listed %u, missing %u, %llu dropped by kernel; capture path CPU %.1f ms: helper %.1f ms + "
                "capture thread %.1f ms; window thread %.1f ms\n",
                listed, flood.sent - std::min(listed, flood.sent),
                static_cast<unsigned long long>(state.run.kernelDropped.load()), helperMs + threadMs, helperMs, threadMs,
                windowMs);
    std::printf("  tcpdump  wrote %u, missing %u; %s; CPU %.1f ms\n", theirs.captured,
                flood.sent - std::min(theirs.captured, flood.sent), theirs.summary.c_str(), theirs.cpuMs);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
  bool besideWireshark = argc > 1 && std::string(argv[1]) == "--wireshark";
  if (besideWireshark) {
    --argc;
    ++argv;
  }
  bool twoSenders = argc > 1 && std::string(argv[1]) == "--two-senders";
  if (twoSenders) {
    --argc;
    ++argv;
  }
  // The larger store ("keep more"), so that a flood keeps more than 10,000 datagrams.
  bool keepMore = argc > 1 && std::string(argv[1]) == "--keep-more";
  if (keepMore) {
    --argc;
    ++argv;
  }
  // The list's time column ("show &times"), which only the list's painting reads.
  bool infoNames = argc > 1 && std::string(argv[1]) == "--info-names";
  if (infoNames) {
    --argc;
    ++argv;
  }
  bool times = argc > 1 && std::string(argv[1]) == "--times";
  if (times) {
    --argc;
    ++argv;
  }
  // The flood twice per run, with "show &programs" off and on: the CPU of every thread but
  // the sender's, helper included.
  bool programs = argc > 1 && std::string(argv[1]) == "--programs";
  if (programs) {
    --argc;
    ++argv;
  }
  uint32_t count = argc > 1                ? static_cast<uint32_t>(std::stoul(argv[1]))
                   : twoSenders            ? 300000
                   : besideWireshark       ? 500000
                                           : 1000000;
  int cycles = argc > 2 ? std::stoi(argv[2]) : besideWireshark || twoSenders || programs ? 3 : 20;
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "window_flood_bench: %s\n", problem.c_str());
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::MainDialog dialog(state, trovix::bench::WindowServices());
  dialog.options().KeepMore = keepMore || twoSenders ? 1 : 0;
  if (times) dialog.Command(trovix::resources::kCmdShowTimes);
  dialog.show();
  using namespace trovix::resources;
  auto* go = static_cast<QPushButton*>(dialog.Control(kIdGo));
  auto* stop = static_cast<QPushButton*>(dialog.Control(kIdStop));
  static_cast<QComboBox*>(dialog.Control(kIdBind))->setEditText("127.0.0.1");
  static_cast<QComboBox*>(dialog.Control(kIdTo))->setEditText("*:" + QString::number(kFirstPort));
  static_cast<QPushButton*>(dialog.Control(kIdTcp))->setChecked(false);
  static_cast<QPushButton*>(dialog.Control(kIdUdp))->setChecked(true);
  if (besideWireshark) return BesideWireshark(dialog, go, stop, count, cycles);
  if (programs) return ProgramsOnAndOff(dialog, state, go, stop, count, cycles);
  if (twoSenders) {
    static_cast<QComboBox*>(dialog.Control(kIdTo))->setEditText("*:*");
    return TwoSenders(state, go, stop, count, cycles);
  }
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

  for (bool shown : infoNames ? std::vector<bool>{false, true} : std::vector<bool>{false}) {
    if (shown) {
      dialog.Command(kCmdShowInfo);
      dialog.Command(kCmdShowNames);
    }
    if (infoNames) std::printf("with \"show &info\" and \"show &names\" %s:\n", shown ? "on" : "off");
    trovix::bench::TcpdumpPeer dump;
    if (!dump.Start("tcpdump", "udp and dst port " + std::to_string(kFirstPort))) {
      std::fprintf(stderr, "window_flood_bench: tcpdump did not start\n");
      return 1;
    }
    double childrenBefore = CpuMs(RUSAGE_CHILDREN);
    // This thread is the window's: its list updates and their painting, beside the capture path.
    double windowBefore = CpuMs(RUSAGE_THREAD);
    go->click();
    (void)QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000);
    auto start = Clock::now();
    uint32_t sent = 0;
    std::thread sender([&] { sent = Flood(count); });
    while (sent == 0) QTest::qWait(50);  // the window's event loop runs meanwhile
    sender.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    QTest::qWait(1500);  // tcpdump hands over a partly filled block after 1 s
    double windowMs = CpuMs(RUSAGE_THREAD) - windowBefore;
    if (stop->isEnabled()) stop->click();
    double threadMs = state.run.threadCpuNs / 1e6;
    trovix::ReapCaptureHelpers(true);
    double helperMs = CpuMs(RUSAGE_CHILDREN) - childrenBefore;
    uint32_t kept = (sent + kPorts - 1) / kPorts;
    trovix::bench::TcpdumpResult theirs = dump.Stop(kept);
    std::printf("sent %u datagrams in %.2f s (%.0f/s), %u of them to port %u\n", sent, seconds, sent / seconds, kept,
                kFirstPort);
    std::printf("  window   rows %d, stored %u; CPU %.1f ms: helper %.1f ms + capture thread %.1f ms\n",
                dialog.packetList().rowCount(), trovix::PublishedPacketCount(state.store), helperMs + threadMs, helperMs,
                threadMs);
    std::printf("  tcpdump  captured %u; CPU %.1f ms\n", theirs.captured, theirs.cpuMs);
    std::printf("  window thread over the flood (list updates and painting): CPU %.1f ms\n", windowMs);
  }
  return 0;
}
