// The one process-wide record of capture data: the settings (capture_settings.h), the run
// state and the fixed-size stores. Nothing here is allocated per packet.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "capture/area_poison.h"
#include "capture/capture_settings.h"
#include "capture/platform/memory_headroom.h"
#include "capture/platform/packet_socket.h"
#include "capture/platform/wake_event.h"

namespace trovix {

inline constexpr int32_t kByteAreaSize = 800 * 1024;
inline constexpr int32_t kTableEntries = 16384;
inline constexpr int32_t kSniffLogSize = 4096000;
inline constexpr uint32_t kMaxPackets = 10000;

static_assert(kByteAreaSize == 819200);
static_assert(kTableEntries == 16384 && kMaxPackets <= kTableEntries);
static_assert(kSniffLogSize == 4096000);
static_assert(kMaxPackets == 10000);

// The larger store that "keep more" asks for: it reserves address space for all of this
// and commits it as it fills (see packet_store.cpp), so that it costs memory only as used.
inline constexpr uint32_t kMaxPacketsMore = 1000000;
inline constexpr int32_t kByteAreaSizeMore = 1 << 30;
// Room for kMaxPacketsMore of the longest lines (two full IPv6 addresses), each with CR LF.
inline constexpr int32_t kSniffLogSizeMore = 128 << 20;

// Marks the whole byte area unaddressable when its store is made (in AddressSanitizer
// builds; see area_poison.h), and lifts the mark when the store goes, since the memory may
// then be reused by something that knows nothing of it.
class AreaPoisoning {
 public:
  explicit AreaPoisoning(const uint8_t* area) noexcept : area_(area) { PoisonBytes(area_, kByteAreaSize); }
  ~AreaPoisoning() { UnpoisonBytes(area_, kByteAreaSize); }
  AreaPoisoning(const AreaPoisoning&) = delete;
  AreaPoisoning& operator=(const AreaPoisoning&) = delete;

 private:
  const uint8_t* area_;
};

// One per-packet column: entry k belongs to packet k. `seed` is the fixed store's area,
// `at` the current capture's (the seed, or the larger store's); the column reads as `at`.
template <typename T>
struct PacketColumn {
  T seed[kTableEntries];
  T* at = seed;
  operator T*() const noexcept { return at; }
};

// The per-packet columns, one entry each in ForEach: what empties, reserves, commits or
// copies the columns walks that list, so a new column is a member and its entry there.
struct PacketColumns {
  // Entry k: the bytes stored for packet k; its offset in the byte area; its protocol.
  PacketColumn<int32_t> lengths;
  PacketColumn<int32_t> offsets;
  PacketColumn<uint8_t> protocols;
  // The kernel's receive time of each packet, nanoseconds since 1970 (0 when unknown).
  PacketColumn<int64_t> receiveTimes;
  // Which of the capture's sources each packet came from (0 for a capture of one source).
  PacketColumn<uint8_t> sources;
  // The programs that sent and received each packet (an owner id of program_table.h),
  // written by the program sampler after the packet is published, never by the capture.
  PacketColumn<uint32_t> owners;

  // Calls visit(&PacketColumns::column) for every column.
  template <typename Visit>
  static constexpr void ForEach(Visit&& visit) {
    visit(&PacketColumns::lengths);
    visit(&PacketColumns::offsets);
    visit(&PacketColumns::protocols);
    visit(&PacketColumns::receiveTimes);
    visit(&PacketColumns::sources);
    visit(&PacketColumns::owners);
  }
};

// The size of one entry of a column.
template <typename T>
constexpr size_t EntrySize(PacketColumn<T> PacketColumns::*) noexcept {
  return sizeof(T);
}

// Accepted datagrams back to back, exactly as received. The capture thread is the only
// writer during a capture; a reader acquires packetCount and may then use packets
// 0 .. packetCount-1, whose bytes, table entries and log lines are all in place.
// Only the stored part of the byte area may be touched: in AddressSanitizer builds the
// rest is unaddressable, so reading past a datagram's end is reported.
//
// The fixed areas (the columns' seeds and seedBytes) are the store of every capture that
// does not ask for more; the pointers name the areas of the current capture: these, or the
// larger store's (set by UseLargerStore, packet_store.h, only while no capture runs).
struct PacketStore : PacketColumns {
  uint8_t seedBytes[kByteAreaSize];
  uint8_t* bytes = seedBytes;
  // What the current areas may hold, and how much of them is usable memory so far (the
  // larger store commits more as it fills; the fixed areas are whole from the start).
  uint32_t packetCapacity = kMaxPackets;
  int32_t byteCapacity = kByteAreaSize;
  uint32_t committedPackets = kMaxPackets;
  int32_t committedBytes = kByteAreaSize;
  std::atomic<int32_t> storedBytes;
  std::atomic<uint32_t> packetCount;
  AreaPoisoning poisoning{seedBytes};
  // How much more memory the process may have, asked before the larger store commits a
  // step (tests hand in their own figure).
  uint64_t (*availableMemory)() noexcept = AvailableMemory;
  // The larger store took no more because memory ran short (a step was refused, or would
  // have left too little): the capture ended as a full store ends, for this reason.
  std::atomic<bool> memoryShort{false};

