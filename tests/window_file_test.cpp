// The real window opening capture files and reading a stream, with no capture rights.
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pcap/dlt.h>
#include <unistd.h>

#include <fstream>

#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/command_output.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
#include "tests/pcap_bytes.h"
#include "tests/temp_files.h"
#include "tests/wire_builders.h"

namespace trovix {
namespace {

using namespace resources;
using test::Button;
using test::Rows;

// Gives the answers in turn and keeps what each question counted.
class ScriptedDiscardQuestion : public DiscardQuestion {
 public:
  DiscardAnswer Ask(QWidget*, uint32_t packets) override {
    asked.push_back(packets);
    return answers.at(asked.size() - 1);
  }
  std::vector<DiscardAnswer> answers;
  std::vector<uint32_t> asked;
};

const std::vector<uint8_t> kUdp4 = test::MakeDatagram({17, "198.18.0.1", "198.18.0.2", 5000, 53, 4});
const std::vector<uint8_t> kUdp6 = test::MakeIpv6Datagram({17, "2001:db8::1", "2001:db8::2", 5001, 53, 4});
const std::vector<uint8_t> kTcp4 = test::MakeDatagram({6, "198.18.0.2", "198.18.0.1", 443, 5002, 0});
const QString kUdp4Line = "\t%1\tudp\t198.18.0.1\t5000\t198.18.0.2\t53\t32\t64";
const QString kUdp6Line = "\t%1\tudp\t2001:db8::1\t5001\t2001:db8::2\t53\t52\t64";
// Ctrl+L, `expression` typed into the filter bar's field in place of its text, and Enter.
void FilterBy(MainDialog& d, const QString& expression) {
  QTest::keyClick(&d, Qt::Key_L, Qt::ControlModifier);
  auto* box = d.findChild<QComboBox*>("filterExpression");
  QWidget* field = QApplication::focusWidget();
  ASSERT_TRUE(box != nullptr && (field == box || field == box->lineEdit()));
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, expression);
  QTest::keyClick(field, Qt::Key_Return);
}
// The packet numbers of the list's rows.
std::vector<int32_t> Shown(MainDialog& d) {
  std::vector<int32_t> shown;
  for (int r = 0; r < d.packetList().rowCount(); ++r) shown.push_back(d.packetList().PacketAtRow(r));
  return shown;
}
// The line that ends a reading of `path`.
QString Said(const std::string& path, const char* text) { return " " + QString::fromStdString(path) + ": " + text; }

class WindowFile : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes_.privilege = test::FakePrivilegeCheck{1, false};  // reading a file needs no capture rights
    Services services = fakes_.services();
    services.openPrompt = &prompt_;
    services.discardQuestion = &question_;
    dialog_ = std::make_unique<test::TestDialog>(*state_, services);
    dialog_->show();
    dialog_->activateWindow();  // Ctrl+O is the active window's key
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
    dialog_->options().CaptureIpv6 = 1;
  }
  // Ctrl+O, answered with `path`; waits for the reading's last line.
  void Open(const std::string& path) {
    prompt_.answer = QString::fromStdString(path);
    QTest::keyClick(dialog_.get(), Qt::Key_O, Qt::ControlModifier);
    AwaitEnd();
  }
  void AwaitEnd() {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Button(*dialog_, kIdStop)->isEnabled(); }, 10000));
    EXPECT_EQ(dialog_->windowTitle(), "Trovix");
  }

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  test::Fakes fakes_;
  test::ScriptedOpenPrompt prompt_;
  ScriptedDiscardQuestion question_;
  std::unique_ptr<test::TestDialog> dialog_;
  test::TempFolder folder_;
};

