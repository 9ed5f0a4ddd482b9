// The real window capturing real traffic inside the test's own network namespace.
#include <QClipboard>
#include <QInputDialog>
#include <QLineEdit>
#include <QTimer>
#include <QImage>
#include <QLabel>
#include <QScrollBar>
#include <QTableView>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/packet_store.h"
#include "capture/platform/helper_process.h"
#include "report/packet_report.h"
#include "report/report_items.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/capture_helpers.h"
#include "tests/command_output.h"
#include "tests/gui_support.h"
#include "ui/packet_row_delegate.h"
#include "ui/statistics_window.h"
#include "ui/tray_icon.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "tests/ssh_server.h"
#include "tests/temp_files.h"
#include "tests/veth6_traffic.h"

namespace trovix {
namespace {

using namespace resources;
using test::Button;
using test::Combo;
using test::Rows;

class WindowCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
    fakes_.host.adapters = {AdapterStatus::kOk, 0, {"198.18.0.1"}};
    Services services = fakes_.services();
    services.trayIcon = &icon_;
    dialog_ = std::make_unique<test::TestDialog>(*state_, services);
    dialog_->show();
    dialog_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
  }
  void Go(const QString& bind, const QString& from = "*:*", const QString& to = "*:*") {
    test::Type(Combo(*dialog_, kIdBind), bind);
    test::Type(Combo(*dialog_, kIdFrom), from);
    test::Type(Combo(*dialog_, kIdTo), to);
    Press(kIdGo);
    AwaitCapturing();
  }
  // "go!" returns while the helper still opens its socket: traffic waits for it.
  void AwaitCapturing() {
    if (!Button(*dialog_, kIdStop)->isEnabled()) return;
    EXPECT_TRUE(QTest::qWaitFor([&] { return state_->run.capturing.load(); }, 3000));
  }
  void Press(int id) { QTest::mouseClick(Button(*dialog_, id), Qt::LeftButton); }
  void ExpectIdle() {
    EXPECT_TRUE(Button(*dialog_, kIdGo)->isEnabled());
    EXPECT_FALSE(Button(*dialog_, kIdStop)->isEnabled());
    EXPECT_TRUE(Button(*dialog_, kIdBothTraffic)->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), Button(*dialog_, kIdGo));
    EXPECT_FALSE(dialog_->session().Running());
  }

  // A notification-area icon that keeps the last tip it was given.
  struct TipIcon : TrayIcon {
    bool Add(int, const QString& given) override { return tip = given, true; }
    bool Modify(int, const std::optional<QString>& given, bool) override { return tip = given.value_or(tip), true; }
    bool Remove() override { return true; }
    QString tip;
  };

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::Fakes fakes_;
  TipIcon icon_;
  std::unique_ptr<test::TestDialog> dialog_;
};

TEST_F(WindowCapture, GoShowsLiveTrafficAndStopKeepsIt) {
  auto& d = *dialog_;
  Go("127.0.0.1", "*:40201", "*:40202");
  EXPECT_EQ(d.packetList().rowCount(), 0);  // the host lines went with "go!"
  EXPECT_FALSE(Button(d, kIdGo)->isEnabled());
  EXPECT_TRUE(Button(d, kIdStop)->isEnabled());
  EXPECT_FALSE(Button(d, kIdBothTraffic)->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), Button(d, kIdStop));

  test::SendNumbered(40201, 40202, 5);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 5; }, 3000)) << d.packetList().rowCount();
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(Rows(d)[k], QString("\t%1\tudp\t127.0.0.1\t40201\t127.0.0.1\t40202\t32\t64").arg(k));
  }
  Press(kIdStop);
  ExpectIdle();
  EXPECT_EQ(d.packetList().rowCount(), 5);

  // Details of a chosen row: that packet's report.
  test::ClickRow(d, 3, Qt::LeftButton);
  d.menuChoice = kCmdDetails;
  test::ClickRow(d, 3, Qt::RightButton);
  std::vector<std::string> items = SplitReportItems(BuildPacketReport(state_->store, 3, {}).text);
  ASSERT_NE(d.detailsWindow(), nullptr);
  ASSERT_EQ(d.detailsWindow()->list()->count(), static_cast<int>(items.size()));
  EXPECT_EQ(d.detailsWindow()->list()->item(2)->text(), "packet3 udp ");
  uint32_t seq;
  StoredPacket p;
  ASSERT_TRUE(LocatePacket(state_->store, 3, p));
  std::memcpy(&seq, p.bytes + 28, 4);
  EXPECT_EQ(seq, 3u);
}

