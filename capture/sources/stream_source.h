// The stream source: a capture file (pcap through libpcap, pcapng through our own block
// reader), a pipe or standard input, read into the store through the accept path on a
// thread of its own as a capture would fill it, or into trovix-cli's output.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/time.h>

#include "capture/capture_state.h"
#include "capture/platform/descriptor.h"
#include "capture/sources/pcapng_reader.h"
#include "capture/sources/source.h"
#include "capture/packet_store.h"

namespace trovix {

// One frame of a capture file of link type `linkType` (`size` bytes captured) through the
// accept path: the IP datagram it carries, if any; kDropped for a frame without one.
AcceptResult AcceptFrame(CaptureState& state, int linkType, const uint8_t* frame, size_t size,
                         int64_t receiveTime, uint8_t source = 0) noexcept;

// A record's time, read with nanosecond precision, in nanoseconds since 1970; clamped.
int64_t RecordTime(const timeval& ts) noexcept;

enum class FileEnd {
  kEndOfFile,  // every record read
  kStoreFull,  // the store took no more: the rest was not read
  kStopped,    // "stop"
  kBadInput,   // not a capture file, a link type without IP, or a record that cannot be read
  kEndedBySource,  // the stream's hooks ended it (its program said something)
};

// What one reading did. `bytesRead` and `records` may be read on any thread while the file
// is read; the rest is written by the reader as it ends, to be read once it is joined.
struct FileReading {
  std::atomic<uint64_t> bytesRead{0};
  std::atomic<uint64_t> records{0};  // records read
  uint64_t size = 0;  // a regular file's size; 0 for a stream
  FileEnd end = FileEnd::kEndOfFile;
  std::string problem;  // for kBadInput: what was wrong and where
  // The names a pcapng stream's name-resolution blocks gave, in their order (at most
  // kMaxNames, each at most kMaxNameLength bytes), for whoever names addresses.
  std::vector<AddressName> names;
  static constexpr size_t kMaxNames = 65536;
  static constexpr size_t kMaxNameLength = 255;

  // Before a reading: nothing read.
  void Reset() noexcept {
    bytesRead.store(0, std::memory_order_relaxed);
    records.store(0, std::memory_order_relaxed);
    size = 0;
    end = FileEnd::kEndOfFile;
    problem.clear();
    names.clear();
  }
};

// How `problem` begins when the stream is not a capture file at all.
constexpr char kNotCaptureFile[] = "not a capture file: ";

// One record of a stream: a frame of its link type (a libpcap DLT_ number).
struct StreamRecord {
  int linkType;
  const uint8_t* frame;
  size_t size;        // captured bytes
  size_t wireLength;  // the frame's length as it was sent, as the record gives it
  int64_t receiveTime;
  // A pcapng packet's comments and epb_flags, valid for the call: its programs, if any.
  std::span<const std::string_view> comments = {};
  uint32_t flags = 0;
};

// The owner entries records' comments give (kOwnerPending for none), interned in the
// process's programs table: only where nothing else adds to it at the same time. The last
// few comment sets are remembered, so that a stream of a few programs allocates nothing
// per record once they are known.
class RecordOwners {
 public:
  uint32_t Of(const StreamRecord& record);

 private:
  static constexpr size_t kRemembered = 16;
  struct Known {
    std::string key;  // the comments, each ended by a NUL, then the flags' direction
    uint32_t owner = 0;
  };
  Known known_[kRemembered];
  size_t next_ = 0;
  std::string key_;
};

// What reading a stream does besides reading records. A file hands every frame to the
// store; an ssh source also watches what its program says, and the sources of one capture
// take turns at the store or at a sink. Calls come on the reading thread.
class StreamHooks {
 public:
  virtual ~StreamHooks() = default;
  // The stream's header was read: it is a capture stream. False ends it (kEndedBySource).
  virtual bool Began() noexcept { return true; }
  // One record read; kStoredLast or kNoRoom ends the stream as a full store.
  virtual AcceptResult Take(const StreamRecord& record) noexcept = 0;
  // The stream paused (or a batch of records was read): the moment to show what came.
  virtual void Pause() noexcept = 0;
  // A descriptor watched beside the stream's (-1 for none), and its turn when it is
  // readable: false ends the stream (kEndedBySource).
  virtual int TextFd() const noexcept { return -1; }
  virtual bool TextReady() noexcept { return true; }
};

// Reads the capture stream on `fd` on the calling thread, until its end, a stop (the stop
// flag, or `wakeFd` readable), a full store, a bad record, or the hooks' end; `fd` is
// closed then. Sets `reading`'s records, end and problem.
void ReadStream(CaptureState& state, Descriptor fd, int wakeFd, FileReading& reading, StreamHooks& hooks);

// What trovix-cli's -r asks of each record before its datagram is taken (an expression).
class RecordFilter {
 public:
  virtual ~RecordFilter() = default;
  // Whether the record passes. A filter that cannot judge a record (an expression that
  // cannot be compiled for its link type) says so in `refused`, which ends the reading.
  virtual bool Passes(const StreamRecord& record) noexcept = 0;
  virtual bool refused() const noexcept = 0;
};

// A capture file, pipe or standard input as a source: read on a thread of its own into the
// store, or into a sink. Rows are published as records arrive; StopCaptureThread (Stop)
// ends it within a moment, also while it waits for a stream's next bytes.
class StreamSource : public Source {
 public:
  // `name` says the stream in its lines (UTF-8). An invalid `fd`, whose open failed with
  // `openError`, makes a source whose start fails with that error.
  StreamSource(Descriptor fd, std::string name, int openError = 0)
      : fd_(std::move(fd)), name_(std::move(name)), openError_(openError) {}
  CaptureStart Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) override;
  void Stop() override;
  EndLine End(bool stopped) const override;
  // " cannot open NAME: WHY".
  std::string StartFailedLine(const CaptureState& state, const CaptureStart& start) const override;
  uint64_t records() const noexcept override { return reading_.records.load(std::memory_order_relaxed); }
  // May be read while the stream is read (bytesRead, records, size).
  const FileReading& reading() const noexcept { return reading_; }

  // Reads the whole stream on `fd` on the calling thread into `sink` (trovix-cli's -r),
  // each record first through `filter` when one is given; the sink opens once the stream
  // is known to be a capture (kEndedBySource when it refuses).
  static void Read(CaptureState& state, Descriptor fd, FileReading& reading, DatagramSink& sink,
                   RecordFilter* filter);

 private:
  Descriptor fd_;
  std::string name_;
  int openError_;
  FileReading reading_;
  CaptureState* state_ = nullptr;
};

// StreamSource's start, for a reading the caller holds: returns 0 or an errno value.
int StartFileReader(CaptureState& state, CaptureListener* listener, int fd, FileReading& reading);

}  // namespace trovix
