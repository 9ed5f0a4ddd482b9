// The notification-area icon through the real window, with a fake icon that records what
// the window does with it and whose buttons the test presses.
#include <QElapsedTimer>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "resources/dialogs.h"
#include "resources/icons.h"
#include "resources/menus.h"
#include "tests/gui_support.h"
#include "tests/temp_files.h"
#include "ui/tray_animation.h"
#include "ui/tray_icon.h"

namespace trovix {
namespace {

using namespace resources;

class FakeTrayIcon : public TrayIcon {
 public:
  bool Add(int picture, const QString& tip) override {
    if (!hostRuns || present) return false;
    present = true;
    Record(QString("add %1 %2").arg(picture).arg(tip));
    return true;
  }
  bool Modify(int picture, const std::optional<QString>& tip, bool clearBalloon) override {
    if (!present) return false;
    Record(QString("%1 %2%3").arg(clearBalloon ? "reset" : "change").arg(picture).arg(tip ? " " + *tip : ""));
    return true;
  }
  bool Remove() override {
    if (!present) return false;
    present = false;
    Record("remove");
    return true;
  }
  void PressLeft() { emit leftPressed(); }
  void ReleaseRight(QPoint at) { emit rightReleased(at); }

  bool hostRuns = true;
  bool present = false;
  QStringList log;
  std::vector<qint64> at;  // ms since the clock started, one per entry of the log
  QElapsedTimer clock;

 private:
  void Record(const QString& entry) {
    log << entry;
    at.push_back(clock.isValid() ? clock.elapsed() : 0);
  }
};

// As the window system reports the user's minimise (showMinimized would show it again).
void Minimise(QWidget& w) { w.setWindowState(Qt::WindowMinimized); }

class TrayTest : public ::testing::Test {
 protected:
  // A window started from a settings file holding `ini`.
  test::TestDialog& Start(const std::string& ini) {
    std::filesystem::create_directories(folder_.Path("Trovix"));
    folder_.Write("Trovix/trovix.ini", ini);
    fakes_.configFolder.folder = folder_.Path("");
    Services services = fakes_.services();
    services.trayIcon = &icon_;
    dialog_ = std::make_unique<test::TestDialog>(*state_, services);
    dialog_->show();  // as the program does; a start in the tray stays hidden
    return *dialog_;
  }
  test::TestDialog& StartInTray() { return Start("[Config]\r\nEnableFlipToTray=Yes\r\n"); }

