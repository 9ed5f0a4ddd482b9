// Settings read at start-up and written at exit, and the two save commands, through the
// real window with the settings folder and the save prompt handed in.
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <memory>

#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/command_output.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "tests/temp_files.h"
#include "ui/save_prompt.h"

namespace trovix {
namespace {

using namespace resources;
using test::Button;
using test::Combo;

constexpr char kFirstRunFile[] =
    "[Config]\r\nSaveSessionPreferences=Yes\r\nEnableFlipToTray=Yes\r\nEnableTrayIconAnime=Yes\r\n"
    "DataInHexViewOnlyUdp=Yes\r\nTcpDataInTextView=Yes\r\nBindToInterface=127.0.0.1\r\nFromIPAddress:port=*:*\r\n"
    "ToIPAddress:port=*:*\r\nTwoWayTraffic=No\r\nOnTop=No\r\nOnTcp=Yes\r\nOnUdp=Yes\r\nOnIcmp=No\r\nOnIgmp=No\r\n"
    "OnRaw=No\r\n";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SettingsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakes_.host.adapters = {AdapterStatus::kOk, 0, {"198.18.0.1"}};
    fakes_.configFolder.folder = folder_.Path("config");
  }
  // A fresh process's state and window, as a new start would have them.
  test::TestDialog& Open() {
    dialog_.reset();
    state_ = std::make_unique<CaptureState>();
    dialog_ = std::make_unique<test::TestDialog>(*state_, fakes_.services());
    dialog_->show();
    // A first run goes to the notification area; without one the window starts minimised.
    if (!dialog_->isMinimized()) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    }
    return *dialog_;
  }
  std::string IniPath() { return folder_.Path("config/Trovix/trovix.ini"); }
  void WriteIni(const std::string& text) {
    std::filesystem::create_directories(folder_.Path("config/Trovix"));
    folder_.Write("config/Trovix/trovix.ini", text);
  }
  void Store(std::initializer_list<size_t> payloads) {
    PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
    uint16_t port = 1000;
    for (size_t payload : payloads) {
      auto d = test::MakeDatagram({.protocol = 17, .sport = port++, .dport = 53, .payload = payload});
      ASSERT_EQ(AcceptDatagram(*state_, d.data(), d.size()), AcceptResult::kStored);
    }
  }
  QStringList Checked() {
    QStringList on;
    for (int id : {kIdTcp, kIdUdp, kIdIcmp, kIdIgmp, kIdRaw, kIdBothTraffic, kIdOnTop}) {
      if (Button(*dialog_, id)->isChecked()) on << Button(*dialog_, id)->text().simplified();
    }
    return on;
  }

  test::TempFolder folder_;
  test::Fakes fakes_;
  std::unique_ptr<CaptureState> state_;
  std::unique_ptr<test::TestDialog> dialog_;
};

// A window whose start-up ended early never read the file, so its exit must not write it.
TEST_F(SettingsWindowTest, StartUpThatEndedEarlyLeavesTheFileAlone) {
  const std::string saved = "[Config]\r\nSaveSessionPreferences=Yes\r\nOnRaw=Yes\r\n";
  WriteIni(saved);
  fakes_.version = VersionRecordSource(VersionRecord{kPlatformWin32Windows, 4, 10, 2222, " A "});
  Open().Command(kIdCancel);
  fakes_.version = VersionRecordSource(std::nullopt);
  Open().Command(kIdCancel);
  EXPECT_EQ(Read(IniPath()), saved);
}

TEST_F(SettingsWindowTest, FirstRunShowsTheAboutBoxOnceAndWritesOnlyAtExit) {
  fakes_.host.adapters = {AdapterStatus::kNoData, 0, {}};  // the interface field shows 127.0.0.1
  auto& d = Open();
  EXPECT_EQ(d.aboutBoxRuns(), 1);
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 1);
  EXPECT_EQ(dialog_->options().DataInHexViewOnlyUdp, 1);
  EXPECT_EQ(dialog_->options().DataInHexViewTcpAndUdp, 0);
  EXPECT_EQ(dialog_->options().TcpDataInTextView, 1);
  EXPECT_EQ(dialog_->options().TcpDataInAsciiView, 0);
  EXPECT_EQ(Checked(), QStringList({"tcp", "udp"}));
  EXPECT_FALSE(std::filesystem::exists(folder_.Path("config")));
  d.Command(kIdCancel);
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(Read(IniPath()), kFirstRunFile);
  EXPECT_EQ(Open().aboutBoxRuns(), 0);
}

