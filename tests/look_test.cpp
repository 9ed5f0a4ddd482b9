// The window's look: brushes and label colours, the banner tile, the tips, the about box
// and the tray icon's pop-up menu.
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/gui_support.h"
#include "ui/about_box.h"
#include "ui/dialog_units.h"
#include "ui/painting.h"
#include "ui/tooltips.h"

namespace trovix {
namespace {

using namespace resources;

const QRgb kInk = qRgb(208, 208, 255);
const QRgb kGap = qRgb(255, 240, 208);
const QRgb kWhite = qRgb(255, 255, 255);

// Runs the real box, hands it to `whileOpen` once it shows, and records how it ended.
class ExecAboutBoxes : public AboutBoxes {
 public:
  void Run(QWidget* owner, const PaintingResources* look) override {
    AboutBox box(owner, look);
    QTimer::singleShot(0, &box, [&] {
      if (whileOpen) whileOpen(box);
    });
    results.push_back(box.exec());
  }
  std::function<void(AboutBox&)> whileOpen;
  std::vector<int> results;
};

class LookTest : public ::testing::Test {
 protected:
  test::TestDialog& Open() {
    Services services = fakes_.services();
    services.aboutBoxes = &aboutBoxes_;
    services.createPaintingResources = createPainting_;
    dialog_ = std::make_unique<test::TestDialog>(*state_, services);
    dialog_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    return *dialog_;
  }
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::Fakes fakes_;
  ExecAboutBoxes aboutBoxes_;
  bool (*createPainting_)(PaintingResources&) = nullptr;
  std::unique_ptr<test::TestDialog> dialog_;
};

TEST(BannerTile, HatchFrameAndCentredLabel) {
  PaintingResources r;
  ASSERT_TRUE(CreatePaintingResources(r));
  QImage tile = r.BannerBrush.textureImage();
  ASSERT_EQ(tile.size(), QSize(96, 40));
  // Lines running down from left to right, 8 pixels apart, over the gap colour.
  EXPECT_EQ(tile.pixel(0, 0), kInk);
  EXPECT_EQ(tile.pixel(3, 3), kInk);
  EXPECT_EQ(tile.pixel(8, 0), kInk);
  EXPECT_EQ(tile.pixel(1, 0), kGap);
  EXPECT_EQ(tile.pixel(0, 1), kGap);
  EXPECT_EQ(tile.pixel(95, 39), kInk);
  EXPECT_EQ(tile.pixel(95, 38), kGap);
  EXPECT_EQ(tile.pixel(5, 4), kGap);  // just left of the frame
  // The frame: 2 pixels of ink inside (6, 4)-(94, 36), white within.
  for (QPoint p : {QPoint(6, 4), QPoint(7, 5), QPoint(93, 35), QPoint(92, 34), QPoint(6, 20), QPoint(50, 35)}) {
    EXPECT_EQ(tile.pixel(p), kInk) << p.x() << "," << p.y();
  }
  EXPECT_EQ(tile.pixel(8, 6), kWhite);
  EXPECT_EQ(tile.pixel(91, 33), kWhite);
  EXPECT_EQ(tile.pixel(94, 20), kGap);
  // The label: ink pixels only, centred in the tile.
  int left = 96, right = -1, top = 40, bottom = -1;
  for (int y = 6; y < 34; ++y) {
    for (int x = 8; x < 92; ++x) {
      QRgb c = tile.pixel(x, y);
      ASSERT_TRUE(c == kWhite || c == kInk) << x << "," << y;
      if (c == kInk) left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    }
  }
  ASSERT_GE(right, left) << "no label drawn";
  EXPECT_GT(right - left, 20);
  EXPECT_LE(std::abs(left - (95 - right)), 2);
  EXPECT_LE(std::abs(top - (39 - bottom)), 6);
  EXPECT_EQ(r.HatchBrush.color(), QColor(208, 208, 255));
  EXPECT_EQ(r.FaceBrush.color(), QApplication::palette().color(QPalette::Button));
}

TEST(LabelColours, EachControlId) {
  PaintingResources r;
  ASSERT_TRUE(CreatePaintingResources(r));
  LabelAnswer about = LabelColours(1018, r);
  EXPECT_EQ(about.text, QColor(0, 0, 0));
  EXPECT_EQ(about.brush, &r.BannerBrush);
  for (int id = 1022; id <= 1032; ++id) {
    LabelAnswer label = LabelColours(id, r);
    EXPECT_EQ(label.text, QColor(160, 0, 0)) << id;
    EXPECT_EQ(label.brush, &r.FaceBrush) << id;
  }
  for (int id : {1002, 1003, 1004, 1007, 1008, 1013, 1014, 1017, 1019, 1021, 1033}) {
    EXPECT_EQ(LabelColours(id, r).brush, nullptr) << id;
  }
}

TEST_F(LookTest, LabelsAreDarkRedOnTheFaceAndCheckBoxesKeepTheSystemColours) {
  auto& d = Open();
  EXPECT_TRUE(d.paintingResourcesOk());
  const QPalette system = QApplication::palette();
  for (int id = 1022; id <= 1032; ++id) {
    QWidget* label = d.Control(id);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(160, 0, 0)) << id;
    EXPECT_EQ(label->palette().color(QPalette::Window), system.color(QPalette::Button)) << id;
    EXPECT_TRUE(label->autoFillBackground()) << id;
  }
  for (int id : {kIdTcp, kIdBothTraffic, kIdOnTop}) {
    EXPECT_EQ(d.Control(id)->palette().color(QPalette::ButtonText), system.color(QPalette::ButtonText)) << id;
    EXPECT_EQ(d.Control(id)->palette().color(QPalette::Button), system.color(QPalette::Button)) << id;
  }
  EXPECT_EQ(d.grab().toImage().pixel(1, 1), qRgb(224, 160, 64));
}

TEST_F(LookTest, WithoutPaintingResourcesTheErrorComesFirstAndLabelsKeepTheSystemColours) {
  createPainting_ = [](PaintingResources&) { return false; };
  auto& d = Open();
  EXPECT_FALSE(d.paintingResourcesOk());
  EXPECT_EQ(fakes_.messages.shown, QStringList({"Error: Gdi resources failed to initialize"}));
  EXPECT_EQ(d.Control(1022)->palette().color(QPalette::WindowText),
            QApplication::palette().color(QPalette::WindowText));
  EXPECT_FALSE(d.Control(1022)->autoFillBackground());
  EXPECT_EQ(d.grab().toImage().pixel(1, 1), qRgb(224, 160, 64));  // the background is still painted
}

TEST_F(LookTest, FourTipsBreakAtTheirLineEnds) {
  auto& d = Open();
  EXPECT_EQ(test::Combo(d, kIdBind)->lineEdit()->toolTip(), "choise IP address from list\nof the available interfaces");
  EXPECT_EQ(test::Combo(d, kIdFrom)->lineEdit()->toolTip(),
            "show only packets from IP address:port,\ne.g 192.168.0.1:80, or *:* for all packets");
  EXPECT_EQ(test::Combo(d, kIdTo)->lineEdit()->toolTip(),
            "show only packets to IP address:port,\ne.g 192.168.0.1:80, or *:* for all packets");
  EXPECT_EQ(d.Control(kIdBothTraffic)->toolTip(), "show all packets between hosts\nwith from and to IP addresses\nand all ports");

  // Resting the mouse on the field shows its tip.
  QWidget* from = test::Combo(d, kIdFrom)->lineEdit();
  QTest::mouseMove(from, QPoint(5, 5));
  QTest::mouseMove(from, QPoint(6, 5));
  EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 3000));
  EXPECT_EQ(QToolTip::text(), from->toolTip());
}

