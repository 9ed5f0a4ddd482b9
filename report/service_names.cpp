// The services database read into a sorted table: once, bounded, and never trusted to hold
// what a report line could not.
#include "report/service_names.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "capture/platform/bounded_file.h"
#include "capture/protocol_table.h"

namespace trovix {
namespace {

constexpr uint32_t kTcpBit = 1u << 16;
constexpr size_t kServicesFileMax = 1024 * 1024;  // a distribution's full list is about 300 KB

bool UsableName(std::string_view name) {
  if (name.empty() || name.size() > kServiceNameMax) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || c == '+';
  });
}

// "port/protocol" as a key; false for any other protocol or a port out of range.
bool ParseKey(std::string_view field, uint32_t& key) {
  size_t slash = field.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view protocol = field.substr(slash + 1);
  if (protocol != "tcp" && protocol != "udp") return false;
  unsigned port = 0;
  auto result = std::from_chars(field.data(), field.data() + slash, port);
  if (result.ec != std::errc() || result.ptr != field.data() + slash || port > 0xFFFF) return false;
  key = port | (protocol == "tcp" ? kTcpBit : 0);
  return true;
}

}  // namespace

void ReadServiceNames(std::string_view database, ServiceNames& out) {
  out.entries.clear();
  while (!database.empty()) {
    std::string_view line = TakeDatabaseLine(database);
    std::string_view name = TakeDatabaseField(line);
    ServiceName entry{};
    if (!ParseKey(TakeDatabaseField(line), entry.key) || !UsableName(name)) continue;
    std::memcpy(entry.name, name.data(), name.size());
    out.entries.push_back(entry);
  }
  // Stable, so that of two lines for one port the first comes first and is kept.
  auto byKey = [](const ServiceName& a, const ServiceName& b) { return a.key < b.key; };
  std::stable_sort(out.entries.begin(), out.entries.end(), byKey);
  auto same = [](const ServiceName& a, const ServiceName& b) { return a.key == b.key; };
  out.entries.erase(std::unique(out.entries.begin(), out.entries.end(), same), out.entries.end());
}

const ServiceNames& TheServiceNames() {
  static const ServiceNames names = [] {
    ServiceNames read;
    try {
      std::string text = ReadBoundedFile("/etc/services", kServicesFileMax).text;
      // A file cut at the bound ends in a line cut short, whose port may be cut too.
      if (text.size() == kServicesFileMax) text.resize(text.rfind('\n') + 1);
      ReadServiceNames(text, read);
    } catch (...) {
      read.entries.clear();  // no memory for the file: no port is named
    }
    return read;
  }();
  return names;
}

const char* FindServiceName(const ServiceNames& names, bool tcp, uint16_t port) noexcept {
  uint32_t key = port | (tcp ? kTcpBit : 0);
  auto at = std::lower_bound(names.entries.begin(), names.entries.end(), key,
                             [](const ServiceName& entry, uint32_t k) { return entry.key < k; });
  return at != names.entries.end() && at->key == key ? at->name : nullptr;
}

}  // namespace trovix
