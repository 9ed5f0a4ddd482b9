// The window's own options: the check marks of its menu, its place on the screen and
// where its settings live; and the table that gives each menu option once. Plain C++: the
// settings file reads and writes them without Qt.
#pragma once

#include <cstdint>
#include <span>

#include "resources/menus.h"

namespace trovix {

inline constexpr int kSettingsFolderSize = 4096;  // PATH_MAX

// Written and read on the user-interface thread alone. A capture takes "capture IPv&6
// too" and "keep &more" as the options it is started with, never from here.
struct WindowOptions {
  int32_t SaveSessionPreferences = 0;
  int32_t EnableFlipToTray = 0;
  int32_t EnableTrayIconAnime = 0;
  int32_t DataInHexViewOnlyUdp = 0;
  int32_t DataInHexViewTcpAndUdp = 0;
  int32_t TcpDataInTextView = 0;
  int32_t TcpDataInAsciiView = 0;
  // "capture IPv&6 too".
  int32_t CaptureIpv6 = 0;
  // "keep &more": the next capture gets the larger store.
  int32_t KeepMore = 0;
  // "as&k before discarding": packets not saved are not dropped without a question.
  int32_t AskBeforeDiscarding = 1;
  // "show &times": the list's first column is each packet's receive time.
  int32_t ShowTimes = 0;
  // "show &programs": the list's last column names each packet's local programs.
  int32_t ShowPrograms = 0;
  // "show &info": the list's last column says what each datagram is.
  int32_t ShowInfo = 0;
  // "show &names": addresses are shown as the names the capture (or the hosts file) gave them.
  int32_t ShowNames = 0;
  // "look &up names": the system's resolver is asked for addresses without a name.
  int32_t LookUpNames = 0;
  // The main window's place and size once the user has resized it; a width of 0 until then.
  int32_t WindowX = 0;
  int32_t WindowY = 0;
  int32_t WindowWidth = 0;
  int32_t WindowHeight = 0;
  // 1 while the main window is hidden behind its notification-area icon.
  int32_t InTray = 0;
  // Where the settings file lives, and where the save prompts open; empty when unknown.
  char SettingsFolder[kSettingsFolderSize] = {};
};

using OptionFlag = int32_t WindowOptions::*;

// One item of menu 103 that shows a check mark.
struct WindowOption {
  int command;
  const char* label;
  // Its key in the settings file; none for the second item of a pair, which its
  // partner's key keeps.
  const char* key;
  OptionFlag flag;
  // A pair's other item: choosing this one clears it, and a key read sets it to the
  // opposite. None for an item that switches on and off.
  OptionFlag partner;
  // Its value when the key is missing, and at a first run.
  bool on;
  // Written only once it differs from `on` or the file has the key, so that a file
  // written before the option existed keeps its bytes.
  bool writtenOnceUsed;
  // A file that keeps no preferences still sets it to `on`: the report always shows a
  // payload view, and a capture takes IPv6 unless told otherwise.
  bool setWithoutPreferences;
  // Grey and without its mark while this flag is off; none for an item always there.
  OptionFlag enabledBy;
};

// In the order the settings file writes them: the always-written keys before the
// controls' keys, the others after them.
inline constexpr WindowOption kWindowOptions[] = {
    {resources::kCmdSavePreferences, "save session pre&ferences", "SaveSessionPreferences",
     &WindowOptions::SaveSessionPreferences, nullptr, true, false, false, nullptr},
    {resources::kCmdFlipToTray, "f&lip to tray", "EnableFlipToTray", &WindowOptions::EnableFlipToTray, nullptr, true,
     false, false, nullptr},
    {resources::kCmdTrayAnime, "&tray icon anime", "EnableTrayIconAnime", &WindowOptions::EnableTrayIconAnime, nullptr,
     true, false, false, &WindowOptions::EnableFlipToTray},
    {resources::kCmdHexOnlyUdp, "only UDP", "DataInHexViewOnlyUdp", &WindowOptions::DataInHexViewOnlyUdp,
     &WindowOptions::DataInHexViewTcpAndUdp, true, false, true, nullptr},
    {resources::kCmdHexTcpAndUdp, "TCP and UDP", nullptr, &WindowOptions::DataInHexViewTcpAndUdp,
     &WindowOptions::DataInHexViewOnlyUdp, false, false, false, nullptr},
    {resources::kCmdTcpTextView, "in text mode", "TcpDataInTextView", &WindowOptions::TcpDataInTextView,
     &WindowOptions::TcpDataInAsciiView, true, false, true, nullptr},
    {resources::kCmdTcpAsciiView, "in ASCII mode", nullptr, &WindowOptions::TcpDataInAsciiView,
     &WindowOptions::TcpDataInTextView, false, false, false, nullptr},
    {resources::kCmdCaptureIpv6, "capture IPv&6 too", "CaptureIpv6", &WindowOptions::CaptureIpv6, nullptr, true, true,
     true, nullptr},
    {resources::kCmdKeepMore, "keep &more", "KeepMore", &WindowOptions::KeepMore, nullptr, false, true, false, nullptr},
    {resources::kCmdShowTimes, "show &times", "ShowTimes", &WindowOptions::ShowTimes, nullptr, false, true, false,
     nullptr},
    {resources::kCmdShowPrograms, "show &programs", "ShowPrograms", &WindowOptions::ShowPrograms, nullptr, false, true,
     false, nullptr},
    {resources::kCmdShowInfo, "show &info", "ShowInfo", &WindowOptions::ShowInfo, nullptr, false, true, false, nullptr},
    {resources::kCmdShowNames, "show &names", "ShowNames", &WindowOptions::ShowNames, nullptr, false, true, false,
     nullptr},
    {resources::kCmdLookUpNames, "look &up names", "LookUpNames", &WindowOptions::LookUpNames, nullptr, false, true,
     false, &WindowOptions::ShowNames},
    {resources::kCmdAskBeforeDiscarding, "as&k before discarding", "AskBeforeDiscarding",
     &WindowOptions::AskBeforeDiscarding, nullptr, true, true, false, nullptr},
};

// The entry of command `id`, or nullptr for a command that is no option.
constexpr const WindowOption* FindWindowOption(int id) {
  for (const WindowOption& option : kWindowOptions) {
    if (option.command == id) return &option;
  }
  return nullptr;
}

// Sets an option's flag, and a pair's partner to the opposite.
inline void SetWindowOption(WindowOptions& options, const WindowOption& option, bool on) {
  options.*option.flag = on ? 1 : 0;
  if (option.partner != nullptr) options.*option.partner = on ? 0 : 1;
}

// The menu command `id` on the options: a pair's item is chosen, any other switches.
// False for a command that is no option.
inline bool ApplyOptionCommand(WindowOptions& options, int id) {
  const WindowOption* option = FindWindowOption(id);
  if (option == nullptr) return false;
  SetWindowOption(options, *option, option->partner != nullptr || options.*option->flag == 0);
  return true;
}

}  // namespace trovix
