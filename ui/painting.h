// The look drawn over the standard widgets: the brushes it needs, the banner tile behind
// the about text, and the colours each static control is given.
#pragma once

#include <QBrush>
#include <QColor>
#include <QImage>

class QWidget;

namespace trovix {

struct PaintingResources {
  QBrush BannerBrush;  // the banner tile, repeated
  QBrush FaceBrush;    // the system's button face
  QBrush HatchBrush;   // forward diagonal lines
};

inline constexpr int kBannerWidth = 96;
inline constexpr int kBannerHeight = 40;
inline constexpr char kBannerLabel[] = "Velkora";

// Window backgrounds.
inline const QColor kMainWindowColour(224, 160, 64);
inline const QColor kRedWindowColour(247, 9, 50);  // the about box and the details window

// The 96 by 40 tile: hatch over a light gap colour, a white framed box, the label centred.
QImage DrawBannerTile(const QBrush& hatch);

// Fills the face and hatch brushes; true when both exist. The banner tile is drawn by
// DrawBannerBrush when the about box first needs it: its label would load a font of its
// own before the window could first appear.
bool CreatePaintingResources(PaintingResources& r);
// Draws the banner tile into `r.BannerBrush` unless it holds it already; true when it does.
bool DrawBannerBrush(PaintingResources& r);
void FreePaintingResources(PaintingResources& r);

// What a static control with this id is given: its text colour and, when the request is
// answered, the brush behind it. No brush declines, and the control keeps the system's
// colours.
struct LabelAnswer {
  QColor text;
  const QBrush* brush;
};
LabelAnswer LabelColours(int controlId, const PaintingResources& r);

// Gives `control` the colours `LabelColours` answers for `controlId`; a declined request
// leaves it as it is.
void ApplyLabelColours(QWidget* control, int controlId, const PaintingResources& r);

}  // namespace trovix
