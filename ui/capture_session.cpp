#include "ui/capture_session.h"

namespace trovix {

CaptureStart CaptureSession::Start(std::unique_ptr<Source> source, CaptureListener* listener) {
  Stop();
  ++generation_;  // before the start: its end may come before Start returns
  source_ = std::move(source);
  CaptureStart started = source_->Start(state_, listener, nullptr);
  running_ = started.result == CaptureStartResult::kStarted;
  return started;
}

EndLine CaptureSession::Finish(bool stopped) {
  if (!running_) return {};
  running_ = false;
  source_->Stop();  // joins the threads, which after an end of its own have already left
  return source_->End(stopped);
}

EndLine CaptureSession::Stop() { return Finish(true); }

EndLine CaptureSession::Ended() { return Finish(false); }

}  // namespace trovix