// Ethernet with a frame that carries no IP, and Linux cooked frames in pcapng; the file's
// times, the window's switches and filters, a file dropped on the window, and a file
// larger than the seed's store.
TEST_F(WindowFile, FilesOfEachLinkTypeAreListedExactlyAsTheFieldsFilterThem) {
  auto& d = *dialog_;
  std::string ether = folder_.Write(
      "ether.pcap", test::PcapHeader(DLT_EN10MB) + test::PcapRecord(test::Framed(kUdp4, 14, 0x0800), 1700000000, 123456789) +
                        test::PcapRecord(test::Framed(kUdp4, 14, 0x0806), 1, 0) +  // ARP's type: no IP
                        test::PcapRecord(test::Framed(kUdp6, 14, 0x86DD), 2, 5));
  Open(ether);
  EXPECT_EQ(Rows(d), QStringList({kUdp4Line.arg(0), kUdp6Line.arg(1), Said(ether, "end of file, 3 records read, 2 listed")}));
  StoredPacket p;
  ASSERT_TRUE(LocatePacket(state_->store, 0, p));
  EXPECT_EQ(p.receiveTime, 1700000000123456789);
  EXPECT_TRUE(state_->store.larger());

  std::string cooked = folder_.Write(
      "cooked.pcapng", test::PcapngHeader(DLT_LINUX_SLL) + test::PcapngRecord(test::Framed(kTcp4, 16, 0x0800), 1) +
                           test::PcapngRecord(test::Framed(kUdp6, 16, 0x86DD), 2) +
                           test::PcapngRecord(test::Framed(kUdp4, 16, 0x0800), 3));
  test::Type(test::Combo(d, kIdTo), "*:53");
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(cooked))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&d, &enter);
  QApplication::sendEvent(&d, &drop);
  EXPECT_TRUE(enter.isAccepted() && drop.isAccepted());
  AwaitEnd();
  EXPECT_EQ(Rows(d), QStringList({kUdp6Line.arg(0), kUdp4Line.arg(1), Said(cooked, "end of file, 3 records read, 2 listed")}));
  ASSERT_TRUE(LocatePacket(state_->store, 1, p));
  EXPECT_EQ(p.receiveTime, 3);

  // Past the seed's 10,000 datagrams, to the last row.
  std::string records = test::PcapHeader(DLT_RAW);
  for (uint32_t k = 0; k < 12000; ++k) records += test::PcapRecord(kUdp4, k, 0);
  Open(folder_.Write("many.pcap", records));
  QStringList rows = Rows(d);
  ASSERT_EQ(rows.size(), 12001);
  EXPECT_EQ(rows[11999], kUdp4Line.arg(11999));
  EXPECT_EQ(rows[12000], Said(folder_.Path("many.pcap"), "end of file, 12000 records read, 12000 listed"));
}

// A reading that memory runs short for ends as a full store ends, keeping what it listed,
// and says why.
TEST_F(WindowFile, AReadingThatMemoryRunsShortForKeepsWhatItListedAndSaysSo) {
  static int asked;
  asked = 0;
  // The larger store's first step is granted, its second (the 257th datagram's) is not.
  state_->store.availableMemory = []() noexcept { return asked++ == 0 ? kMemoryUnlimited : uint64_t{0}; };
  auto largest = test::MakeDatagram({.protocol = 17, .sport = 7, .dport = 9, .payload = 65507});
  std::string records = test::PcapHeader(DLT_RAW);
  for (uint32_t k = 0; k < 257; ++k) records += test::PcapRecord(largest, k, 0);
  std::string path = folder_.Write("large.pcap", records);
  Open(path);
  QStringList rows = Rows(*dialog_);
  ASSERT_EQ(rows.size(), 257);
  EXPECT_TRUE(rows[255].startsWith("\t255\tudp\t"));
  EXPECT_EQ(rows[256], " memory ran short: 256 datagrams and 16776960 bytes kept;" +
                           Said(path, "records from 257 on not read (0 of its 16846631 bytes)"));
}

TEST_F(WindowFile, BadInputIsSaidWithWhereAndWhatCameBeforeIsKept) {
  auto& d = *dialog_;
  std::string whole = test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0) + test::PcapRecord(kUdp6, 2, 0) +
                      test::PcapRecord(kUdp4, 3, 0);
  std::string cut = folder_.Write("cut.pcap", whole.substr(0, whole.size() - 20));
  Open(cut);
  EXPECT_EQ(Rows(d), QStringList({kUdp4Line.arg(0), kUdp6Line.arg(1),
                                  Said(cut, "record 3: truncated dump file; tried to read 32 captured bytes, only got "
                                            "12; 2 records read before it, 2 listed")}));
  std::string text = folder_.Write("notes.txt", "not a capture at all\n");
  Open(text);
  EXPECT_EQ(Rows(d), QStringList({Said(text, "not a capture file: unknown file format")}));
  std::string radio = folder_.Write("radio.pcap", test::PcapHeader(DLT_IEEE802_11) + test::PcapRecord(kUdp4, 1, 0));
  Open(radio);
  EXPECT_EQ(Rows(d), QStringList({Said(radio, "link type IEEE802_11 is not one that carries IP here (Ethernet, Linux "
                                              "cooked, raw IP, loopback)")}));
  Open(folder_.Path("none.pcap"));
  EXPECT_EQ(Rows(d), QStringList({" cannot open" + Said(folder_.Path("none.pcap"), "No such file or directory")}));
}