// The list's last expression comes back to the filter bar; the capture's, never used, is
// not written.
TEST_F(SettingsWindowTest, TheListsExpressionIsKeptOnceUsed) {
  WriteIni(std::string(kFirstRunFile) + "ListExpression=udp\r\n");
  auto& d = Open();
  Store({1, 2});
  d.Command(kCmdFilterBar);
  QLineEdit* field = d.findChild<QComboBox*>("filterExpression")->lineEdit();
  EXPECT_EQ(field->text(), "udp");
  QTest::keyClick(field, Qt::Key_End);
  QTest::keyClicks(field, " src port 1001");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(d.packetList().rowCount(), 1);
  d.Command(kIdCancel);
  EXPECT_EQ(Read(IniPath()), std::string(kFirstRunFile) + "ListExpression=udp src port 1001\r\n");
}

// A window the user made larger keeps its size and place at the next start; the keys are
// written only then (the first run's file above has none).
TEST_F(SettingsWindowTest, AResizedWindowKeepsItsSizeAndPlace) {
  WriteIni("[Config]\r\nEnableFlipToTray=No\r\n");
  auto& d = Open();
  QSize larger = d.size() + QSize(120, 80);
  d.resize(larger);
  d.move(40, 30);
  d.Command(kIdCancel);
  EXPECT_NE(Read(IniPath()).find(QString("\r\nWindowX=40\r\nWindowY=30\r\nWindowWidth=%1\r\nWindowHeight=%2\r\n")
                                     .arg(larger.width())
                                     .arg(larger.height())
                                     .toStdString()),
            std::string::npos);
  auto& again = Open();
  EXPECT_EQ(again.size(), larger);
  EXPECT_EQ(again.pos(), QPoint(40, 30));
}

TEST_F(SettingsWindowTest, PreferencesOffKeepsTheFileButThatKey) {
  const std::string file = "[Config]\r\nSaveSessionPreferences=No\r\nOnTcp=No\r\nOnIcmp=Yes\r\n";
  WriteIni(file);
  auto& d = Open();
  EXPECT_EQ(d.aboutBoxRuns(), 0);
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 0);
  EXPECT_EQ(dialog_->options().EnableTrayIconAnime, 0);
  EXPECT_EQ(Checked(), QStringList({"tcp", "udp"}));  // nothing more was read
  d.Command(kIdCancel);
  EXPECT_EQ(Read(IniPath()), file);

  auto& again = Open();
  again.Command(kCmdSavePreferences);
  again.Command(kIdCancel);
  EXPECT_EQ(Read(IniPath()),
            "[Config]\r\nSaveSessionPreferences=Yes\r\nOnTcp=Yes\r\nOnIcmp=No\r\nEnableFlipToTray=No\r\n"
            "EnableTrayIconAnime=No\r\nDataInHexViewOnlyUdp=Yes\r\nTcpDataInTextView=Yes\r\n"
            "BindToInterface=198.18.0.1\r\nFromIPAddress:port=*:*\r\nToIPAddress:port=*:*\r\nTwoWayTraffic=No\r\n"
            "OnTop=No\r\nOnUdp=Yes\r\nOnIgmp=No\r\nOnRaw=No\r\n");
}

TEST_F(SettingsWindowTest, MissingKeysTakeTheirDefaultsNotTheStartState) {
  WriteIni("[Config]\r\nSaveSessionPreferences=Yes\r\n");
  auto& d = Open();
  EXPECT_EQ(Combo(d, kIdBind)->currentText(), "127.0.0.1");
  EXPECT_EQ(Combo(d, kIdFrom)->currentText(), "*:*");
  EXPECT_EQ(Combo(d, kIdTo)->currentText(), "*:*");
  EXPECT_EQ(Checked(), QStringList({"tcp"}));
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 1);
  EXPECT_EQ(dialog_->options().EnableTrayIconAnime, 1);
  EXPECT_EQ(dialog_->options().DataInHexViewOnlyUdp, 1);
  EXPECT_EQ(dialog_->options().TcpDataInTextView, 1);
}

TEST_F(SettingsWindowTest, ASettingsFileThatIsAFolderIsAFirstRunAndStaysAFolder) {
  std::filesystem::create_directories(folder_.Path("config/Trovix/trovix.ini"));
  folder_.Write("config/Trovix/trovix.ini/inside", "kept");
  auto& d = Open();
  EXPECT_EQ(d.aboutBoxRuns(), 1);
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 1);
  d.Command(kIdCancel);
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't create ini file!"}));
  EXPECT_TRUE(std::filesystem::is_directory(IniPath()));
  EXPECT_EQ(Read(IniPath() + "/inside"), "kept");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(IniPath()), {}), 1);
}

