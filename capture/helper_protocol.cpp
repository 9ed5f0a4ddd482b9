#include "capture/helper_protocol.h"

#include <cstring>
#include <initializer_list>

namespace trovix {
namespace {

bool TextIsClean(const char (&text)[kRequestTextSize]) {
  size_t n = 0;
  while (n < kRequestTextSize && text[n] != '\0') {
    if (text[n] < 0x20 || text[n] > 0x7e) return false;
    ++n;
  }
  if (n == kRequestTextSize) return false;  // no terminating NUL
  for (; n < kRequestTextSize; ++n) {
    if (text[n] != '\0') return false;
  }
  return true;
}

bool IsSwitch(uint8_t value) { return value <= 1; }

}  // namespace

bool ParseHelperRequest(const uint8_t* message, size_t size, HelperRequest& request) noexcept {
  if (message == nullptr || size < sizeof(HelperRequest)) return false;
  size_t tail = size - sizeof(HelperRequest);
  if (tail % sizeof(sock_filter) != 0 || tail / sizeof(sock_filter) > kMaxExpressionInstructions) return false;
  HelperRequest r;
  std::memcpy(&r, message, sizeof r);
  if (std::memcmp(r.magic, kRequestMagic, sizeof r.magic) != 0) return false;
  if (r.ifindex < 0) return false;
  bool powerOfTwo = r.blockSize != 0 && (r.blockSize & (r.blockSize - 1)) == 0;
  if (!powerOfTwo || r.blockSize < kMinRingBlock || r.blockSize > kMaxRingBlock) return false;
  if (r.blockCount < 2 || static_cast<uint64_t>(r.blockSize) * r.blockCount > kMaxRingBytes) return false;
  if (r.handOverMs < 1 || r.handOverMs > kMaxHandOverMs) return false;
  for (uint8_t s : {r.twoWayTraffic, r.tcp, r.udp, r.icmp, r.igmp, r.raw, r.ipv4, r.ipv6}) {
    if (!IsSwitch(s)) return false;
  }
  if (!TextIsClean(r.fromText) || !TextIsClean(r.toText)) return false;
  sock_filter expression[kMaxExpressionInstructions];
  std::memcpy(expression, message + sizeof r, tail);
  if (!ExpressionReadsOnlyTheDatagram(expression, tail / sizeof(sock_filter))) return false;
  request = r;
  return true;
}

int WalkBatch(const uint8_t* message, size_t size, BatchHandler handler, void* context) noexcept {
  if (size < kBatchHead) return -1;
  size_t at = kBatchHead;
  while (at < size) {
    if (size - at < sizeof(BatchRecord)) return -1;
    BatchRecord record;
    std::memcpy(&record, message + at, sizeof record);
    if (record.length > kMaxRecordLength || PaddedRecordSize(record.length) > size - at) return -1;
    if (!handler(context, message + at + sizeof record, record.length, record.receiveTime)) return 0;
    at += PaddedRecordSize(record.length);
  }
  return 1;
}

int LargeDatagram::Take(const uint8_t* message, size_t size) noexcept {
  if (size < kBatchHead) return -1;
  size_t at = kBatchHead;
  if (message[0] == static_cast<uint8_t>(HelperMessage::kLarge)) {
    BatchRecord record;
    if (pending() || size - at < sizeof record) return -1;
    std::memcpy(&record, message + at, sizeof record);
    if (record.length > kMaxRecordLength) return -1;
    at += sizeof record;
    want_ = record.length;
    have_ = 0;
    receiveTime_ = record.receiveTime;
  } else if (!pending()) {
    return -1;
  }
  size_t piece = size - at;
  if (piece > want_ - have_) return -1;
  std::memcpy(buffer_ + have_, message + at, piece);
  have_ += piece;
  return pending() ? 0 : 1;
}

}  // namespace trovix
