// What the main window needs from the system, behind interfaces so tests can hand in fakes.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <utility>

class QWidget;

namespace trovix {

class ConfigFolderSource;
class HostInfoSource;
class PrivilegeCheck;
class SystemVersionSource;
struct PaintingResources;
class TrayIcon;

// Modal message boxes with one OK button, owned by the main window.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void Show(QWidget* owner, const QString& title, const QString& text) = 0;
};

// What the save prompt was answered with.
struct SaveTarget {
  SaveTarget(QString path, bool packetCapture = false, bool pcapng = false)
      : path(std::move(path)), packetCapture(packetCapture), pcapng(pcapng) {}
  QString path;
  bool packetCapture;  // the "Packet capture (*.pcap)" filter was chosen
  bool pcapng;         // the pcapng filter was chosen
};

// The modal prompt for the name of a file to save; nothing when the user cancels. Only
// the packets source can be written as a capture file, so only its prompt offers one.
class SavePrompt {
 public:
  virtual ~SavePrompt() = default;
  // `captureChosen` starts the prompt with the capture file's filter chosen; `what`, when
  // given, says what is saved after the title.
  virtual std::optional<SaveTarget> Ask(QWidget* owner, const QString& firstFolder, bool offerPacketCapture,
                                        bool captureChosen = false, const QString& what = {}) = 0;
};

// The modal prompt for a capture file to open; nothing when the user cancels. "-" typed
// as the name comes back as a path whose last part is "-".
class OpenPrompt {
 public:
  virtual ~OpenPrompt() = default;
  virtual std::optional<QString> Ask(QWidget* owner, const QString& firstFolder) = 0;
};

enum class DiscardAnswer { kSave, kDiscard, kCancel };

// The modal question before packets that were not saved are dropped: save them as a
// capture file, drop them, or do nothing.
class DiscardQuestion {
 public:
  virtual ~DiscardQuestion() = default;
  virtual DiscardAnswer Ask(QWidget* owner, uint32_t packets) = 0;
};

// The modal about box, owned by the main window; returns when it is closed.
class AboutBoxes {
 public:
  virtual ~AboutBoxes() = default;
  // `look` is null when the painting resources could not be made.
  virtual void Run(QWidget* owner, const PaintingResources* look) = 0;
};

struct Services {
  HostInfoSource* hostInfo;
  PrivilegeCheck* privilege;
  SystemVersionSource* systemVersion;
  MessageBoxes* messages;
  // Without these the settings are neither read nor written, and nothing can be saved.
  ConfigFolderSource* configFolder = nullptr;
  SavePrompt* savePrompt = nullptr;
  // Without it the about box is asked for but not shown.
  AboutBoxes* aboutBoxes = nullptr;
  // Makes the look's brushes in place of the real maker, so a test can make it fail.
  bool (*createPaintingResources)(PaintingResources&) = nullptr;
  // Without it the desktop has no notification area.
  TrayIcon* trayIcon = nullptr;
  // Without it "open capture file..." asks nothing and opens nothing.
  OpenPrompt* openPrompt = nullptr;
  // Without it packets are dropped without a question, as they always were.
  DiscardQuestion* discardQuestion = nullptr;
};

// The real system: this host's interfaces, capabilities and version, real message boxes.
Services SystemServices();
// Starts reading the host's network lines for SystemServices' first queries; called before
// Qt starts, so that they are ready when the window asks.
void PrefetchHostInfo();

}  // namespace trovix
