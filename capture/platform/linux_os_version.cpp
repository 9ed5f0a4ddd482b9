#include "capture/platform/linux_os_version.h"

#include <sys/utsname.h>

#include <cerrno>
#include <string_view>

#include "capture/platform/bounded_file.h"
#include "capture/printable_text.h"

namespace trovix {
namespace {

// os-release values follow shell quoting: "..." with backslash escapes, '...' literal,
// or a bare word.
std::string Unquote(std::string_view value) {
  while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) {
    value.remove_suffix(1);
  }
  if (value.empty() || (value[0] != '"' && value[0] != '\'')) return std::string(value);
  char quote = value[0];
  std::string out;
  for (size_t i = 1; i < value.size() && value[i] != quote; ++i) {
    if (quote == '"' && value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

std::string Field(std::string_view text, std::string_view key) {
  std::string found;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
      found = Unquote(line.substr(key.size() + 1));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return found;
}

std::string DistributionName(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    BoundedFile file = ReadBoundedFile(path);
    if (file.error == ENOENT) continue;
    std::string name = Field(file.text, "PRETTY_NAME");
    if (name.empty()) {
      name = Field(file.text, "NAME");
      std::string version = Field(file.text, "VERSION");
      if (!name.empty() && !version.empty()) name += " " + version;
    }
    return PrintableText(name, kPrettyNameMax);
  }
  return "";
}

}  // namespace

OsInfo LinuxSystemVersion::QueryOsInfo() {
  OsInfo info;
  utsname system{};
  if (uname(&system) != 0) return info;
  info.queried = true;
  std::string kernel = PrintableText(system.sysname, sizeof system.sysname) + " " +
                       PrintableText(system.release, sizeof system.release) + " " +
                       PrintableText(system.machine, sizeof system.machine);
  std::string distribution = DistributionName(osReleasePaths_);
  info.line = distribution.empty() ? kernel : distribution + ", " + kernel;
  return info;
}

}  // namespace trovix
