#include "ui/desktop_icons.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace trovix {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

TEST(DesktopIcons, EntriesAreFoundByTheirProgramsAndTheFirstFolderWins) {
  fs::path root = fs::temp_directory_path() / ("desktop-icons-" + std::to_string(getpid()));
  fs::path user = root / "user", system = root / "system";
  Write(user / "applications/org.example.Viewer.desktop",
        "[Desktop Entry]\nType=Application\nExec=env LANG=C \"/opt/My Viewer/viewer-bin\" %U\nIcon=viewer-user\n"
        "[Desktop Action New]\nIcon=not-this\n");
  Write(system / "applications/org.example.Viewer.desktop", "[Desktop Entry]\nExec=viewer-bin\nIcon=viewer-system\n");
  Write(system / "applications/tools/mail.desktop",
        "[Desktop Entry]\nType=Application\nExec=/usr/bin/mailer --compose\nTryExec=mailer-check\n"
        "StartupWMClass=MailWin\nIcon=/usr/share/icons/mail.png\n");
  Write(system / "applications/gone.desktop", "[Desktop Entry]\nExec=gone\nIcon=gone\nHidden=true\n");
  Write(system / "applications/site.desktop", "[Desktop Entry]\nType=Link\nURL=x\nExec=site\nIcon=site\n");
  Write(system / "applications/a-very-long-program.desktop", "[Desktop Entry]\nExec=a-very-long-program-name\nIcon=long\n");
  Write(system / "applications/notes.txt", "[Desktop Entry]\nExec=notes\nIcon=notes\n");

  auto icons = ReadDesktopIcons({user.string(), system.string()});
  struct Case {
    const char* program;
    const char* icon;
  } cases[] = {
      {"viewer-bin", "viewer-user"},  // quoted path after env and an assignment; user's entry hides the system's
      {"viewer", "viewer-user"},      // the id's last part, lowered
      {"mailer", "/usr/share/icons/mail.png"},
      {"mailer-check", "/usr/share/icons/mail.png"},
      {"MailWin", "/usr/share/icons/mail.png"},
      {"a-very-long-pr", ""},         // shorter than a cut name: no guess
      {"a-very-long-pro", "long"},    // the kernel's 15-character comm
      {"gone", ""},
      {"site", ""},
      {"notes", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DesktopIconOf(icons, c.program), c.icon) << c.program;
  fs::remove_all(root);
}

TEST(DesktopIcons, DataFoldersFollowTheXdgVariables) {
  setenv("XDG_DATA_HOME", "/data/home", 1);
  setenv("XDG_DATA_DIRS", "/a::relative:/b", 1);
  EXPECT_EQ(DesktopDataFolders(), (std::vector<std::string>{"/data/home", "/a", "/b"}));
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_DATA_DIRS");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DesktopDataFolders(), (std::vector<std::string>{"/home/u/.local/share", "/usr/local/share", "/usr/share"}));
}

}  // namespace
}  // namespace trovix
