// The save and open prompts on a file dialog.
#pragma once

#include "ui/services.h"

class QFileDialog;

namespace trovix {

inline constexpr const char* kPacketCaptureFilter = "Packet capture (*.pcap)";
inline constexpr const char* kPcapngFilter = "Packet capture, pcapng (*.pcapng)";

// Title, filters, first folder, overwrite question and default extension of the prompt;
// the extension follows the chosen filter.
void ConfigureSavePrompt(QFileDialog& dialog, const QString& firstFolder, bool offerPacketCapture,
                         bool captureChosen = false, const QString& what = {});

// The name and filter the user accepted.
SaveTarget ChosenTarget(const QFileDialog& dialog);

class FileDialogSavePrompt : public SavePrompt {
 public:
  std::optional<SaveTarget> Ask(QWidget* owner, const QString& firstFolder, bool offerPacketCapture,
                                bool captureChosen = false, const QString& what = {}) override;
};

class MessageBoxDiscardQuestion : public DiscardQuestion {
 public:
  DiscardAnswer Ask(QWidget* owner, uint32_t packets) override;
};

class FileDialogOpenPrompt : public OpenPrompt {
 public:
  std::optional<QString> Ask(QWidget* owner, const QString& firstFolder) override;
};

}  // namespace trovix
