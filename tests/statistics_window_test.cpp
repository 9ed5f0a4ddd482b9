// The real statistics window over a file the test writes: its tables, sorting, copying,
// CSV, and rows that lead the main list to their datagrams.
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <pcap/dlt.h>

#include <fstream>

#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
#include "tests/pcap_bytes.h"
#include "tests/temp_files.h"
#include "ui/statistics_window.h"

namespace trovix {
namespace {

using namespace resources;
using test::Rows;

const auto kQuery = test::MakeDatagram({17, "198.18.0.1", "198.18.0.2", 5000, 53, 4});
const auto kAnswer = test::MakeDatagram({17, "198.18.0.2", "198.18.0.1", 53, 5000, 4});
const auto kUdp6 = test::MakeIpv6Datagram({17, "2001:db8::1", "2001:db8::2", 5001, 53, 4});
const auto kTcp4 = test::MakeDatagram({6, "198.18.0.2", "198.18.0.1", 443, 5002, 100});

class StatisticsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes_.privilege = test::FakePrivilegeCheck{1, false};
    Services services = fakes_.services();
    services.openPrompt = &prompt_;
    dialog_ = std::make_unique<test::TestDialog>(*state_, services);
    dialog_->show();
    dialog_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
    dialog_->options().CaptureIpv6 = 1;
    prompt_.answer = QString::fromStdString(folder_.Write(
        "four.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kQuery, 100, 0) +
                         test::PcapRecord(kAnswer, 100, 500000000) + test::PcapRecord(kUdp6, 101, 0) +
                         test::PcapRecord(kTcp4, 102, 0)));
    QTest::keyClick(dialog_.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test::Button(*dialog_, kIdStop)->isEnabled(); }, 10000));
    QTest::keyClick(dialog_.get(), Qt::Key_T, Qt::ControlModifier);
    window_ = dialog_->statisticsWindow();
    ASSERT_NE(window_, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
  }
  void ChooseTab(int tab) {
    QTabBar* bar = window_->tabs()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
  }
  QPoint CellPoint(QTableView* view, int row, int column) {
    view->scrollTo(view->model()->index(row, column));
    return view->visualRect(view->model()->index(row, column)).center();
  }
  QStringList Column(QTableView* view, int column) {
    QStringList texts;
    for (int r = 0; r < view->model()->rowCount(); ++r) texts << view->model()->index(r, column).data().toString();
    return texts;
  }

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::Fakes fakes_;
  test::ScriptedOpenPrompt prompt_;
  std::unique_ptr<test::TestDialog> dialog_;
  test::TempFolder folder_;
  StatisticsWindow* window_ = nullptr;
};

// Both directions of a 5-tuple are one row, either family; largest first, numbers sorted
// as numbers by a header click; Ctrl+C and CSV give the rows as shown.
TEST_F(StatisticsWindowTest, ConversationsAreCountedSortedCopiedAndSaved) {
  QTableView* view = window_->table(StatisticsWindow::kConversationsTab);
  const QStringList header = {"protocol", "address_a", "port_a", "address_b", "port_b", "packets_a_to_b",
                              "bytes_a_to_b", "packets_b_to_a", "bytes_b_to_a", "packets", "bytes", "first",
                              "duration", "bits_per_second"};
  const QStringList tcp = {"tcp", "198.18.0.2", "443", "198.18.0.1", "5002", "1", "140", "0", "0", "1", "140",
                           "2.000000", "0.000000", ""};
  const QStringList udp4 = {"udp", "198.18.0.1", "5000", "198.18.0.2", "53", "1", "32", "1", "32", "2", "64",
                            "0.000000", "0.500000", "1024"};
  const QStringList udp6 = {"udp", "2001:db8::1", "5001", "2001:db8::2", "53", "1", "52", "0", "0", "1", "52",
                            "1.000000", "0.000000", ""};
  EXPECT_EQ(window_->Lines(false), std::vector<QStringList>({header, tcp, udp4, udp6}));

  QHeaderView* top = view->horizontalHeader();
  auto clickHeader = [&](int column) {
    view->scrollTo(view->model()->index(0, column));
    QTest::mouseClick(top->viewport(), Qt::LeftButton, {},
                      QPoint(top->sectionViewportPosition(column) + top->sectionSize(column) / 2, top->height() / 2));
  };
  clickHeader(10);  // "bytes" again: now the smallest first, 52 before 140 as numbers
  EXPECT_EQ(Column(view, 10), QStringList({"52", "64", "140"}));
  clickHeader(1);
  EXPECT_EQ(Column(view, 1), QStringList({"198.18.0.1", "198.18.0.2", "2001:db8::1"}));

  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, CellPoint(view, 0, 0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, CellPoint(view, 1, 0));
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), header.join('\t') + '\n' + udp4.join('\t') + '\n' +
                                                       tcp.join('\t') + '\n');

  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("conversations.csv")));
  QTest::mouseClick(window_->saveButton(), Qt::LeftButton);
  EXPECT_EQ(fakes_.savePrompt.said.back(), "conversations as CSV");
  std::ifstream csv(folder_.Path("conversations.csv"), std::ios::binary);
  EXPECT_EQ(QString::fromStdString(std::string(std::istreambuf_iterator<char>(csv), {})),
            header.join(',') + "\r\n" + udp4.join(',') + "\r\n" + tcp.join(',') + "\r\n" + udp6.join(',') + "\r\n");
}

