#include <QApplication>
#include <QMessageBox>

#include <future>
#include <optional>
#include <utility>

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

// The host's lines are read on another thread from the start of the process, while Qt
// connects to the display; the first query of each kind takes that answer, later ones
// read anew.
class PrefetchedHostInfo : public HostInfoSource {
 public:
  void Start() {
    if (!answers_.valid()) answers_ = std::async(std::launch::async, [this] { return Answers{real_.QueryNetworkParams(), real_.QueryAdapters()}; });
  }
  NetworkParams QueryNetworkParams() override {
    Take();
    if (params_) return *std::exchange(params_, std::nullopt);
    return real_.QueryNetworkParams();
  }
  AdapterList QueryAdapters() override {
    Take();
    if (adapters_) return *std::exchange(adapters_, std::nullopt);
    return real_.QueryAdapters();
  }

 private:
  struct Answers {
    NetworkParams params;
    AdapterList adapters;
  };
  void Take() {
    if (!answers_.valid()) return;
    Answers a = answers_.get();
    params_ = std::move(a.params);
    adapters_ = std::move(a.adapters);
  }
  LinuxHostInfo real_;
  std::future<Answers> answers_;
  std::optional<NetworkParams> params_;
  std::optional<AdapterList> adapters_;
};

PrefetchedHostInfo& TheHostInfo() {
  static PrefetchedHostInfo hostInfo;
  return hostInfo;
}

}  // namespace

void PrefetchHostInfo() { TheHostInfo().Start(); }

Services SystemServices() {
  HostInfoSource& hostInfo = TheHostInfo();
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
