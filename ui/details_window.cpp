#include "ui/details_window.h"

#include <QPainter>

#include "resources/dialogs.h"
#include "ui/dialog_units.h"
#include "ui/painting.h"

namespace trovix {

DetailsWindow::DetailsWindow(QWidget* owner) : QDialog(owner), list_(new QListWidget(this)) {
  using namespace resources;
  setWindowTitle(QString::fromLatin1(kDetailsDialog.title));
  setObjectName(QStringLiteral("details"));
  setAttribute(Qt::WA_DeleteOnClose);  // closing destroys it; the next command makes a new one
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  DialogUnits du(font());
  setMinimumSize(du.X(kDetailsDialog.width), du.Y(kDetailsDialog.height));
  resize(minimumSize());
  if (owner != nullptr) move(owner->mapToGlobal(QPoint(du.X(kDetailsDialog.x), du.Y(kDetailsDialog.y))));

  const ControlTemplate& c = kDetailsControls[0];
  list_->setObjectName(QString::number(c.id));
  list_->setGeometry(du.Rect(c));
  list_->setUniformItemSizes(true);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void DetailsWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  // The list takes the room the window gained.
  QSize more = size() - minimumSize();
  DialogUnits du(font());
  list_->setGeometry(du.Rect(resources::kDetailsControls[0]).adjusted(0, 0, more.width(), more.height()));
}

void DetailsWindow::Clear() { list_->clear(); }

void DetailsWindow::ShowItems(const std::vector<std::string>& items, const ItemSelection& selection) {
  list_->setUpdatesEnabled(false);
  for (const std::string& item : items) {
    list_->addItem(QString::fromLatin1(item.data(), static_cast<qsizetype>(item.size())));
  }
  list_->setUpdatesEnabled(true);
  if (selection.scrollTo >= 0) list_->setCurrentRow(selection.scrollTo);
  list_->setCurrentRow(selection.selected);
}

void DetailsWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kRedWindowColour);  // shows only as a margin around the list
}

}  // namespace trovix
