// The user's configuration folder, under which the settings folder lies, and the user's
// cache folder.
#pragma once

#include <optional>
#include <string>

namespace trovix {

class ConfigFolderSource {
 public:
  virtual ~ConfigFolderSource() = default;
  // The folder, or nothing when the system gives none.
  virtual std::optional<std::string> Query() = 0;
};

// The base-directory rule: `xdgValue` when it is an absolute path, else `inHome` in the
// home folder (`home`, else `passwdHome`, whichever is first absolute).
std::optional<std::string> BaseFolderFor(const char* xdgValue, const char* home, const char* passwdHome,
                                         const char* inHome);
inline std::optional<std::string> ConfigFolderFor(const char* xdgConfigHome, const char* home, const char* passwdHome) {
  return BaseFolderFor(xdgConfigHome, home, passwdHome, ".config");
}

// The rule applied to this process's environment and password entry.
class XdgConfigFolder : public ConfigFolderSource {
 public:
  std::optional<std::string> Query() override;
};

// $XDG_CACHE_HOME, else ~/.cache, for this process.
std::optional<std::string> UserCacheFolder();

}  // namespace trovix