  bool larger() const noexcept { return bytes != seedBytes; }
};

// Every packet line of the current capture, each followed by CR LF, NUL-terminated. As
// with the store, `text` names the fixed area or the larger store's.
struct SniffLog {
  char seedText[kSniffLogSize];
  char* text = seedText;
  int32_t capacity = kSniffLogSize;
  int32_t committed = kSniffLogSize;
  std::atomic<int32_t> length;
};

// The wake-up event and thread of the running capture; the thread owns its end of the
// connection to the capture helper.
struct CaptureRun {
  WakeEvent wake;
  std::thread thread;
  // Whether a stop waits (briefly) for the helper's counts. The window never waits: it
  // shows the drops the helper reported while the capture ran (kernelDropped).
  bool collectCounts = true;
  // Whether a stop first takes what the kernel had received: the helper hands over the
  // rest of its ring (see kStopAfterRestMessage) and it is stored or given to the sink.
  // Only trovix-cli, which must lose nothing on Ctrl-C, waits for that; the window's stop
  // takes nothing more.
  bool takeRest = false;
  // Written by the thread as it ends, to be read once it is joined: every datagram the
  // ring handed over, and the kernel's own counts.
  uint64_t datagramsSeen = 0;
  RingStatistics kernel;
  // The datagrams the kernel dropped so far, as the helper last reported them (it does
  // after each hand-over in which the count grew); any thread may read it at any time.
  std::atomic<uint64_t> kernelDropped{0};
  // Why a capture that ended by itself ended: 0 for a full store (or a sink that took no
  // more), otherwise an errno value: the socket's failure, or why it could not be opened.
  int endError = 0;
  // CPU time the capture thread spent, for benchmarks.
  uint64_t threadCpuNs = 0;
  // The helper could not open the socket (a start that did not wait for it).
  bool startFailed = false;
  // Set by the start: the bind text named no address of this machine, so the capture runs
  // on every interface without having been asked to.
  bool bindTextUnknown = false;
  // Set once the helper's socket captures: what is sent from then on is seen.
  std::atomic<bool> capturing{false};

  // Before a start: nothing counted, nothing failed, nothing captures yet.
  void ClearOutcome() noexcept {
    datagramsSeen = 0;
    kernel = {};
    kernelDropped.store(0, std::memory_order_relaxed);
    endError = 0;
    startFailed = false;
    bindTextUnknown = false;
    capturing.store(false, std::memory_order_relaxed);
  }
};

// The capture's settings (CaptureSettings: options and parsed filters), the run and
// the stores; the window keeps its own options (settings/window_options.h).
struct CaptureState : CaptureSettings {

  // Shared between the user-interface and capture threads.
  std::atomic<int32_t> stopFlag{0};
  std::atomic<int32_t> selectedPacketIndex{0};

  CaptureRun run;
  // No initialiser: the record is made in zero-filled memory (TheCaptureState, or a
  // value-initialised CaptureState()), and clearing 5 MB again would touch every page.
  PacketStore store;
  SniffLog sniffLog;
};

// The process-wide record, zero at first use and never freed.
CaptureState& TheCaptureState();

// Empties the stores for a new capture. Everything past the used parts is already zero,
// so only the used parts are cleared. Must not run while a capture thread runs.
void ResetStores(CaptureState& state);

}  // namespace trovix