// The statistics window follows a running capture: its conversation's counts grow while
// it runs, and a new capture starts the tables anew.
TEST_F(WindowCapture, TheStatisticsFollowALiveCapture) {
  auto& d = *dialog_;
  Go("127.0.0.1", "*:40211", "*:40212");
  QTest::keyClick(&d, Qt::Key_T, Qt::ControlModifier);
  ASSERT_NE(d.statisticsWindow(), nullptr);
  QAbstractItemModel* conversations = d.statisticsWindow()->table(StatisticsWindow::kConversationsTab)->model();
  auto packets = [&] {
    return conversations->rowCount() == 1 ? conversations->index(0, 9).data().toString() : QString();
  };
  test::SendNumbered(40211, 40212, 3);
  EXPECT_TRUE(QTest::qWaitFor([&] { return packets() == "3"; }, 3000)) << packets().toStdString();
  test::SendNumbered(40211, 40212, 2);
  EXPECT_TRUE(QTest::qWaitFor([&] { return packets() == "5"; }, 3000)) << packets().toStdString();
  EXPECT_TRUE(d.session().Running());
  EXPECT_EQ(conversations->index(0, 1).data().toString() + ":" + conversations->index(0, 2).data().toString(),
            "127.0.0.1:40211");
  Press(kIdStop);
  d.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  Go("127.0.0.1", "*:40211", "*:40212");
  EXPECT_EQ(conversations->rowCount(), 0);
  Press(kIdStop);
}

TEST_F(WindowCapture, Ipv6IsListedOnceItsMenuCommandIsOn) {
  auto& d = *dialog_;
  ASSERT_EQ(dialog_->options().CaptureIpv6, 0);
  d.menuChoice = kCmdCaptureIpv6;
  test::ClickRow(d, 0, Qt::RightButton);
  ASSERT_EQ(dialog_->options().CaptureIpv6, 1);
  Go("127.0.0.1", "[::1]:40251", "*:*");
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 self{}, to{};
  self.sin6_family = to.sin6_family = AF_INET6;
  self.sin6_addr = to.sin6_addr = in6addr_loopback;
  self.sin6_port = htons(40251);
  to.sin6_port = htons(40252);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
  for (size_t size : {4, 5}) ASSERT_GT(sendto(fd, "trovix", size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  close(fd);
  test::SendNumbered(40251, 40252, 1);  // IPv4: the filter is IPv6's
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 2; }, 3000)) << d.packetList().rowCount();
  QTest::qWait(100);
  EXPECT_EQ(Rows(d), QStringList({"\t0\tudp\t::1\t40251\t::1\t40252\t52\t64", "\t1\tudp\t::1\t40251\t::1\t40252\t53\t64"}));
  Press(kIdStop);
}

