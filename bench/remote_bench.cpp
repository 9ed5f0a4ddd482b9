// The window capturing another host over ssh, under a flood that host sends: a peer network
// namespace stands in for the host, with sshd of its own and the built trovix-cli on its
// PATH. From inside it one sender sends COUNT 32-byte UDP datagrams out of tvx1 to 100
// destination ports in turn, each carrying its CLOCK_REALTIME send time; the window
// watches ssh://root@198.18.0.2:2222/tvx1 with "udp" only and "to:" *:40500, the 1%.
// Reports the rows listed, how long after its send each was listed, and the on-CPU time
// of our side (the window's process and its ssh) from just before the flood to 1 s after.
//
// With --wireshark, what a user would run otherwise captures the same flood at the same
// time: `ssh HOST 'trovix-cli -w - -l -i tvx1 -p udp -t "*:40500"' | wireshark -k -i -`,
// Wireshark on the same platform plugin (scripts/install-bench-deps installs it).
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_services.h"
#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "tests/command_output.h"
#include "tests/netns.h"
#include "tests/ssh_server.h"
#include "ui/main_dialog.h"
#include "ui/packet_list_model.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Times = std::map<std::string, uint64_t>;
constexpr uint16_t kFirstPort = 40500, kProbePort = 40699, kSenderPort = 40700;
constexpr int kPorts = 100;
const char* const kUserCommand = "trovix-cli -w - -l -i tvx1 -p udp -t '*:40500'";

int64_t RealtimeNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

sockaddr_in At(const char* address, uint16_t port) {
  sockaddr_in at{AF_INET, htons(port), {}, {}};
  inet_pton(AF_INET, address, &at.sin_addr);
  return at;
}

// A thread inside the peer's namespace (a thread's own setns): what it sends leaves by tvx1,
// as the remote host's traffic would, while its CPU stays out of every process measured.
std::thread InPeer(pid_t peer, std::function<void()> work) {
  return std::thread([peer, work = std::move(work)] {
    int fd = open(("/proc/" + std::to_string(peer) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) work();
    if (fd >= 0) close(fd);
  });
}

// Datagram k to port kFirstPort + k % kPorts: k / kPorts first, its send time at byte 8.
// A probe (from kProbePort) carries no time. Returns how many went out.
uint32_t Send(uint16_t from, uint32_t count) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self = At("198.18.0.2", from);
  uint32_t sent = 0;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) return 0;
  for (uint32_t k = 0; k < count; ++k) {
    char payload[32] = {};
    uint32_t seq = k / kPorts;
    int64_t now = from == kProbePort ? 0 : RealtimeNs();
    std::memcpy(payload, &seq, 4);
    std::memcpy(payload + 8, &now, 8);
    sockaddr_in to = At("198.18.0.1", static_cast<uint16_t>(kFirstPort + k % kPorts));
    sent += sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0;
  }
  close(fd);
  return sent;
}

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<pid_t> Children(pid_t pid) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream children(task.path() / "children");
    for (pid_t child; children >> child;) found.push_back(child);
  }
  return found;
}

pid_t ChildNamed(pid_t parent, const std::string& comm, pid_t other = -1) {
  for (pid_t child : Children(parent)) {
    if (child != other && ReadAll("/proc/" + std::to_string(child) + "/comm") == comm + "\n") return child;
  }
  return -1;
}

// On-CPU nanoseconds (schedstat) of each thread of `pid` and, with `below`, of every
// process below it.
void AddTimes(pid_t pid, Times& times, bool below = true) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    uint64_t ns = 0;
    if (stat >> ns) times[std::to_string(pid) + "/" + task.path().filename().string()] = ns;
  }
  for (pid_t child : below ? Children(pid) : std::vector<pid_t>{}) AddTimes(child, times);
}

// CPU over an interval, thread by thread: a thread gone by its end (the flood's) adds nothing.
double DeltaMs(const Times& before, const Times& after) {
  uint64_t ns = 0;
  for (const auto& [thread, end] : after) {
    auto start = before.find(thread);
    ns += end - (start != before.end() ? start->second : 0);
  }
  return ns / 1e6;
}

bool TreeRuns(pid_t pid, const std::string& word) {
  if (ReadAll("/proc/" + std::to_string(pid) + "/cmdline").find(word) != std::string::npos) return true;
  for (pid_t child : Children(pid)) {
    if (TreeRuns(child, word)) return true;
  }
  return false;
}

