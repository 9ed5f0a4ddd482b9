// The options kept between runs: section "Config" of trovix.ini in the settings folder.
#pragma once

#include <optional>
#include <string>

#include "settings/window_options.h"

namespace trovix {

inline constexpr size_t kSettingValueMax = 79;   // what a value read may hold
inline constexpr size_t kBindValueMax = 19;      // what "bind to interface:" writes
inline constexpr size_t kFilterValueMax = 23;    // what "from:" and "to:" write
inline constexpr size_t kRemoteSourcesMax = 1024;  // what the list of ssh:// sources may hold
inline constexpr size_t kExpressionMax = 1024;     // what a filter expression kept may hold

// The options that the window's controls hold rather than the capture state.
struct ControlSettings {
  std::string BindToInterface;
  std::string FromIPAddress;
  std::string ToIPAddress;
  bool TwoWayTraffic = false;
  bool OnTop = false;
  bool OnTcp = false;
  bool OnUdp = false;
  bool OnIcmp = false;
  bool OnIgmp = false;
  bool OnRaw = false;
  // The ssh:// sources used before, most recent first, separated by blanks; the key is
  // written once there is one.
  std::string RemoteSources = {};
  // The pcap filter expressions last used on the list and for the capture; each key is
  // written once its expression has been used.
  std::string ListExpression = {};
  std::string CaptureExpression = {};
};

enum class SettingsRead {
  kNoFolder,  // nothing read; the options keep their start values
  kFirstRun,  // no file that may be read and written: first-run values
  kRead,
};

struct LoadedSettings {
  SettingsRead outcome;
  // The control values when the file said to keep them; otherwise the controls stay.
  std::optional<ControlSettings> controls;
};

// Sets SettingsFolder, the menu options and the window's place in `options` from the file
// under `configFolder`.
LoadedSettings LoadSettingsFile(WindowOptions& options, const std::optional<std::string>& configFolder);

enum class SettingsWrite {
  kNoFolder,      // nothing written, nothing to tell
  kFolderFailed,  // the settings folder could not be made; `error` says why
  kCannotCreate,  // the file could not be opened, created or replaced; it is unchanged
  kWritten,
};

struct SavedSettings {
  SettingsWrite outcome;
  int error = 0;
};

// Writes the options, only SaveSessionPreferences when that is off. Every other line of
// the file is kept; a failure leaves the file as it was.
SavedSettings SaveSettingsFile(const WindowOptions& options, const ControlSettings& controls,
                               const std::optional<std::string>& configFolder);

}  // namespace trovix
