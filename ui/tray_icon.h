// The notification-area icon: one per main window (id 1234), with a picture, the tip, a
// left-button press and a right-button release. Behind an interface so that tests can
// count what the window does with it and press its buttons.
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

#include <optional>

namespace trovix {

inline constexpr char kTrayTip[] = "Trovix";

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Each fails, changing nothing, when the desktop has no notification area, when adding
  // an icon that is already there, or when changing or removing one that is not.
  virtual bool Add(int picture, const QString& tip) = 0;
  // A new picture, and the tip when given; `clearBalloon` takes away a balloon shown.
  virtual bool Modify(int picture, const std::optional<QString>& tip, bool clearBalloon) = 0;
  virtual bool Remove() = 0;

 signals:
  void leftPressed();
  void rightReleased(QPoint global);
};

// The icon operations the window and the animation use; a null icon is a desktop
// without a notification area. None reports failure: a missing icon stays missing.
bool AddTrayIcon(TrayIcon* icon);
void SetTrayIconAndTip(TrayIcon* icon, int picture);
void SetTrayIcon(TrayIcon* icon, int picture);
void ResetTrayIcon(TrayIcon* icon);
void RemoveTrayIcon(TrayIcon* icon);
// From now on the icon's tip is `tip` (kTrayTip again to go back); the icon shows it at once.
void SetTrayTip(TrayIcon* icon, const QString& tip);

// QSystemTrayIcon; lives as long as `parent`.
TrayIcon* MakeSystemTrayIcon(QObject* parent);

}  // namespace trovix
