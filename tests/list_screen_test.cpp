// The packet list as the X server shows it (tests/list_screen_test.sh starts Xvfb and
// openbox): every field of every row on screen is there after live captures, a file, wheel
// notches down and sideways, and rows that came while off screen. The screen is read back
// from the server; the wheel turns are the server's own button events (xdotool).
#include <QScreen>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <pcap/dlt.h>

#include <atomic>
#include <thread>

#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "tests/pcap_bytes.h"
#include "tests/temp_files.h"
#include "ui/packet_row_delegate.h"

namespace trovix {
namespace {

using namespace resources;
using test::Button;

enum Wheel { kDown = 5, kLeft = 6, kRight = 7 };  // X pointer buttons

class ListScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), QString("xcb"));
    Services services = fakes_.services();
    services.openPrompt = &prompt_;
    dialog_ = std::make_unique<test::TestDialog>(*state_, services);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    dialog_->options().CaptureIpv6 = 1;
    Settle();
  }
  // Long enough for the server's events to come in and every paint to reach the server.
  void Settle() { QTest::qWait(300); }
  void Turn(Wheel wheel, int notches = 1) {
    QPoint at = list()->viewport()->mapToGlobal(list()->viewport()->rect().center());
    std::string command = "xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                          " click --repeat " + std::to_string(notches) + " --delay 30 " + std::to_string(wheel);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    Settle();
  }
  void Press(int id) {
    if (Button(*dialog_, id)->isEnabled()) QTest::mouseClick(Button(*dialog_, id), Qt::LeftButton);
  }
  QListView* list() { return dialog_->packetListView(); }

  // "row R field F" for each field of a row whole on screen whose text lies within the
  // list but that the screen does not show: no ink there, or not what the list paints
  // when asked now (its own fresh painting, what the screen should show). Scrolled to the
  // rows' end, also "... beyond" for each column that ends past the list's right edge.
  // A busy machine may still be painting: asked again for up to 2 s.
  QStringList Missing() {
    QStringList missing = MissingNow();
    for (int i = 0; i < 10 && !missing.isEmpty(); ++i) {
      QTest::qWait(200);
      missing = MissingNow();
    }
    return missing;
  }
  QStringList MissingNow() {
    QWidget* viewport = list()->viewport();
    QPoint at = viewport->mapToGlobal(QPoint()) - viewport->screen()->geometry().topLeft();
    QImage shown = viewport->screen()->grabWindow(0, at.x(), at.y(), viewport->width(), viewport->height()).toImage();
    QImage fresh = viewport->grab().toImage();
    QRgb base = list()->palette().color(QPalette::Base).rgb();
    auto* delegate = static_cast<PacketRowDelegate*>(list()->itemDelegate());
    bool atEnd = list()->horizontalScrollBar()->value() == list()->horizontalScrollBar()->maximum();
    auto shows = [&](const QRect& box) {
      bool ink = false;
      for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
          if ((shown.pixel(x, y) ^ fresh.pixel(x, y)) & 0xFFFFFF) return false;
          ink = ink || ((shown.pixel(x, y) ^ base) & 0xFFFFFF) != 0;
        }
      }
      return ink;
    };
    QStringList missing;
    for (int row = 0; row < list()->model()->rowCount(); ++row) {
      QRect rect = list()->visualRect(list()->model()->index(row, 0));
      if (rect.top() < 0 || rect.bottom() >= viewport->height()) continue;
      QStringList fields = list()->model()->index(row, 0).data().toString().split('\t');
      for (int f = 0; f < fields.size(); ++f) {
        QString where = QString("row %1 field %2").arg(row).arg(f);
        if (f > 0 && atEnd && rect.left() + delegate->FieldX(f + 1) > viewport->width()) missing << where + " beyond";
        QRect box(rect.left() + (f == 0 ? 2 : delegate->FieldX(f)), rect.top() + 1,
                  list()->fontMetrics().horizontalAdvance(fields[f]), rect.height() - 2);
        if (fields[f].isEmpty() || box.left() < 0 || box.right() >= viewport->width() || shows(box)) continue;
        missing << where;
      }
    }
    return missing;
  }

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::Fakes fakes_;
  test::ScriptedOpenPrompt prompt_;
  std::unique_ptr<test::TestDialog> dialog_;
};

