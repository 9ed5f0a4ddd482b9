// The window opening a capture file, and reading the same capture from a pipe, beside
// Wireshark doing each in the same run. The benchmark writes the file: COUNT Ethernet
// frames of 60-byte UDP datagrams, all of which the window's "udp" switch lists.
//
//   file_open_bench [COUNT]         open: time to the last row listed, and resident memory;
//                                   then finding over the rows as the find bar does
//   file_open_bench --pipe [COUNT]  a pipe (`cat FILE |`): CPU to the last row listed
//   file_open_bench --names [COUNT] a file of DNS answers, each naming one of 65,536
//                                   addresses: open it, then the time "show &names" takes
//                                   to learn from every datagram, and a find over the info
//                                   column's text (no peer runs)
//
// Wireshark (`wireshark -r FILE`, `cat FILE | wireshark -k -i -`) runs offscreen as the
// window does; it is done when its CPU time has not moved for kIdleMs: the time is that of
// its last move, its CPU is its own and its children's (dumpcap), its memory its peak.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QListView>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/bench_services.h"
#include "capture/capture_state.h"
#include "capture/learned_names.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "ui/main_dialog.h"
#include "ui/statistics_window.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kIdleMs = 3000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One Ethernet frame per datagram, 100 destination ports, a microsecond apart.
bool WriteCapture(const std::string& path, uint32_t count) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const uint32_t header[] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
  std::fwrite(header, sizeof header, 1, out);
  uint8_t frame[14 + 60] = {};
  frame[12] = 0x08;
  const uint8_t ip[] = {0x45, 0, 0, 60, 0, 0, 0, 0, 64, 17, 0, 0, 198, 18, 0, 1, 198, 18, 0, 2};
  std::memcpy(frame + 14, ip, sizeof ip);
  frame[34] = 40000 >> 8;
  frame[35] = 40000 & 0xFF;
  frame[39] = 40;  // UDP length
  for (uint32_t k = 0; k < count; ++k) {
    uint16_t port = static_cast<uint16_t>(40500 + k % 100);
    frame[36] = static_cast<uint8_t>(port >> 8);
    frame[37] = static_cast<uint8_t>(port);
    std::memcpy(frame + 42, &k, sizeof k);
    const uint32_t record[] = {1700000000 + k / 1000000, k % 1000000, sizeof frame, sizeof frame};
    std::fwrite(record, sizeof record, 1, out);
    std::fwrite(frame, sizeof frame, 1, out);
  }
  return std::fclose(out) == 0;
}

// DNS answers from 198.18.0.53 to 198.18.0.1: www.example.org is 198.51.X.Y, Y and X
// counting up, so that the learned names fill the table to its bound.
bool WriteAnswers(const std::string& path, uint32_t count) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const uint32_t header[] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
  std::fwrite(header, sizeof header, 1, out);
  const uint8_t head[] = {0x45, 0, 0, 77, 0, 0, 0, 0, 64, 17, 0, 0, 198, 18, 0, 53, 198, 18, 0, 1,   // IPv4
                          0, 53, 0xCF, 0x84, 0, 57, 0, 0,                                            // UDP
                          0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0,                            // DNS
                          3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'o', 'r', 'g', 0, 0, 1, 0, 1,
                          0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 1, 44, 0, 4, 198, 51};
  uint8_t frame[14 + sizeof head + 2] = {};
  frame[12] = 0x08;
  std::memcpy(frame + 14, head, sizeof head);
  for (uint32_t k = 0; k < count; ++k) {
    frame[sizeof frame - 2] = static_cast<uint8_t>(k >> 8);
    frame[sizeof frame - 1] = static_cast<uint8_t>(k);
    const uint32_t record[] = {1700000000 + k / 1000000, k % 1000000, sizeof frame, sizeof frame};
    std::fwrite(record, sizeof record, 1, out);
    std::fwrite(frame, sizeof frame, 1, out);
  }
  return std::fclose(out) == 0;
}

std::string StatusField(pid_t pid, const char* key) {
  std::ifstream status(pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(line.find_first_not_of(" \t", std::strlen(key)));
  }
  return "?";
}

// A process's CPU and that of its children it has waited for, in seconds.
double ProcessCpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 17 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);  // utime, stime, cutime, cstime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct PeerResult {
  double seconds = 0;  // to its last CPU change
  double cpu = 0;
  std::string peak;
};