// A column widens for every row to its widest text and a gap: a long IPv6 address widens
// both address columns, so that no address is cut and the ports stay beside their
// addresses, and a 65212-byte datagram the size column. The headers follow their columns,
// also when the rows are scrolled sideways, cut off at the list's edges.
TEST_F(WindowCapture, ColumnsWidenToTheirWidestTextAndTheHeadersFollowThem) {
  const char* kLong = "2001:db8:1111:2222:3333:4444:5555:6666";
  ASSERT_TRUE(test::Run(std::string("ip -6 addr add ") + kLong + "/128 dev lo nodad"));
  auto& d = *dialog_;
  QListView* list = d.packetListView();
  const QRect listRect(list->mapTo(&d, QPoint()), list->size());  // in the window
  auto* delegate = static_cast<PacketRowDelegate*>(list->itemDelegate());
  // For each header: its left edge from where its column's text begins, its width less
  // its column's.
  auto headers = [&] {
    std::vector<std::pair<int, int>> placed;
    for (int field = 1; field <= 8; ++field) {
      QWidget* header = d.Control(1024 + field);
      int text = list->viewport()->mapTo(list, list->visualRect(list->model()->index(0, 0)).topLeft()).x() +
                 delegate->FieldX(field);
      int column = delegate->FieldX(field + 1) - delegate->FieldX(field);
      placed.emplace_back(header->mapTo(&d, QPoint()).x() - listRect.x() - text, header->width() - column);
    }
    return placed;
  };
  const auto firstSight = headers();
  d.menuChoice = kCmdCaptureIpv6;
  test::ClickRow(d, 0, Qt::RightButton);
  int portColumn = delegate->FieldX(4), rowWidth = list->horizontalScrollBar()->maximum();
  // Typed key by key: a filter in IPv6 form may be longer than an IPv4 text.
  Go("127.0.0.1", QString("[%1]:40261").arg(kLong), "*:*");
  test::SendNumbered(40261, 40262, 1);  // IPv4: the filter is IPv6's
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 self{}, to{};
  self.sin6_family = to.sin6_family = AF_INET6;
  inet_pton(AF_INET6, kLong, &self.sin6_addr);
  to.sin6_addr = self.sin6_addr;
  self.sin6_port = htons(40261);
  to.sin6_port = htons(40262);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
  ASSERT_EQ(sendto(fd, "v6", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 2);
  close(fd);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 1; }, 3000));
  QTest::qWait(100);
  Press(kIdStop);
  EXPECT_EQ(Rows(d), QStringList({QString("\t0\tudp\t%1\t40261\t%1\t40262\t50\t64").arg(kLong)}));
  QFontMetrics metrics = list->fontMetrics();
  int address = metrics.horizontalAdvance(kLong);
  EXPECT_GE(delegate->FieldX(4) - delegate->FieldX(3), address);
  EXPECT_GE(delegate->FieldX(6) - delegate->FieldX(5), address);
  EXPECT_GT(delegate->FieldX(4), portColumn);
  EXPECT_GT(list->horizontalScrollBar()->maximum(), rowWidth) << "the rows can be scrolled to their end";

  // IPv4 alone now, beside the wide columns: 65212 must not run into the TTL.
  Go("127.0.0.1", "*:40263", "*:*");
  test::SendNumbered(40263, 40264, 1, 65212 - 28);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 1; }, 3000));
  Press(kIdStop);
  EXPECT_EQ(Rows(d), QStringList({"\t0\tudp\t127.0.0.1\t40263\t127.0.0.1\t40264\t65212\t64"}));
  EXPECT_GE(delegate->FieldX(8) - delegate->FieldX(7), metrics.horizontalAdvance("65212") + 6);

  // Scrolled to the end with the mouse: the TTL shows, each header stands beside its
  // column's text as at first sight and grew with its column, and no header shows beyond
  // the list's edges.
  QScrollBar* bar = list->horizontalScrollBar();
  for (int click = 0; click < 100 && bar->value() < bar->maximum(); ++click) {
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() - 3, bar->height() / 2));
  }
  ASSERT_GT(bar->value(), 0);
  ASSERT_EQ(bar->value(), bar->maximum());
  int ttlEnd = list->visualRect(list->model()->index(0, 0)).left() + delegate->FieldX(8) + metrics.horizontalAdvance("64");
  EXPECT_LE(ttlEnd, list->viewport()->width());
  EXPECT_EQ(headers(), firstSight);
  ASSERT_LT(d.Control(1025)->mapTo(&d, QPoint()).x(), listRect.x()) << "the first header is scrolled out of sight";
  for (int id = 1025; id <= 1032; ++id) {
    QRect seen = d.Control(id)->visibleRegion().boundingRect().translated(d.Control(id)->mapTo(&d, QPoint()));
    EXPECT_TRUE(seen.isEmpty() || (seen.left() >= listRect.x() && seen.right() <= listRect.right())) << id;
  }
}

TEST_F(WindowCapture, EnterPressesTheFocusedGoAndStop) {
  Combo(*dialog_, kIdBind)->setEditText("127.0.0.1");
  Button(*dialog_, kIdGo)->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_TRUE(Button(*dialog_, kIdStop)->isEnabled());
  ASSERT_EQ(QApplication::focusWidget(), Button(*dialog_, kIdStop));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  ExpectIdle();
}

TEST_F(WindowCapture, EachGoAddsTheFilterTextsAgain) {
  Go("127.0.0.1", "*:1", "*:2");
  Press(kIdStop);
  Go("127.0.0.1", "*:1", "*:3");
  Press(kIdStop);
  EXPECT_EQ(test::Items(Combo(*dialog_, kIdFrom)), QStringList({"*:1", "*:1"}));
  EXPECT_EQ(test::Items(Combo(*dialog_, kIdTo)), QStringList({"*:2", "*:3"}));
}

TEST_F(WindowCapture, NothingMoreIsStoredOrListedAfterStop) {
  Go("127.0.0.1", "*:40221", "*:40222");
  test::SendNumbered(40221, 40222, 3);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog_->packetList().rowCount() == 3; }, 3000));
  Press(kIdStop);
  ExpectIdle();
  test::SendNumbered(40221, 40222, 3);
  QTest::qWait(300);
  EXPECT_EQ(dialog_->packetList().rowCount(), 3);
  EXPECT_EQ(state_->store.storedBytes.load(), 96u);  // three datagrams of 32 bytes
}