TEST(TipLines, ALineWiderThanTheTipWrapsBetweenWords) {
  QFont font(QStringLiteral("DejaVu Sans"), 9);
  QFontMetrics metrics(font);
  const QString line = QStringLiteral("show only packets from this address and port, or every packet there is");
  ASSERT_GT(metrics.horizontalAdvance(line), 280);
  QStringList lines = TipLines(QStringLiteral("first\r\n") + line, metrics, 280).split('\n');
  ASSERT_GE(lines.size(), 3);
  EXPECT_EQ(lines.first(), "first");
  EXPECT_EQ(lines.mid(1).join(' '), line);
  for (const QString& l : lines) EXPECT_LE(metrics.horizontalAdvance(l), 280) << l.toStdString();
}

TEST_F(LookTest, AboutOpensFromTheMenuAtItsFirstLineAndEscapeClosesIt) {
  auto& d = Open();
  QString title, firstLine;
  int scroll = -1;
  bool selected = true, onBanner = false;
  QSize size;
  aboutBoxes_.whileOpen = [&](AboutBox& box) {
    title = box.windowTitle();
    size = box.size();
    QPlainTextEdit* text = box.textField();
    firstLine = text->toPlainText().section('\n', 0, 0);
    scroll = text->verticalScrollBar()->value();
    selected = text->textCursor().hasSelection();
    onBanner = text->palette().brush(QPalette::Base).style() == Qt::TexturePattern;
    text->verticalScrollBar()->setValue(text->verticalScrollBar()->maximum());
    QTest::keyClick(&box, Qt::Key_Escape);
  };
  d.menuChoice = kCmdAbout;
  QTest::mouseClick(d.Control(1024), Qt::RightButton);
  ASSERT_EQ(aboutBoxes_.results, std::vector<int>({0}));
  EXPECT_EQ(title, "about 'Trovix'");
  EXPECT_EQ(firstLine, " 'Trovix' version 0.1.0 for Linux desktops (kernel 3.2 or later)");
  EXPECT_EQ(scroll, 0);
  EXPECT_FALSE(selected);
  EXPECT_TRUE(onBanner);
  DialogUnits du(DialogFont());
  EXPECT_EQ(size, QSize(du.X(309), du.Y(164)));
  EXPECT_TRUE(d.isVisible());
  EXPECT_FALSE(d.exited());

  // Opened again, it starts from the top once more.
  d.Command(kCmdAbout);
  ASSERT_EQ(aboutBoxes_.results.size(), 2u);
  EXPECT_EQ(scroll, 0);
}

