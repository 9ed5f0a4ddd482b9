// What the main window needs from the system, behind interfaces so tests can hand in fakes.
#pragma once

#include <QString>

class QWidget;

namespace trovix {

class HostInfoSource;
class PrivilegeCheck;
class SystemVersionSource;

// Modal message boxes with one OK button, owned by the main window.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void Show(QWidget* owner, const QString& title, const QString& text) = 0;
};

struct Services {
  HostInfoSource* hostInfo;
  PrivilegeCheck* privilege;
  SystemVersionSource* systemVersion;
  MessageBoxes* messages;
};

// The real system: this host's interfaces, capabilities and version, real message boxes.
Services SystemServices();

}  // namespace trovix
