// The window's look: brushes and label colours, the banner tile, the tips, the about box
// and the tray icon's pop-up menu.
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
  ASSERT_TRUE(DrawBannerBrush(r));
  QImage tile = r.BannerBrush.textureImage();
  ASSERT_EQ(tile.size(), QSize(96, 40));
  // Lines running down from left to right, 8 pixels apart, over the gap colour; then the
  // frame, 2 pixels of ink inside (6, 4)-(94, 36), white within.
  const QRgb expected[][3] = {{0, 0, kInk},   {3, 3, kInk},   {8, 0, kInk},    {95, 39, kInk},  {1, 0, kGap},
                              {95, 38, kGap}, {5, 4, kGap},   {94, 20, kGap},  {6, 4, kInk},    {7, 5, kInk},
                              {93, 35, kInk}, {92, 20, kInk}, {8, 6, kWhite},  {91, 33, kWhite}};
  for (const auto& [x, y, colour] : expected) EXPECT_EQ(tile.pixel(int(x), int(y)), colour) << x << "," << y;
  // The label: ink pixels only, centred in the tile.
  int left = 96, right = -1, top = 40, bottom = -1;
  for (int y = 6; y < 34; ++y) {
    for (int x = 8; x < 92; ++x) {
      QRgb c = tile.pixel(x, y);
      ASSERT_TRUE(c == kWhite || c == kInk) << x << "," << y;
      if (c == kInk) left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    }
  }
  EXPECT_GT(right - left, 20);
  EXPECT_LE(std::abs(left - (95 - right)), 2);
  EXPECT_LE(std::abs(top - (39 - bottom)), 6);
}

TEST(LabelColours, EachControlId) {
  PaintingResources r;
  ASSERT_TRUE(CreatePaintingResources(r));
  EXPECT_EQ(LabelColours(1018, r).text, QColor(0, 0, 0));
  EXPECT_EQ(LabelColours(1018, r).brush, &r.BannerBrush);
  for (int id = 1022; id <= 1032; ++id) {
    EXPECT_EQ(LabelColours(id, r).text, QColor(160, 0, 0)) << id;
    EXPECT_EQ(LabelColours(id, r).brush, &r.FaceBrush) << id;
  }
  for (int id : {1003, 1007, 1014, 1017, 1019, 1021, 1033}) EXPECT_EQ(LabelColours(id, r).brush, nullptr) << id;
}

TEST_F(LookTest, LabelsAreDarkRedOnTheFaceAndCheckBoxesKeepTheSystemColours) {
  auto& d = Open();
  const QPalette system = QApplication::palette();
  QImage shown = d.grab().toImage();
  for (int id : {1022, 1032}) {
    QWidget* label = d.Control(id);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(160, 0, 0));
    // Inside the sunken frame, below the text.
    EXPECT_EQ(shown.pixel(label->mapTo(&d, QPoint(label->width() / 2, label->height() - 3))), system.color(QPalette::Button).rgb());
  }
  EXPECT_EQ(d.Control(kIdTcp)->palette(), system);
  EXPECT_EQ(shown.pixel(1, 1), qRgb(224, 160, 64));
}

TEST_F(LookTest, WithoutPaintingResourcesTheErrorComesFirstAndLabelsKeepTheSystemColours) {
  createPainting_ = [](PaintingResources&) { return false; };
  auto& d = Open();
  EXPECT_EQ(fakes_.messages.shown, QStringList({"Error: Gdi resources failed to initialize"}));
  EXPECT_EQ(d.Control(1022)->palette(), QApplication::palette());
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
  QFontMetrics metrics(QFont(QStringLiteral("DejaVu Sans"), 9));
  const QString line = QStringLiteral("show only packets from this address and port, or every packet there is");
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
  EXPECT_FALSE(d.exited());
}

// What the window shows on screen, not a fresh rendering.
QImage OnScreen(QWidget* w) {
  QPoint at = w->mapTo(w->window(), QPoint(0, 0));
  return w->screen()->grabWindow(w->window()->winId(), at.x(), at.y(), w->width(), w->height()).toImage();
}

TEST(AboutBox, ScrollingRepaintsTheWholeFieldOverTheBanner) {
  PaintingResources r;
  ASSERT_TRUE(CreatePaintingResources(r) && DrawBannerBrush(r));
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
