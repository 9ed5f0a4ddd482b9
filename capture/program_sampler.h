// The thread that names the programs of a live capture's datagrams. While the capture
// runs it dumps the socket tables (often while datagrams come, rarely while none do),
// hears the kernel's notices of sockets that ended, looks up the processes of new sockets,
// and writes each published packet's owner entry once the tables it needs were read. It
// never touches the capture path: it reads only what the store has published.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "capture/capture_state.h"
#include "capture/platform/sock_diag.h"
#include "capture/platform/wake_event.h"
#include "capture/program_table.h"
#include "capture/socket_history.h"

namespace trovix {

struct SamplerTimes {
  // Between dumps while datagrams came in the last second, and while none did.
  int busyMs = 10;
  int idleMs = 40;
};

class ProgramSampler {
 public:
  ProgramSampler(PacketStore& store, ProgramTable& table, SamplerTimes times = {},
                 std::string procRoot = "/proc");
  ~ProgramSampler();
  ProgramSampler(const ProgramSampler&) = delete;
  ProgramSampler& operator=(const ProgramSampler&) = delete;

  // Reads the tables once, then samples on a thread of its own. Returns 0 or an errno value
  // (the socket tables cannot be read: every datagram then stays pending).
  int Start();
  // After the capture stopped: reads the tables once more, decides every packet published,
  // and ends the thread.
  void Stop();

  // Packets below this have their owner entries (any thread).
  uint32_t matched() const noexcept { return matched_.load(std::memory_order_acquire); }
  // The thread's CPU time so far, for benchmarks (ns; after Stop, the whole run's).
  uint64_t cpuNs() const noexcept { return cpuNs_.load(std::memory_order_relaxed); }
  // How often the tables were read whole, and how often only their counts.
  uint64_t dumps() const noexcept { return dumps_; }
  uint64_t samples() const noexcept { return samples_; }

 private:
  void Run();
  void Sample();
  // This thread ran `late` ns later than asked (slept past its time, or waited for a
  // processor): end notices may be later too.
  void NoteLateness(int64_t late);
  void LookUpProcesses(int64_t now);
  void ReadLocalAddresses(int64_t now);
  bool IsLocal(const uint8_t* address) const;
  // Writes owner entries while they can be decided; with `force`, all published ones.
  void MatchPublished(bool force);

  PacketStore& store_;
  ProgramTable& table_;
  SamplerTimes times_;
  std::string procRoot_;
  SockDiag diag_;
  SocketHistory history_;
  WakeEvent wake_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> matched_{0};
  std::atomic<uint64_t> cpuNs_{0};
  uint64_t dumps_ = 0;
  uint64_t samples_ = 0;
  std::vector<DiagSocket> sockets_;
  std::vector<DiagSocket> ended_;
  std::vector<pid_t> recentPids_;
  std::vector<pid_t> knownPids_;  // every process at the last walk of them all
  std::unordered_set<std::string> localAddresses_;  // 16 bytes each
  int64_t addressesRead_ = 0;
  int64_t lastTraffic_ = 0;
  int64_t lastChange_ = 0;  // when a socket last came or went
  int64_t fullScanAllowedAt_ = INT64_MIN;
  TableCounts inUse_{};  // the tables' counts when they were last dumped
  int64_t lastDump_ = 0;
  int64_t lateness_ = 0, latenessAt_ = 0;  // the notice delay it gives, and since when (monotonic)
  uid_t uid_ = 0;
};

}  // namespace trovix
