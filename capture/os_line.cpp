#include "capture/os_line.h"

#include <cstdio>

#include "capture/printable_text.h"

namespace trovix {
namespace {

// The fixed text, a ten-digit build number and a 127-character service-pack text fit.
constexpr size_t kOsLineSize = 256;

std::string WithBuild(const char* format, uint32_t build, const std::string& servicePack) {
  char line[kOsLineSize];
  std::snprintf(line, sizeof line, format, build, PrintableText(servicePack, kServicePackMax).c_str());
  return line;
}

std::string NtLine(const VersionRecord& r) {
  if (r.major > 5) {
    char line[kOsLineSize];
    std::snprintf(line, sizeof line, "Microsoft Windows %u.%u build %u", r.major, r.minor, r.build);
    return line;
  }
  if (r.major < 5) return "Microsoft Windows NT";
  switch (r.minor) {
    case 2: return WithBuild("Microsoft Windows Server 2003 family build %u %s", r.build, r.servicePack);
    case 1: return WithBuild("Microsoft Windows XP build %u %s", r.build, r.servicePack);
    case 0: return WithBuild("Microsoft Windows 2000 build %u %s", r.build, r.servicePack);
    default: return "";
  }
}

// The release letter sits in the second character of the service-pack text.
char ReleaseLetter(const VersionRecord& r) { return r.servicePack.size() > 1 ? r.servicePack[1] : '\0'; }

std::string WindowsLine(const VersionRecord& r) {
  if (r.major != 4) return "";
  if (r.minor == 0) {
    char letter = ReleaseLetter(r);
    return letter == 'C' || letter == 'B' ? "Microsoft Windows 95 OSR2 " : "Microsoft Windows 95 ";
  }
  if (r.minor == 10) return ReleaseLetter(r) == 'A' ? "Microsoft Windows 98 SE " : "Microsoft Windows 98 ";
  if (r.minor == 90) return "Microsoft Windows Millennium Edition";
  return "";
}

}  // namespace

OsInfo ComposeOsLine(const VersionRecord& record) {
  OsInfo info;
  info.queried = true;
  if (record.platformId == kPlatformWin32Nt) info.line = NtLine(record);
  if (record.platformId == kPlatformWin32Windows) {
    info.line = WindowsLine(record);
    info.refused = true;
  }
  return info;
}

}  // namespace trovix
