// Real failures while saving: a full disk (a small tmpfs in a private mount namespace),
// and, as an unprivileged user, a read-only settings file, an unwritable folder and a
// settings folder that cannot be made. Each gives its message, changes no file that was
// there, and lets the exit go on.
//   settings_fault_tests --full-disk       mounts its tmpfs (root, or a user namespace)
//   settings_fault_tests --unprivileged    as root, runs itself again under setpriv
// Exit code 77 when the namespace or the user switch cannot be had.
#include <QApplication>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "capture/packet_store.h"
#include "resources/dialogs.h"
#include "resources/menus.h"
#include "tests/datagram_builder.h"
#include "tests/gui_support.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

using namespace resources;

constexpr int kSkipped = 77;
std::string g_smallDisk;  // the tmpfs mount point in --full-disk runs

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kOldSettings = "[Config]\r\nSaveSessionPreferences=Yes\r\nOnTcp=No\r\nOnIcmp=Yes\r\n";

class FaultTest : public ::testing::Test {
 protected:
  // Each test starts on an empty small disk.
  void SetUp() override {
    if (g_smallDisk.empty()) return;
    for (const auto& e : std::filesystem::directory_iterator(g_smallDisk)) std::filesystem::remove_all(e.path());
  }
  test::TestDialog& Open(const std::string& configFolder) {
    fakes_.host.adapters = {AdapterStatus::kNoData, 0, {}};
    fakes_.configFolder.folder = configFolder;
    dialog_ = std::make_unique<test::TestDialog>(*state_, fakes_.services());
    return *dialog_;
  }
  test::Fakes fakes_;
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  std::unique_ptr<test::TestDialog> dialog_;
};

// Fills the small disk to its last byte.
void FillDisk(const std::string& folder) {
  int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  std::vector<char> block(4096, 'f');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  while (write(fd, block.data(), 1) > 0) {
  }
  close(fd);
}

TEST_F(FaultTest, FullDiskKeepsTheSettingsAndTheReplacedFile) {
  if (g_smallDisk.empty()) GTEST_SKIP() << "only in --full-disk runs";
  std::filesystem::create_directories(g_smallDisk + "/Trovix");
  Write(g_smallDisk + "/Trovix/trovix.ini", kOldSettings);
  Write(g_smallDisk + "/old.txt", "the old content");
  auto& d = Open(g_smallDisk);
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  for (size_t payload : {32, 1472}) {
    auto datagram = test::MakeDatagram({.protocol = 17, .sport = 9, .dport = 53, .payload = payload});
    ASSERT_EQ(AcceptDatagram(*state_, datagram.data(), datagram.size()), AcceptResult::kStored);
  }
  FillDisk(g_smallDisk);

  fakes_.savePrompt.answer = QString::fromStdString(g_smallDisk + "/old.txt");
  d.Command(kCmdSavePacketsSource);
  d.hide();
  d.Command(kIdCancel);
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't write file!", "error:: don't create ini file!"}));
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(Read(g_smallDisk + "/old.txt"), "the old content");
  EXPECT_EQ(Read(g_smallDisk + "/Trovix/trovix.ini"), kOldSettings);
  EXPECT_EQ(Names(g_smallDisk), std::vector<std::string>({"Trovix", "filler", "old.txt"}));
  EXPECT_EQ(Names(g_smallDisk + "/Trovix"), std::vector<std::string>({"trovix.ini"}));
}

TEST_F(FaultTest, FullDiskKeepsTheFilesTheLogAndTheCaptureFileWouldReplace) {
  if (g_smallDisk.empty()) GTEST_SKIP() << "only in --full-disk runs";
  Write(g_smallDisk + "/old.txt", "the old log");
  Write(g_smallDisk + "/old.pcap", "the old capture");
  Write(g_smallDisk + "/old.pcapng", "the old pcapng");
  auto& d = Open(g_smallDisk);
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  auto datagram = test::MakeDatagram({.protocol = 17, .sport = 9, .dport = 53, .payload = 1472});
  ASSERT_EQ(AcceptDatagram(*state_, datagram.data(), datagram.size()), AcceptResult::kStored);
  FillDisk(g_smallDisk);

  fakes_.savePrompt.answer = QString::fromStdString(g_smallDisk + "/old.txt");
  d.Command(kCmdSaveSniffLog);
  fakes_.savePrompt.answer = QString::fromStdString(g_smallDisk + "/old.pcap");
  d.Command(kCmdSavePacketsSource);
  fakes_.savePrompt.answer = QString::fromStdString(g_smallDisk + "/old.pcapng");
  d.Command(kCmdSavePacketsSource);
  EXPECT_EQ(fakes_.messages.shown,
            QStringList({"error:: don't write file!", "error:: don't write file!", "error:: don't write file!"}));
  EXPECT_EQ(Read(g_smallDisk + "/old.txt"), "the old log");
  EXPECT_EQ(Read(g_smallDisk + "/old.pcap"), "the old capture");
  EXPECT_EQ(Read(g_smallDisk + "/old.pcapng"), "the old pcapng");
  EXPECT_EQ(Names(g_smallDisk), std::vector<std::string>({"filler", "old.pcap", "old.pcapng", "old.txt"}));
}