// The store ends a capture by itself, and the list and the icon's tip say so; with "keep
// more" chosen from the menu the next capture keeps past the fixed store's limits.
TEST_F(WindowCapture, AFullStoreEndsTheCaptureSayingSoAndKeepMoreKeepsMore) {
  Go("127.0.0.1", "*:40211", "*:*");
  std::thread sender([] { test::SendNumbered(40211, 40212, 12000); });
  bool ended = QTest::qWaitFor([&] { return Button(*dialog_, kIdGo)->isEnabled(); }, 20000);
  sender.join();
  ASSERT_TRUE(ended);
  ExpectIdle();
  QStringList rows = Rows(*dialog_);
  ASSERT_EQ(rows.size(), 10001);
  EXPECT_TRUE(rows[9999].startsWith("\t9999\tudp\t"));
  EXPECT_EQ(rows.last(), " store full: 10000 datagrams and 320000 bytes kept; \"keep more\" keeps more");
  EXPECT_EQ(icon_.tip, "Trovix: store full: 10000 datagrams and 320000 bytes kept");

  dialog_->menuChoice = kCmdKeepMore;
  test::ClickRow(*dialog_, 0, Qt::RightButton);
  ASSERT_EQ(dialog_->options().KeepMore, 1);
  Go("127.0.0.1", "*:40213", "*:*");
  EXPECT_EQ(icon_.tip, "Trovix");
  std::thread more([] { test::SendNumbered(40213, 40214, 12000, 100); });  // 128 bytes each
  EXPECT_TRUE(QTest::qWaitFor([&] { return dialog_->packetList().rowCount() == 12000; }, 20000));
  more.join();
  Press(kIdStop);
  rows = Rows(*dialog_);
  ASSERT_EQ(rows.size(), 12000);
  EXPECT_EQ(rows.last(), "\t11999\tudp\t127.0.0.1\t40213\t127.0.0.1\t40214\t128\t64");
  StoredPacket last;
  ASSERT_TRUE(LocatePacket(state_->store, 11999, last));
  EXPECT_EQ(last.offset, 1535872);
  EXPECT_EQ(state_->store.storedBytes.load(), 1536000);
}

// What the kernel drops is said while the capture runs, in the list's last line and the
// icon's tip, and in the line that ends the capture.
TEST_F(WindowCapture, TheKernelsDropsAreSaidWhileTheCaptureRunsAndWhenItEnds) {
  auto& d = *dialog_;
  dialog_->options().KeepMore = 1;  // a store that holds more than the ring
  Go("127.0.0.1", "*:40231", "*:40232");
  std::vector<pid_t> helpers = test::CaptureHelpersOf(getpid());
  ASSERT_EQ(helpers.size(), 1u);
  // While its helper is stopped, the ring (16 MiB at most) fills and the kernel drops the
  // rest of 28 MB.
  kill(helpers[0], SIGSTOP);
  test::SendNumbered(40231, 40232, 20000, 1400);
  kill(helpers[0], SIGCONT);
  auto saysDrops = [&] { return d.packetList().RowText(d.packetList().rowCount() - 1).endsWith("dropped by kernel"); };
  ASSERT_TRUE(QTest::qWaitFor(saysDrops, 5000));
  int listed = d.packetList().packetsShown();
  QString dropped = QString(" %1 datagrams dropped by kernel").arg(20000 - listed);
  EXPECT_GT(20000 - listed, 0);
  EXPECT_EQ(Rows(d).size(), listed + 1);
  EXPECT_EQ(Rows(d).last(), dropped);
  EXPECT_EQ(icon_.tip, "Trovix:" + dropped);
  Press(kIdStop);
  ExpectIdle();
  QStringList rows = Rows(d);
  ASSERT_EQ(rows.size(), listed + 1);
  EXPECT_TRUE(rows[listed - 1].startsWith(QString("\t%1\tudp\t").arg(listed - 1)));
  EXPECT_EQ(rows.last(), dropped);
}

TEST_F(WindowCapture, AnAddressNoInterfaceOwnsIsReportedNotCapturedSilently) {
  Go("198.18.0.1");  // the fake host's adapter, which this namespace does not have
  ExpectIdle();
  ASSERT_EQ(dialog_->packetList().rowCount(), 1);
  EXPECT_TRUE(Rows(*dialog_)[0].startsWith(" cannot capture on 198.18.0.1: ")) << Rows(*dialog_)[0].toStdString();
}

