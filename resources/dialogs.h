// Dialog layouts as tables in dialog units, as the dialog templates define them: the about
// box (100), the main window (102) and the details window (114).
#pragma once

namespace trovix::resources {

enum class ControlKind {
  kComboDropDown,  // editable drop-down list
  kToggleButton,   // check box drawn as a push button
  kPushButton,
  kListBox,
  kLabel,          // sunken static text
  kColumnHeader,   // sunken static text over the packet list
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;
  int x, y, width, height;  // dialog units; a combo box's height includes its drop-down
  bool multiline = false;   // the text wraps at blanks
};

struct DialogTemplate {
  int id;
  const char* title;
  int x, y, width, height;
};

inline constexpr DialogTemplate kAboutDialog{100, "about 'Trovix'", 0, 0, 309, 164};
inline constexpr DialogTemplate kMainDialog{102, "Trovix", 0, 0, 309, 227};
inline constexpr DialogTemplate kDetailsDialog{114, "packets in details", 312, -20, 243, 227};

enum ControlId {
  kIdCancel = 2,
  kIdGo = 1002,
  kIdPacketList = 1003,
  kIdFrom = 1004,
  kIdTo = 1005,
  kIdBind = 1006,
  kIdBothTraffic = 1007,
  kIdIcmp = 1008,
  kIdIgmp = 1009,
  kIdStop = 1010,
  kIdDetailsList = 1011,
  kIdAboutText = 1018,
  kIdRaw = 1013,
  kIdTcp = 1014,
  kIdUdp = 1015,
  kIdOnTop = 1019,
};

// Template order, which is also the keyboard tab order.
inline constexpr ControlTemplate kMainControls[] = {
    {kIdFrom, ControlKind::kComboDropDown, "", 35, 4, 105, 68},
    {kIdTo, ControlKind::kComboDropDown, "", 35, 20, 105, 67},
    {kIdTcp, ControlKind::kToggleButton, "tcp", 4, 38, 23, 14},
    {kIdUdp, ControlKind::kToggleButton, "udp", 32, 38, 23, 14},
    {kIdIcmp, ControlKind::kToggleButton, "icmp", 60, 38, 24, 14},
    {kIdIgmp, ControlKind::kToggleButton, "igmp", 89, 38, 25, 14},
    {kIdRaw, ControlKind::kToggleButton, "raw", 119, 38, 22, 14},
    {kIdBind, ControlKind::kComboDropDown, "", 180, 21, 86, 63},
    {kIdGo, ControlKind::kPushButton, "go!", 271, 6, 33, 13},
    {kIdStop, ControlKind::kPushButton, "stop", 271, 22, 33, 13},
    {kIdOnTop, ControlKind::kToggleButton, "on top", 272, 38, 31, 14},
    {kIdBothTraffic, ControlKind::kToggleButton, "both traffic", 146, 4, 29, 29, true},
    {kIdPacketList, ControlKind::kListBox, "", 4, 70, 300, 154},
    {1023, ControlKind::kLabel, "to:", 4, 20, 26, 13},
    {1022, ControlKind::kLabel, "from:", 4, 4, 26, 14},
    {1024, ControlKind::kLabel, "bind to interface:", 180, 4, 86, 14},
    {1025, ControlKind::kColumnHeader, "#", 4, 56, 26, 12},
    {1026, ControlKind::kColumnHeader, "protocol", 28, 56, 41, 12},
    {1027, ControlKind::kColumnHeader, "from address", 66, 56, 70, 12},
    {1028, ControlKind::kColumnHeader, "port", 133, 56, 35, 12},
    {1029, ControlKind::kColumnHeader, "to address", 165, 56, 70, 12},
    {1030, ControlKind::kColumnHeader, "port", 229, 56, 32, 12},
    {1031, ControlKind::kColumnHeader, "size", 260, 56, 24, 12},
    {1032, ControlKind::kColumnHeader, "ttl", 280, 56, 23, 12},
};
static_assert(sizeof kMainControls / sizeof kMainControls[0] == 24);

inline constexpr ControlTemplate kDetailsControls[] = {
    {kIdDetailsList, ControlKind::kListBox, "", 2, 2, 238, 222},
};

// The about box's one control, the text field 1018 (multi-line, read-only, vertical
// scroll bar): x, y, width, height.
inline constexpr int kAboutTextPlace[4] = {2, 2, 304, 159};

}  // namespace trovix::resources