// The remote side of each connection, told apart by the option only the window's command has.
void RemoteTimes(Times& window, Times& user) {
  pid_t sshd = ChildNamed(getpid(), "sshd");
  for (pid_t session : sshd > 0 ? Children(sshd) : std::vector<pid_t>{}) {
    AddTimes(session, TreeRuns(session, "--not-ssh") ? window : user);
  }
}

class UserPipeline {
 public:
  ~UserPipeline() {
    Stop();
    fs::remove_all(folder_);
  }
  bool Start(const std::string& ssh) {
    char folder[] = "/tmp/trovix-remote-bench-XXXXXX";
    int pipe[2];  // ssh's standard output is Wireshark's input
    if (mkdtemp(folder) == nullptr || pipe2(pipe, O_CLOEXEC) != 0) return false;
    folder_ = folder;
    std::string log = folder_ + "/ssh.log", tmp = "TMPDIR=" + folder_;
    const char* sshArgv[] = {ssh.c_str(), "-o", "BatchMode=yes", "-p", "2222", "-l", "root", "--", "198.18.0.2",
                             kUserCommand, nullptr};
    const char* wiresharkArgv[] = {"wireshark", "-k", "-i", "-", nullptr};
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(tmp.data());  // its capture file goes where we can count it
    env.push_back(nullptr);
    auto spawn = [](pid_t& pid, const char* const* argv, char** env, int in, int out, const std::string& err) {
      posix_spawn_file_actions_t files;
      posix_spawn_file_actions_init(&files);
      if (in >= 0) posix_spawn_file_actions_adddup2(&files, in, 0);
      else posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
      if (out >= 0) posix_spawn_file_actions_adddup2(&files, out, 1);
      else posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      bool ok = posix_spawnp(&pid, argv[0], &files, nullptr, const_cast<char**>(argv), env) == 0;
      posix_spawn_file_actions_destroy(&files);
      return ok;
    };
    bool ok = spawn(ssh_, sshArgv, environ, -1, pipe[1], log) &&
              spawn(wireshark_, wiresharkArgv, env.data(), pipe[0], -1, "/dev/null");
    close(pipe[0]);
    close(pipe[1]);
    return ok;
  }
  // The size of Wireshark's capture file, 0 before it exists.
  uintmax_t FileSize() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
      if (entry.path().filename().string().rfind("wireshark_", 0) != 0) continue;
      file_ = entry.path();
      return entry.file_size(error);
    }
    return 0;
  }
  pid_t ssh() const { return ssh_; }
  pid_t wireshark() const { return wireshark_; }
  void Stop() {
    for (pid_t* pid : {&wireshark_, &ssh_}) {
      if (*pid > 0) kill(*pid, SIGTERM), waitpid(*pid, nullptr, 0), *pid = -1;
    }
  }
  // The flood's datagrams in Wireshark's capture file.
  uint32_t Count() {
    Stop();
    auto counted = trovix::test::RunCommand("tshark -r " + file_.string() + " -Y 'udp.srcport == " +
                                            std::to_string(kSenderPort) + "' 2>/dev/null | wc -l");
    return static_cast<uint32_t>(std::stoul(counted.out.empty() ? "0" : counted.out));
  }
  std::string SshSaid() { return ReadAll(folder_ + "/ssh.log"); }

 private:
  pid_t ssh_ = -1, wireshark_ = -1;
  std::string folder_;
  fs::path file_;
};

// On-CPU times of both sides at one moment.
struct Sample {
  Times own, ssh, userSsh, wireshark, remote, userRemote;
  void Take(pid_t ourSsh, const UserPipeline* user) {
    AddTimes(getpid(), own, false);  // the window's process alone: sshd and the peer are ours too
    AddTimes(ourSsh, ssh);
    if (user != nullptr) AddTimes(user->ssh(), userSsh), AddTimes(user->wireshark(), wireshark);
    RemoteTimes(remote, userRemote);
  }
};

struct RowDelays {
  uint32_t rows = 0, distinct = 0;
  std::vector<double> ms;  // sorted
  std::vector<std::string> lines;  // message lines among the rows
};