// A bind text that names no address here captures on every interface, and the list says
// so first. An IPv6 address no interface has is refused, and an address added since the
// window read its interfaces binds the interface that has it.
TEST_F(WindowCapture, ABindTextThatNamesNoAddressSaysItCapturesOnEveryInterface) {
  auto& d = *dialog_;
  const QString packet = "\t0\tudp\t127.0.0.1\t40281\t127.0.0.1\t40282\t32\t64";
  const struct {
    const char* bind;
    QStringList rows;
  } cases[] = {
      {"2001:db8::9", {" cannot capture on 2001:db8::9: No such device"}},
      {"198.18.0.9", {" no interface has the address \"198.18.0.9\": capturing on every interface", packet}},
      {"eht0", {" no interface has the address \"eht0\": capturing on every interface", packet}},
  };
  for (const auto& c : cases) {
    Go(c.bind, "*:40281", "*:40282");
    test::SendNumbered(40281, 40282, 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == c.rows.size(); }, 2000));
    if (Button(d, kIdStop)->isEnabled()) Press(kIdStop);
    EXPECT_EQ(Rows(d), c.rows) << c.bind;
  }
  // Asked over the list with no row chosen, the report takes the first packet, and so does
  // the next request, which takes the row it kept.
  d.menuChoice = kCmdDetails;
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(d.detailsWindow()->list()->findItems("packet0 udp ", Qt::MatchExactly).size(), 1);
  d.Command(kCmdDetails);
  EXPECT_EQ(d.detailsWindow()->list()->findItems("packet0 udp ", Qt::MatchExactly).size(), 1);

  ASSERT_TRUE(test::Run("ip addr add 198.18.0.9/32 dev lo"));
  Go("198.18.0.9", "*:40281", "*:40282");
  test::SendNumbered(40281, 40282, 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 1; }, 2000));
  Press(kIdStop);
  EXPECT_EQ(Rows(d), QStringList({packet}));
  EXPECT_EQ(CaptureInterfaceIndex(*state_), static_cast<int>(if_nametoindex("lo")));
  ASSERT_TRUE(test::Run("ip addr del 198.18.0.9/32 dev lo"));
}

// Sends `n` datagrams of 4 bytes from 198.18.0.1:40231 to the veth peer's echo port and
// waits for each echo.
void ConverseOverVeth(int n) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self{AF_INET, htons(40231), {}, {}}, peer{AF_INET, htons(7), {}, {}};
  inet_pton(AF_INET, "198.18.0.1", &self.sin_addr);
  inet_pton(AF_INET, "198.18.0.2", &peer.sin_addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(sendto(fd, &i, 4, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 4);
    pollfd p{fd, POLLIN, 0};
    char echo[8];
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    ASSERT_EQ(recv(fd, echo, sizeof echo, 0), 4);
  }
  close(fd);
}

TEST_F(WindowCapture, AnInterfaceThatDisappearsEndsTheCaptureAndKeepsWhatItCaptured) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  Go("198.18.0.1", "*:*", "198.18.0.2:7");
  ConverseOverVeth(3);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog_->packetList().rowCount() == 3; }, 3000));
  ASSERT_TRUE(test::Run("ip link del tvx0"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Button(*dialog_, kIdGo)->isEnabled(); }, 3000));
  ExpectIdle();
  EXPECT_EQ(PublishedPacketCount(state_->store), 3u);
  QStringList rows = Rows(*dialog_);
  ASSERT_EQ(rows.size(), 4);
  EXPECT_EQ(rows[2], "\t2\tudp\t198.18.0.1\t40231\t198.18.0.2\t7\t32\t64");
  EXPECT_EQ(rows[3], " capture ended on 198.18.0.1: No such device");

  test::TempFolder folder;
  fakes_.savePrompt.answer = QString::fromStdString(folder.Path("source.txt"));
  dialog_->Command(kCmdSavePacketsSource);
  EXPECT_TRUE(fakes_.messages.shown.isEmpty());
  std::ifstream saved(folder.Path("source.txt"), std::ios::binary | std::ios::ate);
  EXPECT_EQ(saved.tellg(), 96);
}

// Two sources of one server, through its trovix-cli and then its tcpdump: the missing
// interface's complaint is a line while the other lists live, each row naming its
// source; "stop" ends both sides. A wrong host key is a line that ends the capture.
TEST_F(WindowCapture, SshSourcesListLiveBesideTheirFailuresAndStopEndsBothSides) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  auto& d = *dialog_;
  const QString source = "ssh://root@198.18.0.2:2222/tvx1";
  auto has = [&](const QString& prefix, const QString& suffix) {
    return QTest::qWaitFor([&] {
      for (const QString& row : Rows(d)) {
        if (row.startsWith(prefix) && row.endsWith(suffix)) return true;
      }
      return false;
    }, 200);
  };
  test::TempFolder folder;
  for (bool viaCli : {true, false}) {
    test::SshServer server(peer.pid(), test::SshServer::RemotePath(viaCli ? TROVIX_CLI : "", folder.Path("bin")));
    ASSERT_TRUE(server.ok()) << server.problem();
    setenv("TROVIX_SSH", server.sshProgram().c_str(), 1);
    Go("ssh://root@198.18.0.2:2222/nosuch0 " + source, "*:*", "*:7");
    bool listed = false;
    for (int i = 0; i < 50 && !listed; ++i) {
      ASSERT_TRUE(test::EchoOverIpv4(40620, 4));
      listed = has("198.18.0.2/tvx1\t", "\t40620\t198.18.0.2\t7\t32\t64");
    }
    ASSERT_TRUE(listed) << Rows(d).join('\n').toStdString();
    ASSERT_TRUE(test::EchoOverIpv4(40621, 4));
    EXPECT_TRUE(has("198.18.0.2/tvx1\t", "\tudp\t198.18.0.1\t40621\t198.18.0.2\t7\t32\t64"));
    EXPECT_TRUE(has(" ssh://root@198.18.0.2:2222/nosuch0: ", viaCli ? "no interface is named nosuch0" : ""));
    QElapsedTimer stopping;
    stopping.start();
    Press(kIdStop);
    EXPECT_LT(stopping.elapsed(), 1000);
    ExpectIdle();
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.CapturesRunning() == 0; }, 1000));
    setenv("TROVIX_SSH", server.wrongHostKeySshProgram().c_str(), 1);
    Go(source, "*:*", "*:7");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Button(d, kIdGo)->isEnabled(); }, 5000));
    EXPECT_EQ(Rows(d).last(), " " + source + ": Host key verification failed.");  // after its warning
  }
  EXPECT_GE(Combo(d, kIdBind)->findText(source), 0);  // the drop-down offers it again
}

