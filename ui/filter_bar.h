// The list's filter bar: a pcap filter expression typed over the list, checked as it is
// typed (the field's colour, and libpcap's word beside it), applied with Enter.
#pragma once

#include <linux/filter.h>

#include <QFrame>
#include <QTimer>

#include <string>
#include <vector>

class QComboBox;
class QLabel;

namespace trovix {

class FilterBar : public QFrame {
  Q_OBJECT

 public:
  explicit FilterBar(QWidget* parent);

  // Shown over the list with the keyboard in the field, its text selected.
  void Open();
  QComboBox* field() const { return field_; }
  QLabel* message() const { return message_; }
  // The text as last checked: whether libpcap took it (an empty text does).
  bool compiles() const { return compiles_; }
  // The expressions used, most recent first; the drop-down keeps this many.
  static constexpr int kRemembered = 8;
  // `expression` first in the drop-down, and in the field.
  void Remember(const QString& expression);

 signals:
  // Enter on a text that compiles: its program (empty for an empty text).
  void applied(const QString& expression, const std::vector<sock_filter>& program);
  // Escape: the bar is hidden, the filter stays.
  void closed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Check();
  void Apply();

  QComboBox* field_;
  QLabel* message_;
  std::vector<sock_filter> program_;
  bool compiles_ = true;
  // A compile that took long checks later texts only once typing pauses.
  bool slowCompile_ = false;
  QTimer pause_;
};

}  // namespace trovix
