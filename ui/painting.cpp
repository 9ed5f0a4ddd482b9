#include "ui/painting.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <QWidget>

namespace trovix {
namespace {

const QColor kBannerInk(208, 208, 255);  // hatch, frame and label
const QColor kBannerGap(255, 240, 208);  // between the hatch lines
const QColor kLabelText(160, 0, 0);
const QColor kAboutText(0, 0, 0);

constexpr int kAboutTextId = 1018;
constexpr int kFirstLabelId = 1022;
constexpr int kLastLabelId = 1032;

// The framed box from (6, 4) to (94, 36), right and bottom edges excluded, its 2-pixel
// outline inside those bounds.
constexpr QRect kFrame(6, 4, 88, 32);
constexpr int kFrameLine = 2;

void DrawFrame(QPainter& p) {
  p.fillRect(kFrame, Qt::white);
  const QRect& f = kFrame;
  p.fillRect(QRect(f.left(), f.top(), f.width(), kFrameLine), kBannerInk);
  p.fillRect(QRect(f.left(), f.bottom() - kFrameLine + 1, f.width(), kFrameLine), kBannerInk);
  p.fillRect(QRect(f.left(), f.top(), kFrameLine, f.height()), kBannerInk);
  p.fillRect(QRect(f.right() - kFrameLine + 1, f.top(), kFrameLine, f.height()), kBannerInk);
}

void DrawLabel(QPainter& p) {
  // Plain pixels in one colour, as a bitmap system font draws them.
  QFont font = QApplication::font();
  font.setStyleStrategy(QFont::NoAntialias);
  p.setFont(font);
  p.setBackgroundMode(Qt::TransparentMode);
  p.setPen(kBannerInk);
  QFontMetrics metrics = p.fontMetrics();
  const QString label = QString::fromLatin1(kBannerLabel);
  int left = (kBannerWidth - metrics.horizontalAdvance(label)) / 2;
  int top = (kBannerHeight - metrics.height()) / 2;
  p.drawText(left, top + metrics.ascent(), label);
}

}  // namespace

QImage DrawBannerTile(const QBrush& hatch) {
  QImage tile(kBannerWidth, kBannerHeight, QImage::Format_RGB32);
  if (tile.isNull()) return tile;
  QPainter p(&tile);
  // Opaque background mode: the gaps between the hatch lines take the background colour.
  p.setBackground(kBannerGap);
  p.setBackgroundMode(Qt::OpaqueMode);
  p.fillRect(tile.rect(), hatch);
  DrawFrame(p);
  DrawLabel(p);
  return tile;
}

bool CreatePaintingResources(PaintingResources& r) {
  r.FaceBrush = QBrush(QApplication::palette().color(QPalette::Button));
  r.HatchBrush = QBrush(kBannerInk, Qt::FDiagPattern);
  return r.FaceBrush.style() == Qt::SolidPattern && r.HatchBrush.style() == Qt::FDiagPattern;
}

bool DrawBannerBrush(PaintingResources& r) {
  if (r.BannerBrush.style() != Qt::TexturePattern) {
    QImage tile = DrawBannerTile(r.HatchBrush);
    r.BannerBrush = tile.isNull() ? QBrush() : QBrush(tile);
  }
  return r.BannerBrush.style() == Qt::TexturePattern;
}

void FreePaintingResources(PaintingResources& r) {
  r.BannerBrush = QBrush();
  r.FaceBrush = QBrush();
  r.HatchBrush = QBrush();
}

LabelAnswer LabelColours(int controlId, const PaintingResources& r) {
  if (controlId == kAboutTextId) return {kAboutText, &r.BannerBrush};
  if (controlId >= kFirstLabelId && controlId <= kLastLabelId) return {kLabelText, &r.FaceBrush};
  return {kLabelText, nullptr};
}

void ApplyLabelColours(QWidget* control, int controlId, const PaintingResources& r) {
  LabelAnswer answer = LabelColours(controlId, r);
  if (answer.brush == nullptr) return;
  QPalette palette = control->palette();
  // Labels paint the window role, text fields the base role; both get the answer.
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setBrush(group, QPalette::Window, *answer.brush);
    palette.setBrush(group, QPalette::Base, *answer.brush);
    palette.setColor(group, QPalette::WindowText, answer.text);
    palette.setColor(group, QPalette::Text, answer.text);
  }
  control->setPalette(palette);
  control->setAutoFillBackground(true);
}

}  // namespace trovix
