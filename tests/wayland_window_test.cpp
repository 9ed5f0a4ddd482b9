// The real main window on a Wayland compositor (tests/wayland_window_test.sh starts a
// headless weston for it): shown, capturing, the details window, and "e&xit", all through
// Qt's wayland platform plugin rather than offscreen.
//
// The headless backend has no seat, so nothing outside this process can type or click into
// a window there: the clicks and keys go into Qt's own input queue (QTEST_QPA_MOUSE_HANDLING).
// That is also why the real trovix program is not run here: only Escape, the close box or
// "e&xit" end it with status 0 (a SIGTERM is no exit of its own), and no script can press
// them on this compositor.
#include <QAction>
#include <QDir>
#include <QLibraryInfo>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "capture/platform/helper_process.h"
#include "report/packet_report.h"
#include "report/report_items.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/gui_support.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "tests/skip_exit.h"
#include "ui/context_menu.h"

namespace trovix {
namespace {

using namespace resources;
using test::Button;
using test::Rows;

// Once the context menu is open, clicks its item `id` as a user would; the menu runs its
// own event loop, so the click is queued before the right click that opens it.
void ClickMenuItemWhenOpen(int id, const std::shared_ptr<bool>& clicked) {
  QTimer::singleShot(0, [id, clicked] {
    QMenu* menu = nullptr;
    if (!QTest::qWaitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr; },
                         5000) ||
        !QTest::qWaitForWindowExposed(menu)) {
      return;
    }
    QAction* item = FindCommand(*menu, id);
    if (item == nullptr) return;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
    *clicked = true;
  });
}

// Opens the window's menu over row `row` with a right click and chooses item `id`.
void ChooseFromMenuOverRow(MainDialog& d, int row, int id) {
  auto clicked = std::make_shared<bool>(false);
  ClickMenuItemWhenOpen(id, clicked);
  test::ClickRow(d, row, Qt::RightButton);
  EXPECT_TRUE(*clicked) << "the menu did not open, or had no item " << id;
}

TEST(WaylandWindow, CapturesShowsDetailsAndExitsWithZero) {
  ASSERT_EQ(QGuiApplication::platformName(), QString("wayland"));
  if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  auto state = std::make_unique<CaptureState>();  // its stores are too large for the stack
  test::Fakes fakes;
  fakes.host.adapters = {AdapterStatus::kOk, 0, {"198.18.0.1"}};
  MainDialog d(*state, fakes.services());
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  EXPECT_TRUE(d.isVisible());
  EXPECT_FALSE(d.isMinimized());

  // "on top" cannot be had here, and setting the flag would make the window anew.
  QTest::mouseClick(Button(d, kIdOnTop), Qt::LeftButton);
  EXPECT_TRUE(Button(d, kIdOnTop)->isChecked());
  EXPECT_FALSE(d.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

  test::Type(test::Combo(d, kIdBind), "127.0.0.1");
  test::Type(test::Combo(d, kIdFrom), "*:40261");
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  ASSERT_TRUE(Button(d, kIdStop)->isEnabled()) << Rows(d).join('\n').toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return state->run.capturing.load(); }, 3000));
  test::SendNumbered(40261, 40262, 4);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 4; }, 3000)) << d.packetList().rowCount();
  QTest::mouseClick(Button(d, kIdStop), Qt::LeftButton);
  EXPECT_TRUE(Button(d, kIdGo)->isEnabled());
  EXPECT_EQ(Rows(d)[2], "\t2\tudp\t127.0.0.1\t40261\t127.0.0.1\t40262\t32\t64");

  test::ClickRow(d, 2, Qt::LeftButton);
  ChooseFromMenuOverRow(d, 2, kCmdDetails);
  DetailsWindow* details = d.detailsWindow();
  ASSERT_NE(details, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(details));
  std::vector<std::string> items = SplitReportItems(BuildPacketReport(state->store, 2, {}).text);
  ASSERT_EQ(details->list()->count(), static_cast<int>(items.size()));
  EXPECT_EQ(details->list()->item(2)->text(), "packet2 udp ");

  ChooseFromMenuOverRow(d, 2, kCmdExit);
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(d.result(), 0);
  EXPECT_FALSE(d.isVisible());
}

// Qt aborts at start when the platform asked for has no plugin; a missing one is a skip.
bool WaylandPluginInstalled() {
  QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
  return !platforms.entryList({"libqwayland-*.so"}, QDir::Files).isEmpty();
}

}  // namespace
}  // namespace trovix

int main(int argc, char** argv) {
#ifdef TROVIX_CAPTURE_HELPER
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
#endif
  signal(SIGPIPE, SIG_IGN);
  if (!trovix::WaylandPluginInstalled()) {
    std::fprintf(stderr, "skipped: Qt has no wayland platform plugin here (Debian's qt6-wayland)\n");
    return trovix::test::kSkippedExitCode;
  }
  // The headless compositor has no seat, and Qt's own Wayland text-input context reaches
  // through the missing seat (a null pointer) as soon as a clicked field asks for an input
  // panel; Qt's compose context, its default on X11, handles keys without one.
  qputenv("QT_IM_MODULE", "compose");
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) std::fprintf(stderr, "the capturing window test will be skipped: %s\n", problem.c_str());
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return trovix::test::ExitCodeAfterSkips(RUN_ALL_TESTS());
}