class UnprivilegedTest : public FaultTest {
 protected:
  void SetUp() override {
    if (geteuid() == 0) GTEST_SKIP() << "root ignores permissions; only in --unprivileged runs";
  }
  test::TempFolder folder_;
};

TEST_F(UnprivilegedTest, ReadOnlySettingsFileIsAFirstRunAndStaysAsItWas) {
  std::filesystem::create_directories(folder_.Path("Trovix"));
  std::string ini = folder_.Write("Trovix/trovix.ini", kOldSettings);
  chmod(ini.c_str(), 0444);
  auto& d = Open(folder_.Path(""));
  EXPECT_EQ(d.aboutBoxRuns(), 1);
  EXPECT_EQ(dialog_->options().EnableFlipToTray, 1);
  d.Command(kIdCancel);
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't create ini file!"}));
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(Read(ini), kOldSettings);
}

TEST_F(UnprivilegedTest, UnwritableFoldersKeepTheirFiles) {
  std::filesystem::create_directories(folder_.Path("Trovix"));
  std::string ini = folder_.Write("Trovix/trovix.ini", kOldSettings);
  std::string old = folder_.Write("Trovix/old.txt", "the old content");
  chmod(folder_.Path("Trovix").c_str(), 0555);
  auto& d = Open(folder_.Path(""));
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  auto datagram = test::MakeDatagram({.protocol = 17, .sport = 9, .dport = 53, .payload = 4});
  ASSERT_EQ(AcceptDatagram(*state_, datagram.data(), datagram.size()), AcceptResult::kStored);
  fakes_.savePrompt.answer = QString::fromStdString(old);
  d.Command(kCmdSaveSniffLog);
  d.Command(kIdCancel);
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't create file!", "error:: don't create ini file!"}));
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(Read(ini), kOldSettings);
  EXPECT_EQ(Read(old), "the old content");
  chmod(folder_.Path("Trovix").c_str(), 0755);
}

TEST_F(UnprivilegedTest, UnwritableFolderKeepsTheFilesThePacketSavesWouldReplace) {
  std::string text = folder_.Write("old.txt", "the old source");
  std::string capture = folder_.Write("old.pcap", "the old capture");
  chmod(folder_.Path("").c_str(), 0555);
  auto& d = Open("");
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  auto datagram = test::MakeDatagram({.protocol = 17, .sport = 9, .dport = 53, .payload = 4});
  ASSERT_EQ(AcceptDatagram(*state_, datagram.data(), datagram.size()), AcceptResult::kStored);
  for (const std::string& old : {text, capture}) {
    fakes_.savePrompt.answer = QString::fromStdString(old);
    d.Command(kCmdSavePacketsSource);
  }
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: don't create file!", "error:: don't create file!"}));
  EXPECT_EQ(Read(text), "the old source");
  EXPECT_EQ(Read(capture), "the old capture");
  EXPECT_EQ(Names(folder_.Path("")), std::vector<std::string>({"old.pcap", "old.txt"}));
  chmod(folder_.Path("").c_str(), 0755);
}

TEST_F(UnprivilegedTest, SettingsFolderThatCannotBeMadeShowsTheSystemText) {
  std::filesystem::create_directories(folder_.Path("locked"));
  chmod(folder_.Path("locked").c_str(), 0555);
  auto& d = Open(folder_.Path("locked"));
  d.Command(kIdCancel);
  EXPECT_EQ(fakes_.messages.shown, QStringList({"error:: Permission denied"}));
  EXPECT_TRUE(d.exited());
  EXPECT_EQ(Names(folder_.Path("locked")), std::vector<std::string>());
  chmod(folder_.Path("locked").c_str(), 0755);
}

bool WriteProc(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// A mount namespace of our own with a 64 KiB tmpfs; empty when it could be made.
std::string MountSmallDisk() {
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWNS) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    WriteProc("/proc/self/setgroups", "deny");
    if (!WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "cannot map the user namespace";
    }
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return std::string("private mounts: ") + std::strerror(errno);
  char pattern[] = "/tmp/trovix-disk-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "mkdtemp failed";
  if (mount("tmpfs", pattern, "tmpfs", 0, "size=64k,mode=0755") != 0) return std::string("tmpfs: ") + std::strerror(errno);
  g_smallDisk = pattern;
  return "";
}

}  // namespace
}  // namespace trovix

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--full-disk") {
    std::string problem = trovix::MountSmallDisk();
    if (!problem.empty()) {
      std::fprintf(stderr, "skipped: no small disk: %s\n", problem.c_str());
      return trovix::kSkipped;
    }
    ::testing::GTEST_FLAG(filter) = "FaultTest.*";
  } else if (mode == "--unprivileged") {
    if (geteuid() == 0) {
      execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", argv[0],
            "--unprivileged", static_cast<char*>(nullptr));
      std::fprintf(stderr, "skipped: setpriv: %s\n", std::strerror(errno));
      return trovix::kSkipped;
    }
    ::testing::GTEST_FLAG(filter) = "UnprivilegedTest.*";
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