// pcapng through our own block reader: each interface's link type, big-endian sections, a
// second section's own interfaces, comments and names passed by; a block that breaks a rule
// ends the reading where it stands.
TEST_F(WindowFile, PcapngIsReadWithEachInterfacesLinkTypeAndEachBlockChecked) {
  using namespace std::string_literals;
  const test::Pcapng le, be(true);
  const QString tcp4Line = "\t%1\ttcp\t198.18.0.2\t443\t198.18.0.1\t5002\t40\t64";
  const std::string good = le.Section() + le.Interface(1) + le.Packet(0, 1, test::Framed(kUdp4, 14, 0x0800));
  const std::string packet = le.Packet(0, 2, test::Framed(kUdp6, 14, 0x86DD));  // 100 bytes
  auto changed = [&](size_t at, uint32_t value) { return good + std::string(packet).replace(at, 4, le.U32(value)); };
  const QString before = "; 1 record read before it, 1 listed";
  struct Case {
    const char* name;
    std::string bytes;
    QStringList rows;  // the last one without the file's name
  } cases[] = {
      {"three", le.Section() + le.Interface(1) + le.Interface(101, le.Option(9, "\x09")) + le.Interface(113) +
                    le.Packet(0, 1, test::Framed(kUdp4, 14, 0x0800)) + le.Packet(1, 2, kUdp6) +
                    le.Packet(2, 3, test::Framed(kTcp4, 16, 0x0800)),
       {kUdp4Line.arg(0), kUdp6Line.arg(1), tcp4Line.arg(2), "end of file, 3 records read, 3 listed"}},
      {"sections", be.Section(be.Option(1, "a section")) + be.Interface(101, be.Option(1, "eth0")) +
                       be.Block(4, be.Option(1, "\xc6\x12\x00\x01host.test\0"s) + be.Option(0, "")) +
                       be.Packet(0, 1, kUdp4, be.Option(1, "program: x")) + le.Section() + le.Interface(229) +
                       le.Packet(0, 2, kUdp6),
       {kUdp4Line.arg(0), kUdp6Line.arg(1), "end of file, 2 records read, 2 listed"}},
      {"radio beside", le.Section() + le.Interface(105) + le.Interface(101) + le.Packet(0, 1, kUdp4) +
                           le.Packet(1, 2, kUdp4),
       {kUdp4Line.arg(0), "end of file, 2 records read, 1 listed"}},
      {"radio", le.Section() + le.Interface(105) + le.Packet(0, 1, kUdp4),
       {"link type IEEE802_11 is not one that carries IP here (Ethernet, Linux cooked, raw IP, loopback)"}},
      {"cut", good + packet.substr(0, 60),
       {kUdp4Line.arg(0), "record 2: truncated pcapng dump file; tried to read 92 bytes, only got 52" + before}},
      {"lengths", changed(96, 104),
       {kUdp4Line.arg(0), "record 2: block total length in header and trailer don't match" + before}},
      {"longer", changed(20, 70),
       {kUdp4Line.arg(0), "record 2: block of type 6 in pcapng dump file is too short" + before}},
      {"interface", changed(8, 3),
       {kUdp4Line.arg(0), "record 2: a packet arrived on interface 3, but there's no Interface Description Block for "
                          "that interface" + before}},
  };
  for (Case& c : cases) {
    std::string path = folder_.Write(c.name + ".pcapng"s, c.bytes);
    Open(path);
    c.rows.back() = " " + QString::fromStdString(path) + ": " + c.rows.back();
    EXPECT_EQ(Rows(*dialog_), c.rows) << c.name;
  }
}

// Rows come as the stream sends them (pcapng here, its interfaces of two link types);
// "stop" ends a stream that sends nothing more. A user without capture rights reads it,
// and "go!" stays grey.
TEST_F(WindowFile, AStreamIsListedAsItArrivesAndStopKeepsWhatCame) {
  auto& d = *dialog_;
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  ASSERT_EQ(Rows(d), QStringList({" administrators rights required!"}));
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  d.OpenCaptureStream(pipeFds[0], "standard input");  // as `trovix -` does
  const test::Pcapng le;
  std::string bytes = le.Section() + le.Interface(101) + le.Interface(1) + le.Packet(0, 1, kUdp4) +
                      le.Packet(1, 2, test::Framed(kUdp6, 14, 0x86DD));
  ASSERT_EQ(write(pipeFds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.packetList().rowCount() == 2; }, 5000));
  // A stream has no size: the title counts its records.
  EXPECT_TRUE(QTest::qWaitFor([&] { return d.windowTitle() == "Trovix - reading standard input: 2 records"; }, 2000))
      << d.windowTitle().toStdString();
  QTest::mouseClick(Button(d, kIdStop), Qt::LeftButton);
  EXPECT_FALSE(Button(d, kIdGo)->isEnabled() || Button(d, kIdStop)->isEnabled());
  EXPECT_EQ(Rows(d), QStringList({kUdp4Line.arg(0), kUdp6Line.arg(1), " standard input: stopped after 2 records, 2 listed"}));
  close(pipeFds[1]);
}

