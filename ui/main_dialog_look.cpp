// The main window's look: its brushes and label colours, its tips, the about box and the
// pop-up menu of the notification-area icon.
#include <QComboBox>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>

#include "resources/dialogs.h"
#include "ui/context_menu.h"
#include "ui/main_dialog.h"
#include "ui/tooltips.h"

namespace trovix {
namespace {

using namespace resources;

struct Tip {
  int id;
  const char* text;
};

// In the order they are added.
constexpr Tip kTips[] = {
    {kIdBind, "choise IP address from list\r\nof the available interfaces"},
    {kIdFrom, "show only packets from IP address:port,\r\ne.g 192.168.0.1:80, or *:* for all packets"},
    {kIdTo, "show only packets to IP address:port,\r\ne.g 192.168.0.1:80, or *:* for all packets"},
    {kIdBothTraffic, "show all packets between hosts\r\nwith from and to IP addresses\r\nand all ports"},
};

}  // namespace

bool MainDialog::CreatePaintingResources() {
  auto create = services_.createPaintingResources != nullptr ? services_.createPaintingResources
                                                             : &trovix::CreatePaintingResources;
  paintingResourcesOk_ = create(paintingResources_);
  if (paintingResourcesOk_) {
    for (const auto& [id, control] : controls_) ApplyLabelColours(control, id, paintingResources_);
    // The time header has no control id of its own; it wears the "#" header's (1025) colours.
    ApplyLabelColours(pane_->timeHeader(), 1025, paintingResources_);
  }
  return paintingResourcesOk_;
}

void MainDialog::FreePaintingResources() { trovix::FreePaintingResources(paintingResources_); }

void MainDialog::AddTooltips() {
  TooltipWindow* tips = CreateTooltipWindow(bind_);
  for (const Tip& tip : kTips) {
    // A field's tool is the edit inside its combo box, where the mouse rests.
    auto* box = qobject_cast<QComboBox*>(controls_[tip.id]);
    AddTool(tips, box != nullptr ? box->lineEdit() : controls_[tip.id], tip.text);
  }
}

void MainDialog::ShowAboutBox() {
  ++aboutBoxRuns_;
  if (services_.aboutBoxes != nullptr) {
    bool look = paintingResourcesOk_ && DrawBannerBrush(paintingResources_);
    services_.aboutBoxes->Run(this, look ? &paintingResources_ : nullptr);
  }
}

void MainDialog::ShowPopupMenu() { ShowPopupMenuAt(QCursor::pos()); }

void MainDialog::ShowPopupMenuAt(QPoint at) {
  std::unique_ptr<QMenu> menu = BuildContextMenu(options_, !session_.Running(), this);
  int id = RunMenu(*menu, at);
  menu.reset();
  if (id != 0) Command(id);
}

}  // namespace trovix
