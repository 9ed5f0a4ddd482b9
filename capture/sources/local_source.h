// The local source: a capture thread that talks to the capture helper of one capture,
// which owns the capture socket, and takes the datagrams it keeps: filters, stores (or
// hands them to a sink).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "capture/capture_state.h"
#include "capture/sources/source.h"

namespace trovix {

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

// StopCaptureThread (source.h) ends it: the helper closes its socket and ends on its own.
// With run.collectCounts, the thread first asks the helper for its counts
// (run.datagramsSeen, run.kernel), as it does when the capture ended by itself without a
// failure; with run.takeRest too, it first takes every datagram the kernel had put in the
// ring, which may take up to twice the ring's hand-over time.

// The capture of this machine's interfaces as a Source: StartCaptureThread with its ring
// shape and wait, StopCaptureThread, and its end said with the bind text.
class LocalSource : public Source {
 public:
  explicit LocalSource(RingShape ring = {}, SocketWait wait = SocketWait::kUntilCapturing) : ring_(ring), wait_(wait) {}
  CaptureStart Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) override;
  void Stop() override;
  // A failure (the socket's, or why it could not be opened) or a full store, and the
  // kernel's drops when there were any (also after a stop).
  EndLine End(bool stopped) const override;
  // " cannot capture on BIND: WHY", at once or once the helper said so (then as the end).
  std::string StartFailedLine(const CaptureState& state, const CaptureStart& start) const override;
  uint64_t datagrams() const noexcept override;

 private:
  RingShape ring_;
  SocketWait wait_;
  CaptureState* state_ = nullptr;
};

}  // namespace trovix