// Bound by an IPv6 address, with filters in bracket form: the walked hop-by-hop header
// and both fragments of a datagram, as rows.
TEST_F(WindowCapture, Ipv6DatagramsOverTheVethAreListedWithTheirPorts) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  auto& d = *dialog_;
  d.menuChoice = kCmdCaptureIpv6;
  test::ClickRow(d, 0, Qt::RightButton);
  Go("2001:db8::1", "[2001:db8::1]", "[2001:db8::2]");
  int hopByHop = test::VethUdp6Socket(40271, /*hopByHop=*/true);
  int fragmented = test::VethUdp6Socket(40272, false, /*fragments=*/true);
  EXPECT_TRUE(test::EchoOverIpv6(hopByHop, 10));
  EXPECT_TRUE(test::EchoOverIpv6(fragmented, 2000));
  close(hopByHop);
  close(fragmented);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 3; }, 3000)) << d.packetList().rowCount();
  QTest::qWait(100);
  EXPECT_EQ(Rows(d), QStringList({"\t0\tudp\t2001:db8::1\t40271\t2001:db8::2\t7\t66\t64",
                                  "\t1\tudp\t2001:db8::1\t40272\t2001:db8::2\t7\t1280\t64",
                                  "\t2\tudp\t2001:db8::1\t0\t2001:db8::2\t0\t824\t64"}));
  Press(kIdStop);

  // What the kernel sent opens decoded layer by layer: the hop-by-hop header the socket
  // option added, and the later fragment left undecoded past its IPv6 section.
  auto details = [&](int row) {
    test::ClickRow(d, row, Qt::LeftButton);
    d.menuChoice = kCmdDetails;
    test::ClickRow(d, row, Qt::RightButton);
    QStringList items;
    for (int k = 0; k < d.detailsWindow()->list()->count(); ++k) items << d.detailsWindow()->list()->item(k)->text();
    return items;
  };
  QStringList first = details(0);
  EXPECT_EQ(d.detailsWindow()->list()->currentItem()->text(), "packet0 ipv6");
  EXPECT_EQ(first.mid(10, 6), QStringList({"destination = 2001:db8::2",
                                           "hop-by-hop options header length = 0 (8 bytes), next header = 17", "",
                                           "packet0 udp ", "sourse port = 40271 ", "destination port = 7 "}));
  QStringList later = details(2);
  EXPECT_EQ(later.mid(later.size() - 4), QStringList({"", "packet2 udp ", "fragment at offset = 1232", ""}));
}

// A helper that cannot be started: "go!" says why and the window stays idle; once it is
// back, "go!" captures.
TEST_F(WindowCapture, AHelperThatCannotStartIsReportedAndTheNextGoCaptures) {
  test::Type(Combo(*dialog_, kIdBind), "127.0.0.1");
  test::Type(Combo(*dialog_, kIdFrom), "*:40241");
  std::string helper = CaptureHelperPath();
  UseCaptureHelper("/nonexistent/trovix-capture");
  Press(kIdGo);
  UseCaptureHelper(helper.c_str());
  ExpectIdle();
  EXPECT_EQ(Rows(*dialog_), QStringList({" cannot capture on 127.0.0.1: No such file or directory"}));

  Press(kIdGo);
  EXPECT_TRUE(Button(*dialog_, kIdStop)->isEnabled());
  AwaitCapturing();
  test::SendNumbered(40241, 40242, 2);
  EXPECT_TRUE(QTest::qWaitFor([&] { return dialog_->packetList().rowCount() == 2; }, 3000));
  Press(kIdStop);
}

TEST_F(WindowCapture, ExitDuringACaptureEndsItAndReturnsZero) {
  Go("127.0.0.1");
  ASSERT_TRUE(state_->run.thread.joinable());
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog_->exited());
  EXPECT_EQ(dialog_->result(), 0);
  EXPECT_FALSE(state_->run.thread.joinable());
}

}  // namespace
}  // namespace trovix

