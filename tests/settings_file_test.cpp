#include "settings/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "settings/config_folder.h"
#include "settings/file_replacement.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SettingsFileTest : public ::testing::Test {
 protected:
  std::string IniPath() { return folder_.Path("Trovix/trovix.ini"); }
  void WriteIni(const std::string& text) {
    std::filesystem::create_directories(folder_.Path("Trovix"));
    folder_.Write("Trovix/trovix.ini", text);
  }
  LoadedSettings Load() { return LoadSettingsFile(*state_, folder_.Path("")); }
  SavedSettings Save(const ControlSettings& c) { return SaveSettingsFile(*state_, c, folder_.Path("")); }

  test::TempFolder folder_;
  std::unique_ptr<WindowOptions> state_ = std::make_unique<WindowOptions>();
};

TEST_F(SettingsFileTest, OnlyYesIsOnAndMissingKeysTakeTheirDefaults) {
  WriteIni("[config]\r\nOnTop=yes\r\nOnTcp=Yes!\r\nOnIcmp=Yes\r\nonigmp=YES\r\nTcpDataInTextView=1\r\n"
           "DataInHexViewOnlyUdp=\r\nfromipaddress:PORT=" + std::string(90, '7') + "\r\n");
  LoadedSettings loaded = Load();
  ASSERT_TRUE(loaded.controls.has_value());
  const ControlSettings& c = *loaded.controls;
  EXPECT_EQ(c.BindToInterface, "127.0.0.1");
  EXPECT_EQ(c.FromIPAddress, std::string(79, '7'));
  EXPECT_EQ(c.ToIPAddress, "*:*");
  EXPECT_FALSE(c.OnTop || c.OnTcp || c.OnUdp || c.OnIgmp || c.OnRaw || c.TwoWayTraffic);
  EXPECT_TRUE(c.OnIcmp);
  EXPECT_EQ(state_->SaveSessionPreferences, 1);
  EXPECT_EQ(state_->EnableFlipToTray, 1);
  EXPECT_EQ(state_->EnableTrayIconAnime, 1);
  EXPECT_EQ(state_->DataInHexViewOnlyUdp, 0);
  EXPECT_EQ(state_->DataInHexViewTcpAndUdp, 1);
  EXPECT_EQ(state_->TcpDataInTextView, 0);
  EXPECT_EQ(state_->TcpDataInAsciiView, 1);
}

TEST_F(SettingsFileTest, TextsAreCutWhenWrittenAndOtherLinesKept) {
  WriteIni("; kept\n[Config]\nMine=1\nonraw=Yes\n");
  state_->SaveSessionPreferences = 1;
  state_->CaptureIpv6 = 1;
  ControlSettings c{"1234567890123456789012345", "abcdefghijklmnopqrstuvwxyz", "*:*", true, false,
                    false, false, false, false, false};
  ASSERT_EQ(Save(c).outcome, SettingsWrite::kWritten);
  EXPECT_EQ(Read(IniPath()),
            "; kept\n[Config]\nMine=1\nonraw=No\nSaveSessionPreferences=Yes\r\nEnableFlipToTray=No\r\n"
            "EnableTrayIconAnime=No\r\nDataInHexViewOnlyUdp=No\r\nTcpDataInTextView=No\r\n"
            "BindToInterface=1234567890123456789\r\nFromIPAddress:port=abcdefghijklmnopqrstuvw\r\n"
            "ToIPAddress:port=*:*\r\nTwoWayTraffic=Yes\r\nOnTop=No\r\nOnTcp=No\r\nOnUdp=No\r\nOnIcmp=No\r\n"
            "OnIgmp=No\r\n");
}

