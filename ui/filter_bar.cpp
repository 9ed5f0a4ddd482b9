#include "ui/filter_bar.h"

#include <pcap/pcap.h>

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <chrono>

#include "capture/pcap_expression.h"

namespace trovix {
namespace {

// A check that takes longer than this waits for a pause in the typing from then on: the
// keys must never wait for the compiler.
constexpr auto kQuickCompile = std::chrono::microseconds(500);
constexpr int kTypingPauseMs = 150;

}  // namespace

FilterBar::FilterBar(QWidget* parent) : QFrame(parent), field_(new QComboBox(this)), message_(new QLabel(this)) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setAutoFillBackground(true);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 2);
  field_->setEditable(true);
  field_->setCompleter(nullptr);
  field_->setInsertPolicy(QComboBox::NoInsert);
  field_->setMaxCount(kRemembered);
  field_->setObjectName(QStringLiteral("filterExpression"));
  field_->setToolTip(QStringLiteral("a pcap filter expression, as tcpdump takes it (pcap-filter(7)); Enter shows "
                                    "the stored datagrams it keeps that the fields and switches keep too"));
  message_->setObjectName(QStringLiteral("filterMessage"));
  layout->addWidget(new QLabel(QStringLiteral("filter:"), this));
  layout->addWidget(field_, 2);
  layout->addWidget(message_, 1);
  // The combo box takes the focus and hands most keys to its line edit; Enter and Escape
  // are the bar's, wherever they arrive.
  field_->installEventFilter(this);
  field_->lineEdit()->installEventFilter(this);
  pause_.setSingleShot(true);
  pause_.setInterval(kTypingPauseMs);
  connect(&pause_, &QTimer::timeout, this, &FilterBar::Check);
  connect(field_, &QComboBox::editTextChanged, this, [this] { slowCompile_ ? pause_.start() : Check(); });
}

void FilterBar::Open() {
  show();
  raise();
  field_->setFocus();
  field_->lineEdit()->selectAll();
}

void FilterBar::Remember(const QString& expression) {
  int known = field_->findText(expression);
  if (known >= 0) field_->removeItem(known);
  if (!expression.isEmpty()) field_->insertItem(0, expression);
  field_->setCurrentIndex(expression.isEmpty() ? -1 : 0);
  field_->setEditText(expression);
}

bool FilterBar::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
  int key = static_cast<QKeyEvent*>(event)->key();
  if (key == Qt::Key_Escape) {
    hide();
    emit closed();
    return true;
  }
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    Apply();
    return true;
  }
  return QFrame::eventFilter(watched, event);
}

void FilterBar::Check() {
  pause_.stop();
  std::string text = field_->currentText().toStdString();
  std::string error;
  auto start = std::chrono::steady_clock::now();
  program_.clear();
  compiles_ = text.empty() || CompileExpression(text, DLT_RAW, program_, error);
  slowCompile_ = std::chrono::steady_clock::now() - start > kQuickCompile;
  message_->setText(QString::fromStdString(error));
  QPalette colours = field_->lineEdit()->palette();
  colours.setColor(QPalette::Base, text.empty() ? palette().color(QPalette::Base)
                                   : compiles_  ? QColor(0xd8, 0xf5, 0xd8)
                                                : QColor(0xf8, 0xd0, 0xd0));
  field_->lineEdit()->setPalette(colours);
}

void FilterBar::Apply() {
  Check();  // the text as it stands, also when typing has not paused
  if (!compiles_) return;
  QString text = field_->currentText();
  std::vector<sock_filter> program = program_;
  Remember(text);
  emit applied(text, program);
}

}  // namespace trovix
