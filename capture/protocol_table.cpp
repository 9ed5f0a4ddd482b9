// The protocols database read into the list's words: once, bounded, and never trusted to
// hold what a packet line or a JSON string could not.
#include "capture/protocol_table.h"

#include <algorithm>
#include <cstring>

#include "capture/platform/bounded_file.h"

namespace trovix {
namespace {

bool WordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_' || c == '+';
}

bool UsableWord(std::string_view word) {
  if (word.empty() || word.size() > kProtocolWordMax) return false;
  for (char c : word) {
    if (!WordCharacter(c)) return false;
  }
  return true;
}

void Put(ProtocolWords& out, int protocol, std::string_view word) {
  std::memcpy(out.text[protocol], word.data(), word.size());
  out.text[protocol][word.size()] = '\0';
}


// A protocol number of 1 to 3 digits up to 255, or -1.
int ProtocolNumber(std::string_view text) {
  if (text.empty() || text.size() > 3) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= 255 ? value : -1;
}

}  // namespace

std::string_view TakeDatabaseLine(std::string_view& database) noexcept {
  size_t end = std::min(database.find('\n'), database.size());
  std::string_view line = database.substr(0, end);
  database.remove_prefix(std::min(end + 1, database.size()));
  return line.substr(0, line.find('#'));
}

std::string_view TakeDatabaseField(std::string_view& line) noexcept {
  size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  size_t end = std::min(line.find_first_of(" \t\r"), line.size());
  std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

void ReadProtocolWords(std::string_view database, ProtocolWords& out) noexcept {
  bool named[256] = {};
  for (int protocol = 0; protocol < 256; ++protocol) Put(out, protocol, kRawRow.word);
  while (!database.empty()) {
    std::string_view line = TakeDatabaseLine(database);
    std::string_view name = TakeDatabaseField(line);
    int protocol = ProtocolNumber(TakeDatabaseField(line));
    // As getprotobynumber, the first line of a number names it, usable or not.
    if (protocol < 0 || named[protocol]) continue;
    named[protocol] = true;
    if (UsableWord(name)) Put(out, protocol, name);
  }
  for (const SwitchRow& row : kSwitchRows) {
    if (row.ipv4 != kNoProtocol) Put(out, row.ipv4, row.word);
    if (row.ipv6 != kNoProtocol) Put(out, row.ipv6, row.ipv6Word);
  }
  Put(out, kRawProtocol, kRawRow.word);
}

const ProtocolWords& TheProtocolWords() noexcept {
  static const ProtocolWords words = [] {
    ProtocolWords read;
    try {
      std::string text = ReadBoundedFile("/etc/protocols").text;
      // A file cut at the bound ends in a line cut short, whose number may be cut too.
      if (text.size() == kSystemFileMax) text.resize(text.rfind('\n') + 1);
      ReadProtocolWords(text, read);
    } catch (...) {
      // No memory for the file: the switches' words, and "raw" for every other protocol.
      ReadProtocolWords({}, read);
    }
    return read;
  }();
  return words;
}

}  // namespace trovix
