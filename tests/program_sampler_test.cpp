// The program of each datagram, for real processes whose ids the test knows, on loopback
// in the test's own network namespace: captured by the real capture and matched by the
// real sampler.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/packet_store.h"
#include "capture/program_sampler.h"
#include "capture/sources/local_source.h"
#include "tests/datagram_builder.h"
#include "tests/netns.h"

namespace trovix {
namespace {

using namespace std::chrono_literals;

class NoListener : public CaptureListener {
 public:
  void PacketsPublished(uint32_t) noexcept override {}
  void CaptureEnded() noexcept override {}
};

// The test binary's own file name: every forked program runs it.
std::string OwnName() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, n > 0 ? static_cast<size_t>(n) : 0);
  return exe.substr(exe.rfind('/') + 1);
}

// A child process running `body`, which the parent may wait for with Reap.
pid_t Fork(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

void Reap(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
}

sockaddr_storage Loopback(int family, uint16_t port, socklen_t& size) {
  sockaddr_storage a{};
  if (family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
    v6.sin6_family = AF_INET6, v6.sin6_port = htons(port), v6.sin6_addr = in6addr_loopback;
    size = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    v4.sin_family = AF_INET, v4.sin_port = htons(port), v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size = sizeof v4;
  }
  return a;
}

struct Flow {
  int family;
  int type;
  uint16_t port;
};

// Blocks until the test closes the other end of `hold`: a program keeps its socket until
// the sampler has decided its datagrams, so that a loaded machine cannot make the test
// one of a socket that came and went unseen.
void Hold(int hold) {
  char byte;
  (void)!read(hold, &byte, 1);
}

// A server that answers one request, written to `ready` once it listens.
void Serve(const Flow& f, int ready, int hold) {
  socklen_t size;
  sockaddr_storage at = Loopback(f.family, f.port, size);
  int fd = socket(f.family, f.type, 0);
  bind(fd, reinterpret_cast<sockaddr*>(&at), size);
  if (f.type == SOCK_STREAM) listen(fd, 4);
  (void)!write(ready, "r", 1);
  char data[4];
  if (f.type == SOCK_STREAM) {
    int c = accept(fd, nullptr, nullptr);
    (void)!read(c, data, sizeof data);
    (void)!write(c, "pong", 4);
    char rest;
    (void)!read(c, &rest, 1);  // the client's close
    close(c);
  } else {
    sockaddr_storage from{};
    socklen_t fromSize = sizeof from;
    recvfrom(fd, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    sendto(fd, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
    Hold(hold);
  }
  close(fd);
}

// Asks once and says so on `done`.
void Ask(const Flow& f, int done, int hold) {
  socklen_t size;
  sockaddr_storage at = Loopback(f.family, f.port, size);
  int fd = socket(f.family, f.type, 0);
  connect(fd, reinterpret_cast<sockaddr*>(&at), size);
  (void)!write(fd, "ping", 4);
  char data[4];
  (void)!read(fd, data, sizeof data);
  (void)!write(done, "d", 1);
  Hold(hold);
  close(fd);
}

class ProgramsLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
    PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, false, false, false, true});
    ASSERT_EQ(sampler_.Start(), 0);
    CaptureStart start = StartCaptureThread(*state_, &listener_);
    ASSERT_EQ(start.result, CaptureStartResult::kStarted) << std::strerror(start.error);
  }
  // Stops the capture and the sampler; then every packet's column by its ports.
  std::multimap<std::pair<uint16_t, uint16_t>, std::string> Columns() {
    std::this_thread::sleep_for(150ms);  // the last datagrams reach the store
    StopCaptureThread(*state_);
    sampler_.Stop();
    EXPECT_EQ(sampler_.matched(), PublishedPacketCount(state_->store));
    return PublishedColumns();
  }
  // Waits (at most 10 s) until the datagrams sent so far are published and the sampler
  // has decided every one.
  void AwaitDecided() {
    std::this_thread::sleep_for(150ms);
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      if (sampler_.matched() == PublishedPacketCount(state_->store)) return;
    }
    ADD_FAILURE() << "the sampler decided " << sampler_.matched() << " of " << PublishedPacketCount(state_->store);
  }
  std::multimap<std::pair<uint16_t, uint16_t>, std::string> PublishedColumns() {
    std::multimap<std::pair<uint16_t, uint16_t>, std::string> columns;
    uint32_t count = sampler_.matched();
    for (uint32_t k = 0; k < count; ++k) {
      StoredPacket p{};
      EXPECT_TRUE(LocatePacket(state_->store, static_cast<int32_t>(k), p));
      size_t at = (p.bytes[0] >> 4) == 6 ? 40 : 20;
      uint16_t sport = static_cast<uint16_t>(p.bytes[at] << 8 | p.bytes[at + 1]);
      uint16_t dport = static_cast<uint16_t>(p.bytes[at + 2] << 8 | p.bytes[at + 3]);
      columns.emplace(std::pair{sport, dport}, table_.OwnerText(PacketOwner(state_->store, static_cast<int32_t>(k))));
    }
    return columns;
  }

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  NoListener listener_;
  ProgramTable table_;
  ProgramSampler sampler_{state_->store, table_};
  std::string name_ = OwnName();
  std::string user_ = getpwuid(geteuid())->pw_name;
};

