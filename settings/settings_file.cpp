#include "settings/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "capture/atoi.h"
#include "capture/endpoint_filter.h"
#include "capture/sources/remote_command.h"
#include "settings/file_replacement.h"
#include "settings/ini_file.h"

namespace trovix {
namespace {

constexpr char kSection[] = "Config";
constexpr char kFolderName[] = "/Trovix";
constexpr char kFileName[] = "/trovix.ini";
// Far beyond any settings file; a larger one is neither read whole nor rewritten.
constexpr size_t kFileMax = 1 << 20;

std::optional<std::string> SettingsFolderUnder(const std::optional<std::string>& configFolder) {
  if (!configFolder || configFolder->empty()) return std::nullopt;
  std::string folder = *configFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  folder += kFolderName;
  if (folder.size() + sizeof kFileName > static_cast<size_t>(kSettingsFolderSize)) return std::nullopt;
  return folder;
}

// The whole file behind `fd`; false when it is larger than kFileMax or cannot be read.
bool ReadWhole(int fd, std::string& out) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (out.size() + static_cast<size_t>(n) > kFileMax) return false;
    out.append(buffer, static_cast<size_t>(n));
  }
}

// A value as the platform hands it over: a C string of at most kSettingValueMax characters.
std::string ReadValue(const std::string& file, const char* key, const char* fallback) {
  std::string value = GetProfileString(file, kSection, key, fallback);
  return value.substr(0, std::min(value.find('\0'), kSettingValueMax));
}

// Only "Yes" exactly means on.
bool ReadSwitch(const std::string& file, const char* key, const char* fallback) {
  return ReadValue(file, key, fallback) == "Yes";
}

// Every option with a key takes its default; without preferences, only those that must.
void SetDefaults(WindowOptions& o, bool withoutPreferences) {
  for (const WindowOption& option : kWindowOptions) {
    if (option.key != nullptr && (!withoutPreferences || option.setWithoutPreferences)) {
      SetWindowOption(o, option, option.on);
    }
  }
}

ControlSettings ReadControls(const std::string& file) {
  ControlSettings c;
  c.BindToInterface = ReadValue(file, "BindToInterface", "127.0.0.1");
  c.FromIPAddress = ReadValue(file, "FromIPAddress:port", "*:*");
  c.ToIPAddress = ReadValue(file, "ToIPAddress:port", "*:*");
  c.TwoWayTraffic = ReadSwitch(file, "TwoWayTraffic", "No");
  c.OnTop = ReadSwitch(file, "OnTop", "No");
  c.OnTcp = ReadSwitch(file, "OnTcp", "Yes");
  c.OnUdp = ReadSwitch(file, "OnUdp", "No");
  c.OnIcmp = ReadSwitch(file, "OnIcmp", "No");
  c.OnIgmp = ReadSwitch(file, "OnIgmp", "No");
  c.OnRaw = ReadSwitch(file, "OnRaw", "No");
  std::string sources = GetProfileString(file, kSection, "RemoteSources", "");
  c.RemoteSources = sources.substr(0, std::min(sources.find('\0'), kRemoteSourcesMax));
  for (auto [key, value] : {std::pair{"ListExpression", &c.ListExpression}, {"CaptureExpression", &c.CaptureExpression}}) {
    std::string expression = GetProfileString(file, kSection, key, "");
    *value = expression.substr(0, std::min(expression.find('\0'), kExpressionMax));
  }
  return c;
}

const char* YesNo(bool on) { return on ? "Yes" : "No"; }

// An IPv4 text is cut as always; one in IPv6 form is written whole (it is at most 53
// characters, as a field takes it).
std::string_view Cut(std::string_view value, size_t max) {
  return IsIpv6FilterText(value) ? value.substr(0, kFilterTextIpv6Max) : value.substr(0, max);
}

// ssh:// sources are kept whole words, as many as a value read back holds; a local
// address is cut as always.
std::string_view WholeWords(std::string_view value, size_t max) {
  if (value.size() <= max) return value;
  size_t blank = value.rfind(' ', max);
  return value.substr(0, blank == std::string_view::npos ? 0 : blank);
}

std::string_view CutBind(std::string_view value) {
  return NamesRemoteSource(value) ? WholeWords(value, kSettingValueMax) : Cut(value, kBindValueMax);
}

// No value holds a line end, so that fallback tells a missing key.
bool HasKey(const std::string& file, const char* key) { return GetProfileString(file, kSection, key, "\n") != "\n"; }

// The options of kWindowOptions written always (`onceUsed` false) or only once used.
void WriteTableOptions(std::string& file, const WindowOptions& o, bool onceUsed) {
  for (const WindowOption& option : kWindowOptions) {
    if (option.key == nullptr || option.writtenOnceUsed != onceUsed) continue;
    if (onceUsed && o.*option.flag == (option.on ? 1 : 0) && !HasKey(file, option.key)) continue;
    WriteProfileString(file, kSection, option.key, YesNo(o.*option.flag == 1));
  }
}

