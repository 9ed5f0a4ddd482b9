// The program's icons, drawn rather than loaded: the window icon (112) and the
// notification-area pictures (113 to 116). All show the same tree of six network nodes;
// they differ only in which nodes are lit.
#pragma once

#include <QIcon>
#include <QImage>

class QPainter;

class QPainter;

namespace trovix {

inline constexpr int kIconWindow = 112;
inline constexpr int kIconTrayRest = 113;  // also the first animation frame
inline constexpr int kIconTrayLast = 116;
inline constexpr int kIconSize = 32;

// One 32 by 32 picture; an unknown resource number gives a null image.
QImage IconPicture(int resource);
QIcon IconResource(int resource);
QIcon WindowIcon();

// Draws the window icon into a `size` x `size` square at the painter's origin: the one
// drawing behind the window's pixmaps and the installed SVG and PNG theme icons.
void PaintWindowIcon(QPainter& painter, qreal size);

// Draws the window icon into a `size` x `size` square at the painter's origin: the one
// drawing behind the window's pixmaps and the installed SVG and PNG theme icons.
void PaintWindowIcon(QPainter& p, qreal size);

}  // namespace trovix
