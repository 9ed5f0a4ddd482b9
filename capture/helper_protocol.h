// What the capture helper and the programs that start it say to each other over one
// SOCK_SEQPACKET socket pair: one request with the capture's options, then the helper's
// reports and batches of kept datagrams, and at most one stop from the client.
#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/filter.h>

#include "capture/kernel_filter.h"
#include "capture/packet_line.h"

namespace trovix {

// The descriptor number the helper finds its end of the pair at.
inline constexpr int kHelperSocketFd = 3;

// A filter text as the request carries it, NUL included.
inline constexpr size_t kRequestTextSize = 64;

inline constexpr char kRequestMagic[8] = {'t', 'r', 'o', 'v', 'i', 'x', '2', '\0'};

// The only message a client sends first. Every field is checked by ParseHelperRequest.
struct HelperRequest {
  char magic[8];
  int32_t ifindex;  // 0 = every interface
  uint32_t blockSize;
  uint32_t blockCount;
  uint32_t handOverMs;
  uint8_t twoWayTraffic, tcp, udp, icmp, igmp, raw;
  uint8_t ipv4, ipv6;
  char fromText[kRequestTextSize];
  char toText[kRequestTextSize];
};
static_assert(sizeof(HelperRequest) == 160);

// The ring shapes a request may ask for: enough for any use (the window asks 4 MiB,
// trovix-cli 2 MiB, the default shape that tests and benchmarks use 16 MiB), small enough
// that no member of the group can make the helper pin much memory (and a user runs at most
// a few helpers at once: helper/user_limit.h).
inline constexpr uint32_t kMinRingBlock = 64u << 10;
inline constexpr uint32_t kMaxRingBlock = 4u << 20;
inline constexpr uint64_t kMaxRingBytes = 16u << 20;
inline constexpr uint32_t kMaxHandOverMs = 10000;

// A filter expression's program may follow the request, as whole sock_filter instructions:
// as many as the kernel takes in one program beside the helper's own.
inline constexpr size_t kMaxExpressionInstructions = BPF_MAXINSNS - kKernelFilterMax;

// True when `size` bytes at `message` are exactly one well-formed request and at most
// kMaxExpressionInstructions whole instructions after it: the magic, an interface index
// >= 0, a ring shape within the bounds above (block size a power of two), switches of 0 or
// 1, texts of printable ASCII ended by a NUL with only NULs after it, and a program that
// reads nothing but the datagram (ExpressionReadsOnlyTheDatagram; the kernel checks the
// rest as it attaches it). `request` is written only then.
bool ParseHelperRequest(const uint8_t* message, size_t size, HelperRequest& request) noexcept;

// Helper -> client, told apart by the first byte.
enum class HelperMessage : uint8_t {
  kOpened = 'O',  // the socket captures; no capability is held any more
  kFailed = 'F',  // the socket could not be opened; error says why
  kBatch = 'B',   // kept datagrams, as BatchRecords
  kLarge = 'L',   // the start of one datagram too large for a batch (see LargeDatagram)
  kLargeMore = 'M',  // the next bytes of that datagram
  kEnded = 'E',   // the capture is over (a stop, or the socket failed: error)
  kCounts = 'C',  // the counts so far, after a hand-over in which the kernel dropped more
};

// Opened, Failed, Ended and Counts.
struct HelperReport {
  uint8_t type;
  uint8_t reserved[3];
  int32_t error;  // errno value, 0 for none
  uint64_t datagramsSeen;  // every datagram the ring handed over
  uint64_t kernelReceived;
  uint64_t kernelDropped;
};
static_assert(sizeof(HelperReport) == 32);

// A batch: an 8-byte head (type, then 7 zero bytes), then records back to back, each an
// 8-byte-aligned BatchRecord followed by its bytes padded to a multiple of 8.
struct BatchRecord {
  uint32_t length;
  uint32_t reserved;
  int64_t receiveTime;
};
static_assert(sizeof(BatchRecord) == 16);

inline constexpr size_t kBatchHead = 8;
// A message stays well under the smallest socket send buffer a user can count on.
inline constexpr size_t kMaxBatchSize = 128u << 10;
inline constexpr size_t kMaxRecordLength = kMaxDatagramLength;

constexpr size_t PaddedRecordSize(size_t length) { return sizeof(BatchRecord) + ((length + 7) & ~size_t{7}); }
// Whether a datagram of `length` bytes goes in a batch, or alone in pieces.
constexpr bool FitsBatch(size_t length) { return kBatchHead + PaddedRecordSize(length) <= kMaxBatchSize; }
static_assert(FitsBatch(65536), "every datagram a 16-bit length field can say goes in a batch");

// Client -> helper after the request: stop now, and report the counts.
inline constexpr uint8_t kStopMessage = 'S';
// Or: stop, but first hand over every datagram the kernel had put in the ring, those of
// the block it was still filling included, then report the counts. The kernel hands a
// part-filled block over only when its timer retires it, so this may take up to twice the
// request's hand-over time.
inline constexpr uint8_t kStopAfterRestMessage = 'R';

// A datagram that does not fit a batch (BIG TCP makes them up to 512 KiB) crosses in pieces,
// back to back: one kLarge message (the head, its BatchRecord, its first bytes), then
// kLargeMore messages (the head, the next bytes), each at most kMaxBatchSize, until the
// record's length is reached. This puts one together again.
class LargeDatagram {
 public:
  // `buffer` holds kMaxRecordLength bytes.
  explicit LargeDatagram(uint8_t* buffer) noexcept : buffer_(buffer) {}
  // Takes one kLarge or kLargeMore message: 1 when the datagram is whole (bytes(),
  // length(), receiveTime()), 0 when more is to come, -1 when the message is not the next
  // piece (a kLargeMore with nothing begun, a kLarge before the last one ended, a record
  // over kMaxRecordLength, bytes beyond the record's length).
  int Take(const uint8_t* message, size_t size) noexcept;
  // Whether a datagram was begun and is not whole yet: any other message is out of place.
  bool pending() const noexcept { return have_ < want_; }
  const uint8_t* bytes() const noexcept { return buffer_; }
  size_t length() const noexcept { return want_; }
  int64_t receiveTime() const noexcept { return receiveTime_; }

 private:
  uint8_t* buffer_;
  size_t want_ = 0;
  size_t have_ = 0;
  int64_t receiveTime_ = 0;
};

using BatchHandler = bool (*)(void* context, const uint8_t* datagram, size_t length, int64_t receiveTime);

// Hands every record of a batch message to `handler`. Returns 1 when all were handed over,
// 0 when the handler asked to stop, -1 when the batch is malformed (a record that does not
// fit the message); records before the malformed one have been handed over.
int WalkBatch(const uint8_t* message, size_t size, BatchHandler handler, void* context) noexcept;

}  // namespace trovix
