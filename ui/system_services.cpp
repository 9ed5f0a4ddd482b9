#include <QApplication>
#include <QMessageBox>

#include "capture/platform/capability_check.h"
#include "capture/platform/linux_host_info.h"
#include "capture/platform/linux_os_version.h"
#include "settings/config_folder.h"
#include "ui/about_box.h"
#include "ui/save_prompt.h"
#include "ui/services.h"
#include "ui/tray_icon.h"

namespace trovix {
namespace {

class QtMessageBoxes : public MessageBoxes {
 public:
  void Show(QWidget* owner, const QString& title, const QString& text) override {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
    box.exec();
  }
};

class QtAboutBoxes : public AboutBoxes {
 public:
  void Run(QWidget* owner, const PaintingResources* look) override {
    AboutBox box(owner, look);
    box.exec();
  }
};

}  // namespace

Services SystemServices() {
  static LinuxHostInfo hostInfo;
  static HelperPrivilegeCheck privilege;
  static LinuxSystemVersion systemVersion;
  static QtMessageBoxes messages;
  static XdgConfigFolder configFolder;
  static FileDialogSavePrompt savePrompt;
  static QtAboutBoxes aboutBoxes;
  static FileDialogOpenPrompt openPrompt;
  static MessageBoxDiscardQuestion discardQuestion;
  // Owned by the application: a Qt object must not outlive it.
  static TrayIcon* trayIcon = MakeSystemTrayIcon(QCoreApplication::instance());
  return {&hostInfo, &privilege, &systemVersion, &messages, &configFolder, &savePrompt, &aboutBoxes, nullptr, trayIcon, &openPrompt,
          &discardQuestion};
}

}  // namespace trovix
