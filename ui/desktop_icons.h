// Which icon the desktop shows for a program: its desktop entry's Icon=, found by the
// executable's file name. Entries are the user's and the system's files, read bounded.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trovix {

// Executable file name -> icon (a theme name or an absolute path), from every
// applications/ folder under `dataFolders`, the first folder taking precedence as the
// desktop's own lookup does. An entry is found by its Exec= and TryExec= programs, its
// StartupWMClass and its file name's last dotted part (org.example.Viewer -> viewer).
std::unordered_map<std::string, std::string> ReadDesktopIcons(const std::vector<std::string>& dataFolders);

// $XDG_DATA_HOME (or ~/.local/share), then $XDG_DATA_DIRS (or /usr/local/share:/usr/share).
std::vector<std::string> DesktopDataFolders();

// The icon for a program's name in `icons`; a process's short name (15 characters, as the
// kernel cuts it) matches a longer executable name that it begins. Empty when none.
std::string_view DesktopIconOf(const std::unordered_map<std::string, std::string>& icons, std::string_view program);

}  // namespace trovix
