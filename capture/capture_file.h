// Reading a capture file (pcap through libpcap, pcapng through our own block reader), or a
// stream of one, into the store through the accept path, on a thread of its own, as a
// capture would fill it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/time.h>

#include "capture/capture_state.h"
#include "capture/capture_thread.h"
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

// Reads the capture stream on `fd` (taken, and closed) on the calling thread, until its
// end, a stop (the stop flag, or `wakeFd` readable), a full store, a bad record, or the
// hooks' end. Sets `reading`'s records, end and problem.
void ReadStream(CaptureState& state, int fd, int wakeFd, FileReading& reading, StreamHooks& hooks);

// After PrepareCapture: starts the thread that reads the capture file open on `fd` (taken,
// and closed by the thread) into the store, with the filters PrepareCapture set. Rows are published as
// records arrive. An end of its own (see FileEnd) comes as the listener's CaptureEnded;
// StopCaptureThread stops it within a moment, also while it waits for a stream's next
// bytes. Returns 0 or an errno value (and then `fd` is closed already).
int StartFileReader(CaptureState& state, CaptureListener* listener, int fd, FileReading& reading);

}  // namespace trovix