// 100 MB, sparse: read as far as the first MiB, and never rewritten.
TEST_F(SettingsWindowTest, AHugeSettingsFileIsReadInPartAndLeftAsItWas) {
  const std::string start = "[Config]\r\nSaveSessionPreferences=Yes\r\nEnableFlipToTray=No\r\nOnRaw=Yes\r\n";
  WriteIni(start);
  std::filesystem::resize_file(IniPath(), 100'000'000);
  {
    std::ofstream tail(IniPath(), std::ios::binary | std::ios::in);
    tail.seekp(100'000'000 - 5);
    tail << "\r\nend";
  }
  struct stat before {};
  ASSERT_EQ(stat(IniPath().c_str(), &before), 0);
  auto& d = Open();
  EXPECT_EQ(d.aboutBoxRuns(), 0);
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 0);
  EXPECT_EQ(Checked(), QStringList({"tcp", "raw"}));
  d.Command(kIdCancel);
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't create ini file!"}));
  struct stat after {};
  ASSERT_EQ(stat(IniPath().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_size, 100'000'000);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  std::ifstream file(IniPath(), std::ios::binary);
  std::string head(start.size(), '\0'), middle(16, 'x'), tail(5, '\0');
  file.read(head.data(), static_cast<std::streamsize>(head.size()));
  file.seekg(50'000'000);
  file.read(middle.data(), 16);
  file.seekg(100'000'000 - 5);
  file.read(tail.data(), 5);
  EXPECT_EQ(head, start);
  EXPECT_EQ(middle, std::string(16, '\0'));
  EXPECT_EQ(tail, "\r\nend");
}

