#include "capture/program_sampler.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <unordered_map>

#include "capture/byte_reader.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/platform/capabilities.h"
#include "capture/platform/rtnetlink.h"
#include "capture/platform/socket_processes.h"

namespace trovix {
namespace {

constexpr int64_t kMs = 1'000'000;
// A datagram whose socket's process is still not looked up this long after it is decided
// without it; the tables are forgotten this long after a socket's end.
constexpr int64_t kGiveUpAfter = 3000 * kMs;
constexpr int64_t kForgetAfter = 5000 * kMs;
constexpr int64_t kAddressesEvery = 1000 * kMs;
// A full /proc walk may take at most a fifth of the sampler's time.
constexpr int64_t kFullScanPause = 4;
constexpr size_t kRecentPids = 64;
constexpr int64_t kDumpEvery = 5000 * kMs;
// A notice may come this many times as late as the sampler woke, and a lateness counts for
// this long.
constexpr int64_t kLateNoticeFactor = 8;
constexpr int64_t kLatenessKept = 10000 * kMs;

int64_t Now(clockid_t clock = CLOCK_REALTIME) {
  timespec t{};
  clock_gettime(clock, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void Mapped(const uint8_t* v4, uint8_t* out) {
  std::memset(out, 0, 10);
  out[10] = out[11] = 0xff;
  std::memcpy(out + 12, v4, 4);
}

// The datagram's two ends as sockets would hold them: the source end (local = source) and
// the destination end. False for one that names no socket's end.
bool DatagramEnds(const StoredPacket& p, SocketEnd& from, SocketEnd& to) {
  DatagramFields fields;
  if (!ReadDatagramFields(p.bytes, static_cast<size_t>(p.length), fields)) return false;
  ByteReader r(p.bytes, static_cast<size_t>(p.length));
  uint8_t src[16], dst[16];
  if (fields.ipv6) {
    if (!r.Need(8, 32)) return false;
    std::memcpy(src, p.bytes + 8, 16);
    std::memcpy(dst, p.bytes + 24, 16);
  } else {
    if (!r.Need(12, 8)) return false;
    Mapped(p.bytes + 12, src);
    Mapped(p.bytes + 16, dst);
  }
  bool ports = fields.protocol == 6 || fields.protocol == 17;
  if (ports && (!fields.portsValid || fields.sport == 0 || fields.dport == 0)) return false;
  uint8_t protocol = ports ? fields.protocol : kRawSocket;
  uint16_t sport = ports ? fields.sport : fields.protocol, dport = ports ? fields.dport : fields.protocol;
  from = SocketEnd{protocol, {}, sport, {}, ports ? dport : uint16_t{0}};
  std::memcpy(from.local, src, 16);
  std::memcpy(from.remote, dst, 16);
  to = SocketEnd{protocol, {}, dport, {}, ports ? sport : uint16_t{0}};
  std::memcpy(to.local, dst, 16);
  std::memcpy(to.remote, src, 16);
  return true;
}

}  // namespace

ProgramSampler::ProgramSampler(PacketStore& store, ProgramTable& table, SamplerTimes times, std::string procRoot)
    : store_(store), table_(table), times_(times), procRoot_(std::move(procRoot)), uid_(geteuid()) {}

ProgramSampler::~ProgramSampler() { Stop(); }

int ProgramSampler::Start() {
  if (int error = diag_.Open(); error != 0) return error;
  if (int error = WakeEvent::Create(wake_); error != 0) return error;
  stop_.store(false, std::memory_order_relaxed);
  matched_.store(0, std::memory_order_relaxed);
  // The sockets that are there before the first datagram are read before the capture
  // starts: the start waits for the thread's first dump.
  std::promise<void> first;
  std::future<void> sampled = first.get_future();
  thread_ = std::thread([this, &first] {
    (void)RaiseForThisThread(CAP_SYS_PTRACE);
    Sample();
    first.set_value();
    Run();
  });
  sampled.wait();
  return 0;
}

void ProgramSampler::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true, std::memory_order_release);
  (void)wake_.Signal();
  thread_.join();
}

void ProgramSampler::Run() {
  while (!stop_.load(std::memory_order_acquire)) {
    // Sampled often while datagrams come and sockets come and go; a flood between sockets
    // that stay needs no more than the idle pace to be named.
    int64_t now = Now();
    bool busy = now - lastTraffic_ < 1000 * kMs && now - lastChange_ < 1000 * kMs;
    pollfd wake{wake_.fd(), POLLIN, 0};
    int timeoutMs = busy ? times_.busyMs : times_.idleMs;
    int64_t asleep = Now(CLOCK_MONOTONIC);
    bool timedOut = poll(&wake, 1, timeoutMs) == 0;
    if (stop_.load(std::memory_order_acquire)) break;
    int64_t woke = Now(CLOCK_MONOTONIC), cpu = Now(CLOCK_THREAD_CPUTIME_ID);
    Sample();
    MatchPublished(false);
    // Off a processor while it worked, or woken late: both count.
    int64_t waited = (Now(CLOCK_MONOTONIC) - woke) - (Now(CLOCK_THREAD_CPUTIME_ID) - cpu);
    NoteLateness(waited + (timedOut ? woke - asleep - timeoutMs * kMs : 0));
    cpuNs_.store(static_cast<uint64_t>(Now(CLOCK_THREAD_CPUTIME_ID)), std::memory_order_relaxed);
  }
  // The last datagrams' sockets may have ended just now: their notices come first.
  std::this_thread::sleep_for(std::chrono::nanoseconds(history_.noticeDelay() + 5 * kMs));
  Sample();
  fullScanAllowedAt_ = INT64_MIN;
  LookUpProcesses(Now());
  MatchPublished(true);
  cpuNs_.store(static_cast<uint64_t>(Now(CLOCK_THREAD_CPUTIME_ID)), std::memory_order_relaxed);
}

void ProgramSampler::NoteLateness(int64_t late) {
  // The kernel's work queue, which sends the end notices, is as short of time as this
  // thread: a notice may come several times as late as this thread woke, for a while.
  int64_t now = Now(CLOCK_MONOTONIC);
  if (late * kLateNoticeFactor >= lateness_ || now - latenessAt_ > kLatenessKept) {
    lateness_ = std::max<int64_t>(late, 0) * kLateNoticeFactor;
    latenessAt_ = now;
  }
  history_.SetNoticeDelay(lateness_);
}

void ProgramSampler::Sample() {
  ended_.clear();
  bool whole = diag_.ReadDestroyed(ended_);
  int64_t read = Now();
  history_.Destroyed(ended_, read);
  if (!whole) history_.NoticesLost(read);
  history_.NoticesRead(read);
  // The tables are dumped only when a socket came or went (a count changed, or one
  // ended), and every five seconds besides; otherwise what was seen there still holds.
  TableCounts inUse = diag_.SocketsInUse();
  int64_t counted = Now();
  bool came = !ended_.empty() || !whole || inUse[0] < 0 || inUse != inUse_;
  if (came) lastChange_ = counted;
  bool changed = came || counted - lastDump_ >= kDumpEvery;
  ++samples_;
  if (!changed) {
    history_.Unchanged(counted);
  } else if (int64_t start = Now(); diag_.Dump(sockets_) == 0) {
    history_.Dumped(sockets_, start, Now());
    inUse_ = inUse;
    lastDump_ = start;
    ++dumps_;
  }
  int64_t now = Now();
  LookUpProcesses(now);
  ReadLocalAddresses(now);
}

void ProgramSampler::LookUpProcesses(int64_t now) {
  if (history_.pending().empty()) return;
  std::unordered_map<uint32_t, std::vector<uint32_t>> records;  // inode -> record indexes
  std::unordered_set<uint32_t> wanted;
  for (uint32_t index : history_.pending()) {
    uint32_t inode = history_.record(index).socket.inode;
    records[inode].push_back(index);
    wanted.insert(inode);
  }
  bool allowed = now >= fullScanAllowedAt_;
  int64_t began = Now(CLOCK_MONOTONIC);
  std::unordered_map<uint32_t, SocketProcess> found;
  bool all = FindSocketProcesses(procRoot_, wanted, recentPids_, knownPids_, allowed, found);
  if (all) fullScanAllowedAt_ = now + (Now(CLOCK_MONOTONIC) - began) * (kFullScanPause + 1);
  static thread_local std::unordered_map<uint32_t, std::string> users;
  auto user = [&](uint32_t uid) -> const std::string& {
    auto known = users.find(uid);
    if (known == users.end()) known = users.emplace(uid, UserName(uid)).first;
    return known->second;
  };
  for (const auto& [inode, process] : found) {
    for (uint32_t index : records[inode]) {
      uint32_t program = table_.InternProgram(process.name, process.pid, user(history_.record(index).socket.uid));
      history_.SetHolder(index, SocketHistory::Holder::kProgram, program);
    }
    if (std::find(recentPids_.begin(), recentPids_.end(), process.pid) == recentPids_.end()) {
      if (recentPids_.size() == kRecentPids) recentPids_.erase(recentPids_.begin());
      recentPids_.push_back(process.pid);
    }
  }
  if (!all) return;
  // Read everywhere and not found: another user's process (or one gone meanwhile). The
  // user is all that is known.
  for (uint32_t inode : wanted) {
    for (uint32_t index : records[inode]) {
      uint32_t program = table_.InternProgram("", 0, user(history_.record(index).socket.uid));
      history_.SetHolder(index, SocketHistory::Holder::kProgram, program);
    }
  }
}

void ProgramSampler::ReadLocalAddresses(int64_t now) {
  if (now - addressesRead_ < kAddressesEvery) return;
  addressesRead_ = now;
  std::vector<InterfaceAddress> v4;
  std::vector<Interface6Address> v6;
  localAddresses_.clear();
  if (ReadIpv4Addresses(v4) == 0) {
    for (const InterfaceAddress& a : v4) {
      uint8_t mapped[16];
      Mapped(reinterpret_cast<const uint8_t*>(&a.address), mapped);
      localAddresses_.emplace(reinterpret_cast<const char*>(mapped), 16);
    }
  }
  if (ReadIpv6Addresses(v6) == 0) {
    for (const Interface6Address& a : v6) localAddresses_.emplace(reinterpret_cast<const char*>(&a.address), 16);
  }
}

bool ProgramSampler::IsLocal(const uint8_t* a) const {
  static const uint8_t kMappedLoopback[13] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127};
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::memcmp(a, kMappedLoopback, 13) == 0 || std::memcmp(a, kLoopback6, 16) == 0) return true;
  return localAddresses_.count(std::string(reinterpret_cast<const char*>(a), 16)) != 0;
}

