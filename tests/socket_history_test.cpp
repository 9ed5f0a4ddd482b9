// Which socket a datagram's end is matched to, from a history of dumps and end notices:
// the rules that keep a name from ever being wrong, on histories written out by hand.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "capture/socket_history.h"

namespace trovix {
namespace {

constexpr int64_t kMs = 1'000'000;

void Put(const char* text, uint8_t* out) {
  std::memset(out, 0, 16);
  if (inet_pton(AF_INET6, text, out) == 1) return;
  out[10] = out[11] = 0xff;
  inet_pton(AF_INET, text, out + 12);
}

DiagSocket Socket(uint64_t cookie, uint32_t inode, uint8_t protocol, const char* local, uint16_t localPort,
                  const char* remote = "0.0.0.0", uint16_t remotePort = 0, uint8_t state = 7) {
  DiagSocket s;
  s.cookie = cookie, s.inode = inode, s.protocol = protocol, s.state = state;
  Put(local, s.local), Put(remote, s.remote);
  s.localPort = localPort, s.remotePort = remotePort;
  return s;
}

SocketEnd End(uint8_t protocol, const char* local, uint16_t localPort, const char* remote, uint16_t remotePort) {
  SocketEnd e{protocol, {}, localPort, {}, remotePort};
  Put(local, e.local), Put(remote, e.remote);
  return e;
}

// The history's events at their times (ms): dumps, notices, lost notices; each socket of a
// dump with an inode is held by the program of the same number as its inode.
struct Event {
  int64_t at;
  enum { kDump, kNotice, kLost } kind;
  std::vector<DiagSocket> sockets;
};

struct Query {
  SocketEnd end;
  int64_t at;
  uint32_t expected;  // a program id, kNoProgram, kUnknownProgram, or kWait
};
constexpr uint32_t kWait = UINT32_MAX;

bool IsLocal(const uint8_t* a) { return a[12] == 127 || (a[12] == 198 && a[13] == 18 && a[15] == 1); }

TEST(SocketHistoryTest, ADatagramIsNamedOnlyWhenOneProgramCanHaveHeldItsAddresses) {
  const DiagSocket first = Socket(1, 5, 17, "127.0.0.1", 7000);
  const DiagSocket second = Socket(2, 6, 17, "127.0.0.1", 7000);
  const DiagSocket unseen = Socket(3, 0, 17, "127.0.0.1", 7000);
  const DiagSocket listener = Socket(4, 8, 6, "127.0.0.1", 80, "0.0.0.0", 0, 10);
  const DiagSocket accepted = Socket(5, 0, 6, "127.0.0.1", 80, "127.0.0.1", 5555, 1);
  const DiagSocket everywhere = Socket(6, 9, 17, "0.0.0.0", 53);
  const DiagSocket pending = Socket(7, 77, 17, "127.0.0.1", 7100);
  const DiagSocket raw = Socket(8, 10, kRawSocket, "0.0.0.0", 1);
  const SocketEnd sending = End(17, "127.0.0.1", 7000, "127.0.0.1", 9);
  const struct {
    const char* what;
    std::vector<Event> events;
    std::vector<Query> queries;
    int noticeDelayMs = 0;
  } cases[] = {
      {"seen before and after", {{0, Event::kDump, {first}}, {20, Event::kDump, {first}}}, {{sending, 10, 5}}},
      {"first datagram before the socket was first seen",
       {{0, Event::kDump, {}}, {20, Event::kDump, {first}}, {40, Event::kDump, {first}}},
       {{sending, 10, 5}, {sending, -5, kUnknownProgram}}},
      {"a port taken again after its end notice",
       {{0, Event::kDump, {first}}, {15, Event::kNotice, {first}}, {40, Event::kDump, {second}},
        {60, Event::kDump, {second}}},
       {{sending, 10, kUnknownProgram}, {sending, 30, 6}, {sending, 50, 6}}},
      {"a socket known only from its notice makes its port unknown",
       {{0, Event::kDump, {}}, {20, Event::kDump, {}}, {30, Event::kNotice, {unseen}}, {40, Event::kDump, {second}},
        {60, Event::kDump, {second}}},
       {{sending, 25, kUnknownProgram}, {sending, 50, 6}}},
      {"a connection no descriptor holds yet is the listener's",
       {{0, Event::kDump, {listener, accepted}}, {20, Event::kDump, {listener, accepted}}},
       {{End(6, "127.0.0.1", 80, "127.0.0.1", 5555), 10, 8}, {End(6, "127.0.0.1", 5555, "127.0.0.1", 80), 10,
                                                                kUnknownProgram}}},
      {"a socket on every address names only this machine's",
       {{0, Event::kDump, {everywhere}}, {20, Event::kDump, {everywhere}}},
       {{End(17, "127.0.0.1", 53, "198.18.0.2", 4000), 10, 9}, {End(17, "198.18.0.1", 53, "198.18.0.2", 4000), 10, 9},
        {End(17, "203.0.113.5", 53, "198.18.0.2", 4000), 10, kNoProgram}}},
      {"a socket whose process is not read yet waits",
       {{0, Event::kDump, {pending}}, {20, Event::kDump, {pending}}},
       {{End(17, "127.0.0.1", 7100, "127.0.0.1", 9), 10, kWait}}},
      {"a raw socket counts only between the dumps that showed it",
       {{0, Event::kDump, {}}, {20, Event::kDump, {raw}}, {40, Event::kDump, {raw}}},
       {{End(kRawSocket, "127.0.0.1", 1, "127.0.0.1", 0), 10, kUnknownProgram},
        {End(kRawSocket, "127.0.0.1", 1, "127.0.0.1", 0), 30, 10}}},
      {"a notice that comes late, after dumps showed the port's next socket, still makes the port unknown",
       {{0, Event::kDump, {}}, {20, Event::kDump, {}}, {40, Event::kDump, {second}}, {60, Event::kDump, {second}},
        {100, Event::kNotice, {unseen}}},
       {{sending, 25, kUnknownProgram}},
       70},
      {"lost notices leave only what the dumps showed",
       {{0, Event::kDump, {first}}, {10, Event::kDump, {first}}, {15, Event::kLost, {}}, {40, Event::kDump, {}}},
       {{sending, 5, 5}, {sending, 30, kUnknownProgram}}},
  };
  for (const auto& c : cases) {
    SocketHistory history;
    history.SetNoticeDelay(c.noticeDelayMs * kMs);
    for (const Event& e : c.events) {
      if (e.kind == Event::kDump) history.Dumped(e.sockets, e.at * kMs, e.at * kMs + kMs / 10);
      if (e.kind == Event::kNotice) history.Destroyed(e.sockets, e.at * kMs);
      if (e.kind == Event::kLost) history.NoticesLost(e.at * kMs);
      history.NoticesRead(e.at * kMs);
      std::vector<uint32_t> found;
      for (uint32_t index : history.pending()) {
        if (history.record(index).socket.inode != 77) found.push_back(index);
      }
      for (uint32_t index : found) {
        history.SetHolder(index, SocketHistory::Holder::kProgram, history.record(index).socket.inode);
      }
    }
    for (const Query& q : c.queries) {
      EndMatch match = history.Match(q.end, q.at * kMs, IsLocal, false);
      EXPECT_EQ(match.wait ? kWait : match.program, q.expected) << c.what << " at " << q.at << " ms";
      if (match.wait) {
        EXPECT_EQ(history.Match(q.end, q.at * kMs, IsLocal, true).program, kUnknownProgram) << c.what;
      }
    }
  }
}

// Between dumps, tables whose counts did not change still hold what was seen; a datagram
// waits until the tables were known after it and its notices had time to come.
TEST(SocketHistoryTest, UnchangedTablesExtendWhatWasSeenAndDecideLater) {
  SocketHistory history;
  EXPECT_EQ(history.DecidableBefore(), INT64_MIN);
  history.Dumped({Socket(1, 5, 17, "127.0.0.1", 7000)}, 0, kMs / 10);
  history.NoticesRead(0);
  history.SetHolder(*history.pending().begin(), SocketHistory::Holder::kProgram, 5);
  history.Unchanged(100 * kMs);
  history.NoticesRead(100 * kMs);
  EXPECT_EQ(history.DecidableBefore(), 70 * kMs);
  // Notices lost afterwards take nothing from the time known unchanged.
  history.NoticesLost(120 * kMs);
  EXPECT_EQ(history.Match(End(17, "127.0.0.1", 7000, "127.0.0.1", 9), 90 * kMs, IsLocal, false).program, 5u);
}

// A connection that dumps showed around a datagram is answered before its notices could
// come; anything a late notice could still change is not.
TEST(SocketHistoryTest, OnlyAConnectionDumpedAroundTheDatagramIsKnownBeforeTheNoticeDelay) {
  const DiagSocket tcp = Socket(1, 5, 6, "127.0.0.1", 5555, "127.0.0.1", 80, 1);
  const DiagSocket udp = Socket(2, 6, 17, "127.0.0.1", 7000, "127.0.0.1", 9);
  const DiagSocket waiting = Socket(3, 77, 6, "127.0.0.1", 5556, "127.0.0.1", 80, 1);
  const DiagSocket listener = Socket(4, 8, 6, "0.0.0.0", 8080, "0.0.0.0", 0, 10);
  SocketHistory history;
  history.Dumped({tcp, udp, waiting, listener}, 0, kMs / 10);
  for (uint32_t index : std::vector<uint32_t>(history.pending().begin(), history.pending().end())) {
    uint32_t inode = history.record(index).socket.inode;
    if (inode != 77) history.SetHolder(index, SocketHistory::Holder::kProgram, inode);
  }
  history.Dumped({tcp, udp, waiting, listener}, 20 * kMs, 20 * kMs + kMs / 10);
  history.Unchanged(40 * kMs);  // counts alone: a socket may have gone as another came
  const struct {
    SocketEnd end;
    int64_t at;
    bool known;
    uint32_t program;
  } cases[] = {
      {End(6, "127.0.0.1", 5555, "127.0.0.1", 80), 10, true, 5},
      {End(6, "127.0.0.1", 5555, "127.0.0.1", 80), 30, false, 0},   // only unchanged counts since
      {End(6, "127.0.0.1", 5555, "127.0.0.1", 443), 10, false, 0},  // no such connection
      {End(17, "127.0.0.1", 7000, "127.0.0.1", 9), 10, false, 0},   // UDP may share its addresses
      {End(6, "127.0.0.1", 5556, "127.0.0.1", 80), 10, false, 0},   // its process not read yet
      {End(6, "203.0.113.5", 80, "127.0.0.1", 5555), 10, true, kNoProgram},
      // The machine's addresses may be read late: a port some socket holds is not decided.
      {End(6, "203.0.113.5", 8080, "127.0.0.1", 9), 10, false, 0},
      {End(17, "203.0.113.5", 53, "127.0.0.1", 9), 10, false, 0},
  };
  for (const auto& c : cases) {
    uint32_t program = 12345;
    EXPECT_EQ(history.KnownForGood(c.end, c.at * kMs, IsLocal, program), c.known) << c.end.localPort << " at " << c.at;
    if (c.known) {
      EXPECT_EQ(program, c.program) << c.end.localPort;
    }
  }
}

}  // namespace
}  // namespace trovix
