// Settings read at start-up and written at exit, and the two save commands, through the
// real window with the settings folder and the save prompt handed in.
#include <QFileDialog>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
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
    if (!dialog_->isMinimized()) EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
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
  EXPECT_EQ(state_->EnableFlipToTray, 1);
  EXPECT_EQ(state_->DataInHexViewOnlyUdp, 1);
  EXPECT_EQ(state_->DataInHexViewTcpAndUdp, 0);
  EXPECT_EQ(state_->TcpDataInTextView, 1);
  EXPECT_EQ(state_->TcpDataInAsciiView, 0);
  EXPECT_EQ(Checked(), QStringList({"tcp", "udp"}));
  EXPECT_FALSE(std::filesystem::exists(folder_.Path("config")));
  d.Command(kIdCancel);
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(Read(IniPath()), kFirstRunFile);
  EXPECT_EQ(Open().aboutBoxRuns(), 0);
}

TEST_F(SettingsWindowTest, PreferencesOffKeepsTheFileButThatKey) {
  const std::string file = "[Config]\r\nSaveSessionPreferences=No\r\nOnTcp=No\r\nOnIcmp=Yes\r\n";
  WriteIni(file);
  auto& d = Open();
  EXPECT_EQ(d.aboutBoxRuns(), 0);
  EXPECT_EQ(state_->EnableFlipToTray, 0);
  EXPECT_EQ(state_->EnableTrayIconAnime, 0);
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
  EXPECT_EQ(state_->EnableFlipToTray, 1);
  EXPECT_EQ(state_->EnableTrayIconAnime, 1);
  EXPECT_EQ(state_->DataInHexViewOnlyUdp, 1);
  EXPECT_EQ(state_->TcpDataInTextView, 1);
}

TEST_F(SettingsWindowTest, OnTopOnlyForYesAndAtOnce) {
  WriteIni("[Config]\r\nOnTop=yes\r\n");
  EXPECT_FALSE(Button(Open(), kIdOnTop)->isChecked());
  EXPECT_FALSE(dialog_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  WriteIni("[Config]\r\nOnTop=Yes\r\n");
  EXPECT_TRUE(Button(Open(), kIdOnTop)->isChecked());
  EXPECT_TRUE(dialog_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(SettingsWindowTest, ALongInterfaceTextIsShownWholeAndWrittenCut) {
  WriteIni("[Config]\r\nBindToInterface=1234567890123456789012345\r\n");
  auto& d = Open();
  EXPECT_EQ(Combo(d, kIdBind)->currentText(), "1234567890123456789012345");
  d.Command(kIdCancel);
  EXPECT_NE(Read(IniPath()).find("\r\nBindToInterface=1234567890123456789\r\n"), std::string::npos);
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
  EXPECT_EQ(state_->EnableFlipToTray, 0);
  EXPECT_EQ(state_->EnableTrayIconAnime, 0);
  EXPECT_EQ(state_->DataInHexViewTcpAndUdp, 1);
  EXPECT_EQ(state_->TcpDataInAsciiView, 1);
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
  EXPECT_TRUE(fakes_.messages.shown.isEmpty());
}

TEST_F(SettingsWindowTest, PacketsSourceDuringACaptureEndsOnAWholeDatagram) {
  auto& d = Open();
  Store({32});
  // A second datagram half-way in: bytes, length and byte total written, count not yet.
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

TEST(SavePrompt, TypedNamesGetTheDefaultExtension) {
  test::TempFolder folder;
  for (auto [typed, expected] : {std::pair{"log", "log.txt"}, std::pair{"log.csv", "log.csv"}}) {
    QFileDialog dialog;
    ConfigureSavePrompt(dialog, QString::fromStdString(folder.Path("")));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    EXPECT_EQ(dialog.windowTitle(), "select file for saving");
    EXPECT_EQ(dialog.nameFilters(), QStringList({"Text Files (*.txt)", "All Files (*.*)"}));
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

}  // namespace
}  // namespace trovix
