#include "ui/main_dialog.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>

#include <gtest/gtest.h>

#include "capture/packet_store.h"
#include "report/packet_report.h"
#include "report/report_items.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
#include "ui/context_menu.h"
#include "ui/dialog_units.h"

namespace trovix {
namespace {

using namespace resources;
using test::Button;
using test::Combo;
using test::Rows;

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes_.host.params.hostName = "box";
    fakes_.host.params.domainName = "example.test";
    fakes_.host.params.dnsServers = {"198.18.0.53", "198.18.0.54"};
    fakes_.host.adapters.status = AdapterStatus::kOk;
    fakes_.host.adapters.firstAddresses = {"198.18.0.1"};
  }
  test::TestDialog& Open() {
    dialog_ = std::make_unique<test::TestDialog>(*state_, fakes_.services());
    dialog_->show();
    dialog_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    return *dialog_;
  }
  // Stores datagrams as a capture would and lets the list show them.
  void StorePackets(int n) {
    PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
    dialog_->packetList().Clear();
    for (int k = 0; k < n; ++k) {
      auto d = test::MakeDatagram({.protocol = 17, .sport = static_cast<uint16_t>(1000 + k), .dport = 53, .payload = 4});
      ASSERT_EQ(AcceptDatagram(*state_, d.data(), d.size()), AcceptResult::kStored);
    }
    dialog_->packetList().FetchPublishedPackets();
  }
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::Fakes fakes_;
  std::unique_ptr<test::TestDialog> dialog_;
};

TEST_F(MainDialogTest, StartUpFillsTheListAndFields) {
  auto& d = Open();
  EXPECT_EQ(d.windowTitle(), "Trovix");
  EXPECT_EQ(Rows(d), QStringList({"Microsoft Windows 6.0 build 6000", "host name: box", "domain name: example.test",
                                  "DNS server(s): 198.18.0.53", " 198.18.0.54", "IP address(es): 198.18.0.1 "}));
  EXPECT_EQ(test::Items(Combo(d, kIdBind)), QStringList({"198.18.0.1", "127.0.0.1"}));
  EXPECT_EQ(Combo(d, kIdBind)->currentText(), "198.18.0.1");
  EXPECT_EQ(Combo(d, kIdFrom)->currentText(), "*:*");
  EXPECT_EQ(Combo(d, kIdTo)->currentText(), "*:*");
  EXPECT_TRUE(Button(d, kIdTcp)->isChecked());
  EXPECT_TRUE(Button(d, kIdUdp)->isChecked());
  for (int id : {kIdIcmp, kIdIgmp, kIdRaw, kIdBothTraffic, kIdOnTop}) EXPECT_FALSE(Button(d, id)->isChecked()) << id;
  EXPECT_TRUE(Button(d, kIdGo)->isEnabled());
  EXPECT_FALSE(Button(d, kIdStop)->isEnabled());
  EXPECT_TRUE(Button(d, kIdBothTraffic)->isEnabled());
  EXPECT_FALSE(d.session().Running());
  QWidget* focus = QApplication::focusWidget();
  EXPECT_TRUE(focus == Combo(d, kIdBind) || focus == Combo(d, kIdBind)->lineEdit());
}