void ProgramSampler::MatchPublished(bool force) {
  uint32_t published = PublishedPacketCount(store_);
  uint32_t k = matched_.load(std::memory_order_relaxed);
  int64_t now = Now();
  if (published > k) lastTraffic_ = now;
  int64_t decidable = force ? kNever : history_.DecidableBefore();
  auto isLocal = [this](const uint8_t* a) { return IsLocal(a); };
  int64_t oldest = now;
  for (; k < published; ++k) {
    StoredPacket p{};
    SocketEnd from{}, to{};
    if (!LocatePacket(store_, static_cast<int32_t>(k), p) || p.receiveTime == 0 || !DatagramEnds(p, from, to)) {
      SetPacketOwner(store_, k, kUnknownOwner);
      continue;
    }
    oldest = p.receiveTime;
    if (p.receiveTime >= decidable) {
      // A connection the dumps showed around it needs no wait for late notices: on a
      // machine short of time that wait grows to a notice delay of 300 ms.
      uint32_t source = 0, destination = 0;
      if (p.receiveTime < history_.confirmed() && history_.KnownForGood(from, p.receiveTime, isLocal, source) &&
          history_.KnownForGood(to, p.receiveTime, isLocal, destination)) {
        SetPacketOwner(store_, k, table_.InternOwner(source, destination));
        continue;
      }
      break;
    }
    bool late = force || now - p.receiveTime > kGiveUpAfter;
    EndMatch source = history_.Match(from, p.receiveTime, isLocal, late);
    EndMatch destination = history_.Match(to, p.receiveTime, isLocal, late);
    if (source.wait || destination.wait) break;
    SetPacketOwner(store_, k, table_.InternOwner(source.program, destination.program));
  }
  matched_.store(k, std::memory_order_release);
  if (k == published) oldest = now;
  if (samples_ % 64 == 0) history_.Forget(oldest - kForgetAfter);
}

}  // namespace trovix