void WriteOptions(std::string& file, const WindowOptions& o, const ControlSettings& c) {
  auto put = [&file](const char* key, std::string_view value) { WriteProfileString(file, kSection, key, value); };
  WriteTableOptions(file, o, false);
  put("BindToInterface", CutBind(c.BindToInterface));
  put("FromIPAddress:port", Cut(c.FromIPAddress, kFilterValueMax));
  put("ToIPAddress:port", Cut(c.ToIPAddress, kFilterValueMax));
  put("TwoWayTraffic", YesNo(c.TwoWayTraffic));
  put("OnTop", YesNo(c.OnTop));
  put("OnTcp", YesNo(c.OnTcp));
  put("OnUdp", YesNo(c.OnUdp));
  put("OnIcmp", YesNo(c.OnIcmp));
  put("OnIgmp", YesNo(c.OnIgmp));
  put("OnRaw", YesNo(c.OnRaw));
  // Written only when it says something a missing key would not, or the file has it: a
  // first run's file keeps the bytes it always had.
  if (!c.RemoteSources.empty() || HasKey(file, "RemoteSources")) {
    put("RemoteSources", WholeWords(c.RemoteSources, kRemoteSourcesMax));
  }
  for (auto [key, value] : {std::pair{"ListExpression", &c.ListExpression}, {"CaptureExpression", &c.CaptureExpression}}) {
    if (!value->empty() || HasKey(file, key)) put(key, std::string_view(*value).substr(0, kExpressionMax));
  }
  WriteTableOptions(file, o, true);
  if (o.WindowWidth != 0 || HasKey(file, "WindowWidth")) {
    for (auto [key, value] : {std::pair{"WindowX", o.WindowX}, {"WindowY", o.WindowY}, {"WindowWidth", o.WindowWidth},
                              {"WindowHeight", o.WindowHeight}}) {
      put(key, std::to_string(value));
    }
  }
}

// Makes the configuration folder and its parents as needed; the settings folder's own
// failure is the one that is reported.
int MakeFolder(const std::string& configFolder, const std::string& folder) {
  for (size_t slash = configFolder.find('/', 1); slash != std::string::npos; slash = configFolder.find('/', slash + 1)) {
    mkdir(configFolder.substr(0, slash).c_str(), 0700);
  }
  mkdir(configFolder.c_str(), 0700);
  // The user's own: the filter history says what they watched.
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

}  // namespace

LoadedSettings LoadSettingsFile(WindowOptions& options, const std::optional<std::string>& configFolder) {
  std::optional<std::string> folder = SettingsFolderUnder(configFolder);
  if (!folder) return {SettingsRead::kNoFolder, std::nullopt};
  std::memcpy(options.SettingsFolder, folder->c_str(), folder->size() + 1);

  // Read and write, as the save at exit will need: a file that allows less is a first run.
  int fd = open((*folder + kFileName).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  std::string file;
  struct stat st {};
  bool usable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (usable) ReadWhole(fd, file);  // an over-long file is read as far as the limit
  if (fd >= 0) close(fd);
  if (!usable) {
    SetDefaults(options, false);
    return {SettingsRead::kFirstRun, std::nullopt};
  }

  options.SaveSessionPreferences = ReadSwitch(file, "SaveSessionPreferences", "Yes") ? 1 : 0;
  if (options.SaveSessionPreferences == 0) {
    SetDefaults(options, true);
    return {SettingsRead::kRead, std::nullopt};
  }
  for (const WindowOption& option : kWindowOptions) {
    if (option.key != nullptr) SetWindowOption(options, option, ReadSwitch(file, option.key, option.on ? "Yes" : "No"));
  }
  for (auto [key, value] : {std::pair{"WindowX", &options.WindowX}, {"WindowY", &options.WindowY},
                            {"WindowWidth", &options.WindowWidth}, {"WindowHeight", &options.WindowHeight}}) {
    *value = static_cast<int32_t>(AtoiValue(ReadValue(file, key, "0")));
  }
  return {SettingsRead::kRead, ReadControls(file)};
}

SavedSettings SaveSettingsFile(const WindowOptions& options, const ControlSettings& controls,
                               const std::optional<std::string>& configFolder) {
  std::optional<std::string> folder = SettingsFolderUnder(configFolder);
  if (!folder) return {SettingsWrite::kNoFolder};
  if (int error = MakeFolder(*configFolder, *folder); error != 0) return {SettingsWrite::kFolderFailed, error};

  std::string path = *folder + kFileName;
  std::string file;
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) return {SettingsWrite::kCannotCreate};
  if (fd >= 0) {
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadWhole(fd, file);
    close(fd);
    if (!ok) return {SettingsWrite::kCannotCreate};  // rewriting it would lose what it holds
  }

  if (options.SaveSessionPreferences == 0) {
    WriteProfileString(file, kSection, "SaveSessionPreferences", "No");
  } else {
    WriteOptions(file, options, controls);
  }
  if (ReplaceFile(path, file.data(), file.size()) != ReplaceResult::kReplaced) return {SettingsWrite::kCannotCreate};
  return {SettingsWrite::kWritten};
}

}  // namespace trovix