// The seed's size is the first and the least; a larger window gives its room to the list
// (and the headers' strip), and every other control stays where it was.
TEST_F(MainDialogTest, ControlsStandAtTheirTemplatePlacesAndALargerWindowGivesTheListTheRoom) {
  auto& d = Open();
  DialogUnits du(d.font());
  for (const ControlTemplate& c : kMainControls) {
    QWidget* w = d.Control(c.id);
    ASSERT_NE(w, nullptr) << c.id;
    EXPECT_EQ(w->mapTo(&d, QPoint(0, 0)), QPoint(du.X(c.x), du.Y(c.y))) << c.id;
    if (c.kind != ControlKind::kComboDropDown) {
      EXPECT_EQ(w->size(), QSize(du.X(c.width), du.Y(c.height))) << c.id;
    }
    if (auto* label = qobject_cast<QLabel*>(w)) {
      EXPECT_EQ(label->text(), c.text);
    }
  }
  EXPECT_EQ(d.minimumSize(), QSize(du.X(309), du.Y(227)));
  EXPECT_EQ(d.size(), QSize(du.X(309), du.Y(227)));
  EXPECT_TRUE(d.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(d.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  QRect list = d.packetListView()->geometry();
  QRect go = d.Control(kIdGo)->geometry();
  int strip = d.Control(1025)->parentWidget()->width();
  d.resize(d.size() + QSize(200, 150));
  EXPECT_EQ(d.packetListView()->geometry(), list.adjusted(0, 0, 200, 150));
  EXPECT_EQ(d.Control(1025)->parentWidget()->width(), strip + 200);
  EXPECT_EQ(d.Control(kIdGo)->geometry(), go);
}

TEST_F(MainDialogTest, NoAdapterAndFailedQueries) {
  fakes_.host.params.error = 5;
  fakes_.host.adapters = {AdapterStatus::kNoData, 0, {}};
  auto& d = Open();
  QStringList rows = Rows(d);
  EXPECT_EQ(rows.mid(1), QStringList({"call to GetNetworkParams failed, return value: 00000005",
                                      "no adapter information exists for the local computer",
                                      "local host IP address: 127.0.0.1"}));
  EXPECT_EQ(test::Items(Combo(d, kIdBind)), QStringList({"127.0.0.1", "127.0.0.1"}));
}

TEST_F(MainDialogTest, RefusedPlatformCanNeverCapture) {
  fakes_.version = VersionRecordSource(VersionRecord{kPlatformWin32Windows, 4, 10, 2222, " A "});
  auto& d = Open();
  EXPECT_EQ(Rows(d).first(), "Microsoft Windows 98 SE ");
  EXPECT_EQ(Rows(d).last(), "  OS Windows 2000 or later required!");
  EXPECT_FALSE(Button(d, kIdGo)->isEnabled());
  EXPECT_FALSE(Button(d, kIdStop)->isEnabled());
  EXPECT_FALSE(d.session().Running());
}

TEST_F(MainDialogTest, FailedVersionQueryLeavesTheTemplateState) {
  fakes_.version = VersionRecordSource(std::nullopt);
  auto& d = Open();
  EXPECT_EQ(d.packetList().rowCount(), 0);
  EXPECT_TRUE(Button(d, kIdStop)->isEnabled());
  EXPECT_FALSE(Button(d, kIdTcp)->isChecked());
  EXPECT_EQ(Combo(d, kIdBind)->count(), 0);
}

TEST_F(MainDialogTest, GoWithoutTheRightSaysSoAndStaysDisabled) {
  fakes_.privilege = test::FakePrivilegeCheck(1, false);
  auto& d = Open();
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  EXPECT_EQ(Rows(d), QStringList({" administrators rights required!"}));
  EXPECT_FALSE(Button(d, kIdGo)->isEnabled());
  EXPECT_FALSE(Button(d, kIdStop)->isEnabled());
  EXPECT_TRUE(Button(d, kIdBothTraffic)->isEnabled());
  EXPECT_FALSE(state_->run.thread.joinable());
  EXPECT_FALSE(d.session().Running());  // no capture, so no animation either
}

TEST_F(MainDialogTest, GoWhenTheCheckItselfFails) {
  fakes_.privilege = test::FakePrivilegeCheck(0, false);
  auto& d = Open();
  test::Type(Combo(d, kIdFrom), "10.0.0.1:80");
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  EXPECT_EQ(Rows(d), QStringList({" internal error: administrators rights required!"}));
  EXPECT_FALSE(Button(d, kIdGo)->isEnabled());
  // The fields were read and kept in their lists all the same.
  EXPECT_EQ(test::Items(Combo(d, kIdFrom)), QStringList({"10.0.0.1:80"}));
  EXPECT_EQ(state_->sourceFilter.port, 80u);
}

TEST_F(MainDialogTest, TypedFieldTextsAreNotCompletedFromTheHistory) {
  fakes_.privilege = test::FakePrivilegeCheck(0, false);  // "go!" reads the fields, then stops
  auto& d = Open();
  Combo(d, kIdFrom)->addItem("*:8080");
  Combo(d, kIdTo)->addItem("10.0.0.1:53");
  for (auto [id, typed] : {std::pair{kIdFrom, "*:80"}, {kIdTo, "10"}, {kIdBind, "127"}}) {
    test::Type(Combo(d, id), typed);
    EXPECT_EQ(Combo(d, id)->currentText(), typed) << id;
  }
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  EXPECT_EQ(state_->sourceFilter.port, 80u);
  EXPECT_STREQ(state_->destinationFilter.address, "*:*");  // "10" has no colon: any address
  EXPECT_STREQ(state_->bindText, "127");
}

TEST_F(MainDialogTest, TypingStopsAt21CharactersWhileSetTextsStandWhole) {
  fakes_.privilege = test::FakePrivilegeCheck(0, false);
  auto& d = Open();
  test::Type(Combo(d, kIdFrom), "192.168.100.200:1234567");
  EXPECT_EQ(Combo(d, kIdFrom)->currentText(), "192.168.100.200:12345");

  // A text the program sets (up to 23 characters) stands whole and "go!" reads it all;
  // typing cannot lengthen it but can shorten it.
  Combo(d, kIdTo)->setEditText("192.168.100.200:1234567");
  QLineEdit* to = Combo(d, kIdTo)->lineEdit();
  QTest::mouseClick(to, Qt::LeftButton);
  QTest::keyClick(to, Qt::Key_End);
  QTest::keyClicks(to, "8");
  EXPECT_EQ(to->text(), "192.168.100.200:1234567");
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  EXPECT_EQ(test::Items(Combo(d, kIdTo)), QStringList({"192.168.100.200:1234567"}));
  QTest::keyClick(to, Qt::Key_Backspace);
  EXPECT_EQ(to->text(), "192.168.100.200:123456");
}

TEST_F(MainDialogTest, OptionCommandsAndTheirMenuMarks) {
  auto& d = Open();
  auto marks = [&] {
    auto menu = BuildContextMenu(d.options(), true, &d);
    QString out;
    for (int id : {kCmdSavePreferences, kCmdFlipToTray, kCmdTrayAnime, kCmdHexOnlyUdp, kCmdHexTcpAndUdp,
                   kCmdTcpTextView, kCmdTcpAsciiView}) {
      QAction* a = FindCommand(*menu, id);
      out += QString("%1%2%3 ").arg(id).arg(a->isChecked() ? "v" : "").arg(a->isEnabled() ? "" : "g");
    }
    return out.trimmed();
  };
  EXPECT_EQ(marks(), "125 118 123g 119 122 120 121");
  dialog_->options().EnableTrayIconAnime = 1;  // greyed without a check mark while flipping is off
  EXPECT_EQ(marks(), "125 118 123g 119 122 120 121");
  for (int id : {kCmdFlipToTray, kCmdSavePreferences, kCmdHexTcpAndUdp, kCmdTcpAsciiView}) d.Command(id);
  EXPECT_EQ(marks(), "125v 118v 123v 119 122v 120 121v");
  for (int id : {kCmdTrayAnime, kCmdHexOnlyUdp, kCmdTcpTextView, kCmdSavePreferences}) d.Command(id);
  EXPECT_EQ(marks(), "125 118v 123 119v 122 120v 121");
  EXPECT_EQ(dialog_->options().DataInHexViewTcpAndUdp, 0);
  EXPECT_EQ(dialog_->options().TcpDataInAsciiView, 0);
}

TEST_F(MainDialogTest, MenuHoldsItsItemsInOrder) {
  auto& d = Open();
  auto menu = BuildContextMenu(d.options(), true, &d);
  QStringList top;
  for (QAction* a : menu->actions()) top << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(top, QStringList({"packets in &details", "save &packets source", "&save sniff log",
                              "open &capture file...", "capture &expression...", "&filter the list", "filter the &list",
                              "sho&w all", "show &times", "show &programs", "only this &program", "show &info",
                              "show &names", "look &up names", "&statistics", "&about...", "-", "&options", "-",
                              "e&xit"}));
  QMenu* options = menu->actions()[17]->menu();
  QStringList inner;
  for (QAction* a : options->actions()) inner << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(inner, QStringList({"data in &hex-view", "&view TCP data", "f&lip to tray", "&tray icon anime",
                                "capture IPv&6 too", "keep &more", "as&k before discarding", "-",
                                "save session pre&ferences", "-"}));
  EXPECT_EQ(FindCommand(*menu, kCmdHexTcpAndUdp)->text(), "TCP and UDP");
  // Only the options show a check mark.
  QStringList checkable;
  for (QMenu* m : {menu.get(), options, options->actions()[0]->menu(), options->actions()[1]->menu()}) {
    for (QAction* a : m->actions()) {
      if (a->isCheckable()) checkable << QString::number(a->data().toInt());
    }
  }
  EXPECT_EQ(checkable.join(' '), "134 135 137 138 139 118 123 128 129 131 125 119 122 120 121");
}

TEST_F(MainDialogTest, TheRightButtonOpensTheMenuWithoutSelecting) {
  auto& d = Open();
  StorePackets(5);
  test::ClickRow(d, 3, Qt::LeftButton);
  test::ClickRow(d, 1, Qt::RightButton);
  ASSERT_TRUE(d.menuShownAt.has_value());
  EXPECT_EQ(*d.menuShownAt, test::RowPoint(d, 1));
  EXPECT_EQ(d.packetListView()->currentIndex().row(), 3);
  EXPECT_EQ(state_->selectedPacketIndex.load(), 3);

  test::ClickRow(d, 3, Qt::LeftButton, Qt::ControlModifier);  // deselects: no row selected
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(state_->selectedPacketIndex.load(), -1);
}

TEST_F(MainDialogTest, OnlyAMenuOverTheListTakesItsSelection) {
  auto& d = Open();
  StorePackets(5);
  test::ClickRow(d, 3, Qt::LeftButton);
  QTest::mouseClick(d.packetListView()->verticalScrollBar(), Qt::RightButton);  // part of the list
  ASSERT_TRUE(d.menuShownAt.has_value());
  EXPECT_EQ(state_->selectedPacketIndex.load(), 3);

  test::ClickRow(d, 1, Qt::LeftButton);
  d.menuShownAt.reset();
  QWidget* go = d.Control(kIdGo);
  QTest::mouseClick(go, Qt::RightButton, {}, QPoint(3, 3));
  ASSERT_TRUE(d.menuShownAt.has_value());
  EXPECT_EQ(*d.menuShownAt, go->mapToGlobal(QPoint(3, 3)));
  EXPECT_EQ(state_->selectedPacketIndex.load(), 3);

  d.menuShownAt.reset();
  // The menu key: the window system turns it into this request to the focused widget
  // (the offscreen platform has no such key handling of its own).
  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(0, 0), d.packetListView()->mapToGlobal(QPoint(0, 0)));
  QApplication::sendEvent(d.packetListView(), &key);
  ASSERT_TRUE(d.menuShownAt.has_value());
  EXPECT_EQ(*d.menuShownAt, d.frameGeometry().topLeft() + QPoint(5, 5));
  EXPECT_EQ(state_->selectedPacketIndex.load(), 3);
}

TEST_F(MainDialogTest, DetailsWindowShowsTheChosenRowsReport) {
  auto& d = Open();
  StorePackets(4);
  test::ClickRow(d, 2, Qt::LeftButton);
  d.menuChoice = kCmdDetails;
  test::ClickRow(d, 2, Qt::RightButton);
  DetailsWindow* details = d.detailsWindow();
  ASSERT_NE(details, nullptr);
  EXPECT_EQ(details->windowTitle(), "packets in details");
  EXPECT_TRUE(details->isVisible());
  PacketReport expected = BuildPacketReport(state_->store, 2, {});
  std::vector<std::string> items = SplitReportItems(expected.text);
  ASSERT_EQ(details->list()->count(), static_cast<int>(items.size()));
  for (int i = 0; i < details->list()->count(); ++i) EXPECT_EQ(details->list()->item(i)->text().toStdString(), items[i]);
  EXPECT_EQ(details->list()->currentItem()->text(), "packet2 udp ");

  // Again: the same window, refilled rather than added to.
  d.Command(kCmdDetails);
  EXPECT_EQ(d.detailsWindow(), details);
  EXPECT_EQ(details->list()->count(), static_cast<int>(items.size()));

  // Closed, then reopened: a fresh window.
  details->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(d.detailsWindow(), nullptr);
  d.Command(kCmdDetails);
  ASSERT_NE(d.detailsWindow(), nullptr);
  EXPECT_EQ(d.detailsWindow()->list()->count(), static_cast<int>(items.size()));
}

TEST_F(MainDialogTest, DetailsWithNothingCapturedSaysSoInTheMainList) {
  auto& d = Open();
  int rows = d.packetList().rowCount();
  d.Command(kCmdDetails);
  ASSERT_NE(d.detailsWindow(), nullptr);
  EXPECT_EQ(d.detailsWindow()->list()->count(), 0);
  ASSERT_EQ(d.packetList().rowCount(), rows + 1);
  EXPECT_EQ(Rows(d).last(), "don't found data!");
}

TEST_F(MainDialogTest, AMessageRowNeverShowsAnotherPacketsReport) {
  auto& d = Open();
  StorePackets(2);
  d.packetList().AddText("don't found data!");  // as if added while a capture was starting
  test::ClickRow(d, 2, Qt::LeftButton);
  d.menuChoice = kCmdDetails;
  test::ClickRow(d, 2, Qt::RightButton);
  ASSERT_NE(d.detailsWindow(), nullptr);
  EXPECT_EQ(d.detailsWindow()->list()->count(), 1);
  EXPECT_EQ(d.detailsWindow()->list()->item(0)->text(), "the selected row is not a packet line");
}

TEST_F(MainDialogTest, NoRowSelectedReportsPacketZeroAndRemembersIt) {
  auto& d = Open();
  StorePackets(2);
  state_->selectedPacketIndex = -1;
  d.Command(kCmdDetails);
  EXPECT_EQ(state_->selectedPacketIndex.load(), 0);
  EXPECT_EQ(d.detailsWindow()->list()->currentItem()->text(), "packet0 udp ");
}

// Counts the paint events a widget receives.
struct PaintCount : QObject {
  explicit PaintCount(QWidget* w) { w->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    count += event->type() == QEvent::Paint ? 1 : 0;
    return false;
  }
  int count = 0;
};

// A flood adds rows below those on screen at every update: they lengthen the scroll range
// but paint nothing on screen again, and a user scrolled up stays where they are. A list
// emptied meanwhile is painted.
TEST_F(MainDialogTest, RowsAddedBelowTheScreenRepaintNothingAndMoveNoOne) {
  auto& d = Open();
  StorePackets(100);
  QTest::qWait(50);
  QListView* view = d.packetListView();
  test::ClickRow(d, 0, Qt::LeftButton);
  QTest::keyClick(view, Qt::Key_PageDown);
  QTest::keyClick(view, Qt::Key_PageDown);
  QTest::qWait(50);
  int scrolled = view->verticalScrollBar()->value(), range = view->verticalScrollBar()->maximum();
  ASSERT_GT(scrolled, 0);
  PaintCount paints(view->viewport());
  auto more = [&](int n) {
    for (int k = 0; k < n; ++k) {
      auto datagram = test::MakeDatagram({.protocol = 17, .sport = 2000, .dport = 53});
      ASSERT_EQ(AcceptDatagram(*state_, datagram.data(), datagram.size()), AcceptResult::kStored);
    }
    d.packetList().FetchPublishedPackets();
  };
  more(50);
  QTest::qWait(50);
  EXPECT_EQ(paints.count, 0);
  EXPECT_EQ(view->verticalScrollBar()->maximum(), range + 50);
  EXPECT_EQ(view->verticalScrollBar()->value(), scrolled);

  more(5);
  d.packetList().Clear();  // as "go!" does, before the list laid those rows out
  QTest::qWait(50);
  EXPECT_GT(paints.count, 0);
}

TEST_F(MainDialogTest, OnTopFollowsItsButton) {
  auto& d = Open();
  QTest::mouseClick(Button(d, kIdOnTop), Qt::LeftButton);
  EXPECT_TRUE(d.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(d.isVisible());
  QTest::mouseClick(Button(d, kIdOnTop), Qt::LeftButton);
  EXPECT_FALSE(d.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(MainDialogTest, EscapeRunsTheExitSequenceEnterDoesNothing) {
  auto& d = Open();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);  // in the bind field
  EXPECT_EQ(test::Rows(d).size(), 6);
  EXPECT_TRUE(d.isVisible());
  EXPECT_FALSE(d.exited());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  EXPECT_TRUE(d.exited());
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), 0);
}

TEST_F(MainDialogTest, BringToFrontActivatesAShownWindowNotAMinimisedOne) {
  auto& d = Open();
  QWidget other;
  auto activate = [](QWidget& w) {
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w);
  };
  ASSERT_TRUE(activate(other));
  d.BringToFront();
  EXPECT_TRUE(QTest::qWaitForWindowActive(&d));

  // A hidden window cannot be activated here whatever BringToFront does, so only the
  // minimised one shows the guard at work.
  d.showMinimized();
  ASSERT_TRUE(activate(other));
  d.BringToFront();
  QTest::qWait(50);
  EXPECT_EQ(QApplication::activeWindow(), &other);
  EXPECT_TRUE(d.isMinimized());
}

}  // namespace
}  // namespace trovix