namespace trovix {
namespace {

// A process of the test's own holding a UDP socket at 127.0.0.1:`port` until it is
// ended; with `to`, it sends one datagram there once told to.
struct UdpProcess {
  UdpProcess(uint16_t port, uint16_t to) {
    if (pipe(go) != 0) return;
    pid = fork();
    if (pid != 0) return;
    close(go[1]);  // ends with the test's end of the pipe
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    sockaddr_in there{AF_INET, htons(to), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) _exit(1);
    char byte;
    while (read(go[0], &byte, 1) == 1) {
      if (to != 0) sendto(fd, "data", 4, 0, reinterpret_cast<sockaddr*>(&there), sizeof there);
    }
    _exit(0);
  }
  ~UdpProcess() {
    close(go[1]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    close(go[0]);
  }
  void Send() { (void)!write(go[1], "g", 1); }
  pid_t pid = -1;
  int go[2] = {-1, -1};
};

TEST_F(WindowCapture, ShowProgramsNamesBothLocalProcessesInTheLastColumnAndTheDetails) {
  auto& d = *dialog_;
  d.menuChoice = kCmdShowPrograms;
  test::ClickRow(d, 0, Qt::RightButton);
  ASSERT_EQ(d.options().ShowPrograms, 1);
  QLabel* header = nullptr;
  for (QLabel* label : d.findChildren<QLabel*>()) header = label->text() == "program" ? label : header;
  ASSERT_NE(header, nullptr);
  EXPECT_TRUE(header->isVisible());
  EXPECT_GE(header->x(), d.findChild<QWidget*>("1032")->geometry().right());  // after "ttl"

  // A desktop entry of this test's own program, whose icon the rows show before its name.
  std::string data = std::filesystem::temp_directory_path() / ("icons-" + std::to_string(getpid()));
  std::filesystem::create_directories(data + "/applications");
  QImage red(16, 16, QImage::Format_ARGB32);
  red.fill(Qt::red);
  ASSERT_TRUE(red.save(QString::fromStdString(data + "/red.png")));
  std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  std::ofstream(data + "/applications/self.desktop")
      << "[Desktop Entry]\nType=Application\nExec=" << self << "\nIcon=" << data << "/red.png\n";
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data));
  qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(data + "/none"));

  UdpProcess receiver(40462, 0), sender(40461, 40462), other(40463, 40462);
  Go("127.0.0.1", "*:*", "*:40462");
  sender.Send();
  std::string own = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  auto programs = [&](const UdpProcess& from) {
    return QString::fromStdString(own + " " + std::to_string(from.pid) + " \u2192 " + own + " " +
                                  std::to_string(receiver.pid));
  };
  QString row = "\t0\tudp\t127.0.0.1\t40461\t127.0.0.1\t40462\t32\t64\t" + programs(sender);
  // Named while the capture runs, by the painting that follows the sampler.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !Rows(d).isEmpty() && Rows(d)[0] == row; }, 3000))
      << Rows(d).join("|").toStdString();
  other.Send();
  QString otherRow = "\t1\tudp\t127.0.0.1\t40463\t127.0.0.1\t40462\t32\t64\t" + programs(other);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Rows(d).size() == 2 && Rows(d)[1] == otherRow; }, 3000))
      << Rows(d).join("|").toStdString();
  Press(kIdStop);
  ASSERT_EQ(Rows(d), QStringList({row, otherRow}));
  // The icon stands where the programs' field begins, before the name.
  QListView* view = d.packetListView();
  view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->maximum());
  auto* delegate = static_cast<PacketRowDelegate*>(view->itemDelegate());
  auto iconPixel = [&] {
    view->viewport()->repaint();
    QRect first = view->visualRect(d.packetList().index(0));
    return view->viewport()->grab().toImage().pixelColor(first.left() + delegate->FieldX(PacketListModel::kLineFields) + 4,
                                                         first.center().y());
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return iconPixel() == QColor(Qt::red); }, 3000)) << iconPixel().name().toStdString();
  qunsetenv("XDG_DATA_HOME");
  qunsetenv("XDG_DATA_DIRS");
  std::filesystem::remove_all(data);

  // The second sender's row alone, chosen as the menu's other commands choose it, then
  // every row again.
  d.menuChoice = kCmdOnlyThisProgram;
  test::ClickRow(d, 1, Qt::LeftButton);
  test::ClickRow(d, 1, Qt::RightButton);
  EXPECT_EQ(Rows(d), QStringList({otherRow}));
  QTest::keyClick(&d, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_EQ(Rows(d).size(), 2);

  test::ClickRow(d, 0, Qt::LeftButton);
  QTest::keyClick(d.packetListView(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), row.mid(1) + "\n");
  QTest::keyClick(d.packetListView(), Qt::Key_Return);
  ASSERT_NE(d.detailsWindow(), nullptr);
  std::string user = getpwuid(geteuid())->pw_name;
  EXPECT_EQ(d.detailsWindow()->list()->item(0)->text().toStdString(),
            "sent by " + own + ", process " + std::to_string(sender.pid) + ", user " + user);
  EXPECT_EQ(d.detailsWindow()->list()->item(1)->text().toStdString(),
            "received by " + own + ", process " + std::to_string(receiver.pid) + ", user " + user);

  // Off again: the rows and the header as before.
  d.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  d.menuChoice = kCmdShowPrograms;
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(Rows(d)[0], "\t0\tudp\t127.0.0.1\t40461\t127.0.0.1\t40462\t32\t64");
  EXPECT_FALSE(header->isVisible());
}