TEST_F(ProgramsLive, ClientsAndServersOfBothFamiliesAreNamedSenderFirst) {
  const Flow kFlows[] = {{AF_INET, SOCK_DGRAM, 7301}, {AF_INET6, SOCK_DGRAM, 7302},
                         {AF_INET, SOCK_STREAM, 7303}, {AF_INET6, SOCK_STREAM, 7304}};
  std::map<uint16_t, std::pair<pid_t, pid_t>> pids;  // server port -> client, server
  int hold[2], done[2];
  ASSERT_EQ(pipe(hold), 0);
  ASSERT_EQ(pipe(done), 0);
  for (const Flow& f : kFlows) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t server = Fork([&] { close(hold[1]), Serve(f, ready[1], hold[0]); });
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]), close(ready[1]);
    pid_t client = Fork([&] { close(hold[1]), Ask(f, done[1], hold[0]); });
    ASSERT_EQ(read(done[0], &byte, 1), 1);
    pids[f.port] = {client, server};
  }
  AwaitDecided();
  close(hold[1]);  // the programs close their sockets
  for (const auto& [port, who] : pids) Reap(who.first), Reap(who.second);
  close(hold[0]), close(done[0]), close(done[1]);
  auto columns = Columns();
  for (const auto& [port, who] : pids) {
    std::string client = name_ + " " + std::to_string(who.first), server = name_ + " " + std::to_string(who.second);
    int toServer = 0, toClient = 0;
    for (const auto& [ports, text] : columns) {
      if (ports.second == port) {
        // The SYN goes to the listener, which the server holds.
        EXPECT_EQ(text, client + " \u2192 " + server) << "to port " << port;
        ++toServer;
      } else if (ports.first == port) {
        EXPECT_EQ(text, server + " \u2192 " + client) << "from port " << port;
        ++toClient;
      }
    }
    EXPECT_GE(toServer, 1) << port;
    EXPECT_GE(toClient, 1) << port;
  }
}

