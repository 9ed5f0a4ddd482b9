// pcap filter expressions in the window: the list's filter bar ("filter the &list") and
// the expression a capture sends to the helper or to ssh sources ("capture &expression...").
#include <pcap/pcap.h>

#include <QComboBox>
#include <QInputDialog>

#include "capture/pcap_expression.h"
#include "ui/filter_bar.h"
#include "ui/main_dialog.h"

namespace trovix {

void MainDialog::OpenFilterBar() {
  FilterBar* bar = pane_->filterBar();
  if (bar == nullptr) {
    bar = pane_->OpenFilterBar();
    if (!listExpression_.empty()) bar->Remember(QString::fromStdString(listExpression_));
    connect(bar, &FilterBar::applied, this, [this](const QString& text, const std::vector<sock_filter>& program) {
      if (session_.Running()) return;  // as "&filter the list": what is stored is still growing
      listExpression_ = text.toStdString();
      FilterList(program);
    });
    return;
  }
  pane_->OpenFilterBar();
}

void MainDialog::AskCaptureExpression() {
  QInputDialog ask(this);
  ask.setWindowTitle(QStringLiteral("capture expression"));
  ask.setLabelText(QStringLiteral("what the next \"go!\" keeps, as tcpdump's filter (pcap-filter(7)); empty: "
                                  "what the fields and switches keep"));
  ask.setTextValue(QString::fromStdString(captureExpression_));
  if (ask.exec() != QDialog::Accepted) return;
  std::string text = ask.textValue().trimmed().toStdString();
  std::vector<sock_filter> program;
  std::string refusal;
  if (!CaptureExpressionRuns(text, program, refusal)) return;
  captureExpression_ = text;
}

bool MainDialog::CaptureExpressionRuns(const std::string& text, std::vector<sock_filter>& program,
                                       std::string& refusal) {
  program.clear();
  if (text.empty() || (CompileExpression(text, DLT_RAW, program, refusal) && CaptureRuns(program, refusal))) {
    return true;
  }
  Tell(QStringLiteral("error:"), QStringLiteral("capture expression \"%1\": %2")
                                     .arg(QString::fromStdString(text), QString::fromStdString(refusal)));
  return false;
}

void MainDialog::SayCaptureExpression() {
  if (captureExpression_.empty()) return;
  list_->AddText(QStringLiteral(" capture expression: %1").arg(QString::fromStdString(captureExpression_)));
}

}  // namespace trovix