TEST_F(SettingsWindowTest, OnTopOnlyForYesAndAtOnce) {
  WriteIni("[Config]\r\nOnTop=yes\r\n");
  EXPECT_FALSE(Button(Open(), kIdOnTop)->isChecked());
  EXPECT_FALSE(dialog_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  WriteIni("[Config]\r\nOnTop=Yes\r\n");
  EXPECT_TRUE(Button(Open(), kIdOnTop)->isChecked());
  EXPECT_TRUE(dialog_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

// The ssh:// sources used before come back to the drop-down, those that pass the check.
TEST_F(SettingsWindowTest, ALongInterfaceTextIsShownWholeAndWrittenCutAndSshSourcesComeBack) {
  WriteIni("[Config]\r\nBindToInterface=1234567890123456789012345\r\n"
           "RemoteSources=ssh://a/eth0 ssh://-oProxyCommand=x ssh://b\r\n");
  auto& d = Open();
  EXPECT_EQ(Combo(d, kIdBind)->currentText(), "1234567890123456789012345");
  EXPECT_GE(Combo(d, kIdBind)->findText("ssh://b"), 0);
  EXPECT_EQ(Combo(d, kIdBind)->findText("ssh://-oProxyCommand=x"), -1);
  d.Command(kIdCancel);
  EXPECT_NE(Read(IniPath()).find("\r\nBindToInterface=1234567890123456789\r\n"), std::string::npos);
  EXPECT_NE(Read(IniPath()).find("\r\nRemoteSources=ssh://a/eth0 ssh://b\r\n"), std::string::npos);
}

TEST_F(SettingsWindowTest, OptionsChangedInTheWindowComeBackAtTheNextStart) {
  WriteIni("[Config]\r\nEnableFlipToTray=No\r\n");
  auto& d = Open();
  for (auto [id, text] : {std::pair{kIdFrom, "10.1.2.3:80"}, std::pair{kIdBind, "127.0.0.9"}}) {
    QLineEdit* field = Combo(d, id)->lineEdit();
    field->selectAll();
    QTest::keyClicks(field, text);
  }
  for (int id : {kIdUdp, kIdIcmp, kIdBothTraffic}) QTest::mouseClick(Button(d, id), Qt::LeftButton);
  for (int id : {kCmdHexTcpAndUdp, kCmdTcpAsciiView, kCmdTrayAnime}) {
    d.menuChoice = id;
    d.OpenContextMenu(QPoint(-1, -1));
  }
  QTest::keyClick(&d, Qt::Key_Escape);
  ASSERT_TRUE(d.exited());

  auto& again = Open();
  EXPECT_EQ(Combo(again, kIdFrom)->currentText(), "10.1.2.3:80");
  EXPECT_EQ(Combo(again, kIdBind)->currentText(), "127.0.0.9");
  EXPECT_EQ(Checked(), QStringList({"tcp", "udp", "icmp", "both traffic"}));
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 0);
  EXPECT_EQ(dialog_->options().EnableTrayIconAnime, 0);
  EXPECT_EQ(dialog_->options().DataInHexViewTcpAndUdp, 1);
  EXPECT_EQ(dialog_->options().TcpDataInAsciiView, 1);
}

TEST_F(SettingsWindowTest, NothingToSaveOpensNoPrompt) {
  auto& d = Open();
  d.Command(kCmdSaveSniffLog);
  d.hide();
  d.Command(kCmdSavePacketsSource);
  EXPECT_EQ(fakes_.messages.shown, QStringList({"information:: don't found data for saving!",
                                                "information:: don't found data for saving!"}));
  EXPECT_TRUE(fakes_.savePrompt.asked.isEmpty());
  EXPECT_TRUE(d.isVisible());
}

TEST_F(SettingsWindowTest, PacketsSourceIsTheStoredBytesExactly) {
  auto& d = Open();
  Store({32, 1472});
  fakes_.savePrompt.answer = QString::fromStdString(folder_.Write("old.txt", std::string(5000, 'o')));
  d.Command(kCmdSavePacketsSource);
  std::string saved = Read(folder_.Path("old.txt"));
  ASSERT_EQ(saved.size(), 1560u);
  EXPECT_EQ(saved.compare(0, 4, std::string("\x45\x00\x00\x3c", 4)), 0);
  EXPECT_EQ(saved.compare(60, 4, std::string("\x45\x00\x05\xdc", 4)), 0);
  EXPECT_EQ(fakes_.savePrompt.asked, QStringList({QString::fromStdString(folder_.Path("config/Trovix"))}));
  EXPECT_EQ(fakes_.savePrompt.offered, std::vector<bool>({true}));
  EXPECT_TRUE(fakes_.messages.shown.isEmpty());
}

TEST_F(SettingsWindowTest, PacketsSourceDuringACaptureEndsOnAWholeDatagram) {
  auto& d = Open();
  Store({32});
  // A second datagram half-way in: bytes, length and byte total written, count not yet.
  UnpoisonBytes(state_->store.bytes + 60, 28);  // as the append step does before it copies
  std::memset(state_->store.bytes + 60, 0x45, 28);
  state_->store.lengths[1] = 28;
  state_->store.storedBytes.store(88);
  fakes_.savePrompt.answer = QString::fromStdString(folder_.Path("source.txt"));
  d.Command(kCmdSavePacketsSource);
  EXPECT_EQ(Read(folder_.Path("source.txt")).size(), 60u);
}

TEST_F(SettingsWindowTest, SniffLogIsThePacketLinesExactly) {
  auto& d = Open();
  Store({0, 1, 2});
  fakes_.savePrompt.answer = QString::fromStdString(folder_.Path("log.txt"));
  d.Command(kCmdSaveSniffLog);
  EXPECT_EQ(Read(folder_.Path("log.txt")),
            "\t0\tudp\t10.0.0.1\t1000\t10.0.0.2\t53\t28\t64\r\n\t1\tudp\t10.0.0.1\t1001\t10.0.0.2\t53\t29\t64\r\n"
            "\t2\tudp\t10.0.0.1\t1002\t10.0.0.2\t53\t30\t64\r\n");
  EXPECT_EQ(fakes_.savePrompt.offered, std::vector<bool>({false}));  // a text log is no capture file
}

TEST_F(SettingsWindowTest, CancelWritesNothingAndAFileThatCannotBeMadeSaysSo) {
  auto& d = Open();
  Store({4});
  d.Command(kCmdSaveSniffLog);  // the prompt answers nothing: cancelled
  EXPECT_EQ(fakes_.savePrompt.asked.size(), 1);
  fakes_.savePrompt.answer = QString::fromStdString(folder_.Path("no-such-folder/log.txt"));
  d.Command(kCmdSaveSniffLog);
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't create file!"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.Path("")), {}), 0);
}

TEST(SavePrompt, OffersACaptureFileOnlyWhenAsked) {
  QFileDialog dialog;
  ConfigureSavePrompt(dialog, QString(), false);
  EXPECT_EQ(dialog.nameFilters(), QStringList({"Text Files (*.txt)", "All Files (*.*)"}));
}

TEST(SavePrompt, TypedNamesGetTheDefaultExtension) {
  test::TempFolder folder;
  for (auto [typed, expected] : {std::pair{"log", "log.txt"}, std::pair{"log.csv", "log.csv"}}) {
    QFileDialog dialog;
    ConfigureSavePrompt(dialog, QString::fromStdString(folder.Path("")), true);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    EXPECT_EQ(dialog.windowTitle(), "select file for saving");
    EXPECT_EQ(dialog.nameFilters(),
              QStringList({"Text Files (*.txt)", "All Files (*.*)", "Packet capture (*.pcap)",
                           "Packet capture, pcapng (*.pcapng)"}));
    EXPECT_EQ(dialog.selectedNameFilter(), "Text Files (*.txt)");
    EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
    dialog.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    QTest::keyClicks(name, typed);
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.selectedFiles(), QStringList({QString::fromStdString(folder.Path(expected))}));
  }
}

TEST(SavePrompt, TheCaptureFiltersGivePcapAndPcapngNames) {
  struct Case {
    int downs;
    const char* file;
    bool pcap, pcapng;
  } cases[] = {{2, "trace.pcap", true, false}, {3, "trace.pcapng", false, true}};
  for (const Case& c : cases) {
    test::TempFolder folder;
    QFileDialog dialog;
    ConfigureSavePrompt(dialog, QString::fromStdString(folder.Path("")), true);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    types->setFocus();
    for (int i = 0; i < c.downs; ++i) QTest::keyClick(types, Qt::Key_Down);
    auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
    QTest::keyClicks(name, "trace");
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_EQ(dialog.result(), QDialog::Accepted);
    SaveTarget target = ChosenTarget(dialog);
    EXPECT_EQ(target.path, QString::fromStdString(folder.Path(c.file)));
    EXPECT_EQ(target.packetCapture, c.pcap);
    EXPECT_EQ(target.pcapng, c.pcapng);
  }
}

// The records of a capture file as tcpdump prints them: receive time and bytes.
struct Record {
  std::string time;
  std::vector<uint8_t> bytes;
};

std::vector<Record> TcpdumpRecords(const std::string& file) {
  test::CommandResult r =
      test::RunCommand("tcpdump -r '" + file + "' -nn -tt --time-stamp-precision=nano -x 2>/dev/null");
  std::vector<Record> records;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("\t0x", 0) != 0) {
      records.push_back({line.substr(0, line.find(' ')), {}});
      continue;
    }
    std::istringstream hex(line.substr(line.find(':') + 1));
    for (std::string group; hex >> group;) {
      for (size_t i = 0; i + 1 < group.size(); i += 2) {
        records.back().bytes.push_back(static_cast<uint8_t>(std::stoi(group.substr(i, 2), nullptr, 16)));
      }
    }
  }
  return records;
}

