// The window's capture, whatever its source: started through one call, stopped, and its
// end said as the source words it. Whether a capture runs is asked here (the buttons, the
// tray animation and "filter the list" all do), never read off the engine's stop flag.
#pragma once

#include <QString>

#include <atomic>
#include <memory>
#include <string>

#include "capture/capture_state.h"
#include "capture/program_sampler.h"
#include "capture/sources/source.h"

namespace trovix {

// A text of single-byte characters (the fields', the bind text's) as Qt shows it.
inline QString Latin1Text(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

class CaptureSession {
 public:
  explicit CaptureSession(CaptureState& state) : state_(state) {}
  ~CaptureSession() { Stop(); }
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // After PrepareCapture: starts `source`, whose rows and end reach `listener`. It runs
  // from then on unless the start failed; the source is kept (for its counts and lines)
  // until the next start.
  // With `programs`, a sampler names the programs of its datagrams while it runs (this
  // machine's capture alone: no other source has its sockets here).
  CaptureStart Start(std::unique_ptr<Source> source, CaptureListener* listener, bool programs = false);
  // Stops what runs and joins its threads; how it ended, for the list's last line (empty
  // when nothing ran).
  EndLine Stop();
  // The source ended by itself (its listener heard CaptureEnded): joined, and its line.
  EndLine Ended();
  bool Running() const noexcept { return running_; }
  // Whether the programs of this capture's datagrams are being (or were) named, and how
  // many of its packets have their owner entries so far.
  bool programsSampled() const noexcept { return sampler_ != nullptr; }
  uint32_t programsMatched() const noexcept { return sampler_ != nullptr ? sampler_->matched() : 0; }
  // After a start that failed with `start`: why, as the list's line says it.
  QString StartFailedText(const CaptureStart& start) const {
    return Text({source_->StartFailedLine(state_, start)});
  }
  // Which start a queued end belongs to (read on the source's thread): a stale one is
  // ignored.
  int generation() const noexcept { return generation_.load(); }

  // An end line as the list shows it.
  static QString Text(const EndLine& end) {
    return QString::fromUtf8(end.text.data(), static_cast<qsizetype>(end.text.size()));
  }

 private:
  EndLine Finish(bool stopped);

  CaptureState& state_;
  std::unique_ptr<Source> source_;
  // Kept after the capture ends: its packets' entries are all written by then.
  std::unique_ptr<ProgramSampler> sampler_;
  bool running_ = false;
  std::atomic<int> generation_{0};
};

}  // namespace trovix
