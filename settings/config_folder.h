// The user's configuration folder, under which the settings folder lies.
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

// The base-directory rule: `xdgConfigHome` when it is an absolute path, else ".config" in
// the home folder (`home`, else `passwdHome`, whichever is first absolute).
std::optional<std::string> ConfigFolderFor(const char* xdgConfigHome, const char* home, const char* passwdHome);

// The rule applied to this process's environment and password entry.
class XdgConfigFolder : public ConfigFolderSource {
 public:
  std::optional<std::string> Query() override;
};

}  // namespace trovix
