// The notification-area icon's animation while a capture runs: frames 113, 114, 115 and
// 116, one every 350 ms. The end (capture stopped, option off) is noticed only between
// cycles, when the icon goes back to 113 and the worker ends itself; so a worker started
// while another still runs overlaps it for up to one cycle.
//
// Driven by a timer on the user-interface thread: the icon is a Qt object, and the option
// and the session it reads are the window's.
#pragma once

#include <QObject>
#include <QTimer>

#include "capture/capture_state.h"
#include "ui/capture_session.h"
#include "settings/window_options.h"
#include "ui/tray_icon.h"

namespace trovix {

inline constexpr int kTrayFrameMs = 350;

class TrayAnimation : public QObject {
  Q_OBJECT

 public:
  // Starts a worker that `owner` deletes at the latest; it deletes itself when it ends.
  // It runs while `session` runs a capture and the option asks for it.
  static TrayAnimation* Start(QObject* owner, const CaptureSession& session,
                              const WindowOptions& options, TrayIcon* icon);

 private:
  TrayAnimation(QObject* owner, const CaptureSession& session,
                const WindowOptions& options, TrayIcon* icon);
  // True when the worker ended.
  bool EndIfDone();
  void NextFrame();

  const CaptureSession& session_;
  const WindowOptions& options_;
  TrayIcon* icon_;
  QTimer timer_;
  int frame_ = 0;  // the next frame, 0 to 3
};

}  // namespace trovix