// A file that cannot be opened while a stream is read ends the reading: nothing runs then.
TEST_F(WindowFile, AFileThatCannotBeOpenedLeavesNothingRunning) {
  auto& d = *dialog_;
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  d.OpenCaptureStream(pipeFds[0], "standard input");
  ASSERT_TRUE(d.session().Running());
  d.OpenCaptureFile(QString::fromStdString(folder_.Path("none.pcap")));
  EXPECT_FALSE(d.session().Running());
  EXPECT_FALSE(Button(d, kIdStop)->isEnabled());
  close(pipeFds[1]);
}

// A stream's packets are not saved: Escape, "go!" and opening a file ask first; cancel
// keeps them, save writes a capture file and goes on. A file's packets are saved already.
TEST_F(WindowFile, UnsavedPacketsAreNotDroppedByOneKey) {
  auto& d = *dialog_;
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  d.OpenCaptureStream(pipeFds[0], "standard input");
  std::string bytes = test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0) + test::PcapRecord(kUdp6, 2, 0);
  ASSERT_EQ(write(pipeFds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(pipeFds[1]);
  AwaitEnd();
  // A part saved from a filtered list leaves the rest unsaved.
  test::Type(test::Combo(d, kIdFrom), "[2001:db8::1]:*");
  d.Command(kCmdFilterList);
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("part.txt")));
  d.menuChoice = kCmdSaveSniffLog;
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(fakes_.savePrompt.said, QStringList({"the 1 shown packets"}));
  test::Type(test::Combo(d, kIdFrom), "*:*");

  question_.answers = {DiscardAnswer::kCancel, DiscardAnswer::kCancel, DiscardAnswer::kSave};
  QTest::keyClick(&d, Qt::Key_Escape);
  QTest::mouseClick(Button(d, kIdGo), Qt::LeftButton);
  EXPECT_FALSE(d.exited());
  EXPECT_EQ(Rows(d).size(), 1);
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("kept.pcap")));
  std::string held = folder_.Write("held.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0));
  Open(held);
  EXPECT_EQ(Rows(d), QStringList({kUdp4Line.arg(0), Said(held, "end of file, 1 record read, 1 listed")}));
  EXPECT_EQ(question_.asked, std::vector<uint32_t>({2, 2, 2}));
  EXPECT_EQ(fakes_.savePrompt.chosen, std::vector<bool>({false, true}));
  std::ifstream kept(folder_.Path("kept.pcap"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}).size(), 24u + 16 + 32 + 16 + 52);
  QTest::keyClick(&d, Qt::Key_Escape);
  EXPECT_EQ(question_.asked.size(), 3u);
  EXPECT_TRUE(d.exited());
}

