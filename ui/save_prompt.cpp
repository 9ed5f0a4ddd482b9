#include "ui/save_prompt.h"

#include <QFileDialog>

namespace trovix {

void ConfigureSavePrompt(QFileDialog& dialog, const QString& firstFolder) {
  dialog.setWindowTitle(QStringLiteral("select file for saving"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")});
  dialog.selectNameFilter(QStringLiteral("Text Files (*.txt)"));
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (!firstFolder.isEmpty()) dialog.setDirectory(firstFolder);
}

std::optional<QString> FileDialogSavePrompt::Ask(QWidget* owner, const QString& firstFolder) {
  QFileDialog dialog(owner);
  ConfigureSavePrompt(dialog, firstFolder);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

}  // namespace trovix
