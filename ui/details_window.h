// The "packets in details" window: one list that shows a packet report item by item.
#pragma once

#include <QDialog>
#include <QListWidget>

#include <string>
#include <vector>

#include "report/report_items.h"

namespace trovix {

class DetailsWindow : public QDialog {
  Q_OBJECT

 public:
  // Opens beside `owner`: the template places it at (312, -20) dialog units from the
  // owner's client area, just right of the main window.
  explicit DetailsWindow(QWidget* owner);

  QListWidget* list() const { return list_; }
  void Clear();
  // Shows the items, brings item `selection.scrollTo` into view, then selects the title.
  void ShowItems(const std::vector<std::string>& items, const ItemSelection& selection);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QListWidget* list_;
};

}  // namespace trovix
