// What the socket tables showed over time, and which socket a datagram left from or
// arrived at. A socket is known to have lived between the first and the last dump that
// showed it, and may have lived from the dump before its first (which did not show it) to
// the dump after its last, or to the kernel's notice of its end. A datagram is matched to
// a socket only when that socket's possible life covers the datagram's time and no other
// socket's does with another program; a socket known only from its end notice (it came
// and went between two dumps) makes its addresses unknown for its possible life. So a
// port taken by a second process after the first closed is never the first's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "capture/platform/sock_diag.h"
#include "capture/program_table.h"

namespace trovix {

inline constexpr int64_t kNever = INT64_MAX;
// How long after a socket's end its notice is read on a machine with time to spare: the
// kernel sends it from a work queue as the socket is freed.
inline constexpr int64_t kNoticeDelay = 30'000'000;
// The most a late notice is waited for: the window's "stop" waits this long for the last
// datagrams' notices, and must stay a click.
inline constexpr int64_t kMaxNoticeDelay = 300'000'000;

// One end of a datagram as a socket would hold it.
struct SocketEnd {
  uint8_t protocol;  // 6, 17, or kRawSocket with localPort the IP protocol
  uint8_t local[16];
  uint16_t localPort;
  uint8_t remote[16];
  uint16_t remotePort;
};

// An answer for one end: wait (a later dump or a process look-up decides), or the program.
struct EndMatch {
  bool wait = false;
  uint32_t program = 0;  // kNoProgram, kUnknownProgram or a program id
};

class SocketHistory {
 public:
  // How a record's socket is owned.
  enum class Holder : uint8_t {
    kPending,  // a descriptor holds it; its process is not looked up yet
    kProgram,  // `program` names it
    kNobody,   // no descriptor held it when seen (time-wait, not yet accepted, orphaned)
    kUnseen,   // known only from its end notice: who held it is not known
  };

  struct Record {
    DiagSocket socket;
    int64_t bornAfter = INT64_MIN;  // not alive at least once at or after this
    int64_t firstSeen = 0, lastSeen = 0;
    int64_t lastDumped = INT64_MIN;  // the last dump that showed it (lastSeen may be later)
    int64_t goneBy = kNever;
    Holder holder = Holder::kPending;
    uint32_t program = 0;
    bool live = true;  // in the record set (a freed slot is not)
  };

  // One dump's sockets, the dump having started at `start` and ended at `end` (ns).
  void Dumped(const std::vector<DiagSocket>& sockets, int64_t start, int64_t end);
  // Nothing changed in the tables since the last dump, as of `at`: no socket was added to
  // or removed from them, and no end notice came. Every socket then seen lives at `at`.
  void Unchanged(int64_t at);
  // End notices read at `readAt`.
  void Destroyed(const std::vector<DiagSocket>& sockets, int64_t readAt);
  // Notices were lost up to `readAt`: until then a socket's end is known only from dumps.
  void NoticesLost(int64_t readAt) { blind_.push_back({lastNoticeRead_, readAt}); }
  // Notices were read at `readAt` with none lost.
  void NoticesRead(int64_t readAt) { lastNoticeRead_ = readAt; }
  // How late an end notice may come after its socket's end (at least kNoticeDelay). The
  // kernel sends notices from a work queue, which a machine short of processor time runs
  // late; the sampler, late itself then, says so.
  void SetNoticeDelay(int64_t delay) noexcept { noticeDelay_ = std::clamp(delay, kNoticeDelay, kMaxNoticeDelay); }
  int64_t noticeDelay() const noexcept { return noticeDelay_; }

  // Before which time datagrams can be decided: the tables were known after them and end
  // notices of sockets that ended after them have come.
  int64_t DecidableBefore() const noexcept;

  // The record indexes that wait for their process.
  const std::unordered_set<uint32_t>& pending() const noexcept { return pending_; }
  Record& record(uint32_t index) { return records_[index]; }
  void SetHolder(uint32_t index, Holder holder, uint32_t program);

  // The program of `end` at time `t` (ns). `local` says whether an address is this
  // machine's, for sockets bound to every address. With `force` a wait is answered as
  // unknown.
  template <typename IsLocal>
  EndMatch Match(const SocketEnd& end, int64_t t, IsLocal isLocal, bool force) const;

  // Whether the program of TCP end `end` at `t` is known for good already, before the
  // notice delay has passed: `end` is not this machine's and no socket was ever seen with
  // its port, or it is a connection that dumps showed before and after `t` (no other
  // socket can have held those four addresses meanwhile, so no late notice can change the
  // answer). Then `program` is the answer.
  template <typename IsLocal>
  bool KnownForGood(const SocketEnd& end, int64_t t, IsLocal isLocal, uint32_t& program) const;
  int64_t confirmed() const noexcept { return confirmed_; }

  // Forgets sockets that ended before `before`.
  void Forget(int64_t before);
  size_t size() const noexcept { return cookies_.size(); }

 private:
  struct Candidates {
    bool any = false, wait = false, ambiguous = false;
    uint32_t program = 0;
  };
  uint32_t Add(const DiagSocket& socket, int64_t bornAfter, int64_t seen, Holder holder);
  void End(uint32_t index, int64_t goneBy);
  void Consider(const Record& r, int64_t t, Candidates& c) const;
  bool BlindNear(int64_t from, int64_t to) const noexcept;