// "capture IPv&6 too" is on when its key is missing, and the key is written only when it
// is off or already there ("keep &more" likewise, off when missing); texts in IPv6 form
// are written whole.
TEST_F(SettingsFileTest, CaptureIpv6IsWrittenOnlyWhenItSaysSomething) {
  WriteIni("[Config]\r\n");
  ASSERT_TRUE(Load().controls.has_value());
  EXPECT_EQ(state_->CaptureIpv6, 1);
  ControlSettings c{"2001:db8:ffff:ffff:ffff:ffff:ffff:1", "[2001:db8:ffff:ffff:ffff:ffff:ffff:ffff]:65535", "*:*"};
  ASSERT_EQ(Save(c).outcome, SettingsWrite::kWritten);
  std::string first = Read(IniPath());
  EXPECT_EQ(first.find("CaptureIpv6"), std::string::npos);
  EXPECT_EQ(first.find("KeepMore"), std::string::npos);
  EXPECT_EQ(first.find("AskBeforeDiscarding"), std::string::npos);
  EXPECT_NE(first.find("\r\nBindToInterface=2001:db8:ffff:ffff:ffff:ffff:ffff:1\r\n"
                       "FromIPAddress:port=[2001:db8:ffff:ffff:ffff:ffff:ffff:ffff]:65535\r\n"),
            std::string::npos);
  state_->CaptureIpv6 = 0;
  state_->KeepMore = 1;
  state_->AskBeforeDiscarding = 0;
  state_->ShowTimes = 1;
  ASSERT_EQ(Save(c).outcome, SettingsWrite::kWritten);
  state_->ShowTimes = 0;
  state_->KeepMore = 0;
  state_->AskBeforeDiscarding = 1;
  ASSERT_TRUE(Load().controls.has_value());
  EXPECT_EQ(state_->CaptureIpv6, 0);
  EXPECT_EQ(state_->KeepMore, 1);
  EXPECT_EQ(state_->AskBeforeDiscarding, 0);
  EXPECT_EQ(state_->ShowTimes, 1);
  state_->CaptureIpv6 = 1;
  state_->KeepMore = 0;
  ASSERT_EQ(Save(c).outcome, SettingsWrite::kWritten);
  EXPECT_NE(Read(IniPath()).find("\r\nCaptureIpv6=Yes\r\nKeepMore=No\r\n"), std::string::npos);
}

// A bind text of ssh:// sources is kept in whole words, not cut to a local address's
// length; the list of sources used is written once there is one.
TEST_F(SettingsFileTest, SshSourcesAreKeptWhole) {
  WriteIni("[Config]\r\n");
  ASSERT_TRUE(Load().controls.has_value());
  ControlSettings c{"ssh://admin@router.example/eth0 ssh://[2001:db8::2]:2222/eth1 ssh://backup.example/enp0s31f6", "*:*",
                    "*:*"};
  ASSERT_EQ(Save(c).outcome, SettingsWrite::kWritten);
  EXPECT_EQ(Read(IniPath()).find("RemoteSources"), std::string::npos);
  c.RemoteSources = "ssh://admin@router.example/eth0 ssh://[2001:db8::2]:2222/eth1";
  ASSERT_EQ(Save(c).outcome, SettingsWrite::kWritten);
  std::optional<ControlSettings> read = Load().controls;
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->BindToInterface, "ssh://admin@router.example/eth0 ssh://[2001:db8::2]:2222/eth1");
  EXPECT_EQ(read->RemoteSources, c.RemoteSources);
}

