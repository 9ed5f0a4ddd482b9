#include "ui/context_menu.h"

#include <QKeySequence>

#include <vector>

#include "resources/menus.h"

namespace trovix {
namespace {

using namespace resources;

// An option's item names its entry, and each entry has one item: a missing one would
// show as a separator, or not at all.
constexpr bool MenuAndOptionsAgree() {
  // Counted, not found: a sanitizer build cannot compare the found pointer in a constant.
  for (const MenuItem& item : kMenu103) {
    int entries = 0;
    for (const WindowOption& option : kWindowOptions) entries += option.command == item.id ? 1 : 0;
    if (item.text == nullptr && item.id != 0 && entries == 0) return false;
  }
  for (const WindowOption& option : kWindowOptions) {
    int items = 0;
    for (const MenuItem& item : kMenu103) items += item.id == option.command && item.text == nullptr ? 1 : 0;
    if (items != 1) return false;
  }
  return true;
}
static_assert(MenuAndOptionsAgree());

// The options' check marks; an option whose enabling option is off is grey and unmarked.
void ApplyStates(QMenu& menu, const WindowOptions& o, bool listFilterable) {
  for (const WindowOption& option : kWindowOptions) {
    QAction* action = FindCommand(menu, option.command);
    if (action == nullptr) continue;
    if (option.enabledBy != nullptr && o.*option.enabledBy != 1) {
      action->setEnabled(false);
    } else {
      action->setChecked(o.*option.flag == 1);
    }
  }
  // What is stored is filtered once no capture or reading adds to it.
  if (QAction* filter = FindCommand(menu, kCmdFilterList)) filter->setEnabled(listFilterable);
  // Only while the programs are shown, as the rows name them.
  if (QAction* only = FindCommand(menu, kCmdOnlyThisProgram)) only->setEnabled(listFilterable && o.ShowPrograms == 1);
}

}  // namespace

std::unique_ptr<QMenu> BuildContextMenu(const WindowOptions& options, bool listFilterable, QWidget* parent) {
  auto top = std::make_unique<QMenu>(QString::fromLatin1(kMenu103Title), parent);
  std::vector<QMenu*> open{top.get()};  // the sub-menu in force at each depth
  for (const MenuItem& item : kMenu103) {
    open.resize(static_cast<size_t>(item.depth) + 1);
    QMenu* into = open.back();
    const WindowOption* option = FindWindowOption(item.id);
    if (item.text == nullptr && option == nullptr) {
      into->addSeparator();
    } else if (item.id == 0) {
      open.push_back(into->addMenu(QString::fromLatin1(item.text)));
    } else {
      QAction* action = into->addAction(QString::fromLatin1(option != nullptr ? option->label : item.text));
      action->setData(item.id);
      action->setCheckable(option != nullptr);
      // The window's own keys.
      if (item.id == kCmdOpenCaptureFile) action->setShortcut(QKeySequence::Open);
      if (item.id == kCmdFilterBar) action->setShortcut(kFilterListKey);
      if (item.id == kCmdShowAll) action->setShortcut(kShowAllKey);
      if (item.id == kCmdStatistics) action->setShortcut(kStatisticsKey);
    }
  }
  ApplyStates(*top, options, listFilterable);
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

}  // namespace trovix