// tshark's hex dump: offset, up to 16 bytes, then their text; a blank line between records.
std::vector<std::vector<uint8_t>> TsharkBytes(const std::string& file) {
  test::CommandResult r = test::RunCommand("tshark -r '" + file + "' -x 2>/dev/null");
  std::vector<std::vector<uint8_t>> records(1);
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      if (!records.back().empty()) records.emplace_back();
      continue;
    }
    for (size_t at = 6; at + 2 <= line.size() && at < 6 + 16 * 3 && line[at] != ' '; at += 3) {
      records.back().push_back(static_cast<uint8_t>(std::stoi(line.substr(at, 2), nullptr, 16)));
    }
  }
  if (records.back().empty()) records.pop_back();
  return records;
}

int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int64_t TimeNs(const std::string& text) {  // "seconds.nanoseconds"
  size_t dot = text.find('.');
  return std::stoll(text.substr(0, dot)) * 1000000000 + std::stoll(text.substr(dot + 1));
}

TEST_F(SettingsWindowTest, ACaptureSavedAsPcapReadsBackInTcpdumpAndTshark) {
  if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  if (test::RunCommand("command -v tcpdump && command -v tshark").status != 0) GTEST_SKIP() << "no tcpdump or tshark";
  auto& d = Open();
  Combo(d, kIdBind)->setEditText("127.0.0.1");
  Combo(d, kIdFrom)->setEditText("*:40301");
  int64_t start = NowNs();
  Button(d, kIdGo)->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return state_->run.capturing.load(); }, 3000));
  int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{AF_INET, htons(40302), {htonl(INADDR_LOOPBACK)}, {}};
  sockaddr_in from{AF_INET, htons(40301), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  for (size_t size : {3, 100, 1000}) {
    std::string payload(size, static_cast<char>('a' + size % 26));
    ASSERT_GT(sendto(sender, payload.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return PublishedPacketCount(state_->store) == 3; }, 5000));
  Button(d, kIdStop)->click();
  int64_t end = NowNs();
  close(sender);
  close(receiver);

  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("named.PCAP")));
  d.Command(kCmdSavePacketsSource);
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("chosen.bin")), true);
  d.Command(kCmdSavePacketsSource);
  EXPECT_TRUE(fakes_.messages.shown.isEmpty());
  std::string file = folder_.Path("named.PCAP");
  EXPECT_EQ(Read(folder_.Path("chosen.bin")), Read(file));

  std::vector<Record> dumped = TcpdumpRecords(file);
  std::vector<std::vector<uint8_t>> shown = TsharkBytes(file);
  ASSERT_EQ(dumped.size(), 3u);
  ASSERT_EQ(shown.size(), 3u);
  int64_t previous = start;
  for (uint32_t k = 0; k < 3; ++k) {
    StoredPacket p;
    ASSERT_TRUE(LocatePacket(state_->store, static_cast<int32_t>(k), p));
    std::vector<uint8_t> stored(p.bytes, p.bytes + p.length);
    EXPECT_EQ(dumped[k].bytes, stored) << "packet " << k;
    EXPECT_EQ(shown[k], stored) << "packet " << k;
    int64_t time = TimeNs(dumped[k].time);
    EXPECT_EQ(time, p.receiveTime);
    EXPECT_LE(previous, time);
    EXPECT_LE(time, end);
    previous = time;
  }
  EXPECT_EQ(shown[0].size(), 31u);
  EXPECT_EQ(shown[2].size(), 1028u);
  EXPECT_EQ(shown[2][1027], 'a' + 1000 % 26);
  test::CommandResult lengths = test::RunCommand("tshark -r '" + file + "' -T fields -e frame.len 2>/dev/null");
  EXPECT_EQ(lengths.out, "31\n128\n1028\n");
}

