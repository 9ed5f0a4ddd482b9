// The program's icons, drawn rather than loaded: the window icon (112).
#pragma once

#include <QIcon>

class QPainter;

namespace trovix {

QIcon WindowIcon();

// Draws the window icon into a `size` x `size` square at the painter's origin: the one
// drawing behind the window's pixmaps and the installed SVG and PNG theme icons.
void PaintWindowIcon(QPainter& p, qreal size);

}  // namespace trovix