// A socket that lives 50 ms is named; a second process that takes its port at once is
// never named after the first, and is named once its own socket has been seen. On a
// loaded machine the sampler may miss a short socket or be unsure of a port's holder
// ("?", or only the user of a socket whose process had gone), but never names one
// wrongly: rounds on ports of their own until one is named whole, at most eight.
TEST_F(ProgramsLive, AShortSocketIsNamedAndItsPortReusedIsNeverTakenForIt) {
  const std::string receiving = " \u2192 " + name_ + " " + std::to_string(getpid());
  const std::string unknown = "?" + receiving, userOnly = "user " + user_ + receiving;
  bool named = false;
  for (int round = 0; round < 8 && !named; ++round) {
    const uint16_t from = static_cast<uint16_t>(7310 + 2 * round), to = static_cast<uint16_t>(from + 1);
    socklen_t size;
    sockaddr_storage receiver = Loopback(AF_INET, to, size);
    int in = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(in, reinterpret_cast<sockaddr*>(&receiver), size), 0);
    int hold[2], sent[2];
    ASSERT_EQ(pipe(hold), 0);
    ASSERT_EQ(pipe(sent), 0);
    auto sender = [&](int messages, std::chrono::milliseconds gap) {
      return Fork([&, messages, gap] {
        close(in);  // the receiver stays this process's alone
        close(hold[1]);
        sockaddr_storage self = Loopback(AF_INET, from, size);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, reinterpret_cast<sockaddr*>(&self), size) != 0) _exit(1);
        for (int m = 0; m < messages; ++m) {
          sendto(fd, "data", 4, 0, reinterpret_cast<sockaddr*>(&receiver), size);
          std::this_thread::sleep_for(gap);
        }
        if (messages > 1) (void)!write(sent[1], "s", 1), Hold(hold[0]);
        close(fd);
      });
    };
    pid_t first = sender(1, 50ms);
    Reap(first);
    pid_t second = sender(6, 20ms);
    char byte;
    ASSERT_EQ(read(sent[0], &byte, 1), 1);
    AwaitDecided();
    close(hold[1]);
    Reap(second);
    close(hold[0]), close(sent[0]), close(sent[1]);
    close(in);
    const std::string firstText = name_ + " " + std::to_string(first) + receiving;
    const std::string secondText = name_ + " " + std::to_string(second) + receiving;
    std::vector<std::string> texts;
    for (const auto& [ports, text] : PublishedColumns()) {
      if (ports == std::pair<uint16_t, uint16_t>{from, to}) texts.push_back(text);
    }
    ASSERT_EQ(texts.size(), 7u) << "round " << round;
    EXPECT_TRUE(texts[0] == firstText || texts[0] == unknown || texts[0] == userOnly) << round << ": " << texts[0];
    for (size_t i = 1; i < texts.size(); ++i) {
      EXPECT_TRUE(texts[i] == secondText || texts[i] == unknown || texts[i] == userOnly) << round << ", " << i << ": " << texts[i];
    }
    named = texts[0] == firstText && texts.back() == secondText;
  }
  Columns();  // stops the capture and the sampler
  EXPECT_TRUE(named) << "in eight rounds, never both the short socket and the one after it";
}

// Run as a user who may read no one else's descriptors, a socket of another user names
// only that user.
TEST(ProgramsOfOthers, AnotherUsersSocketNamesTheUser) {
  if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  if (geteuid() != 0) GTEST_SKIP() << "making processes of two other users takes root";
  int ready[2], answer[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(answer), 0);
  pid_t holder = Fork([&] {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
    socklen_t size;
    sockaddr_storage at = Loopback(AF_INET, 7320, size);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    bind(fd, reinterpret_cast<sockaddr*>(&at), size);
    (void)!write(ready[1], "r", 1);
    char byte;
    (void)!read(answer[0], &byte, 1);  // until the answer was read
  });
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  int text[2];
  ASSERT_EQ(pipe(text), 0);
  pid_t looker = Fork([&] {
    if (setresgid(65533, 65533, 65533) != 0 || setresuid(65533, 65533, 65533) != 0) _exit(1);
    auto state = std::make_unique<CaptureState>();
    ProgramTable table;
    ProgramSampler sampler(state->store, table);
    if (sampler.Start() != 0) _exit(1);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    auto d = test::MakeDatagram({17, "198.18.0.9", "127.0.0.1", 7321, 7320, 4});
    AppendPacket(state->store, 17, d.data(), d.size(), nullptr, nullptr,
                 int64_t{now.tv_sec} * 1000000000 + now.tv_nsec);
    std::this_thread::sleep_for(200ms);
    sampler.Stop();
    std::string column = table.OwnerText(PacketOwner(state->store, 0));
    (void)!write(text[1], column.data(), column.size());
  });
  Reap(looker);
  close(text[1]);
  char buffer[128];
  ssize_t n = read(text[0], buffer, sizeof buffer);
  (void)!write(answer[1], "d", 1);
  Reap(holder);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "user nobody");
}

}  // namespace
}  // namespace trovix