// Raw-IP records hold either family: each is read by the version in its first byte, and
// its original length is the one its own header gives (IPv6: never bytes 2 and 3, which
// belong to the flow label), that of a BIG TCP datagram too. Records stop at 262,144 bytes,
// as tshark reads no longer ones.
TEST_F(SettingsWindowTest, Ipv4AndIpv6DatagramsSavedAsPcapReadBackInTshark) {
  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  auto& d = Open();
  PrepareCapture(*state_, {"::", "*:*", "*:*", false, true, true, true, true, true, /*ipv6=*/true});
  std::vector<uint8_t> datagrams[] = {
      test::MakeIpv6Datagram({.sport = 1000, .dport = 53, .payload = 3, .extensions = {{0, {0, 0, 1, 4, 0, 0, 0, 0}}}}),
      test::MakeDatagram({.protocol = 17, .sport = 1001, .dport = 53, .payload = 1}),
      // As GRO hands it over: payload length 0, its length in a jumbo payload option.
      test::MakeIpv6Datagram({.upper = 6, .sport = 1002, .dport = 80, .payload = 299932,
                              .extensions = {{0, {0, 0, 0xc2, 4, 0, 0x04, 0x93, 0xb8}}}}),
  };
  datagrams[0][1] = 0x0a, datagrams[0][2] = 0x95, datagrams[0][3] = 0xf3;  // flow label 0xa95f3
  datagrams[2][4] = datagrams[2][5] = 0;
  for (const auto& datagram : datagrams) {
    ASSERT_EQ(AcceptDatagram(*state_, datagram.data(), datagram.size()), AcceptResult::kStored);
  }
  fakes_.savePrompt.answer = SaveTarget(QString::fromStdString(folder_.Path("both.pcap")));
  d.Command(kCmdSavePacketsSource);
  test::CommandResult fields = test::RunCommand("tshark -r '" + folder_.Path("both.pcap") +
                                                "' -T fields -e frame.len -e frame.cap_len -e ip.src -e ipv6.src"
                                                " -e udp.srcport -e tcp.srcport 2>/dev/null");
  EXPECT_EQ(fields.out,
            "59\t59\t\t2001:db8::1\t1000\t\n"
            "29\t29\t10.0.0.1\t\t1001\t\n"
            "300000\t262144\t\t2001:db8::1\t\t1002\n");
}

}  // namespace
}  // namespace trovix