// A double click and Enter open a row; the open details window follows the row chosen,
// and its list takes the room of a larger window; Ctrl+A, Shift-click and Ctrl+C copy
// several rows' lines.
TEST_F(WindowFile, RowsOpenFollowAndCopyAsUsersExpect) {
  auto& d = *dialog_;
  Open(folder_.Write("three.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0) +
                                       test::PcapRecord(kUdp6, 2, 0) + test::PcapRecord(kUdp4, 3, 0)));
  QWidget* rows = d.packetListView()->viewport();
  auto at = [&](int row) { return rows->mapFromGlobal(test::RowPoint(d, row)); };
  auto shown = [&] { return d.detailsWindow()->list()->item(2)->text(); };
  QTest::mouseDClick(rows, Qt::LeftButton, {}, at(1));
  ASSERT_NE(d.detailsWindow(), nullptr);
  EXPECT_TRUE(d.detailsWindow()->isVisible());
  EXPECT_EQ(shown(), "packet1 ipv6");
  test::ClickRow(d, 2, Qt::LeftButton);
  EXPECT_EQ(shown(), "packet2 udp ");
  QSize list = d.detailsWindow()->list()->size();
  d.detailsWindow()->resize(d.detailsWindow()->size() + QSize(100, 50));
  EXPECT_EQ(d.detailsWindow()->list()->size(), list + QSize(100, 50));
  d.detailsWindow()->close();
  d.packetListView()->setFocus();
  QTest::keyClick(d.packetListView(), Qt::Key_Up);
  EXPECT_TRUE(d.detailsWindow() == nullptr || !d.detailsWindow()->isVisible());
  QTest::keyClick(d.packetListView(), Qt::Key_Return);
  EXPECT_TRUE(d.detailsWindow()->isVisible());
  EXPECT_EQ(shown(), "packet1 ipv6");

  d.packetListView()->activateWindow();
  QTest::keyClick(d.packetListView(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(d.packetListView(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text().split('\n').size(), 5);  // four rows and the last end
  test::ClickRow(d, 0, Qt::LeftButton);
  test::ClickRow(d, 1, Qt::LeftButton, Qt::ShiftModifier);
  QTest::keyClick(d.packetListView(), Qt::Key_C, Qt::ControlModifier);
  // Each line from its first field: no empty column before the row's number.
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            "0\tudp\t198.18.0.1\t5000\t198.18.0.2\t53\t32\t64\n1\tudp\t2001:db8::1\t5001\t2001:db8::2\t53\t52\t64\n");
}

// Ctrl+F, then Enter, F3 and Shift+F3 go round the rows that hold the text, letter case
// aside; Escape closes the bar, not the window.
TEST_F(WindowFile, FindGoesRoundTheMatchingRows) {
  auto& d = *dialog_;
  Open(folder_.Write("four.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0) +
                                      test::PcapRecord(kUdp6, 2, 0) + test::PcapRecord(kTcp4, 3, 0) +
                                      test::PcapRecord(kUdp6, 4, 0)));
  QTest::keyClick(&d, Qt::Key_F, Qt::ControlModifier);
  QWidget* field = QApplication::focusWidget();
  ASSERT_NE(qobject_cast<QLineEdit*>(field), nullptr);
  QTest::keyClicks(field, "2001:DB8::1");
  QStringList labels;
  for (QLabel* label : field->parentWidget()->findChildren<QLabel*>()) labels << label->text();
  EXPECT_TRUE(labels.contains("2 rows")) << labels.join(" | ").toStdString();
  std::vector<int> visited;
  auto current = [&] { return d.packetListView()->currentIndex().row(); };
  QTest::keyClick(field, Qt::Key_Return);
  visited.push_back(current());
  for (auto modifier : {Qt::NoModifier, Qt::NoModifier, Qt::ShiftModifier}) {
    QTest::keyClick(field, Qt::Key_F3, modifier);
    visited.push_back(current());
  }
  EXPECT_EQ(visited, std::vector<int>({1, 3, 1, 3}));
  QTest::keyClick(field, Qt::Key_Escape);
  EXPECT_FALSE(field->isVisible());
  EXPECT_FALSE(d.exited());
}

// The fields and switches applied to what is stored, without capturing again: only the
// packets that pass, with their own numbers, saved alone, and every row back with
// "sho&w all".
TEST_F(WindowFile, TheListIsFilteredByTheFieldsAsTheyAreNow) {
  auto& d = *dialog_;
  Open(folder_.Write("four.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0) +
                                      test::PcapRecord(kUdp6, 2, 0) + test::PcapRecord(kTcp4, 3, 0) +
                                      test::PcapRecord(kUdp6, 4, 0)));
  QStringList all = Rows(d);
  test::Type(test::Combo(d, kIdTo), "*:5002");
  FilterBy(d, "");
  EXPECT_EQ(Rows(d), QStringList({"\t2\ttcp\t198.18.0.2\t443\t198.18.0.1\t5002\t40\t64"}));
  // The saves write what is shown, and say so.
  for (auto [command, name] : {std::pair{kCmdSaveSniffLog, "shown.txt"}, {kCmdSavePacketsSource, "shown.pcap"}}) {
    fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path(name)));
    d.menuChoice = command;
    test::ClickRow(d, 0, Qt::RightButton);
  }
  EXPECT_EQ(fakes_.savePrompt.said, QStringList({"the 1 shown packets", "the 1 shown packets"}));
  std::ifstream text(folder_.Path("shown.txt"), std::ios::binary), capture(folder_.Path("shown.pcap"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), "\t2\ttcp\t198.18.0.2\t443\t198.18.0.1\t5002\t40\t64\r\n");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(capture), {}).size(), 24u + 16 + 40);
  QTest::mouseDClick(d.packetListView()->viewport(), Qt::LeftButton, {},
                     d.packetListView()->viewport()->mapFromGlobal(test::RowPoint(d, 0)));
  EXPECT_EQ(d.detailsWindow()->list()->item(2)->text(), "packet2 tcp");
  d.activateWindow();  // back from the details window
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  test::Type(test::Combo(d, kIdTo), "*:53");
  QTest::mouseClick(Button(d, kIdUdp), Qt::LeftButton);  // IPv4 and IPv6 UDP off
  d.Command(kCmdFilterList);  // the fields alone, without the bar
  EXPECT_TRUE(Rows(d).isEmpty());
  QTest::keyClick(&d, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(Rows(d), all);
}

