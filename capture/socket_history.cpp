#include "capture/socket_history.h"

#include <algorithm>

namespace trovix {

uint64_t SocketHistory::ConnectedKey(uint8_t protocol, const uint8_t* local, uint16_t localPort,
                                     const uint8_t* remote, uint16_t remotePort) noexcept {
  // FNV-1a over what tells connections apart.
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  };
  uint8_t head[5] = {protocol, static_cast<uint8_t>(localPort >> 8), static_cast<uint8_t>(localPort),
                     static_cast<uint8_t>(remotePort >> 8), static_cast<uint8_t>(remotePort)};
  mix(head, sizeof head);
  mix(local, 16);
  mix(remote, 16);
  return hash;
}

bool SocketHistory::Wildcard(const uint8_t* a) noexcept {
  static const uint8_t kZero[16] = {};
  static const uint8_t kMappedZero[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
  return std::memcmp(a, kZero, 16) == 0 || std::memcmp(a, kMappedZero, 16) == 0;
}

uint32_t SocketHistory::Add(const DiagSocket& socket, int64_t bornAfter, int64_t seen, Holder holder) {
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    index = static_cast<uint32_t>(records_.size());
    records_.emplace_back();
  }
  Record& r = records_[index];
  r = Record{};
  r.socket = socket;
  r.bornAfter = bornAfter;
  r.firstSeen = r.lastSeen = seen;
  r.holder = holder;
  cookies_[socket.cookie] = index;
  if (Connected(socket)) {
    connected_.emplace(ConnectedKey(socket.protocol, socket.local, socket.localPort, socket.remote, socket.remotePort),
                       index);
  } else {
    bound_.emplace(BoundKey(socket.protocol, socket.localPort), index);
  }
  if (holder == Holder::kPending) pending_.insert(index);
  return index;
}

void SocketHistory::End(uint32_t index, int64_t goneBy) {
  Record& r = records_[index];
  r.goneBy = std::min(r.goneBy, goneBy);
  alive_.erase(index);
}

void SocketHistory::SetHolder(uint32_t index, Holder holder, uint32_t program) {
  records_[index].holder = holder;
  records_[index].program = program;
  pending_.erase(index);
}

void SocketHistory::Dumped(const std::vector<DiagSocket>& sockets, int64_t start, int64_t end) {
  // A socket that was not in the dump before this one may have been born right after that
  // dump began (not after a moment the tables were only known unchanged: a socket added
  // as another went, before the other's notice came, leaves the counts as they were).
  auto bornAfter = [&](uint8_t) { return dumps_ == 0 ? INT64_MIN : lastDump_; };
  std::unordered_set<uint32_t> before;
  before.swap(alive_);
  for (const DiagSocket& s : sockets) {
    auto known = cookies_.find(s.cookie);
    if (known != cookies_.end() && records_[known->second].goneBy == kNever) {
      Record& r = records_[known->second];
      bool same = r.socket.localPort == s.localPort && r.socket.remotePort == s.remotePort &&
                  std::memcmp(r.socket.local, s.local, 16) == 0 && std::memcmp(r.socket.remote, s.remote, 16) == 0;
      if (same) {
        r.lastSeen = r.lastDumped = start;
        r.socket.state = s.state;
        alive_.insert(known->second);
        before.erase(known->second);
        continue;
      }
      // The socket took other addresses (a UDP socket connected or bound anew): the old
      // ones ended some time since the last dump; the new ones are a record of their own,
      // held by the same process.
      uint32_t old = known->second;
      before.erase(old);
      End(old, end);
      Holder holder = r.holder;
      uint32_t program = r.program;
      uint32_t index = Add(s, bornAfter(s.protocol), start, holder);
      records_[index].program = program;
      records_[index].lastDumped = start;
      if (holder != Holder::kPending) pending_.erase(index);
      alive_.insert(index);
      continue;
    }
    if (known != cookies_.end()) continue;  // its end was told already
    uint32_t index = Add(s, bornAfter(s.protocol), start, s.inode == 0 ? Holder::kNobody : Holder::kPending);
    records_[index].lastDumped = start;
    alive_.insert(index);
  }
  for (uint32_t index : before) records_[index].goneBy = std::min(records_[index].goneBy, end);
  dumpStarts_.push_back(start);
  // Enough for any notice delay the sampler sets: dumps come at most every few seconds
  // when nothing changes, and at most once a sample when something does.
  if (dumpStarts_.size() > 512) dumpStarts_.erase(dumpStarts_.begin(), dumpStarts_.begin() + 256);
  lastDump_ = confirmed_ = start;
  ++dumps_;
}

