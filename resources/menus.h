// Menu 103: the pop-up that serves as the window's context menu and the tray icon's menu.
#pragma once

namespace trovix::resources {

enum CommandId {
  kCmdDetails = 108,
  kCmdExit = 109,
  kCmdSaveSniffLog = 110,
  kCmdAbout = 111,
  kCmdFlipToTray = 118,
  kCmdHexOnlyUdp = 119,
  kCmdTcpTextView = 120,
  kCmdTcpAsciiView = 121,
  kCmdHexTcpAndUdp = 122,
  kCmdTrayAnime = 123,
  kCmdSavePreferences = 125,
  kCmdSavePacketsSource = 127,
  kCmdCaptureIpv6 = 128,
  kCmdKeepMore = 129,
  kCmdOpenCaptureFile = 130,
  kCmdAskBeforeDiscarding = 131,
  kCmdFilterList = 132,
  kCmdShowAll = 133,
  kCmdShowTimes = 134,
};

// One line of the menu: `depth` nests it under the last sub-menu opened one level up.
// A null text is a separator; an id of 0 with a text opens a sub-menu.
struct MenuItem {
  int depth;
  const char* text;
  int id;
};

inline constexpr const char* kMenu103Title = "&uno";
inline constexpr MenuItem kMenu103[] = {
    {0, "packets in &details", kCmdDetails},
    {0, "save &packets source", kCmdSavePacketsSource},
    {0, "&save sniff log", kCmdSaveSniffLog},
    {0, "open &capture file...", kCmdOpenCaptureFile},
    {0, "&filter the list", kCmdFilterList},
    {0, "sho&w all", kCmdShowAll},
    {0, "show &times", kCmdShowTimes},
    {0, "&about...", kCmdAbout},
    {0, nullptr, 0},
    {0, "&options", 0},
    {1, "data in &hex-view", 0},
    {2, "only UDP", kCmdHexOnlyUdp},
    {2, "TCP and UDP", kCmdHexTcpAndUdp},
    {1, "&view TCP data", 0},
    {2, "in text mode", kCmdTcpTextView},
    {2, "in ASCII mode", kCmdTcpAsciiView},
    {1, "f&lip to tray", kCmdFlipToTray},
    {1, "&tray icon anime", kCmdTrayAnime},
    {1, "capture IPv&6 too", kCmdCaptureIpv6},
    {1, "keep &more", kCmdKeepMore},
    {1, "as&k before discarding", kCmdAskBeforeDiscarding},
    {1, nullptr, 0},
    {1, "save session pre&ferences", kCmdSavePreferences},
    {1, nullptr, 0},
    {0, nullptr, 0},
    {0, "e&xit", kCmdExit},
};

}  // namespace trovix::resources