// Live captures over 127.0.0.1 and ::1: small datagrams, then 60,000-byte ones until the
// seed's store is full, which ends the capture with its line below the rows; small ones and
// "stop"; a stream whose rows come in below the screen while the wheel turns to them. Then
// each time sideways to the rows' end, where the ttl column shows whole.
TEST_F(ListScreen, EveryRowIsShownAfterALiveCapture) {
  if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  enum Ending { kStoreFull, kStop, kScrolledTo };
  const char* said[] = {"store full", "stop", "scrolled to as they come"};
  for (Ending ending : {kStoreFull, kStop, kScrolledTo}) {
    for (int family : {AF_INET, AF_INET6}) {
      SCOPED_TRACE(std::string(said[ending]) + (family == AF_INET ? ", IPv4" : ", IPv6"));
      test::Type(test::Combo(*dialog_, kIdBind), family == AF_INET ? "127.0.0.1" : "::1");
      Press(kIdGo);
      ASSERT_TRUE(QTest::qWaitFor([&] { return state_->run.capturing.load(); }, 5000));
      std::atomic<bool> streaming{ending == kScrolledTo};
      std::thread stream([&] {
        for (; streaming; std::this_thread::sleep_for(std::chrono::milliseconds(4))) {
          test::SendNumbered(40261, 40262, 1, 4, nullptr, nullptr, family);
        }
      });
      test::SendNumbered(40261, 40262, 30, 4, nullptr, nullptr, family);
      if (ending == kStoreFull) test::SendNumbered(40261, 40262, 20, 60000, nullptr, nullptr, family);
      ASSERT_TRUE(QTest::qWaitFor([&] { return dialog_->packetList().rowCount() >= 30; }, 5000));
      for (int turn = 0; streaming && turn < 8; ++turn) Turn(kDown, 2);
      streaming = false;
      stream.join();
      QTest::qWait(200);  // a hand-over of the helper's ring
      Press(kIdStop);
      Settle();
      EXPECT_EQ(Missing(), QStringList());
      Turn(kRight, 5);
      EXPECT_EQ(Missing(), QStringList()) << "at the rows' end";
      Turn(kLeft, 5);
    }
  }
}

// A file whose long IPv6 addresses and five-digit size widen the columns: opened, one
// notch down, one notch right, then right to the rows' end.
TEST_F(ListScreen, AFileShowsEveryRowAfterWheelNotchesDownAndSideways) {
  std::string records;
  for (uint16_t k = 0; k < 40; ++k) {
    size_t payload = k == 5 ? 40000 : 4;
    records += test::PcapRecord(k % 7 == 3 ? test::MakeIpv6Datagram({17, "2001:db8:1111:2222:3333:4444:5555:6666",
                                                                     "2001:db8::2", k, 53})
                                           : test::MakeDatagram({17, "198.18.0.1", "198.18.0.2", k, 53, payload}),
                                k, 0);
  }
  test::TempFolder folder;
  prompt_.answer = QString::fromStdString(folder.Write("forty.pcap", test::PcapHeader(DLT_RAW) + records));
  dialog_->Command(kCmdOpenCaptureFile);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Button(*dialog_, kIdStop)->isEnabled(); }, 10000));
  Settle();
  EXPECT_EQ(Missing(), QStringList()) << "opened";
  Turn(kDown);
  EXPECT_EQ(Missing(), QStringList()) << "one notch down";
  Turn(kRight);
  EXPECT_EQ(Missing(), QStringList()) << "one notch right";
  Turn(kRight, 5);
  EXPECT_EQ(Missing(), QStringList()) << "at the rows' end";
}

}  // namespace
}  // namespace trovix
