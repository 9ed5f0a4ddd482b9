#include "ui/desktop_icons.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unordered_set>

namespace trovix {
namespace {

namespace fs = std::filesystem;

// Entries are small; a larger file, or more of them, is not a desktop's.
constexpr std::streamsize kMaxEntryBytes = 64 * 1024;
constexpr int kMaxEntries = 8192;
constexpr int kMaxDepth = 4;

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string BaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The program an Exec= line runs: its first word, quotes removed, after `env` and its
// assignments.
std::string ExecProgram(std::string_view line) {
  size_t i = 0;
  for (;;) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) return {};
    std::string word;
    if (line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        word += line[i];
      }
      ++i;
    } else {
      for (; i < line.size() && line[i] != ' '; ++i) word += line[i];
    }
    if (BaseName(word) == "env" || (word.find('=') != std::string::npos && word.front() != '/')) continue;
    return BaseName(word);
  }
}

struct Entry {
  std::string icon;
  std::vector<std::string> keys;
  bool hidden = false;
};

Entry ReadEntry(const fs::path& file) {
  Entry entry;
  std::ifstream in(file, std::ios::binary);
  std::string text(static_cast<size_t>(kMaxEntryBytes), '\0');
  in.read(text.data(), kMaxEntryBytes);
  text.resize(static_cast<size_t>(in.gcount()));
  bool inMain = false;
  bool application = true;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trimmed(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inMain = line == "[Desktop Entry]";
      continue;
    }
    size_t equals = line.find('=');
    if (!inMain || equals == std::string_view::npos) continue;
    std::string_view key = Trimmed(line.substr(0, equals));
    std::string_view value = Trimmed(line.substr(equals + 1));
    if (key == "Icon") entry.icon = value;
    else if (key == "Exec" || key == "TryExec") entry.keys.push_back(ExecProgram(value));
    else if (key == "StartupWMClass") entry.keys.emplace_back(value);
    else if (key == "Type") application = value == "Application";
    else if (key == "Hidden") entry.hidden = value == "true";
  }
  if (!application) entry.icon.clear();
  return entry;
}

std::string Lowered(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

}  // namespace

std::unordered_map<std::string, std::string> ReadDesktopIcons(const std::vector<std::string>& dataFolders) {
  std::unordered_map<std::string, std::string> icons;
  std::unordered_set<std::string> ids;  // an entry of an earlier folder hides its namesakes
  int entries = 0;
  for (const std::string& folder : dataFolders) {
    fs::path applications = fs::path(folder) / "applications";
    std::error_code error;
    fs::recursive_directory_iterator it(applications, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator() && entries < kMaxEntries; it.increment(error)) {
      if (it.depth() >= kMaxDepth) it.disable_recursion_pending();
      const fs::path& file = it->path();
      if (file.extension() != ".desktop" || !it->is_regular_file(error)) continue;
      ++entries;
      // The desktop's id of an entry in a subfolder joins the folders with '-'.
      std::string id = fs::relative(file, applications, error).string();
      for (char& c : id) c = c == '/' ? '-' : c;
      if (!ids.insert(id).second) continue;
      Entry entry = ReadEntry(file);
      if (entry.hidden || entry.icon.empty()) continue;
      std::string stem = file.stem().string();
      entry.keys.push_back(Lowered(stem.substr(stem.rfind('.') == std::string::npos ? 0 : stem.rfind('.') + 1)));
      for (const std::string& key : entry.keys) {
        if (!key.empty()) icons.emplace(key, entry.icon);
      }
    }
  }
  return icons;
}

std::vector<std::string> DesktopDataFolders() {
  std::vector<std::string> folders;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome != nullptr && dataHome[0] == '/') folders.emplace_back(dataHome);
  else if (home != nullptr && home[0] == '/') folders.push_back(std::string(home) + "/.local/share");
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::string_view rest = dirs != nullptr && dirs[0] != '\0' ? dirs : "/usr/local/share:/usr/share";
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string_view one = rest.substr(0, colon);
    if (!one.empty() && one.front() == '/') folders.emplace_back(one);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return folders;
}

std::string_view DesktopIconOf(const std::unordered_map<std::string, std::string>& icons, std::string_view program) {
  if (program.empty()) return {};
  if (auto it = icons.find(std::string(program)); it != icons.end()) return it->second;
  if (auto it = icons.find(Lowered(std::string(program))); it != icons.end()) return it->second;
  if (program.size() == 15) {
    // A comm name: the executable's name cut by the kernel.
    for (const auto& [name, icon] : icons) {
      if (name.size() > 15 && name.compare(0, 15, program) == 0) return icon;
    }
  }
  return {};
}

}  // namespace trovix
