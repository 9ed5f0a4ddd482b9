#include "settings/config_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace trovix {
namespace {

bool Absolute(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace

std::optional<std::string> ConfigFolderFor(const char* xdgConfigHome, const char* home, const char* passwdHome) {
  if (Absolute(xdgConfigHome)) return std::string(xdgConfigHome);
  for (const char* base : {home, passwdHome}) {
    if (!Absolute(base)) continue;
    std::string folder = base;
    if (folder.back() != '/') folder += '/';
    return folder + ".config";
  }
  return std::nullopt;
}

std::optional<std::string> XdgConfigFolder::Query() {
  const struct passwd* entry = getpwuid(getuid());
  return ConfigFolderFor(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"),
                         entry != nullptr ? entry->pw_dir : nullptr);
}

}  // namespace trovix
