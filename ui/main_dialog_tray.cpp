// The main window's side of its notification-area icon: the minimise rule, the icon's
// buttons, "f&lip to tray" and "&tray icon anime".
#include <QEvent>
#include <QMenu>
#include <QTimer>

#include "resources/icons.h"
#include "ui/context_menu.h"
#include "ui/main_dialog.h"
#include "ui/tray_animation.h"
#include "ui/tray_icon.h"

namespace trovix {

void MainDialog::ConnectTrayIcon() {
  if (services_.trayIcon == nullptr) return;
  connect(services_.trayIcon, &TrayIcon::leftPressed, this, &MainDialog::TrayIconLeftPressed);
  connect(services_.trayIcon, &TrayIcon::rightReleased, this, &MainDialog::TrayIconRightReleased);
}

void MainDialog::FlipToTray() {
  trayIconShown_ = AddTrayIcon(services_.trayIcon) || trayIconShown_;
  if (trayIconShown_) {
    HideInTray();
  } else {
    // Without an icon there would be no way back to a hidden window. Placed first: the
    // dialog places itself at its first show, and on X that move un-minimises it.
    if (!testAttribute(Qt::WA_Moved)) adjustPosition(parentWidget());
    showMinimized();
    options_.InTray = 1;
  }
}

// Hidden, never minimised on the way: a window manager keeps a minimised window's iconic
// state for its next map, iconifies it again when it is shown, and the minimise rule then
// hides it once more. A window the manager minimised itself is withdrawn by the hide.
void MainDialog::HideInTray() {
  hide();
  options_.InTray = 1;
}

void MainDialog::ShowFromTray() {
  startedInTray_ = false;
  showNormal();
  raise();
  activateWindow();
  options_.InTray = 0;
}

void MainDialog::RemoveTrayIcon() {
  trovix::RemoveTrayIcon(services_.trayIcon);
  trayIconShown_ = false;
}

void MainDialog::StartTrayAnimation() { TrayAnimation::Start(this, session_, options_, services_.trayIcon); }

void MainDialog::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  if (!isMinimized()) {
    options_.InTray = 0;
  } else if (options_.EnableFlipToTray == 1) {
    FlipToTray();
  }
}

void MainDialog::setVisible(bool visible) {
  if (visible && startedInTray_) {
    startedInTray_ = false;  // the show that runs the dialog; the window stays in the tray
    return;
  }
  QDialog::setVisible(visible);
  // QDialog centres a window that was never moved at each of its shows, and guesses the
  // window manager's frame until a window of the program is shown: a window hidden behind
  // the icon, or by "on top", would come back elsewhere. It is centred once.
  if (visible) setAttribute(Qt::WA_Moved);
}

void MainDialog::TrayIconLeftPressed() {
  if (options_.InTray == 1) {
    ShowFromTray();
  } else {
    HideInTray();
  }
}

void MainDialog::TrayIconRightReleased(QPoint global) {
  // Not inside the icon's own event: "e&xit" and "f&lip to tray" remove the icon, whose
  // window (or D-Bus object) would be deleted while it still handles that event.
  QTimer::singleShot(0, this, [this, global] { ShowPopupMenuAt(global); });
}

void MainDialog::SwitchFlipToTray() {
  if (options_.EnableFlipToTray == 1) {
    options_.EnableFlipToTray = 0;
    ShowFromTray();
    options_.EnableTrayIconAnime = 0;
    RemoveTrayIcon();
  } else {
    options_.EnableFlipToTray = 1;
    // The icon comes while the window stays in front; hiding it first only to show it
    // again would have the window manager unmap, place and map it anew.
    trayIconShown_ = AddTrayIcon(services_.trayIcon) || trayIconShown_;
    ShowFromTray();
  }
}

void MainDialog::SwitchTrayIconAnime() {
  if (options_.EnableTrayIconAnime == 1) {
    options_.EnableTrayIconAnime = 0;  // a running worker ends at its next check
    return;
  }
  options_.EnableTrayIconAnime = 1;
  StartTrayAnimation();
}

}  // namespace trovix