TEST(StatisticsText, CsvQuotesCommasQuotesAndLineBreaksAndTabsFlattenForTheClipboard) {
  const std::vector<QStringList> lines = {{"a,b", "say \"hi\"", "two\nlines", "plain"}};
  EXPECT_EQ(CommaSeparated(lines), "\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",plain\r\n");
  EXPECT_EQ(TabSeparated({{"a\tb", "two\nlines"}}), "a b\ttwo lines\n");
}

// A double click (or "only this") shows a row's datagrams alone in the main list: a
// conversation both ways, an endpoint by address or by port, a node of the protocol tree;
// "sho&w all" brings every row back.
TEST_F(StatisticsWindowTest, ARowLeadsTheMainListToItsDatagrams) {
  auto& d = *dialog_;
  const QStringList all = Rows(d);
  auto showAll = [&] {
    d.menuChoice = kCmdShowAll;
    test::ClickRow(d, 0, Qt::RightButton);
    EXPECT_EQ(Rows(d), all);
  };
  auto shownPackets = [&] {
    std::vector<int32_t> packets;
    for (int r = 0; r < d.packetList().rowCount(); ++r) packets.push_back(d.packetList().PacketAtRow(r));
    return packets;
  };
  QTableView* conversations = window_->table(StatisticsWindow::kConversationsTab);
  QTest::mouseDClick(conversations->viewport(), Qt::LeftButton, {}, CellPoint(conversations, 1, 0));
  EXPECT_EQ(shownPackets(), std::vector<int32_t>({0, 1}));
  showAll();

  ChooseTab(StatisticsWindow::kEndpointsTab);
  QTableView* endpoints = window_->table(StatisticsWindow::kEndpointsTab);
  EXPECT_EQ(Column(endpoints, 0), QStringList({"198.18.0.1", "198.18.0.2", "2001:db8::1", "2001:db8::2"}));
  QTest::mouseDClick(endpoints->viewport(), Qt::LeftButton, {}, CellPoint(endpoints, 0, 0));
  EXPECT_EQ(shownPackets(), std::vector<int32_t>({0, 1, 3}));
  QTest::mouseClick(window_->portsSwitch(), Qt::LeftButton);
  EXPECT_EQ(window_->Lines(false)[0], QStringList({"address", "protocol", "port", "packets_sent", "bytes_sent",
                                                   "packets_received", "bytes_received", "packets", "bytes"}));
  // 198.18.0.1:5000 sent one and received one.
  EXPECT_EQ(window_->Lines(false)[3], QStringList({"198.18.0.1", "udp", "5000", "1", "32", "1", "32", "2", "64"}));
  QTest::mouseClick(endpoints->viewport(), Qt::LeftButton, {}, CellPoint(endpoints, 2, 0));
  QTest::mouseClick(window_->onlyThisButton(), Qt::LeftButton);
  EXPECT_EQ(shownPackets(), std::vector<int32_t>({0, 1}));
  showAll();

  ChooseTab(StatisticsWindow::kProtocolsTab);
  EXPECT_EQ(window_->Lines(false),
            std::vector<QStringList>({{"protocol", "packets", "bytes", "share"},
                                      {"IPv4", "3", "204", "79.69"},
                                      {"IPv4/TCP", "1", "140", "54.69"},
                                      {"IPv4/UDP", "2", "64", "25.00"},
                                      {"IPv4/UDP/DNS", "2", "64", "25.00"},
                                      {"IPv6", "1", "52", "20.31"},
                                      {"IPv6/UDP", "1", "52", "20.31"},
                                      {"IPv6/UDP/DNS", "1", "52", "20.31"}}));
  QTreeWidget* tree = window_->protocolTree();
  QTreeWidgetItem* dns = tree->topLevelItem(0)->child(1)->child(0);
  ASSERT_EQ(dns->text(0), "DNS");
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(dns).center());
  EXPECT_EQ(shownPackets(), std::vector<int32_t>({0, 1}));
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(tree->topLevelItem(1)).center());
  EXPECT_EQ(shownPackets(), std::vector<int32_t>({2}));
  showAll();
}

}  // namespace
}  // namespace trovix

namespace trovix {
namespace {

// Which datagrams a row holds: either end of an endpoint, a port only with its protocol
// and family, a tree node by family, protocol and application.
TEST(StatisticsRowHolds, EachKindOfRowByTheFieldsItNames) {
  auto key = [](const std::vector<uint8_t>& datagram, uint8_t protocol) {
    DatagramKey d;
    EXPECT_TRUE(ReadDatagramKey(datagram.data(), datagram.size(), protocol, d));
    return d;
  };
  const DatagramKey query = key(kQuery, 17), answer = key(kAnswer, 17), tcp = key(kTcp4, 6), udp6 = key(kUdp6, 17);
  StatisticsRow at5000;
  at5000.kind = StatisticsRow::kPort;
  at5000.endpoint = query.fromLow ? EndpointKey{query.key.low, 5000, 17, 0} : EndpointKey{query.key.high, 5000, 17, 0};
  StatisticsRow address = at5000;
  address.kind = StatisticsRow::kAddress;
  StatisticsRow udp;
  udp.kind = StatisticsRow::kProtocol;
  udp.family = 0;
  udp.protocol = 17;
  StatisticsRow dns6 = udp;
  dns6.family = 1;
  dns6.application = static_cast<int>(Application::kDns);
  struct Case {
    const StatisticsRow& row;
    std::vector<bool> holds;  // query, answer, tcp, udp6
  } cases[] = {{at5000, {true, true, false, false}},
               {address, {true, true, true, false}},
               {udp, {true, true, false, false}},
               {dns6, {false, false, false, true}}};
  for (const Case& c : cases) {
    std::vector<bool> holds;
    for (const DatagramKey* d : {&query, &answer, &tcp, &udp6}) holds.push_back(c.row.Holds(*d, 0, TheProgramTable()));
    EXPECT_EQ(holds, c.holds) << c.row.kind;
  }
}

}  // namespace
}  // namespace trovix
