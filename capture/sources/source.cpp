#include "capture/sources/source.h"

#include <cerrno>

#include "capture/packet_line.h"
#include "capture/privilege.h"
#include "capture/program_table.h"
#include "capture/sources/link_layer.h"

namespace trovix {

AcceptResult DatagramConsumer::Take(const uint8_t* datagram, size_t length, int64_t receiveTime,
                                    uint8_t source, uint32_t owner) noexcept {
  if (sink_ == nullptr) {
    AcceptResult result = AcceptDatagram(state_, datagram, length, receiveTime, source);
    bool stored = result == AcceptResult::kStored || result == AcceptResult::kStoredLast;
    // This thread alone appends, so the packet just published is the last one.
    if (stored && owner != kOwnerPending) SetPacketOwner(state_.store, PublishedPacketCount(state_.store) - 1, owner);
    return result;
  }
  DatagramFields fields;
  if (!ScreenDatagram(state_, datagram, length, fields)) return AcceptResult::kDropped;
  sink_->FromSource(source);
  sink_->SetOwner(owner);
  return sink_->Take(datagram, length, fields, receiveTime) ? AcceptResult::kStored : AcceptResult::kStoredLast;
}

AcceptResult DatagramConsumer::TakeFrame(int linkType, const uint8_t* frame, size_t size, int64_t receiveTime,
                                         uint8_t source, uint32_t owner) noexcept {
  const uint8_t* datagram;
  size_t length;
  if (!IpInFrame(linkType, frame, size, datagram, length)) return AcceptResult::kDropped;
  return Take(datagram, length, receiveTime, source, owner);
}

void DatagramConsumer::BatchDone() noexcept {
  if (sink_ != nullptr) return sink_->BatchDone();
  uint32_t count = PublishedPacketCount(state_.store);
  if (count == published_ || listener_ == nullptr) return;
  published_ = count;
  listener_->PacketsPublished(count);
}

CaptureStart StartFailed(int error) noexcept {
  CaptureStartResult result = error == EPERM || error == EACCES ? CaptureStartResult::kPermissionDenied
                              : error == ENODEV                 ? CaptureStartResult::kNoSuchInterface
                                                                : CaptureStartResult::kSystemError;
  return {result, error};
}

std::string StoreFullText(const CaptureState& state) {
  bool memoryShort = state.store.memoryShort.load(std::memory_order_relaxed);
  return std::string(memoryShort ? "memory ran short" : "store full") + ": " +
         std::to_string(PublishedPacketCount(state.store)) + " datagrams and " +
         std::to_string(state.store.storedBytes.load(std::memory_order_relaxed)) + " bytes kept";
}

std::string DroppedByKernelText(const CaptureState& state) {
  uint64_t dropped = state.run.kernelDropped.load(std::memory_order_relaxed);
  return dropped == 0 ? std::string() : std::to_string(dropped) + " datagrams dropped by kernel";
}

void BeginRun(CaptureState& state) noexcept {
  if (state.run.thread.joinable()) state.run.thread.join();
  state.run.wake = WakeEvent();
  state.run.ClearOutcome();
}

void StopCaptureThread(CaptureState& state) {
  state.stopFlag.store(1, std::memory_order_release);
  // A failed wake-up is not waited out here: the thread sees the flag within a second.
  (void)state.run.wake.Signal();
  if (state.run.thread.joinable()) state.run.thread.join();
  state.run.wake = WakeEvent();
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string utf8;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xc0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3f));
    }
  }
  return utf8;
}

std::string TrimmedSystemErrorText() {
  std::string_view text = SystemErrorText();
  constexpr std::string_view kBlanks = " \t\n\v\f\r";
  size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(kBlanks) + 1 - begin));
}

}  // namespace trovix
