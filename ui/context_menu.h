// Menu 103 built afresh for each showing, with the check marks and grey states of the
// current options, and the option commands it carries.
#pragma once

#include <QKeySequence>
#include <QMenu>

#include <memory>

#include "settings/window_options.h"

namespace trovix {

// "filter the &list" (the filter bar) and "sho&w all" as keys of the window.
inline const QKeySequence kFilterListKey(Qt::CTRL | Qt::Key_L);
inline const QKeySequence kShowAllKey(Qt::CTRL | Qt::SHIFT | Qt::Key_L);
// "&statistics".
inline const QKeySequence kStatisticsKey(Qt::CTRL | Qt::Key_T);

// The "&uno" pop-up of menu 103; each command item carries its id as the action's data.
// "&filter the list" is grey unless `listFilterable`.
std::unique_ptr<QMenu> BuildContextMenu(const WindowOptions& options, bool listFilterable, QWidget* parent);

// The action of `menu` (or of its sub-menus) with command `id`, or nullptr.
QAction* FindCommand(QMenu& menu, int id);

}  // namespace trovix
