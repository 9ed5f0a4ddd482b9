#include "ui/save_prompt.h"

#include <QFileDialog>

namespace trovix {

void ConfigureSavePrompt(QFileDialog& dialog, const QString& firstFolder, bool offerPacketCapture) {
  dialog.setWindowTitle(QStringLiteral("select file for saving"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  const QString capture = QString::fromLatin1(kPacketCaptureFilter);
  QStringList filters{QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")};
  if (offerPacketCapture) filters << capture;
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(QStringLiteral("Text Files (*.txt)"));
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  // A name typed without an extension under the capture filter becomes NAME.pcap.
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, capture](const QString& filter) {
    dialog.setDefaultSuffix(filter == capture ? QStringLiteral("pcap") : QStringLiteral("txt"));
  });
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (!firstFolder.isEmpty()) dialog.setDirectory(firstFolder);
}

SaveTarget ChosenTarget(const QFileDialog& dialog) {
  return {dialog.selectedFiles().value(0), dialog.selectedNameFilter() == QLatin1String(kPacketCaptureFilter)};
}

std::optional<SaveTarget> FileDialogSavePrompt::Ask(QWidget* owner, const QString& firstFolder,
                                                    bool offerPacketCapture) {
  QFileDialog dialog(owner);
  ConfigureSavePrompt(dialog, firstFolder, offerPacketCapture);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return ChosenTarget(dialog);
}

std::optional<QString> FileDialogOpenPrompt::Ask(QWidget* owner, const QString& firstFolder) {
  QFileDialog dialog(owner, QStringLiteral("open capture file"), firstFolder);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // Any name, so that "-" (standard input) can be typed.
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("Capture files (*.pcap *.pcapng *.cap *.dmp)"), QStringLiteral("All Files (*)")});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().value(0);
}

}  // namespace trovix
