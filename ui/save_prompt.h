// The save prompt on a file dialog.
#pragma once

#include "ui/services.h"

class QFileDialog;

namespace trovix {

// Title, filters, first folder, overwrite question and default extension of the prompt.
void ConfigureSavePrompt(QFileDialog& dialog, const QString& firstFolder);

class FileDialogSavePrompt : public SavePrompt {
 public:
  std::optional<QString> Ask(QWidget* owner, const QString& firstFolder) override;
};

}  // namespace trovix
