// What the main window needs from the system, behind interfaces so tests can hand in fakes.
#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace trovix {

class ConfigFolderSource;
class HostInfoSource;
class PrivilegeCheck;
class SystemVersionSource;
class TrayIcon;

// Modal message boxes with one OK button, owned by the main window.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void Show(QWidget* owner, const QString& title, const QString& text) = 0;
};

// The modal prompt for the name of a file to save; nothing when the user cancels.
class SavePrompt {
 public:
  virtual ~SavePrompt() = default;
  virtual std::optional<QString> Ask(QWidget* owner, const QString& firstFolder) = 0;
};

struct Services {
  HostInfoSource* hostInfo;
  PrivilegeCheck* privilege;
  SystemVersionSource* systemVersion;
  MessageBoxes* messages;
  // Without these the settings are neither read nor written, and nothing can be saved.
  ConfigFolderSource* configFolder = nullptr;
  SavePrompt* savePrompt = nullptr;
  // Without it the desktop has no notification area.
  TrayIcon* trayIcon = nullptr;
};

// The real system: this host's interfaces, capabilities and version, real message boxes.
Services SystemServices();

}  // namespace trovix
