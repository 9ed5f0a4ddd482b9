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
  kCmdShowPrograms = 135,
  kCmdOnlyThisProgram = 136,
  kCmdShowInfo = 137,
  kCmdShowNames = 138,
  kCmdLookUpNames = 139,
  kCmdStatistics = 140,
  kCmdFilterBar = 150,
  kCmdCaptureExpression = 151,
};

// One line of the menu: `depth` nests it under the last sub-menu opened one level up.
// A null text is a separator, or with an option's id that option's item, whose label is
// its entry's in kWindowOptions (settings/window_options.h); an id of 0 with a text opens
// a sub-menu.
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
    {0, "capture &expression...", kCmdCaptureExpression},
    {0, "&filter the list", kCmdFilterList},
    {0, "filter the &list", kCmdFilterBar},
    {0, "sho&w all", kCmdShowAll},
    {0, nullptr, kCmdShowTimes},
    {0, nullptr, kCmdShowPrograms},
    {0, "only this &program", kCmdOnlyThisProgram},
    {0, nullptr, kCmdShowInfo},
    {0, nullptr, kCmdShowNames},
    {0, nullptr, kCmdLookUpNames},
    {0, "&statistics", kCmdStatistics},
    {0, "&about...", kCmdAbout},
    {0, nullptr, 0},
    {0, "&options", 0},
    {1, "data in &hex-view", 0},
    {2, nullptr, kCmdHexOnlyUdp},
    {2, nullptr, kCmdHexTcpAndUdp},
    {1, "&view TCP data", 0},
    {2, nullptr, kCmdTcpTextView},
    {2, nullptr, kCmdTcpAsciiView},
    {1, nullptr, kCmdFlipToTray},
    {1, nullptr, kCmdTrayAnime},
    {1, nullptr, kCmdCaptureIpv6},
    {1, nullptr, kCmdKeepMore},
    {1, nullptr, kCmdAskBeforeDiscarding},
    {1, nullptr, 0},
    {1, nullptr, kCmdSavePreferences},
    {1, nullptr, 0},
    {0, nullptr, 0},
    {0, "e&xit", kCmdExit},
};

}  // namespace trovix::resources