  test::TempFolder folder_;
  test::Fakes fakes_;
  FakeTrayIcon icon_;
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  std::unique_ptr<test::TestDialog> dialog_;
};

TEST_F(TrayTest, StartsBehindTheIconAndLeftPressesShowAndHideIt) {
  auto& d = StartInTray();
  EXPECT_TRUE(d.isHidden());
  EXPECT_EQ(dialog_->options().InTray, 1);
  EXPECT_EQ(d.windowIcon().pixmap(32).toImage().convertToFormat(QImage::Format_ARGB32), IconPicture(kIconWindow));
  icon_.PressLeft();
  EXPECT_TRUE(d.isVisible());
  EXPECT_FALSE(d.isMinimized());
  EXPECT_EQ(dialog_->options().InTray, 0);
  icon_.PressLeft();
  EXPECT_TRUE(d.isHidden());
  EXPECT_EQ(dialog_->options().InTray, 1);
  icon_.PressLeft();
  EXPECT_TRUE(d.isVisible());
  d.Command(kIdCancel);
  EXPECT_EQ(icon_.log, QStringList({"add 113 Trovix", "remove"}));
}

TEST_F(TrayTest, WithoutANotificationAreaTheWindowStaysMinimisedAndVisible) {
  icon_.hostRuns = false;
  auto& d = StartInTray();
  EXPECT_TRUE(d.isVisible());
  EXPECT_TRUE(d.isMinimized());
  d.showNormal();
  Minimise(d);
  EXPECT_TRUE(d.isVisible());
  EXPECT_TRUE(icon_.log.isEmpty());
}

TEST_F(TrayTest, MinimisingHidesOnlyWithFlipToTrayOnAndCommand118SwitchesIt) {
  auto& d = Start("[Config]\r\nEnableFlipToTray=No\r\n");
  Minimise(d);
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(dialog_->options().InTray, 0);
  EXPECT_TRUE(icon_.log.isEmpty());

  d.Command(kCmdFlipToTray);  // the icon comes, the window stays in front
  EXPECT_TRUE(d.isVisible());
  EXPECT_FALSE(d.isMinimized());
  EXPECT_EQ(dialog_->options().InTray, 0);
  Minimise(d);
  EXPECT_TRUE(d.isHidden());
  EXPECT_EQ(dialog_->options().InTray, 1);

  dialog_->options().EnableTrayIconAnime = 1;
  d.Command(kCmdFlipToTray);  // off: the window comes back, the icon and its animation go
  EXPECT_TRUE(d.isVisible());
  EXPECT_FALSE(d.isMinimized());
  EXPECT_EQ(dialog_->options().EnableTrayIconAnime, 0);
  EXPECT_EQ(icon_.log, QStringList({"add 113 Trovix", "remove"}));
}

TEST_F(TrayTest, RightReleaseOpensTheMenuAtTheMouse) {
  auto& d = StartInTray();
  d.menuChoice = kCmdFlipToTray;
  icon_.ReleaseRight(QPoint(600, 12));
  // Once the icon's event is over: the command may remove the icon.
  EXPECT_FALSE(d.menuShownAt);
  QCoreApplication::processEvents();
  EXPECT_EQ(d.menuShownAt, QPoint(600, 12));
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 0);  // the chosen command ran
}

TEST_F(TrayTest, AnimationCyclesWhileACaptureRunsAndRestsWithinACycleOfStop) {
  auto& d = Start("[Config]\r\nEnableFlipToTray=Yes\r\nEnableTrayIconAnime=No\r\n");
  icon_.log.clear();
  d.Command(kCmdTrayAnime);  // no capture runs: back to rest at once
  EXPECT_EQ(icon_.log, QStringList({"reset 113 Trovix"}));
  d.Command(kCmdTrayAnime);
  EXPECT_EQ(dialog_->options().EnableTrayIconAnime, 0);

  // A stream that sends nothing runs until "stop".
  int stream[2];
  ASSERT_EQ(pipe2(stream, O_CLOEXEC), 0);
  d.OpenCaptureStream(stream[0], "standard input");
  ASSERT_TRUE(d.session().Running());
  icon_.log.clear();
  icon_.at.clear();
  icon_.clock.start();
  d.Command(kCmdTrayAnime);
  ASSERT_TRUE(QTest::qWaitFor([&] { return icon_.log.size() == 6; }, 5000));
  EXPECT_EQ(icon_.log, QStringList({"change 113 Trovix", "change 114", "change 115", "change 116",
                                    "change 113 Trovix", "change 114"}));
  for (size_t i = 1; i < icon_.at.size(); ++i) EXPECT_GE(icon_.at[i] - icon_.at[i - 1], 340) << i;

  qint64 stopped = icon_.clock.elapsed();
  d.Command(kIdStop);
  close(stream[1]);
  ASSERT_TRUE(QTest::qWaitFor([&] { return icon_.log.last() == "reset 113 Trovix"; }, 3000));
  EXPECT_LE(icon_.at.back() - stopped, 1400 + 100);
  EXPECT_EQ(icon_.log.mid(6), QStringList({"change 115", "change 116", "reset 113 Trovix"}));
  QTest::qWait(800);
  EXPECT_EQ(icon_.log.size(), 9);  // the worker ended
}

// A start that fails at once never animates the icon: nothing captures.
TEST_F(TrayTest, AnimationDoesNotRunForAStartThatFailed) {
  auto& d = Start("[Config]\r\nEnableFlipToTray=Yes\r\nEnableTrayIconAnime=Yes\r\n");
  test::Combo(d, kIdBind)->setCurrentText("2001:db8::77");  // an address no interface has
  icon_.log.clear();
  d.Command(kIdGo);
  ASSERT_FALSE(d.session().Running());
  QTest::qWait(3 * kTrayFrameMs);
  EXPECT_FALSE(icon_.log.contains("change 114")) << icon_.log.join(", ").toStdString();
}

// Which of the six nodes (top, middle left and right, bottom left, middle and right) each
// picture lights.
TEST(TrayIcons, EachPictureLightsItsNodes) {
  const QPoint nodes[] = {{16, 5}, {9, 16}, {23, 16}, {5, 27}, {16, 27}, {27, 27}};
  auto lit = [&](int resource) {
    QImage image = IconPicture(resource);
    EXPECT_EQ(image.size(), QSize(32, 32));
    QString marks;
    for (QPoint n : nodes) marks += image.pixelColor(n) == QColor(64, 255, 64) ? '1' : '0';
    return marks;
  };
  EXPECT_EQ(lit(112), "000000");
  EXPECT_EQ(lit(113), "100000");
  EXPECT_EQ(lit(114), "100101");
  EXPECT_EQ(lit(115), "011010");
  EXPECT_EQ(lit(116), "111111");
  EXPECT_TRUE(IconPicture(117).isNull());
}

}  // namespace
}  // namespace trovix