// For each flood row, the first rowsInserted that reached it, less the send time it carries.
RowDelays Delays(trovix::MainDialog& dialog, const trovix::CaptureState& state, int firstRow,
                 const std::vector<std::pair<int64_t, int>>& inserted) {
  RowDelays result;
  std::set<uint32_t> seqs;
  size_t at = 0;
  for (int row = firstRow; row < dialog.packetList().rowCount(); ++row) {
    int32_t packet = dialog.packetList().PacketAtRow(row);
    trovix::StoredPacket p{};
    if (packet < 0 || !trovix::LocatePacket(state.store, packet, p)) {
      result.lines.push_back(dialog.packetList().RowText(row).toStdString());
      continue;
    }
    size_t udp = (p.bytes[0] & 0x0F) * 4u;
    if (p.length < static_cast<int32_t>(udp + 24) || ((p.bytes[udp] << 8) | p.bytes[udp + 1]) != kSenderPort) continue;
    uint32_t seq;
    int64_t sentAt;
    std::memcpy(&seq, p.bytes + udp + 8, 4);
    std::memcpy(&sentAt, p.bytes + udp + 16, 8);
    ++result.rows;
    seqs.insert(seq);
    while (at < inserted.size() && inserted[at].second < row) ++at;
    if (at < inserted.size()) result.ms.push_back((inserted[at].first - sentAt) / 1e6);
  }
  result.distinct = static_cast<uint32_t>(seqs.size());
  std::sort(result.ms.begin(), result.ms.end());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--veth-peer") == 0) return trovix::test::RunVethPeer(3);
  bool wireshark = argc > 1 && std::string(argv[1]) == "--wireshark";
  if (wireshark) --argc, ++argv;
  uint32_t count = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 100000;
  int runs = argc > 2 ? std::stoi(argv[2]) : 3;
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) return std::fprintf(stderr, "remote_bench: %s\n", problem.c_str()), 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  trovix::test::VethPeer peer;
  if (!peer.ok()) return std::fprintf(stderr, "remote_bench: cannot set up the peer namespace\n"), 1;
  // Bound receivers on our side: no port-unreachable errors flow back over the veth.
  for (int i = 0; i < kPorts; ++i) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = At("198.18.0.1", static_cast<uint16_t>(kFirstPort + i));
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  }
  QApplication app(argc, argv);
  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::MainDialog dialog(state, trovix::bench::WindowServices());
  dialog.show();
  using namespace trovix::resources;
  auto* go = static_cast<QPushButton*>(dialog.Control(kIdGo));
  auto* stop = static_cast<QPushButton*>(dialog.Control(kIdStop));
  static_cast<QComboBox*>(dialog.Control(kIdBind))->setEditText("ssh://root@198.18.0.2:2222/tvx1");
  static_cast<QComboBox*>(dialog.Control(kIdTo))->setEditText("*:" + QString::number(kFirstPort));
  static_cast<QPushButton*>(dialog.Control(kIdTcp))->setChecked(false);
  static_cast<QPushButton*>(dialog.Control(kIdUdp))->setChecked(true);
  auto& model = dialog.packetList();
  int met = 0;

  for (int run = 1; run <= runs; ++run) {
    // A server per run: its end takes every remote process of the run with it.
    trovix::test::SshServer server(peer.pid(), trovix::test::SshServer::RemotePath(TROVIX_CLI, ""));
    if (!server.ok()) return std::fprintf(stderr, "remote_bench: %s\n", server.problem().c_str()), 1;
    setenv("TROVIX_SSH", server.sshProgram().c_str(), 1);
    go->click();
    UserPipeline user;
    if (wireshark && !user.Start(server.sshProgram())) {
      std::fprintf(stderr, "remote_bench: wireshark did not start (scripts/install-bench-deps installs it)\n");
      return 1;
    }
    // Ready once each has a probe: our first packet row, and Wireshark's file past its header.
    uintmax_t header = 0;
    bool ready = false;
    for (int tick = 0; tick < 400 && !ready; ++tick) {
      if (wireshark && header == 0) header = user.FileSize();
      ready = (!wireshark || (header != 0 && user.FileSize() > header)) && model.rowCount() > 0 &&
              model.PacketAtRow(model.rowCount() - 1) >= 0;
      InPeer(peer.pid(), [] { Send(kProbePort, 1); }).join();
      QTest::qWait(50);
    }
    if (!ready) {
      std::fprintf(stderr, "remote_bench: the window or Wireshark saw no probe within 20 s; the window's rows:\n");
      for (int row = 0; row < model.rowCount(); ++row) std::fprintf(stderr, "  %s\n", qPrintable(model.RowText(row)));
      if (wireshark) std::fprintf(stderr, "  ssh said: %s\n", user.SshSaid().c_str());
      return 1;
    }
    QTest::qWait(300);
    int firstRow = model.rowCount();
    std::vector<std::pair<int64_t, int>> inserted;
    auto onInsert = [&](const QModelIndex&, int, int last) { inserted.emplace_back(RealtimeNs(), last); };
    auto connection = QObject::connect(&model, &QAbstractItemModel::rowsInserted, onInsert);
    pid_t ssh = ChildNamed(getpid(), "ssh", user.ssh());  // the window's, not the user's
    Sample before, after;
    before.Take(ssh, wireshark ? &user : nullptr);
    // The window's own event loop runs meanwhile, as it does for a user.
    QEventLoop loop;
    uint32_t sent = 0;
    int64_t start = RealtimeNs();
    std::thread sender = InPeer(peer.pid(), [&] {
      sent = Send(kSenderPort, count);
      QMetaObject::invokeMethod(&loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    sender.join();
    double seconds = (RealtimeNs() - start) / 1e9;
    QTimer::singleShot(1000, &loop, [&] { loop.quit(); });
    loop.exec();
    after.Take(ssh, wireshark ? &user : nullptr);
    uint32_t expected = (count + kPorts - 1) / kPorts;
    RowDelays rows = Delays(dialog, state, firstRow, inserted);
    // Rows listed after the measured second count as missing, but their delays are shown.
    (void)QTest::qWaitFor([&] { return Delays(dialog, state, firstRow, inserted).rows >= expected; }, 5000);
    RowDelays listed = Delays(dialog, state, firstRow, inserted);
    QObject::disconnect(connection);
    stop->click();
    uint32_t theirRows = wireshark ? user.Count() : 0;

    const std::string self = std::to_string(getpid()) + "/" + std::to_string(getpid());
    double window = (after.own[self] - before.own[self]) / 1e6, own = DeltaMs(before.own, after.own);
    double sshMs = DeltaMs(before.ssh, after.ssh), ours = own + sshMs;
    double theirSsh = DeltaMs(before.userSsh, after.userSsh);
    double theirs = theirSsh + DeltaMs(before.wireshark, after.wireshark);
    auto at = [&](size_t k) { return listed.ms.empty() ? -1.0 : listed.ms[std::min(k, listed.ms.size() - 1)]; };
    std::printf("run %d: sent %u datagrams in %.2f s (%.0f/s) from the peer, %u of them to port %u\n", run, sent,
                seconds, sent / seconds, expected, kFirstPort);
    std::printf("  %-9s %5s %13s %14s %31s\n", "", "rows", "local CPU ms", "remote CPU ms",
                "row delay ms median/99th/max");
    std::printf("  %-9s %5u %13.1f %14.1f %15.1f /%6.1f /%6.1f\n", "trovix", rows.rows, ours,
                DeltaMs(before.remote, after.remote), at(listed.ms.size() / 2), at(listed.ms.size() * 99 / 100),
                at(listed.ms.size()));
    std::printf("  %-9s %5s   window thread %.1f + its other threads %.1f + ssh %.1f\n", "", "", window, own - window,
                sshMs);
    if (wireshark) {
      std::printf("  %-9s %5u %13.1f %14.1f\n", "wireshark", theirRows, theirs,
                  DeltaMs(before.userRemote, after.userRemote));
      std::printf("  %-9s %5s   wireshark and dumpcap %.1f + ssh %.1f\n", "", "", theirs - theirSsh, theirSsh);
    }
    if (listed.rows > rows.rows) std::printf("  %u rows came more than 1 s after the flood\n", listed.rows - rows.rows);
    for (const std::string& line : listed.lines) std::printf("  message line: %s\n", line.c_str());
    bool all = rows.rows == expected && rows.distinct == expected;
    bool prompt = !listed.ms.empty() && listed.ms.back() <= 1000;
    bool half = !wireshark || ours <= theirs / 2;
    met += all && prompt && half;
    std::printf("  every datagram listed %s (%u distinct); each row within 1 s %s", all ? "yes" : "NO", rows.distinct,
                prompt ? "yes" : "NO");
    if (wireshark) {
      std::printf("; trovix / wireshark local CPU %.2f, at most half %s", ours / theirs, half ? "yes" : "NO");
    }
    std::printf("\n");
  }
  std::printf("goals met in %d of %d runs\n", met, runs);
  return 0;
}
