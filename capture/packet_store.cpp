// Store and log appends. The order of the writes is what makes the store safe to read
// without a lock: everything of packet k is in place before the count becomes k + 1.
#include "capture/packet_store.h"

#include <sys/mman.h>

#include <cstring>
#include <mutex>
#include <new>

#include "capture/byte_reader.h"
#include "capture/ipv6_extensions.h"
#include "capture/packet_line.h"

namespace trovix {
namespace {

static_assert(kMaxPackets * (kPacketLineMax + 2) + 1 <= static_cast<size_t>(kSniffLogSize),
              "a full capture's log must fit the sniff log");
static_assert(kMaxPacketsMore * (kPacketLineMax + 2) + 1 <= static_cast<size_t>(kSniffLogSizeMore),
              "a full larger capture's log must fit its sniff log");

// The larger store commits memory in steps this large (and the tables this many entries at
// a time): a fault or a system call per step, never per datagram.
constexpr int32_t kByteStep = 16 << 20;
constexpr uint32_t kEntryStep = 64 << 10;
constexpr int32_t kLogStep = 4 << 20;

// How many columns there are, and the bytes one packet takes in all of them.
constexpr size_t kColumnCount = [] {
  size_t n = 0;
  PacketColumns::ForEach([&](auto) { ++n; });
  return n;
}();
constexpr size_t kEntryBytes = [] {
  size_t n = 0;
  PacketColumns::ForEach([&](auto column) { n += EntrySize(column); });
  return n;
}();
static_assert(sizeof(PacketColumns) == kTableEntries * kEntryBytes + kColumnCount * sizeof(void*),
              "every member of PacketColumns has its entry in PacketColumns::ForEach");

// Calls visit(column, its entry size, its position in the list) for every column of `store`.
template <typename Store, typename Visit>
void EachColumn(Store& store, Visit&& visit) {
  size_t position = 0;
  PacketColumns::ForEach([&](auto column) { visit(store.*column, EntrySize(column), position++); });
}

// Address space for the larger store, reserved at its first use and never given back: no
// memory until committed (mprotect), and a new capture returns the used pages (madvise).
struct LargerAreas {
  uint8_t* bytes = nullptr;
  void* columns[kColumnCount] = {};
  char* log = nullptr;
};

void* Reserve(size_t size) {
  void* at = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return at == MAP_FAILED ? nullptr : at;
}

// The larger areas, or nullptr when the address space cannot be had.
const LargerAreas* TheLargerAreas() {
  static LargerAreas areas;
  static bool made = [] {
    areas.bytes = static_cast<uint8_t*>(Reserve(kByteAreaSizeMore));
    bool columns = true;
    size_t position = 0;
    PacketColumns::ForEach([&](auto column) {
      areas.columns[position] = Reserve(kMaxPacketsMore * EntrySize(column));
      columns = columns && areas.columns[position++] != nullptr;
    });
    areas.log = static_cast<char*>(Reserve(kSniffLogSizeMore));
    return areas.bytes && columns && areas.log;
  }();
  return made ? &areas : nullptr;
}

// Makes `from` .. `to` bytes of a reserved area usable; false when the system refuses.
bool Commit(void* area, size_t from, size_t to) {
  return to <= from || mprotect(static_cast<char*>(area) + from, to - from, PROT_READ | PROT_WRITE) == 0;
}

// What the window and the desktop need besides the store, kept free: a step is committed
// only while this much would be left after it.
constexpr uint64_t kMemoryMargin = 64 << 20;

// Whether `bytes` more may be committed; when not, the store says memory ran short.
bool MemoryAllows(PacketStore& store, size_t bytes) {
  uint64_t available = store.availableMemory != nullptr ? store.availableMemory() : kMemoryUnlimited;
  if (available >= kMemoryMargin && available - kMemoryMargin >= bytes) return true;
  store.memoryShort.store(true, std::memory_order_relaxed);
  return false;
}

// Commits the next steps of the larger store so that packet `index` of `length` bytes at
// `offset`, and a log line after `logAt`, fit. False when memory is short (the steps
// would leave less than the margin, or the system refused them): the capture then ends
// as a full store ends.
bool CommitFor(PacketStore& store, SniffLog* log, uint32_t index, int32_t offset, size_t length, int32_t logAt) {
  uint32_t entriesTo = store.committedPackets;
  if (index >= store.committedPackets) entriesTo = std::min(store.committedPackets + kEntryStep, store.packetCapacity);
  int32_t bytesTo = store.committedBytes;
  if (length > static_cast<size_t>(store.committedBytes - offset)) {
    int64_t need = offset + static_cast<int64_t>(length);
    bytesTo = static_cast<int32_t>(std::min<int64_t>((need + kByteStep - 1) / kByteStep * kByteStep, store.byteCapacity));
  }
  int32_t logTo = log != nullptr ? log->committed : 0;
  if (log != nullptr && logAt + static_cast<int32_t>(kPacketLineMax) + 3 > log->committed) {
    logTo = std::min(log->committed + kLogStep, log->capacity);
  }
  size_t more = (entriesTo - store.committedPackets) * kEntryBytes + static_cast<size_t>(bytesTo - store.committedBytes) +
                static_cast<size_t>(log != nullptr ? logTo - log->committed : 0);
  if (!MemoryAllows(store, more)) return false;
  bool committed = true;
  if (entriesTo > store.committedPackets) {
    uint32_t from = store.committedPackets, to = entriesTo;
    EachColumn(store, [&](auto& column, size_t entry, size_t) {
      committed = committed && Commit(column.at, from * entry, to * entry);
    });
    if (committed) store.committedPackets = to;
  }
  if (committed && bytesTo > store.committedBytes) {
    committed = Commit(store.bytes, static_cast<size_t>(store.committedBytes), static_cast<size_t>(bytesTo));
    if (committed) {
      PoisonBytes(store.bytes + store.committedBytes, static_cast<size_t>(bytesTo - store.committedBytes));
      store.committedBytes = bytesTo;
    }
  }
  if (committed && log != nullptr && logTo > log->committed) {
    committed = Commit(log->text, static_cast<size_t>(log->committed), static_cast<size_t>(logTo));
    if (committed) log->committed = logTo;
  }
  // The system refused memory (strict overcommit, or too many mappings).
  if (!committed) store.memoryShort.store(true, std::memory_order_relaxed);
  return committed;
}

bool Passes(const CaptureSettings& state, const DatagramFields& f) {
  if (!AddressTestPasses(state, f.src, f.dst)) return false;
  const SwitchRow& row = SwitchRowFor(f.protocol, f.ipv6);
  if (state.SwitchFlag(row.which) != 1) return false;
  if (!row.ports) return true;
  return f.portsValid && PortTestPasses(state, f.sport, f.dport);
}

}  // namespace

CaptureState& TheCaptureState() {
  // Static storage starts zero-filled without its pages being touched, and the record is
  // made in it without clearing the stores again: a start then costs nothing for their
  // 5 MB until they are used. Never destroyed, so an exit never waits on a capture.
  alignas(CaptureState) static unsigned char storage[sizeof(CaptureState)];
  static CaptureState* const state = new (storage) CaptureState;
  return *state;
}

void ResetPacketStore(PacketStore& store) noexcept {
  uint32_t count = store.packetCount.load(std::memory_order_relaxed);
  int32_t used = store.storedBytes.load(std::memory_order_relaxed);
  size_t bytes = static_cast<size_t>(used < 0 ? 0 : used > store.committedBytes ? store.committedBytes : used);
  size_t entries = count < store.committedPackets ? count : store.committedPackets;
  if (store.larger()) {
    // Zero again, and no longer resident: the pages come back empty when next touched.
    madvise(store.bytes, bytes, MADV_DONTNEED);
    EachColumn(store, [&](auto& column, size_t entry, size_t) { madvise(column.at, entries * entry, MADV_DONTNEED); });
  } else {
    std::memset(store.bytes, 0, bytes);
    EachColumn(store, [&](auto& column, size_t entry, size_t) { std::memset(column.at, 0, entries * entry); });
  }
  PoisonBytes(store.bytes, static_cast<size_t>(store.committedBytes));
  store.memoryShort.store(false, std::memory_order_relaxed);
  store.storedBytes.store(0, std::memory_order_relaxed);
  store.packetCount.store(0, std::memory_order_release);
}

void ResetStores(CaptureState& state) {
  ResetPacketStore(state.store);
  SniffLog& log = state.sniffLog;
  size_t used = static_cast<size_t>(log.length.load(std::memory_order_relaxed));
  if (log.text != log.seedText) {
    madvise(log.text, used, MADV_DONTNEED);
  } else {
    std::memset(log.text, 0, used);
  }
  log.length.store(0, std::memory_order_relaxed);
}

bool UseLargerStore(CaptureState& state, bool larger) {
  ResetStores(state);
  const LargerAreas* areas = larger ? TheLargerAreas() : nullptr;
  PacketStore& store = state.store;
  SniffLog& log = state.sniffLog;
  if (areas == nullptr) {
    store.bytes = store.seedBytes;
    EachColumn(store, [](auto& column, size_t, size_t) { column.at = column.seed; });
    store.packetCapacity = store.committedPackets = kMaxPackets;
    store.byteCapacity = store.committedBytes = kByteAreaSize;
    log.text = log.seedText;
    log.capacity = log.committed = kSniffLogSize;
    PoisonBytes(store.bytes, kByteAreaSize);
    return !larger;
  }
  if (store.larger()) return true;  // already; what it committed stays committed
  // Empty whatever another record left in them (tests make several), as the fixed areas
  // of a new record are: the log's end is found by its NUL.
  madvise(areas->bytes, kByteAreaSizeMore, MADV_DONTNEED);
  madvise(areas->log, kSniffLogSizeMore, MADV_DONTNEED);
  store.bytes = areas->bytes;
  EachColumn(store, [&](auto& column, size_t entry, size_t position) {
    madvise(areas->columns[position], kMaxPacketsMore * entry, MADV_DONTNEED);
    column.at = static_cast<decltype(column.at)>(areas->columns[position]);
  });
  store.packetCapacity = kMaxPacketsMore;
  store.byteCapacity = kByteAreaSizeMore;
  log.text = areas->log;
  log.capacity = kSniffLogSizeMore;
  // Committed again as it fills: a step an earlier capture committed costs one more
  // mprotect, which changes nothing.
  store.committedPackets = 0;
  store.committedBytes = 0;
  log.committed = 0;
  return true;
}

bool ScreenDatagram(const CaptureSettings& state, const uint8_t* datagram, size_t& length,
                    DatagramFields& fields) noexcept {
  if (length > kMaxDatagramLength) length = kMaxDatagramLength;
  // An Ethernet frame is at least 60 bytes, so a short datagram arrives with the frame's
  // padding behind it. The total length says where the datagram ends; a smaller value
  // than the IP header, or a larger one than was received (a cut datagram), says nothing
  // usable, and then what was received is kept. IPv6 says it as 40 + its payload length.
  // A payload length of 0 is an empty payload, unless a hop-by-hop header follows (a
  // jumbogram, whose length only its option tells) or more arrived than the field could
  // say (BIG TCP): then the datagram is all that was received, as it is for an IPv4 total
  // length of 0.
  ByteReader r(datagram, length);
  bool ipv6 = IsIpv6Datagram(datagram, length);
  if ((ipv6 ? state.OnIpv6 : state.OnIpv4) != 1) return false;
  if (ipv6) {
    size_t payload = r.Be16(4);
    bool unsaid = payload == 0 && (r.U8(6) == kHopByHop || length > kIpv6HeaderSize + kMaxFieldLength);
    if (!unsaid && kIpv6HeaderSize + payload < length) length = kIpv6HeaderSize + payload;
  } else {
    size_t total = r.Be16(2);
    if (total >= 20 && total < length) length = total;
  }
  return ReadDatagramFields(datagram, length, fields) && Passes(state, fields);
}

AcceptResult AcceptDatagram(CaptureState& state, const uint8_t* datagram, size_t length,
                            int64_t receiveTime, uint8_t source) noexcept {
  DatagramFields fields;
  if (!ScreenDatagram(state, datagram, length, fields)) return AcceptResult::kDropped;
  return AppendPacket(state.store, fields.protocol, datagram, length, &state.sniffLog, &fields, receiveTime, source);
}

AcceptResult AppendPacket(PacketStore& store, uint8_t protocol, const uint8_t* datagram, size_t length,
                          SniffLog* log, const DatagramFields* fields, int64_t receiveTime,
                          uint8_t source) noexcept {
  uint32_t index = store.packetCount.load(std::memory_order_relaxed);
  int32_t total = store.storedBytes.load(std::memory_order_relaxed);
  if (index >= store.packetCapacity) return AcceptResult::kNoRoom;
  if (length > static_cast<size_t>(store.byteCapacity - total)) return AcceptResult::kNoRoom;
  if (log != nullptr && fields == nullptr) log = nullptr;
  int32_t logAt = log != nullptr ? log->length.load(std::memory_order_relaxed) : 0;
  if ((index >= store.committedPackets || length > static_cast<size_t>(store.committedBytes - total) ||
       (log != nullptr && logAt + static_cast<int32_t>(kPacketLineMax) + 3 > log->committed)) &&
      !CommitFor(store, log, index, total, length, logAt)) {
    return AcceptResult::kNoRoom;
  }

  store.protocols[index] = protocol;
  store.lengths[index] = static_cast<int32_t>(length);
  store.offsets[index] = total;
  store.receiveTimes[index] = receiveTime;
  store.sources[index] = source;
  UnpoisonBytes(store.bytes + total, length);
  if (length > 0) std::memcpy(store.bytes + total, datagram, length);
  store.storedBytes.store(total + static_cast<int32_t>(length), std::memory_order_relaxed);

  if (log != nullptr) {
    size_t n = FormatPacketLine(index, *fields, log->text + logAt);
    log->text[logAt + n] = '\r';
    log->text[logAt + n + 1] = '\n';
    log->length.store(logAt + static_cast<int32_t>(n) + 2, std::memory_order_release);
  }

  store.packetCount.store(index + 1, std::memory_order_release);
  return index + 1 == store.packetCapacity ? AcceptResult::kStoredLast : AcceptResult::kStored;
}

bool LocatePacket(const PacketStore& store, int32_t index, StoredPacket& out) noexcept {
  uint32_t count = PublishedPacketCount(store);
  if (index < 0 || static_cast<uint32_t>(index) >= count) return false;
  // Whatever the tables say, only bytes stored by the time the count was published are
  // handed out.
  int32_t stored = store.storedBytes.load(std::memory_order_relaxed);
  int32_t offset = store.offsets[index], length = store.lengths[index];
  if (offset < 0 || length < 0 || offset > stored || length > stored - offset) return false;
  out = {store.bytes + offset, offset, length, store.protocols[index], store.receiveTimes[index], store.sources[index]};
  return true;
}

}  // namespace trovix