TEST_F(SettingsFileTest, FoldersMadeForTheFileAreTheUsersAlone) {
  mode_t old = umask(022);
  SavedSettings saved = SaveSettingsFile(*state_, {}, folder_.Path("cfg/deeper"));
  umask(old);
  ASSERT_EQ(saved.outcome, SettingsWrite::kWritten);
  for (const char* made : {"cfg", "cfg/deeper", "cfg/deeper/Trovix"}) {
    struct stat st {};
    ASSERT_EQ(stat(folder_.Path(made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
  }
}

TEST_F(SettingsFileTest, NoFolderReadsAndWritesNothing) {
  state_->SaveSessionPreferences = 1;
  EXPECT_EQ(LoadSettingsFile(*state_, std::nullopt).outcome, SettingsRead::kNoFolder);
  EXPECT_EQ(state_->EnableFlipToTray, 0);
  EXPECT_EQ(std::string(state_->SettingsFolder), "");
  EXPECT_EQ(SaveSettingsFile(*state_, {}, std::nullopt).outcome, SettingsWrite::kNoFolder);
}

// Each menu option chosen away from its first-run value is written under its key (those
// written once used after the controls' keys) and read back; a pair's second item is kept
// through the first item's key.
TEST_F(SettingsFileTest, EveryMenuOptionIsWrittenUnderItsKeyAndReadBack) {
  ASSERT_EQ(Load().outcome, SettingsRead::kFirstRun);
  for (int id : {resources::kCmdFlipToTray, resources::kCmdTrayAnime, resources::kCmdHexTcpAndUdp,
                 resources::kCmdTcpAsciiView, resources::kCmdCaptureIpv6, resources::kCmdKeepMore,
                 resources::kCmdShowTimes, resources::kCmdShowPrograms, resources::kCmdAskBeforeDiscarding}) {
    EXPECT_TRUE(ApplyOptionCommand(*state_, id)) << id;
  }
  EXPECT_FALSE(ApplyOptionCommand(*state_, resources::kCmdExit));
  ASSERT_EQ(Save({}).outcome, SettingsWrite::kWritten);
  EXPECT_EQ(Read(IniPath()),
            "[Config]\r\nSaveSessionPreferences=Yes\r\nEnableFlipToTray=No\r\nEnableTrayIconAnime=No\r\n"
            "DataInHexViewOnlyUdp=No\r\nTcpDataInTextView=No\r\nBindToInterface=\r\nFromIPAddress:port=\r\n"
            "ToIPAddress:port=\r\nTwoWayTraffic=No\r\nOnTop=No\r\nOnTcp=No\r\nOnUdp=No\r\nOnIcmp=No\r\n"
            "OnIgmp=No\r\nOnRaw=No\r\nCaptureIpv6=No\r\nKeepMore=Yes\r\nShowTimes=Yes\r\nShowPrograms=Yes\r\n"
            "AskBeforeDiscarding=No\r\n");
  state_ = std::make_unique<WindowOptions>();
  ASSERT_EQ(Load().outcome, SettingsRead::kRead);
  const WindowOptions& o = *state_;
  EXPECT_EQ(std::vector<int32_t>({o.SaveSessionPreferences, o.EnableFlipToTray, o.EnableTrayIconAnime,
                                  o.DataInHexViewOnlyUdp, o.DataInHexViewTcpAndUdp, o.TcpDataInTextView,
                                  o.TcpDataInAsciiView, o.CaptureIpv6, o.KeepMore, o.ShowTimes, o.ShowPrograms,
                                  o.AskBeforeDiscarding}),
            std::vector<int32_t>({1, 0, 0, 0, 1, 0, 1, 0, 1, 1, 1, 0}));
}

// A save follows a link to the file it names, but not a link that another user planted in
// a shared sticky folder, which the kernel would not follow either.
TEST(FileReplacement, FollowsOwnLinksButNotAnotherUsersInASharedFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  test::TempFolder folder;
  std::string shared = folder.Path("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  std::string target = folder.Write("target.txt", "old");
  std::string mine = shared + "/mine";
  std::string planted = shared + "/planted";
  ASSERT_EQ(symlink(target.c_str(), mine.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
  ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);

  EXPECT_EQ(ReplaceFile(planted, "new", 3), ReplaceResult::kCannotCreate);
  EXPECT_EQ(Read(target), "old");
  EXPECT_EQ(ReplaceFile(mine, "new", 3), ReplaceResult::kReplaced);
  EXPECT_EQ(Read(target), "new");
  struct stat st {};
  ASSERT_EQ(lstat(mine.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared), {}), 2);
}

TEST(ConfigFolder, TheBaseDirectoryRule) {
  EXPECT_EQ(ConfigFolderFor("/x/cfg", "/home/u", "/pw"), "/x/cfg");
  EXPECT_EQ(ConfigFolderFor("relative", "/home/u", "/pw"), "/home/u/.config");
  EXPECT_EQ(ConfigFolderFor(nullptr, "", "/pw/"), "/pw/.config");
  EXPECT_EQ(ConfigFolderFor("", nullptr, nullptr), std::nullopt);
}

}  // namespace
}  // namespace trovix
