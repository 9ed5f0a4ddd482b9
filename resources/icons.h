// The program's icons, drawn rather than loaded: the window icon (112).
#pragma once

#include <QIcon>

namespace trovix {

QIcon WindowIcon();

}  // namespace trovix
