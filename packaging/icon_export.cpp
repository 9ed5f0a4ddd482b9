// Writes the window icon as the theme icons that are installed: trovix.svg and
// trovix-32.png, trovix-48.png, all from the same drawing as the running window's.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <cstdio>

#include "resources/icons.h"

namespace {

constexpr int kSvgSize = 48;

bool WriteSvg(const QString& path) {
  QSvgGenerator svg;
  svg.setFileName(path);
  svg.setSize(QSize(kSvgSize, kSvgSize));
  svg.setViewBox(QRect(0, 0, kSvgSize, kSvgSize));
  svg.setTitle(QStringLiteral("Trovix"));
  QPainter p;
  if (!p.begin(&svg)) return false;
  trovix::PaintWindowIcon(p, kSvgSize);
  return p.end();
}

bool WritePng(const QString& path, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  trovix::PaintWindowIcon(p, size);
  p.end();
  return image.save(path, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  // Painting into images needs no display; the offscreen platform keeps it that way.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QString folder = QString::fromLocal8Bit(argv[1]) + QLatin1Char('/');
  if (!WriteSvg(folder + QStringLiteral("trovix.svg")) || !WritePng(folder + QStringLiteral("trovix-32.png"), 32) ||
      !WritePng(folder + QStringLiteral("trovix-48.png"), 48)) {
    std::fprintf(stderr, "%s: cannot write the icons into %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
