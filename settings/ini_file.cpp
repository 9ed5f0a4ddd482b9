#include "settings/ini_file.h"

#include <cstddef>

namespace trovix {
namespace {

struct Line {
  size_t begin;    // first byte
  size_t end;      // one past the text, before any CR LF
  size_t next;     // first byte of the next line
};

Line LineAt(std::string_view file, size_t at) {
  size_t lf = file.find('\n', at);
  size_t next = lf == std::string_view::npos ? file.size() : lf + 1;
  size_t end = lf == std::string_view::npos ? file.size() : lf;
  if (end > at && file[end - 1] == '\r') --end;
  return {at, end, next};
}

std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A section header's name, or nothing when the line is not a header.
bool SectionName(std::string_view text, std::string_view& name) {
  text = Trim(text);
  if (text.empty() || text[0] != '[') return false;
  size_t close = text.find(']');
  name = Trim(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  return true;
}

// A key line's name and value; comments and lines without '=' are no keys.
bool KeyLine(std::string_view text, std::string_view& name, std::string_view& value) {
  std::string_view trimmed = Trim(text);
  if (trimmed.empty() || trimmed[0] == ';') return false;
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return false;
  name = Trim(text.substr(0, eq));
  value = Trim(text.substr(eq + 1));
  return true;
}

// Where a key stands in the first section of the given name.
struct Found {
  bool section = false;
  bool key = false;
  Line keyLine{};
  size_t insertAt = 0;  // after the section's last non-blank line
};

// What must come before a line added at `at`: nothing after a line end; the LF that a
// final bare CR lacks, so it does not end up alone and make the line before read "x\r".
std::string_view LineEndBefore(std::string_view file, size_t at) {
  if (at == 0 || file[at - 1] == '\n') return "";
  return file[at - 1] == '\r' ? "\n" : "\r\n";
}

Found Find(std::string_view file, std::string_view section, std::string_view key) {
  Found found;
  bool inside = false;
  for (size_t at = 0; at < file.size();) {
    Line line = LineAt(file, at);
    std::string_view text = file.substr(line.begin, line.end - line.begin);
    std::string_view name, value;
    if (SectionName(text, name)) {
      if (inside) break;  // only the first section of that name counts
      if (SameName(name, section)) {
        inside = found.section = true;
        found.insertAt = line.next;
      }
    } else if (inside) {
      if (KeyLine(text, name, value) && SameName(name, key)) {
        found.key = true;
        found.keyLine = line;
        return found;
      }
      if (!Trim(text).empty()) found.insertAt = line.next;
    }
    at = line.next;
  }
  return found;
}

}  // namespace

std::string GetProfileString(std::string_view file, std::string_view section, std::string_view key,
                             std::string_view fallback) {
  Found found = Find(file, section, key);
  if (!found.key) return std::string(fallback);
  std::string_view name, value;
  KeyLine(file.substr(found.keyLine.begin, found.keyLine.end - found.keyLine.begin), name, value);
  return std::string(value);
}

void WriteProfileString(std::string& file, std::string_view section, std::string_view key, std::string_view value) {
  value = value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
  Found found = Find(file, section, key);
  if (found.key) {
    // The name keeps the spelling the file gave it; only the value changes.
    std::string_view text(file.data() + found.keyLine.begin, found.keyLine.end - found.keyLine.begin);
    std::string_view name, old;
    KeyLine(text, name, old);
    std::string line = std::string(name) + "=" + std::string(value);
    file.replace(found.keyLine.begin, found.keyLine.end - found.keyLine.begin, line);
    return;
  }
  std::string entry = std::string(key) + "=" + std::string(value) + "\r\n";
  if (found.section) {
    file.insert(found.insertAt, std::string(LineEndBefore(file, found.insertAt)) + entry);
    return;
  }
  file += std::string(LineEndBefore(file, file.size())) + "[" + std::string(section) + "]\r\n" + entry;
}

}  // namespace trovix
