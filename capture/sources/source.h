// One kind of source: a live capture through the helper (local_source), a capture file,
// pipe or standard input (stream_source), and captures on other machines through ssh
// (remote_source) all start with a listener, stop, say how they ended and what they
// counted; and every datagram any of them keeps reaches the store or trovix-cli's output
// through one consumer, the accept path's way in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/capture_state.h"
#include "capture/packet_store.h"

namespace trovix {

// How the engine reaches the packet list. Calls come on the source's threads and must
// return at once: the capture never waits for the user interface.
class CaptureListener {
 public:
  virtual ~CaptureListener() = default;
  // Packets below `count` are published (a batch: not necessarily once per packet).
  virtual void PacketsPublished(uint32_t count) noexcept = 0;
  // The capture ended by itself: the store is full, the interface is gone, the file
  // ended. The stop flag is already 1 and the socket closed.
  virtual void CaptureEnded() noexcept = 0;
  // The kernel dropped more datagrams (run.kernelDropped) while the capture runs.
  virtual void KernelDropped() noexcept {}
};

struct DatagramFields;

// Takes the datagrams that pass the filters in place of the store, for a capture that is
// not bound to the store's size (trovix-cli's output). Calls come on a source's thread,
// one at a time.
class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // One kept datagram, padding cut off, in arrival order. False ends the capture.
  virtual bool Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
                    int64_t receiveTime) noexcept = 0;
  // After each batch a source handed over: the moment to flush what was taken.
  virtual void BatchDone() noexcept = 0;
  // Before a Take: which of the capture's sources the datagram came from.
  virtual void FromSource(int) noexcept {}
  // Before a Take: the datagram's owner entry where its source names one (the programs a
  // file's packet comments give), else kOwnerPending.
  virtual void SetOwner(uint32_t) noexcept {}
  // Once the source is known to deliver (the socket captures, the stream is a capture),
  // before the first Take: the moment to open what the datagrams go to, so that a capture
  // that cannot start leaves it untouched. False refuses the start (kSinkRefused); the
  // sink knows why.
  virtual bool CaptureOpened() noexcept { return true; }
};

// The one consumer behind every source: a datagram (or a frame of a link type) with its
// time and source index goes through the accept path into the store, or, with a sink,
// through the filters to the sink. Nothing here allocates.
class DatagramConsumer {
 public:
  DatagramConsumer(CaptureState& state, CaptureListener* listener, DatagramSink* sink) noexcept
      : state_(state), listener_(listener), sink_(sink) {}

  // kStored or kDropped, or kStoredLast / kNoRoom once the store (or the sink) takes no
  // more, which ends the capture.
  // An `owner` other than kOwnerPending is the stored packet's owner entry from the start.
  AcceptResult Take(const uint8_t* datagram, size_t length, int64_t receiveTime, uint8_t source = 0,
                    uint32_t owner = 0) noexcept;
  // The IP datagram a frame of `linkType` carries; kDropped for a frame without one.
  AcceptResult TakeFrame(int linkType, const uint8_t* frame, size_t size, int64_t receiveTime,
                         uint8_t source = 0, uint32_t owner = 0) noexcept;
  // The end of a batch: the sink flushes, or the listener hears of the rows published since.
  void BatchDone() noexcept;
  // The source delivers: the sink's turn to open (see DatagramSink::CaptureOpened).
  bool Opened() noexcept { return sink_ == nullptr || sink_->CaptureOpened(); }

 private:
  CaptureState& state_;
  CaptureListener* listener_;
  DatagramSink* sink_;
  uint32_t published_ = 0;
};

enum class CaptureStartResult {
  kStarted,
  kPermissionDenied,  // this user may not run the helper, or it holds no CAP_NET_RAW
  kNoSuchInterface,   // no interface owns the bind address
  kSinkRefused,       // the sink could not take the datagrams (DatagramSink::CaptureOpened)
  kSystemError,       // anything else; see the error number
};

// What every start answers.
struct CaptureStart {
  CaptureStartResult result;
  int error;  // errno of the failing call, 0 when started
};

// The start that failed with errno `error`, sorted into the outcomes the user can act on.
CaptureStart StartFailed(int error) noexcept;

// How a source ended, as the packet list's last line says it (UTF-8, beginning with a
// blank; empty when there is nothing to say), and whether it ended as a full store.
struct EndLine {
  std::string text;
  bool storeFull = false;
};

// "store full: N datagrams and M bytes kept", or "memory ran short: ..." for a larger
// store that memory ran short for.
std::string StoreFullText(const CaptureState& state);
// "N datagrams dropped by kernel" for the current capture; empty when it dropped none.
std::string DroppedByKernelText(const CaptureState& state);

// Before a start: the last run's thread joined and its outcome cleared
// (CaptureRun::ClearOutcome), the one place a capture's run state is reset.
void BeginRun(CaptureState& state) noexcept;

// Raises the stop flag, wakes the running source's thread and joins it. Once this returns
// nothing more is stored, listed or logged. Safe to call when nothing runs. (See also
// StartCaptureThread, for what a stop of the local source collects.)
void StopCaptureThread(CaptureState& state);

// A Latin-1 text (the bind field's, the system's error text) in UTF-8, as end lines are.
std::string Latin1ToUtf8(std::string_view text);
// SystemErrorText without the blanks around it.
std::string TrimmedSystemErrorText();

class Source {
 public:
  virtual ~Source() = default;
  // After PrepareCapture: starts taking datagrams, into the store (rows published to
  // `listener`) or into `sink` when one is given. The run state is cleared first
  // (BeginRun). An end of its own comes as the listener's CaptureEnded.
  virtual CaptureStart Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) = 0;
  // Ends the source and joins its threads: once this returns nothing more is stored,
  // listed or written. Safe to call when nothing runs.
  virtual void Stop() = 0;
  // After Stop: how it ended; `stopped` when a stop ended it rather than the source.
  virtual EndLine End(bool stopped) const = 0;
  // After a start that failed with `start`: why, as the packet list's line says it (UTF-8,
  // beginning with a blank).
  virtual std::string StartFailedLine(const CaptureState& state, const CaptureStart& start) const = 0;
  // Datagrams the source handed over (the helper's ring; 0 where unknown), and records
  // read (a stream's, every ssh source's together).
  virtual uint64_t datagrams() const noexcept { return 0; }
  virtual uint64_t records() const noexcept { return 0; }
};

}  // namespace trovix