// "show &times": each packet's receive time first in its row, in the details window's
// first line and in the saved sniff log, with the date once the packets span midnight.
TEST_F(WindowFile, TimesShowEachPacketsReceiveTime) {
  auto& d = *dialog_;
  std::string zone = qEnvironmentVariable("TZ").toStdString();
  setenv("TZ", "UTC", 1);
  tzset();
  Open(folder_.Write("two.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1700000000, 123456789) +
                                     test::PcapRecord(kUdp4, 1700000001, 500000000)));
  d.menuChoice = kCmdShowTimes;
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(Rows(d).mid(0, 2), QStringList({"22:13:20.123456" + kUdp4Line.arg(0), "22:13:21.500000" + kUdp4Line.arg(1)}));
  QTest::mouseDClick(d.packetListView()->viewport(), Qt::LeftButton, {},
                     d.packetListView()->viewport()->mapFromGlobal(test::RowPoint(d, 1)));
  EXPECT_EQ(d.detailsWindow()->list()->item(0)->text(), "received 22:13:21.500000");
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("log.txt")));
  d.menuChoice = kCmdSaveSniffLog;
  d.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  test::ClickRow(d, 0, Qt::RightButton);
  std::ifstream log(folder_.Path("log.txt"), std::ios::binary);
  EXPECT_EQ(QString::fromStdString(std::string(std::istreambuf_iterator<char>(log), {})),
            "22:13:20.123456" + kUdp4Line.arg(0) + "\r\n22:13:21.500000" + kUdp4Line.arg(1) + "\r\n");
  Open(folder_.Write("midnight.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1700006399, 0) +
                                          test::PcapRecord(kUdp4, 1700006400, 0)));
  EXPECT_EQ(Rows(d).mid(0, 2), QStringList({"2023-11-14 23:59:59.000000" + kUdp4Line.arg(0),
                                            "2023-11-15 00:00:00.000000" + kUdp4Line.arg(1)}));
  if (zone.empty()) unsetenv("TZ");
  else setenv("TZ", zone.c_str(), 1);
  tzset();
}

// A file's datagrams left no socket here: with the programs shown, its rows say "?" and
// "only this program" finds none to filter by.
TEST_F(WindowFile, AFilesRowsNameNoProgram) {
  auto& d = *dialog_;
  Open(folder_.Write("one.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1700000000, 0)));
  d.menuChoice = kCmdShowPrograms;
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(Rows(d)[0], kUdp4Line.arg(0) + "\t?");
  const QStringList shown = Rows(d);
  d.menuChoice = kCmdOnlyThisProgram;
  test::ClickRow(d, 0, Qt::LeftButton);
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(Rows(d), shown);
}

// A pcapng file's program comments are the rows' programs again (a lone one's end by the
// block's direction flag), and saving as pcapng, by name or by the chosen filter, writes
// them as they came for tshark to show.
TEST_F(WindowFile, APcapngsProgramCommentsAreItsRowsProgramsAndAPcapngSaveKeepsThem) {
  auto& d = *dialog_;
  const test::Pcapng ng;
  using namespace std::string_literals;
  Open(folder_.Write("programs.pcapng",
                     ng.Section() + ng.Interface(101, ng.Option(9, "\x09")) +
                         ng.Packet(0, 1, kUdp4,
                                   ng.Option(1, "program: ssh (pid 42, user ann)") +
                                       ng.Option(1, "program: curl (pid 7, user bob)")) +
                         ng.Packet(0, 2, kUdp4, ng.Option(1, "program: user root") + ng.Option(2, "\x01\0\0\0"s)) +
                         ng.Packet(0, 3, kUdp4, ng.Option(1, "program: x (pid 4x, user c)") + ng.Option(1, "DNS"))));
  d.menuChoice = kCmdShowPrograms;
  test::ClickRow(d, 0, Qt::RightButton);
  EXPECT_EQ(Rows(d).mid(0, 3), QStringList({kUdp4Line.arg(0) + "\tssh 42 \u2192 curl 7", kUdp4Line.arg(1) + "\tuser root",
                               kUdp4Line.arg(2) + "\t?"}));
  test::ClickRow(d, 1, Qt::LeftButton);
  QTest::keyClick(d.packetListView(), Qt::Key_Return);
  ASSERT_NE(d.detailsWindow(), nullptr);
  EXPECT_EQ(d.detailsWindow()->list()->item(0)->text(), "received by a program of user root");

  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("again.pcapng")));
  d.Command(kCmdSavePacketsSource);
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("chosen.bin")), false, true);
  d.Command(kCmdSavePacketsSource);
  EXPECT_TRUE(fakes_.messages.shown.isEmpty());
  auto read = [&](const char* name) {
    std::ifstream in(folder_.Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read("chosen.bin"), read("again.pcapng"));
  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  test::CommandResult comments = test::RunCommand("tshark -r '" + folder_.Path("again.pcapng") +
                                                  "' -T fields -E occurrence=a -e frame.comment 2>/dev/null");
  EXPECT_EQ(comments.out, "program: ssh (pid 42, user ann),program: curl (pid 7, user bob)\nprogram: user root\n\n");
}