// What the window shows on screen, not a fresh rendering.
QImage OnScreen(QWidget* w) {
  QPoint at = w->mapTo(w->window(), QPoint(0, 0));
  return w->screen()->grabWindow(w->window()->winId(), at.x(), at.y(), w->width(), w->height()).toImage();
}

TEST(AboutBox, ScrollingRepaintsTheWholeFieldOverTheBanner) {
  PaintingResources r;
  ASSERT_TRUE(CreatePaintingResources(r));
  AboutBox box(nullptr, &r);
  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  QWidget* viewport = box.textField()->viewport();
  QTest::qWait(50);
  for (int step = 0; step < 3; ++step) {
    QPointF at(viewport->width() / 2, viewport->height() / 2);
    QWheelEvent wheel(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &wheel);
    QTest::qWait(50);
  }
  ASSERT_GT(box.textField()->verticalScrollBar()->value(), 0);
  QImage shown = OnScreen(viewport);
  QImage fresh = viewport->grab().toImage().convertToFormat(shown.format());
  EXPECT_EQ(shown, fresh);
  // The banner stays anchored to the field: a corner that holds no text shows the tile.
  EXPECT_EQ(shown.pixel(viewport->width() - 2, viewport->height() - 2),
            r.BannerBrush.textureImage().pixel((viewport->width() - 2) % 96, (viewport->height() - 2) % 40));
}

TEST_F(LookTest, PopupMenuOpensAtTheMouseAndSendsOnlyAChosenCommand) {
  auto& d = Open();
  QCursor::setPos(QPoint(123, 45));
  d.menuChoice = 0;  // closed without a choice
  d.ShowPopupMenu();
  ASSERT_TRUE(d.menuShownAt.has_value());
  EXPECT_EQ(*d.menuShownAt, QPoint(123, 45));
  EXPECT_EQ(d.aboutBoxRuns(), 0);
  aboutBoxes_.whileOpen = [](AboutBox& box) { box.reject(); };
  d.menuChoice = kCmdAbout;
  d.ShowPopupMenu();
  EXPECT_EQ(d.aboutBoxRuns(), 1);
}

}  // namespace
}  // namespace trovix
