#include "ui/capture_session.h"

namespace trovix {

CaptureStart CaptureSession::Start(std::unique_ptr<Source> source, CaptureListener* listener, bool programs) {
  Stop();
  sampler_.reset();
  ++generation_;  // before the start: its end may come before Start returns
  source_ = std::move(source);
  // Before the capture: the sockets of its first datagrams are read before they come.
  // A sampler that cannot read the socket tables leaves every entry pending, shown as "?".
  if (programs) {
    sampler_ = std::make_unique<ProgramSampler>(state_.store, TheProgramTable());
    if (sampler_->Start() != 0) sampler_.reset();
  }
  CaptureStart started = source_->Start(state_, listener, nullptr);
  running_ = started.result == CaptureStartResult::kStarted;
  if (!running_ && sampler_ != nullptr) sampler_->Stop();
  return started;
}

EndLine CaptureSession::Finish(bool stopped) {
  if (!running_) return {};
  running_ = false;
  source_->Stop();  // joins the threads, which after an end of its own have already left
  if (sampler_ != nullptr) sampler_->Stop();  // decides every packet the capture published
  return source_->End(stopped);
}

EndLine CaptureSession::Stop() { return Finish(true); }

EndLine CaptureSession::Ended() { return Finish(false); }

}  // namespace trovix