// A pcapng file's name records name its addresses when names are shown, and a pcapng save
// writes what was learned as its own name records, for tshark to show.
TEST_F(WindowFile, APcapngsNameRecordsNameItsAddressesAndAPcapngSaveWritesThem) {
  auto& d = *dialog_;
  const test::Pcapng ng;
  using namespace std::string_literals;
  std::string record = ng.U16(1) + ng.U16(21) + "\xc6\x12\x00\x02"s + "file.example.org\0"s + "\0\0\0"s;
  Open(folder_.Write("named.pcapng", ng.Section() + ng.Interface(101) + ng.Block(4, record + ng.U16(0) + ng.U16(0)) +
                                         ng.Packet(0, 1, kUdp4)));
  d.menuChoice = kCmdShowNames;
  test::ClickRow(d, 0, Qt::RightButton);
  ASSERT_EQ(d.options().ShowNames, 1);
  EXPECT_EQ(Rows(d)[0].split('\t').mid(3, 4), QStringList({"198.18.0.1", "5000", "file.example.org", "53"}));

  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("again.pcapng")));
  d.Command(kCmdSavePacketsSource);
  EXPECT_TRUE(fakes_.messages.shown.isEmpty());
  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  test::CommandResult hosts = test::RunCommand("tshark -r '" + folder_.Path("again.pcapng") +
                                               "' -N n -o nameres.use_external_name_resolver:FALSE -T fields"
                                               " -e ip.dst_host 2>/dev/null");
  EXPECT_EQ(hosts.out, "file.example.org\n");
}

// Shown by the menu, the info column says what each of a file's datagrams is, and the
// names its DNS answer and ClientHello gave replace their own addresses alone; find sees
// both, and the details say where a name came from. The resolver stays off.
TEST_F(WindowFile, InfoAndNamesComeFromTheFilesOwnDatagrams) {
  using test::Bytes;
  auto& d = *dialog_;
  Bytes answer = test::Readdressed(
      test::V4(17, test::Udp(53, 53124,
                             test::Dns(0x8180, {1, 2, 0, 0},
                                       test::Cat(test::Question(test::Name("www.example.org"), 1),
                                                 test::Rr(test::kToQuestion, 5, test::Name("edge.example.net")),
                                                 test::Rr(test::Name("edge.example.net"), 1, test::Hex("c6 12 00 07")))))),
      "198.18.0.53", "198.18.0.1");
  Bytes hello = test::Readdressed(test::V4(6, test::Tcp(40000, 443, test::ClientHello("tls.example.org"))),
                                  "198.18.0.1", "198.18.0.9");
  Bytes toNamed = test::Readdressed(test::V4(6, test::Tcp(40001, 443, test::Record(23, Bytes(8, 0x77)))),
                                    "198.18.0.1", "198.18.0.7");
  Open(folder_.Write("names.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(answer, 1700000000, 0) +
                                       test::PcapRecord(hello, 1700000001, 0) + test::PcapRecord(toNamed, 1700000002, 0)));
  d.menuChoice = kCmdShowInfo;
  test::ClickRow(d, 0, Qt::RightButton);
  ASSERT_EQ(d.options().ShowInfo, 1);
  EXPECT_EQ(Rows(d)[0].section('\t', -1), "DNS response A www.example.org 198.18.0.7 (+1)");
  EXPECT_EQ(Rows(d)[1].section('\t', -1), "TLS ClientHello tls.example.org h2,http/1.1");
  EXPECT_EQ(d.packetList().CountRows("clienthello"), 1);
  d.menuChoice = kCmdShowNames;
  test::ClickRow(d, 0, Qt::RightButton);
  ASSERT_EQ(d.options().ShowNames, 1);
  EXPECT_EQ(d.options().LookUpNames, 0);
  const QStringList rows = Rows(d);
  EXPECT_EQ(rows[0].split('\t').mid(3, 3), QStringList({"198.18.0.53", "53", "198.18.0.1"}));
  EXPECT_EQ(rows[1].split('\t').mid(3, 3), QStringList({"198.18.0.1", "40000", "tls.example.org"}));
  EXPECT_EQ(rows[2].split('\t').mid(3, 3), QStringList({"198.18.0.1", "40001", "www.example.org"}));
  EXPECT_EQ(d.packetList().CountRows("www.example.org"), 2);  // row 0's info, row 2's name
  // "filter the list" with the find bar open keeps the rows whose info holds its text.
  QTest::keyClick(&d, Qt::Key_F, Qt::ControlModifier);
  QWidget* field = QApplication::focusWidget();
  QTest::keyClicks(field, "clienthello");
  d.menuChoice = kCmdFilterList;
  test::ClickRow(d, 0, Qt::RightButton);
  ASSERT_EQ(Rows(d).size(), 1);
  EXPECT_EQ(Rows(d)[0].split('\t').mid(1, 1), QStringList({"1"}));
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("named.txt")));
  d.menuChoice = kCmdSaveSniffLog;
  test::ClickRow(d, 0, Qt::RightButton);
  std::ifstream saved(folder_.Path("named.txt"), std::ios::binary);
  EXPECT_EQ(QString::fromStdString(std::string(std::istreambuf_iterator<char>(saved), {})), Rows(d)[0] + "\r\n");
  QTest::keyClick(field, Qt::Key_Escape);
  d.menuChoice = kCmdShowAll;
  test::ClickRow(d, 0, Qt::RightButton);
  QTest::mouseDClick(d.packetListView()->viewport(), Qt::LeftButton, {},
                     d.packetListView()->viewport()->mapFromGlobal(test::RowPoint(d, 1)));
  ASSERT_NE(d.detailsWindow(), nullptr);
  EXPECT_EQ(d.detailsWindow()->list()->item(0)->text(), "198.18.0.9 is tls.example.org (TLS server name, packet 1)");
}

