#include "ui/tray_animation.h"

#include "resources/icons.h"

namespace trovix {

TrayAnimation* TrayAnimation::Start(QObject* owner, const CaptureSession& session,
                                     const WindowOptions& options, TrayIcon* icon) {
  auto* worker = new TrayAnimation(owner, session, options, icon);
  if (worker->EndIfDone()) return nullptr;
  worker->timer_.start();
  return worker;
}

TrayAnimation::TrayAnimation(QObject* owner, const CaptureSession& session,
                             const WindowOptions& options, TrayIcon* icon)
    : QObject(owner), session_(session), options_(options), icon_(icon) {
  timer_.setInterval(kTrayFrameMs);
  timer_.setTimerType(Qt::PreciseTimer);
  // Started again after each frame: a frame that came late must not bring the next one
  // early, as a repeating timer would to keep its schedule.
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &TrayAnimation::NextFrame);
}

bool TrayAnimation::EndIfDone() {
  if (session_.Running() && options_.EnableTrayIconAnime == 1) return false;
  timer_.stop();
  ResetTrayIcon(icon_);
  deleteLater();
  return true;
}

void TrayAnimation::NextFrame() {
  int picture = kIconTrayRest + frame_;
  // The cycle's first frame brings the tip back as well.
  if (frame_ == 0) {
    SetTrayIconAndTip(icon_, picture);
  } else {
    SetTrayIcon(icon_, picture);
  }
  frame_ = (frame_ + 1) % 4;
  if (frame_ == 0 && EndIfDone()) return;
  timer_.start();
}

}  // namespace trovix
