#include "ui/save_prompt.h"

#include <QFileDialog>
#include <QMessageBox>

namespace trovix {

void ConfigureSavePrompt(QFileDialog& dialog, const QString& firstFolder, bool offerPacketCapture,
                         bool captureChosen, const QString& what) {
  dialog.setWindowTitle(QStringLiteral("select file for saving") + (what.isEmpty() ? QString() : QStringLiteral(": ") + what));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  const QString capture = QString::fromLatin1(kPacketCaptureFilter), pcapng = QString::fromLatin1(kPcapngFilter);
  QStringList filters{QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")};
  if (offerPacketCapture) filters << capture << pcapng;
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(QStringLiteral("Text Files (*.txt)"));
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  // A name typed without an extension under a capture filter becomes NAME.pcap or NAME.pcapng.
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, capture, pcapng](const QString& filter) {
    dialog.setDefaultSuffix(filter == capture  ? QStringLiteral("pcap")
                            : filter == pcapng ? QStringLiteral("pcapng")
                                               : QStringLiteral("txt"));
  });
  if (offerPacketCapture && captureChosen) {
    dialog.selectNameFilter(capture);
    dialog.setDefaultSuffix(QStringLiteral("pcap"));
  }
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (!firstFolder.isEmpty()) dialog.setDirectory(firstFolder);
}

SaveTarget ChosenTarget(const QFileDialog& dialog) {
  QString filter = dialog.selectedNameFilter();
  return {dialog.selectedFiles().value(0), filter == QLatin1String(kPacketCaptureFilter),
          filter == QLatin1String(kPcapngFilter)};
}

std::optional<SaveTarget> FileDialogSavePrompt::Ask(QWidget* owner, const QString& firstFolder,
                                                    bool offerPacketCapture, bool captureChosen, const QString& what) {
  QFileDialog dialog(owner);
  ConfigureSavePrompt(dialog, firstFolder, offerPacketCapture, captureChosen, what);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return ChosenTarget(dialog);
}

DiscardAnswer MessageBoxDiscardQuestion::Ask(QWidget* owner, uint32_t packets) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Trovix"),
                  QStringLiteral("%1 captured packet%2 not saved.").arg(packets).arg(packets == 1 ? " is" : "s are"),
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, owner);
  box.setInformativeText(QStringLiteral("Save them as a capture file first?"));
  box.setDefaultButton(QMessageBox::Save);
  box.setEscapeButton(QMessageBox::Cancel);
  switch (box.exec()) {
    case QMessageBox::Save: return DiscardAnswer::kSave;
    case QMessageBox::Discard: return DiscardAnswer::kDiscard;
    default: return DiscardAnswer::kCancel;
  }
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