// The filter bar: pcap expressions over what a file held, each row its own packet, joined
// to the fields; a text libpcap refuses is shown so and leaves the list as it was; Escape
// keeps the filter, "sho&w all" ends it.
TEST_F(WindowFile, TheFilterBarShowsWhatTheExpressionAndTheFieldsKeep) {
  auto& d = *dialog_;
  auto syn = test::MakeDatagram({6, "10.9.0.2", "10.9.0.1", 40000, 8080, 0});
  syn[33] = 0x02;
  auto high = test::MakeDatagram({17, "10.9.0.2", "10.9.0.1", 6001, 6100, 4});
  Open(folder_.Write("five.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(kUdp4, 1, 0) + test::PcapRecord(kUdp6, 2, 0) +
                                      test::PcapRecord(kTcp4, 3, 0) + test::PcapRecord(syn, 4, 0) +
                                      test::PcapRecord(high, 5, 0)));
  ASSERT_EQ(Shown(d), (std::vector<int32_t>{0, 1, 2, 3, 4, -1}));
  struct Row {
    const char* expression;
    std::vector<int32_t> shown;
  };
  const Row rows[] = {
      {"tcp and port 443", {2}},
      {"udp or tcp[tcpflags] & tcp-syn != 0", {0, 1, 3, 4}},
      {"not ip6 and not tcp", {0, 4}},
      {"net 10.9.0.0/16", {3, 4}},
      {"udp portrange 6050-6150", {4}},
      {"", {0, 1, 2, 3, 4}},
  };
  for (const Row& row : rows) {
    FilterBy(d, row.expression);
    EXPECT_EQ(Shown(d), row.shown) << row.expression;
  }
  test::Type(test::Combo(d, kIdTo), "*:53");
  FilterBy(d, "ip");
  EXPECT_EQ(Shown(d), (std::vector<int32_t>{0}));

  auto* box = d.findChild<QComboBox*>("filterExpression");
  auto* message = d.findChild<QLabel*>("filterMessage");
  FilterBy(d, "udp and port");
  EXPECT_EQ(Shown(d), (std::vector<int32_t>{0}));
  EXPECT_EQ(message->text(), "can't parse filter expression: syntax error");
  QColor refused = box->lineEdit()->palette().color(QPalette::Base);
  QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);  // "udp and por": still refused
  QTest::keyClicks(box->lineEdit(), "t 53");
  EXPECT_EQ(message->text(), "");
  EXPECT_NE(box->lineEdit()->palette().color(QPalette::Base), refused);
  // The drop-down holds the expressions used, the last first, each once.
  EXPECT_EQ(test::Items(box).mid(0, 3), QStringList({"ip", "udp portrange 6050-6150", "net 10.9.0.0/16"}));

  QTest::keyClick(box->lineEdit(), Qt::Key_Escape);
  EXPECT_FALSE(box->isVisible());
  EXPECT_FALSE(d.exited());
  EXPECT_EQ(Shown(d), (std::vector<int32_t>{0}));
  QTest::keyClick(&d, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(Shown(d), (std::vector<int32_t>{0, 1, 2, 3, 4, -1}));
}

}  // namespace
}  // namespace trovix
