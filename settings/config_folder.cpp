#include "settings/config_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace trovix {
namespace {

bool Absolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::optional<std::string> ForThisProcess(const char* xdgName, const char* inHome) {
  const struct passwd* entry = getpwuid(getuid());
  return BaseFolderFor(std::getenv(xdgName), std::getenv("HOME"), entry != nullptr ? entry->pw_dir : nullptr, inHome);
}

}  // namespace

std::optional<std::string> BaseFolderFor(const char* xdgValue, const char* home, const char* passwdHome,
                                         const char* inHome) {
  if (Absolute(xdgValue)) return std::string(xdgValue);
  for (const char* base : {home, passwdHome}) {
    if (!Absolute(base)) continue;
    std::string folder = base;
    if (folder.back() != '/') folder += '/';
    return folder + inHome;
  }
  return std::nullopt;
}

std::optional<std::string> XdgConfigFolder::Query() { return ForThisProcess("XDG_CONFIG_HOME", ".config"); }

std::optional<std::string> UserCacheFolder() { return ForThisProcess("XDG_CACHE_HOME", ".cache"); }

}  // namespace trovix