void SocketHistory::Unchanged(int64_t at) {
  for (uint32_t index : alive_) records_[index].lastSeen = std::max(records_[index].lastSeen, at);
  confirmed_ = std::max(confirmed_, at);
}

void SocketHistory::Destroyed(const std::vector<DiagSocket>& sockets, int64_t readAt) {
  for (const DiagSocket& s : sockets) {
    auto known = cookies_.find(s.cookie);
    if (known != cookies_.end()) {
      End(known->second, readAt);
      continue;
    }
    // Never in a dump: it ended at most a notice delay ago, and was born after the last
    // dump that began before that (none known: any time).
    auto after = std::lower_bound(dumpStarts_.begin(), dumpStarts_.end(), readAt - noticeDelay_);
    int64_t bornAfter = after == dumpStarts_.begin() ? INT64_MIN : *std::prev(after);
    uint32_t index = Add(s, bornAfter, readAt, Holder::kUnseen);
    records_[index].firstSeen = kNever;
    records_[index].lastSeen = INT64_MIN;
    records_[index].goneBy = readAt;
  }
}

int64_t SocketHistory::DecidableBefore() const noexcept {
  if (dumps_ == 0) return INT64_MIN;
  int64_t notices = lastNoticeRead_ == INT64_MIN ? INT64_MIN : lastNoticeRead_ - noticeDelay_;
  return std::min(confirmed_, notices);
}

bool SocketHistory::BlindNear(int64_t from, int64_t to) const noexcept {
  return std::any_of(blind_.begin(), blind_.end(), [&](const Span& s) { return s.from <= to && from <= s.to; });
}

void SocketHistory::Consider(const Record& r, int64_t t, Candidates& c) const {
  if (!(r.bornAfter < t && t < r.goneBy)) return;
  bool certain = r.firstSeen <= t && t <= r.lastSeen;
  // Raw sockets send no end notice: only what a dump showed counts.
  if (r.socket.protocol == kRawSocket && !certain) return;
  c.any = true;
  switch (r.holder) {
    case Holder::kNobody:
      return;
    case Holder::kUnseen:
      c.ambiguous = true;
      return;
    case Holder::kPending:
      c.wait = true;
      return;
    case Holder::kProgram:
      break;
  }
  // Past what the dumps showed, the end is known only as well as the notices tell it.
  if (!certain && BlindNear(t < r.firstSeen ? r.bornAfter : r.lastSeen, t)) c.ambiguous = true;
  if (c.program != 0 && c.program != r.program) c.ambiguous = true;
  c.program = r.program;
}

void SocketHistory::Forget(int64_t before) {
  for (uint32_t index = 0; index < records_.size(); ++index) {
    Record& r = records_[index];
    if (!r.live || r.goneBy == kNever || r.goneBy >= before) continue;
    const DiagSocket& s = r.socket;
    auto drop = [&](auto& map, auto key) {
      for (auto [at, last] = map.equal_range(key); at != last; ++at) {
        if (at->second == index) {
          map.erase(at);
          return;
        }
      }
    };
    if (Connected(s)) {
      drop(connected_, ConnectedKey(s.protocol, s.local, s.localPort, s.remote, s.remotePort));
    } else {
      drop(bound_, BoundKey(s.protocol, s.localPort));
    }
    if (auto known = cookies_.find(s.cookie); known != cookies_.end() && known->second == index) cookies_.erase(known);
    pending_.erase(index);
    r.live = false;
    free_.push_back(index);
  }
  std::erase_if(blind_, [&](const Span& s) { return s.to < before; });
}

}  // namespace trovix