  std::vector<Record> records_;
  std::vector<uint32_t> free_;
  std::unordered_map<uint64_t, uint32_t> cookies_;
  // Connected sockets by their four addresses and ports; the rest by protocol and port.
  std::unordered_multimap<uint64_t, uint32_t> connected_;
  std::unordered_multimap<uint32_t, uint32_t> bound_;
  std::unordered_set<uint32_t> alive_;
  std::unordered_set<uint32_t> pending_;
  std::vector<uint32_t> unseenInDump_;
  struct Span {
    int64_t from, to;
  };
  std::vector<Span> blind_;
  int64_t lastDump_ = INT64_MIN;
  // The starts of the recent dumps, oldest first: a late notice's socket lived after the
  // last dump that began before its end could have been.
  std::vector<int64_t> dumpStarts_;
  int64_t noticeDelay_ = kNoticeDelay;
  int64_t confirmed_ = INT64_MIN;                             // known unchanged until then
  uint64_t dumps_ = 0;
  int64_t lastNoticeRead_ = INT64_MIN;

 public:
  static uint64_t ConnectedKey(uint8_t protocol, const uint8_t* local, uint16_t localPort, const uint8_t* remote,
                               uint16_t remotePort) noexcept;
  static uint32_t BoundKey(uint8_t protocol, uint16_t localPort) noexcept {
    return uint32_t{protocol} << 16 | localPort;
  }
  static bool Wildcard(const uint8_t* address) noexcept;
  static bool Connected(const DiagSocket& s) noexcept { return s.remotePort != 0 && s.protocol != kRawSocket; }
};


template <typename IsLocal>
EndMatch SocketHistory::Match(const SocketEnd& end, int64_t t, IsLocal isLocal, bool force) const {
  auto answer = [&](const Candidates& c) {
    if (c.wait && !force) return EndMatch{true, 0};
    if (c.wait || c.ambiguous || c.program == kNoProgram) return EndMatch{false, kUnknownProgram};
    return EndMatch{false, c.program};
  };
  if (end.protocol != kRawSocket) {
    Candidates exact;
    uint64_t key = ConnectedKey(end.protocol, end.local, end.localPort, end.remote, end.remotePort);
    for (auto [at, last] = connected_.equal_range(key); at != last; ++at) {
      const Record& r = records_[at->second];
      const DiagSocket& s = r.socket;
      if (s.protocol != end.protocol || s.localPort != end.localPort || s.remotePort != end.remotePort ||
          std::memcmp(s.local, end.local, 16) != 0 || std::memcmp(s.remote, end.remote, 16) != 0) {
        continue;
      }
      Consider(r, t, exact);
    }
    // A socket no descriptor held (a connection not yet accepted) leaves the datagram to
    // the listener.
    if (exact.any && (exact.wait || exact.ambiguous || exact.program != 0)) return answer(exact);
  }
  // Bound sockets: the ones with this very address before those bound to every address.
  Candidates specific, every;
  bool v4 = end.local[10] == 0xff && end.local[11] == 0xff && std::memcmp(end.local, "\0\0\0\0\0\0\0\0\0\0", 10) == 0;
  for (auto [at, last] = bound_.equal_range(BoundKey(end.protocol, end.localPort)); at != last; ++at) {
    const Record& r = records_[at->second];
    const DiagSocket& s = r.socket;
    if (s.protocol != end.protocol || s.localPort != end.localPort) continue;
    if (!Wildcard(s.remote) && std::memcmp(s.remote, end.remote, 16) != 0) continue;
    if (std::memcmp(s.local, end.local, 16) == 0) {
      Consider(r, t, specific);
    } else if (Wildcard(s.local)) {
      bool allZero = std::memcmp(s.local, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16) == 0;
      // An IPv6 socket on :: also takes IPv4; an IPv4 one on 0.0.0.0 no IPv6.
      if ((allZero || v4) && isLocal(end.local)) Consider(r, t, every);
    }
  }
  if (specific.any) return answer(specific);
  if (every.any) return answer(every);
  return EndMatch{false, isLocal(end.local) ? kUnknownProgram : kNoProgram};
}

template <typename IsLocal>
bool SocketHistory::KnownForGood(const SocketEnd& end, int64_t t, IsLocal isLocal, uint32_t& program) const {
  if (end.protocol != 6) return false;
  uint64_t key = ConnectedKey(end.protocol, end.local, end.localPort, end.remote, end.remotePort);
  if (!isLocal(end.local)) {
    // Not this machine's as far as its addresses were last read: no socket may be known
    // for it either, for the list of addresses may be late.
    if (connected_.count(key) != 0 || bound_.count(BoundKey(end.protocol, end.localPort)) != 0) return false;
    program = kNoProgram;
    return true;
  }
  const Record* found = nullptr;
  for (auto [at, last] = connected_.equal_range(key); at != last; ++at) {
    const Record& r = records_[at->second];
    const DiagSocket& s = r.socket;
    if (s.protocol != end.protocol || s.localPort != end.localPort || s.remotePort != end.remotePort ||
        std::memcmp(s.local, end.local, 16) != 0 || std::memcmp(s.remote, end.remote, 16) != 0 ||
        !(r.bornAfter < t && t < r.goneBy)) {
      continue;
    }
    if (found != nullptr) return false;
    found = &r;
  }
  if (found == nullptr || found->holder != Holder::kProgram || !(found->firstSeen <= t && t <= found->lastDumped)) {
    return false;
  }
  program = found->program;
  return true;
}

}  // namespace trovix