// tcpdump on the loopback writing what `expression` keeps to `file`, once it listens (its
// standard error in `file`.err); its process id (-1 when it did not start).
pid_t StartTcpdump(const std::string& file, const std::string& expression) {
  pid_t pid = fork();
  if (pid == 0) {
    int err = open((file + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    execlp("tcpdump", "tcpdump", "-i", "lo", "--immediate-mode", "-U", "-Z", "root", "-w", file.c_str(),
           expression.c_str(), nullptr);
    _exit(127);
  }
  bool listening = QTest::qWaitFor([&] {
    std::ifstream said(file + ".err");
    return std::string(std::istreambuf_iterator<char>(said), {}).find("listening on") != std::string::npos;
  }, 5000);
  return listening ? pid : -1;
}

// "capture &expression..." answered with `text`, typed into the prompt.
void AnswerCaptureExpression(MainDialog& d, const QString& text) {
  QTimer::singleShot(0, [text] {
    auto* ask = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(ask, nullptr);
    QLineEdit* field = ask->findChild<QLineEdit*>();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
  });
  d.Command(kCmdCaptureExpression);
}

// The expression goes with "go!" to the helper, whose kernel program keeps what tcpdump's
// keeps of the same traffic; the list's first line says it; one libpcap refuses is said
// at once, and nothing starts.
TEST_F(WindowCapture, ACaptureExpressionKeepsWhatTcpdumpKeeps) {
  auto& d = *dialog_;
  if (test::RunCommand("command -v tcpdump").status != 0) GTEST_SKIP() << "no tcpdump";
  AnswerCaptureExpression(d, "udp src port");
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: capture expression \"udp src port\": can't parse filter expression: syntax error"}));
  AnswerCaptureExpression(d, "udp and (src port 40211 or dst portrange 40230-40239)");
  EXPECT_EQ(fakes_.messages.shown.size(), 1);
  test::TempFolder folder;
  std::string file = folder.Path("tcpdump.pcap");
  pid_t tcpdump = StartTcpdump(file, "udp and (src port 40211 or dst portrange 40230-40239)");
  ASSERT_GT(tcpdump, 0) << "tcpdump did not start";
  Go("127.0.0.1");
  test::SendNumbered(40211, 40212, 3);
  test::SendNumbered(40213, 40235, 2);
  test::SendNumbered(40213, 40212, 4);  // kept by neither
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 6; }, 3000)) << d.packetList().rowCount();
  Press(kIdStop);
  kill(tcpdump, SIGINT);
  waitpid(tcpdump, nullptr, 0);
  QStringList rows = Rows(d);
  EXPECT_EQ(rows.mid(0, 6), QStringList({" capture expression: udp and (src port 40211 or dst portrange 40230-40239)",
                                         "\t0\tudp\t127.0.0.1\t40211\t127.0.0.1\t40212\t32\t64",
                                         "\t1\tudp\t127.0.0.1\t40211\t127.0.0.1\t40212\t32\t64",
                                         "\t2\tudp\t127.0.0.1\t40211\t127.0.0.1\t40212\t32\t64",
                                         "\t3\tudp\t127.0.0.1\t40213\t127.0.0.1\t40235\t32\t64",
                                         "\t4\tudp\t127.0.0.1\t40213\t127.0.0.1\t40235\t32\t64"}));
  EXPECT_EQ(test::RunCommand("tcpdump -r '" + file + "' -nn -q 2>/dev/null | cut -d' ' -f3-").out,
            "127.0.0.1.40211 > 127.0.0.1.40212: UDP, length 4\n127.0.0.1.40211 > 127.0.0.1.40212: UDP, length 4\n"
            "127.0.0.1.40211 > 127.0.0.1.40212: UDP, length 4\n127.0.0.1.40213 > 127.0.0.1.40235: UDP, length 4\n"
            "127.0.0.1.40213 > 127.0.0.1.40235: UDP, length 4\n")
      << test::RunCommand("tcpdump -r '" + file + "' -nn -q 2>&1").out;
}

}  // namespace
}  // namespace trovix