// Starts `argv` with standard input `in` (or none) and output to /dev/null.
pid_t Spawn(const char* const* argv, int in, int out = -1) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  if (in >= 0) posix_spawn_file_actions_adddup2(&files, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&files, out, 1);
  else posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &files, nullptr, const_cast<char**>(argv), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

// Runs Wireshark on the file, or on a pipe that `cat` fills from it, until its CPU time
// stops moving.
PeerResult RunWireshark(const std::string& path, bool fromPipe) {
  auto start = Clock::now();
  pid_t pid, cat = -1;
  if (fromPipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    const char* catArgv[] = {"cat", path.c_str(), nullptr};
    const char* argv[] = {"wireshark", "-k", "-i", "-", nullptr};
    pid = Spawn(argv, fds[0]);
    cat = Spawn(catArgv, -1, fds[1]);
    close(fds[0]);
    close(fds[1]);
  } else {
    const char* argv[] = {"wireshark", "-r", path.c_str(), nullptr};
    pid = Spawn(argv, -1);
  }
  if (pid < 0) return {};
  PeerResult result;
  double last = -1;
  auto moved = start;
  while (Clock::now() - moved < std::chrono::milliseconds(kIdleMs)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double cpu = ProcessCpu(pid);
    if (cpu != last) {
      last = cpu;
      moved = Clock::now();
      result.peak = StatusField(pid, "VmHWM:");
    }
  }
  result.seconds = Seconds(moved - start);
  result.cpu = last;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (cat > 0) waitpid(cat, nullptr, 0);
  return result;
}

double OwnCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  bool fromPipe = argc > 1 && std::string(argv[1]) == "--pipe";
  bool names = argc > 1 && std::string(argv[1]) == "--names";
  if (fromPipe || names) {
    --argc;
    ++argv;
  }
  uint32_t count = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 1000000;
  char folder[] = "/tmp/trovix-file-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  std::string path = std::string(folder) + "/flood.pcap";
  if (!(names ? WriteAnswers(path, count) : WriteCapture(path, count))) {
    std::fprintf(stderr, "file_open_bench: cannot write %s\n", path.c_str());
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  trovix::MainDialog dialog(trovix::TheCaptureState(), trovix::bench::WindowServices());
  dialog.show();
  static_cast<QPushButton*>(dialog.Control(trovix::resources::kIdUdp))->setChecked(true);
  auto* go = static_cast<QPushButton*>(dialog.Control(trovix::resources::kIdGo));
  QTest::qWait(200);
  std::string idle = StatusField(0, "VmRSS:");

  FILE* cat = nullptr;
  double cpuBefore = OwnCpu();
  auto start = Clock::now();
  if (fromPipe) {
    cat = popen(("cat " + path).c_str(), "r");
    dialog.OpenCaptureStream(fcntl(fileno(cat), F_DUPFD_CLOEXEC, 0), "cat");
  } else {
    dialog.OpenCaptureFile(QString::fromStdString(path));
  }
  // The reading's end, then its last row and the line after it.
  while (!go->isEnabled() || dialog.packetList().rowCount() < static_cast<int>(count) + 1) QTest::qWait(5);
  // And on screen.
  dialog.packetListView()->scrollToBottom();
  dialog.packetListView()->viewport()->repaint();
  double seconds = Seconds(Clock::now() - start);
  double cpu = OwnCpu() - cpuBefore;
  if (cat != nullptr) pclose(cat);
  // Finding over the million, as the find bar does: the count of the rows that hold a
  // port, and the way from the first row to the last that holds a text.
  auto findStart = Clock::now();
  int matching = dialog.packetList().CountRows("40599");
  double countSeconds = Seconds(Clock::now() - findStart);
  findStart = Clock::now();
  int last = dialog.packetList().FindRow(QString("\t%1\t").arg(count - 1), 0, true);
  double findSeconds = Seconds(Clock::now() - findStart);
  std::printf("%u datagrams, %s\n", count, fromPipe ? "from a pipe" : names ? "DNS answers, opened as a file" : "opened as a file");
  if (names) {
    std::printf("  window     last row listed after %.2f s; CPU %.2f s\n", seconds, cpu);
    auto learnStart = Clock::now();
    dialog.Command(trovix::resources::kCmdShowNames);
    double learnSeconds = Seconds(Clock::now() - learnStart);
    std::printf("  names      \"show &names\" learned %zu addresses' names from every datagram in %.3f s\n",
                trovix::TheLearnedNames().size(), learnSeconds);
    dialog.Command(trovix::resources::kCmdShowInfo);
    auto infoStart = Clock::now();
    int infoRows = dialog.packetList().CountRows("198.51.255.255");
    double infoSeconds = Seconds(Clock::now() - infoStart);
    std::printf("  find       %d rows' info and names hold \"198.51.255.255\", counted in %.3f s\n", infoRows, infoSeconds);
    dialog.Command(trovix::resources::kCmdShowNames);
    infoStart = Clock::now();
    infoRows = dialog.packetList().CountRows("198.51.255.255");
    infoSeconds = Seconds(Clock::now() - infoStart);
    std::printf("  find       %d rows' info hold \"198.51.255.255\" (names hidden), counted in %.3f s\n", infoRows,
                infoSeconds);
    std::remove(path.c_str());
    rmdir(folder);
    return 0;
  }
  std::printf("  window     last row listed after %.2f s; CPU %.2f s; resident %s idle, %s after, peak %s\n", seconds,
              cpu, idle.c_str(), StatusField(0, "VmRSS:").c_str(), StatusField(0, "VmHWM:").c_str());
  // "filter the list" with "to:" *:40599 over the million, then every row back.
  static_cast<QComboBox*>(dialog.Control(trovix::resources::kIdTo))->setEditText("*:40599");
  auto filterStart = Clock::now();
  dialog.Command(trovix::resources::kCmdFilterList);
  double filterSeconds = Seconds(Clock::now() - filterStart);
  int filtered = dialog.packetList().rowCount();
  filterStart = Clock::now();
  dialog.Command(trovix::resources::kCmdShowAll);
  double allSeconds = Seconds(Clock::now() - filterStart);
  std::printf("  filter     %d rows shown in %.3f s; all %d rows back in %.3f s\n", filtered, filterSeconds,
              dialog.packetList().rowCount(), allSeconds);
  std::printf("  find       %d rows hold \"40599\", counted in %.3f s; row %d found from row 0 in %.3f s\n", matching,
              countSeconds, last, findSeconds);
  // The statistics window opened over what is stored: its tables made in steps, and the
  // longest the window went without answering meanwhile.
  QTimer beat;
  auto lastBeat = Clock::now();
  double longestGap = 0;
  QObject::connect(&beat, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, Seconds(Clock::now() - lastBeat));
    lastBeat = Clock::now();
  });
  beat.start(0);
  auto statsStart = Clock::now();
  double statsCpu = OwnCpu();
  dialog.Command(trovix::resources::kCmdStatistics);
  trovix::StatisticsWindow* stats = dialog.statisticsWindow();
  auto* conversations = stats->table(trovix::StatisticsWindow::kConversationsTab)->model();
  while (stats->statistics().end() < count || conversations->rowCount() == 0) QTest::qWait(1);
  stats->table(trovix::StatisticsWindow::kConversationsTab)->viewport()->repaint();
  double statsSeconds = Seconds(Clock::now() - statsStart);
  statsCpu = OwnCpu() - statsCpu;
  beat.stop();
  std::printf("  statistics window over %u datagrams: tables shown after %.3f s, CPU %.3f s; %d conversations; "
              "longest wait for the window %.0f ms\n",
              stats->statistics().end(), statsSeconds, statsCpu, conversations->rowCount(), longestGap * 1000);
  std::fflush(stdout);
  if (!fromPipe) {
    filterStart = Clock::now();
    std::string tshark = "tshark -r " + path + " -Y 'udp.dstport == 40599' 2>/dev/null | wc -l";
    std::FILE* out = popen(tshark.c_str(), "r");
    int kept = 0;
    if (out != nullptr && std::fscanf(out, "%d", &kept) != 1) kept = -1;
    if (out != nullptr) pclose(out);
    std::printf("  tshark -Y 'udp.dstport == 40599': %d packets in %.2f s\n", kept, Seconds(Clock::now() - filterStart));
  }
  PeerResult theirs = RunWireshark(path, fromPipe);
  std::printf("  wireshark  done after %.2f s; CPU %.2f s; resident peak %s\n", theirs.seconds, theirs.cpu,
              theirs.peak.c_str());
  std::remove(path.c_str());
  rmdir(folder);
  return 0;
}
