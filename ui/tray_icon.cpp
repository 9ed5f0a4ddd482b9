#include "ui/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QSystemTrayIcon>

#include "resources/icons.h"

namespace trovix {
namespace {

// Qt reports the right button of its X11 icon on the press; the menu belongs to the
// release, so the release is watched on the icon's own window.
constexpr char kX11IconWindowClass[] = "QSystemTrayIconSys";

class SystemTrayIcon : public TrayIcon {
 public:
  explicit SystemTrayIcon(QObject* parent) : TrayIcon(parent) {}

  bool Add(int picture, const QString& tip) override {
    if (Shown() || !QSystemTrayIcon::isSystemTrayAvailable()) return false;
    if (icon_ == nullptr) {
      // Made at the first need: Qt's icon asks the session bus for a host when it is made,
      // which a window that starts shown would wait for before it appears.
      icon_ = new QSystemTrayIcon(this);
      connect(icon_, &QSystemTrayIcon::activated, this, &SystemTrayIcon::Activated);
    }
    icon_->setIcon(IconResource(picture));
    icon_->setToolTip(tip);
    icon_->show();
    qApp->installEventFilter(this);
    return true;
  }

  bool Modify(int picture, const std::optional<QString>& tip, bool) override {
    // Qt has no call that takes a balloon away, and this program never shows one.
    if (!Shown()) return false;
    icon_->setIcon(IconResource(picture));
    if (tip) icon_->setToolTip(*tip);
    return true;
  }

  bool Remove() override {
    if (!Shown()) return false;
    qApp->removeEventFilter(this);
    icon_->hide();
    return true;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease && watched->isWidgetType() &&
        qstrcmp(watched->metaObject()->className(), kX11IconWindowClass) == 0) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() == Qt::RightButton) emit rightReleased(mouse->globalPosition().toPoint());
    }
    return false;
  }

 private:
  void Activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) emit leftPressed();
    // A host that asks for the menu without a button held (over D-Bus) gets it at once;
    // with the button still down the release above opens it.
    if (reason == QSystemTrayIcon::Context && !(QGuiApplication::mouseButtons() & Qt::RightButton)) {
      emit rightReleased(QCursor::pos());
    }
  }

  bool Shown() const { return icon_ != nullptr && icon_->isVisible(); }

  QSystemTrayIcon* icon_ = nullptr;  // a child of this
};

// The tip the icon shows: the program's name, or what it has to say of the last capture.
QString& CurrentTip() {
  static QString tip = QString::fromLatin1(kTrayTip);
  return tip;
}

}  // namespace

bool AddTrayIcon(TrayIcon* icon) {
  return icon != nullptr && icon->Add(kIconTrayRest, CurrentTip());
}

void SetTrayIconAndTip(TrayIcon* icon, int picture) {
  if (icon != nullptr) icon->Modify(picture, CurrentTip(), false);
}

void SetTrayTip(TrayIcon* icon, const QString& tip) {
  if (tip == CurrentTip()) return;
  CurrentTip() = tip;
  if (icon != nullptr) icon->Modify(kIconTrayRest, tip, false);
}

void SetTrayIcon(TrayIcon* icon, int picture) {
  if (icon != nullptr) icon->Modify(picture, std::nullopt, false);
}

void ResetTrayIcon(TrayIcon* icon) {
  if (icon != nullptr) icon->Modify(kIconTrayRest, CurrentTip(), true);
}

void RemoveTrayIcon(TrayIcon* icon) {
  if (icon != nullptr) icon->Remove();
}

TrayIcon* MakeSystemTrayIcon(QObject* parent) { return new SystemTrayIcon(parent); }

}  // namespace trovix
