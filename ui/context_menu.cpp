#include "ui/context_menu.h"

#include <QKeySequence>

#include <vector>

#include "resources/menus.h"

namespace trovix {
namespace {

using namespace resources;

void Mark(QMenu& menu, int id, int32_t flag) {
  if (QAction* action = FindCommand(menu, id)) action->setChecked(flag == 1);
}

// Items that show a check mark; the others are plain commands.
bool IsOption(int id) {
  switch (id) {
    case kCmdFlipToTray: case kCmdHexOnlyUdp: case kCmdTcpTextView: case kCmdTcpAsciiView:
    case kCmdHexTcpAndUdp: case kCmdTrayAnime: case kCmdSavePreferences: case kCmdCaptureIpv6:
    case kCmdKeepMore: case kCmdAskBeforeDiscarding: case kCmdShowTimes: return true;
    default: return false;
  }
}

void ApplyStates(QMenu& menu, const CaptureState& o, bool capturing) {
  Mark(menu, kCmdSavePreferences, o.SaveSessionPreferences);
  Mark(menu, kCmdFlipToTray, o.EnableFlipToTray);
  if (o.EnableFlipToTray == 1) {
    Mark(menu, kCmdTrayAnime, o.EnableTrayIconAnime);
  } else if (QAction* anime = FindCommand(menu, kCmdTrayAnime)) {
    anime->setEnabled(false);
  }
  Mark(menu, kCmdHexOnlyUdp, o.DataInHexViewOnlyUdp);
  Mark(menu, kCmdHexTcpAndUdp, o.DataInHexViewTcpAndUdp);
  Mark(menu, kCmdTcpTextView, o.TcpDataInTextView);
  Mark(menu, kCmdTcpAsciiView, o.TcpDataInAsciiView);
  Mark(menu, kCmdCaptureIpv6, o.CaptureIpv6);
  Mark(menu, kCmdKeepMore, o.KeepMore);
  Mark(menu, kCmdAskBeforeDiscarding, o.AskBeforeDiscarding);
  Mark(menu, kCmdShowTimes, o.ShowTimes);
  // What is stored is filtered once no capture or reading adds to it.
  if (QAction* filter = FindCommand(menu, kCmdFilterList)) filter->setEnabled(!capturing);
}

}  // namespace

std::unique_ptr<QMenu> BuildContextMenu(const CaptureState& options, QWidget* parent, bool capturing) {
  auto top = std::make_unique<QMenu>(QString::fromLatin1(kMenu103Title), parent);
  std::vector<QMenu*> open{top.get()};  // the sub-menu in force at each depth
  for (const MenuItem& item : kMenu103) {
    open.resize(static_cast<size_t>(item.depth) + 1);
    QMenu* into = open.back();
    if (item.text == nullptr) {
      into->addSeparator();
    } else if (item.id == 0) {
      open.push_back(into->addMenu(QString::fromLatin1(item.text)));
    } else {
      QAction* action = into->addAction(QString::fromLatin1(item.text));
      action->setData(item.id);
      action->setCheckable(IsOption(item.id));
      // The window's own keys.
      if (item.id == kCmdOpenCaptureFile) action->setShortcut(QKeySequence::Open);
      if (item.id == kCmdFilterList) action->setShortcut(kFilterListKey);
      if (item.id == kCmdShowAll) action->setShortcut(kShowAllKey);
    }
  }
  ApplyStates(*top, options, capturing);
  return top;
}

QAction* FindCommand(QMenu& menu, int id) {
  for (QAction* action : menu.actions()) {
    if (action->menu() != nullptr) {
      if (QAction* found = FindCommand(*action->menu(), id)) return found;
    } else if (action->data().isValid() && action->data().toInt() == id) {
      return action;
    }
  }
  return nullptr;
}

bool ApplyOptionCommand(CaptureState& o, int id) {
  switch (id) {
    case kCmdSavePreferences: o.SaveSessionPreferences = o.SaveSessionPreferences == 0 ? 1 : 0; return true;
    case kCmdHexOnlyUdp: o.DataInHexViewOnlyUdp = 1; o.DataInHexViewTcpAndUdp = 0; return true;
    case kCmdHexTcpAndUdp: o.DataInHexViewTcpAndUdp = 1; o.DataInHexViewOnlyUdp = 0; return true;
    case kCmdTcpTextView: o.TcpDataInTextView = 1; o.TcpDataInAsciiView = 0; return true;
    case kCmdTcpAsciiView: o.TcpDataInAsciiView = 1; o.TcpDataInTextView = 0; return true;
    case kCmdCaptureIpv6: o.CaptureIpv6 = o.CaptureIpv6 == 0 ? 1 : 0; return true;
    case kCmdKeepMore: o.KeepMore = o.KeepMore == 0 ? 1 : 0; return true;
    case kCmdAskBeforeDiscarding: o.AskBeforeDiscarding = o.AskBeforeDiscarding == 0 ? 1 : 0; return true;
    case kCmdShowTimes: o.ShowTimes = o.ShowTimes == 0 ? 1 : 0; return true;
    default: return false;
  }
}

}  // namespace trovix
