// The capture thread: talks to the capture helper of one capture, which owns the capture
// socket, and takes the datagrams it keeps: filters, stores (or hands them to a sink).
#pragma once

#include <cstdint>
#include <string_view>

#include "capture/capture_state.h"

namespace trovix {

// How the engine reaches the packet list. Both calls come on the capture thread and must
// return at once: the capture never waits for the user interface.
class CaptureListener {
 public:
  virtual ~CaptureListener() = default;
  // Packets below `count` are published (a batch: not necessarily once per packet).
  virtual void PacketsPublished(uint32_t count) noexcept = 0;
  // The capture ended by itself: the store is full or the interface is gone. The stop
  // flag is already 1 and the socket closed.
  virtual void CaptureEnded() noexcept = 0;
  // The kernel dropped more datagrams (run.kernelDropped) while the capture runs.
  virtual void KernelDropped() noexcept {}
};

struct DatagramFields;

// Takes the datagrams that pass the filters in place of the store, for a capture that is
// not bound to the store's size. Calls come on the capture thread.
class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // One kept datagram, padding cut off, in arrival order. False ends the capture.
  virtual bool Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
                    int64_t receiveTime) noexcept = 0;
  // After each batch the ring handed over: the moment to flush what was taken.
  virtual void BatchDone() noexcept = 0;
  // Before a Take, in a capture of several sources: which one the datagram came from.
  virtual void FromSource(int) noexcept {}
  // Once the capture socket captures, before the first Take: the moment to open what the
  // datagrams go to, so that a capture that cannot start leaves it untouched. False
  // refuses the start (kSinkRefused); the sink knows why.
  virtual bool CaptureOpened() noexcept { return true; }
};

// Ends a running capture, clears the stop flag, empties the stores (the larger one with
// keepMore) and applies the options to the capture's settings (ApplyCaptureOptions).
void PrepareCapture(CaptureState& state, const CaptureOptions& options);

// The address the capture binds to (network byte order): the bind text's address when it
// equals one of the known addresses, 0.0.0.0 otherwise.
uint32_t CaptureBindAddress(const CaptureState& state);

// The interface the capture binds to: the one named in the options, if one was; for an
// IPv6 bind text, the one that has that address (0, every interface, for "::"); for a
// known address, the one that has it; for any other IPv4 address, the one that has it now
// (it may have come since the known addresses were read). -1 when no interface has an IPv6
// or known address. Any other text names no address here and gives 0, every interface,
// with `unknownText` set when given; "0.0.0.0" and "::" ask for every interface.
int CaptureInterfaceIndex(const CaptureState& state, bool* unknownText = nullptr);

enum class CaptureStartResult {
  kStarted,
  kPermissionDenied,  // this user may not run the helper, or it holds no CAP_NET_RAW
  kNoSuchInterface,   // no interface owns the bind address
  kSinkRefused,       // the sink could not take the datagrams (DatagramSink::CaptureOpened)
  kSystemError,       // anything else; see the error number
};

struct CaptureStart {
  CaptureStartResult result;
  int error;  // errno of the failing call, 0 when started
};

enum class SocketWait {
  kUntilCapturing,  // return once the helper's socket captures, or with why it cannot
  kNone,            // return once the helper is started; a failure to open arrives as the
                    // capture's end, with run.startFailed set
};

// Starts the capture helper, which opens the capture socket, and the capture thread that
// takes its datagrams. Call after PrepareCapture. With a sink, kept datagrams go to it and
// the store stays empty. `ring` sets the receive ring's size and how long a kept datagram
// waits in a part-filled block; a longer wait means fewer wake-ups under steady traffic.
CaptureStart StartCaptureThread(CaptureState& state, CaptureListener* listener, DatagramSink* sink = nullptr,
                                RingShape ring = {}, SocketWait wait = SocketWait::kUntilCapturing);

// Raises the stop flag, wakes the thread and joins it. Once this returns nothing more is
// stored, listed or logged; the helper closes its socket and ends on its own. With
// run.collectCounts, the thread first asks the helper for its counts (run.datagramsSeen,
// run.kernel), as it does when the capture ended by itself without a failure; with
// run.takeRest too, it first takes every datagram the kernel had put in the ring, which
// may take up to twice the ring's hand-over time. Safe to call when nothing runs.
void StopCaptureThread(CaptureState& state);

}  // namespace trovix
