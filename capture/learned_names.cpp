// The table of learned names: the most trusted name of each address, and the hosts file.
#include "capture/learned_names.h"

#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace trovix {
namespace {

constexpr size_t kMaxHostsBytes = 1u << 20;

// A name a list field can show: printable, without blanks.
bool Showable(std::string_view name) {
  if (name.empty() || name.size() > LearnedNames::kMaxLearnedName) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

const char* NameOriginText(NameOrigin origin) {
  switch (origin) {
    case NameOrigin::kDnsAnswer: return "DNS answer";
    case NameOrigin::kTlsServerName: return "TLS server name";
    case NameOrigin::kHttpHost: return "HTTP Host";
    case NameOrigin::kDhcpHostName: return "DHCP host name";
    case NameOrigin::kCaptureFile: return "capture file";
    case NameOrigin::kHostsFile: return "hosts file";
    case NameOrigin::kResolver: return "resolver";
  }
  return "";
}

NameAddress NameAddress::Of(const uint8_t* address, size_t length) {
  NameAddress a;
  a.length = static_cast<uint8_t>(length == 16 ? 16 : 4);
  std::memcpy(a.bytes, address, a.length);
  return a;
}

bool NameAddress::operator==(const NameAddress& other) const {
  return length == other.length && std::memcmp(bytes, other.bytes, length) == 0;
}

size_t NameAddressHash::operator()(const NameAddress& a) const noexcept {
  uint64_t h = 1469598103934665603ull ^ a.length;
  for (size_t k = 0; k < a.length; ++k) h = (h ^ a.bytes[k]) * 1099511628211ull;
  return static_cast<size_t>(h);
}

bool LearnedNames::LearnName(const NameAddress& address, std::string_view name, NameOrigin origin, int64_t packet) {
  if (!Showable(name)) return false;
  std::lock_guard lock(mutex_);
  auto found = names_.find(address);
  if (found == names_.end()) {
    if (names_.size() >= kMaxLearnedAddresses) return false;
    names_.emplace(address, LearnedName{std::string(name), origin, packet});
    return true;
  }
  LearnedName& kept = found->second;
  // The first of equal trust stays: it was the answer to the name first asked.
  if (kept.origin <= origin) return false;
  kept.name.assign(name);
  kept.origin = origin;
  kept.packet = packet;
  return true;
}

bool LearnedNames::Find(const NameAddress& address, LearnedName& out) const {
  std::lock_guard lock(mutex_);
  if (auto found = names_.find(address); found != names_.end()) {
    out = found->second;
    return true;
  }
  if (auto host = hosts_.find(address); host != hosts_.end()) {
    out = {host->second, NameOrigin::kHostsFile, -1};
    return true;
  }
  return false;
}

bool LearnedNames::Has(const NameAddress& address) const {
  std::lock_guard lock(mutex_);
  return names_.count(address) != 0 || hosts_.count(address) != 0;
}

void LearnedNames::ForEachLearnedName(const std::function<void(const NameAddress&, const LearnedName&)>& each) const {
  std::lock_guard lock(mutex_);
  for (const auto& [address, name] : names_) each(address, name);
}

size_t LearnedNames::size() const {
  std::lock_guard lock(mutex_);
  return names_.size();
}

void LearnedNames::Clear() {
  std::lock_guard lock(mutex_);
  names_.clear();
}

void LearnedNames::ReadHosts(std::string_view text) {
  std::lock_guard lock(mutex_);
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line) && hosts_.size() < kMaxLearnedAddresses) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string address, name;
    if (!(fields >> address >> name) || !Showable(name)) continue;
    uint8_t bytes[16];
    size_t length = address.find(':') != std::string::npos ? 16 : 4;
    if (inet_pton(length == 16 ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1) continue;
    hosts_.emplace(NameAddress::Of(bytes, length), name);  // the first line of an address names it
  }
}

LearnedNames& TheLearnedNames() {
  static LearnedNames* names = [] {
    auto* table = new LearnedNames;  // never freed: threads may look names up until exit
    std::ifstream hosts("/etc/hosts", std::ios::binary);
    std::string text(kMaxHostsBytes, '\0');
    hosts.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(hosts.gcount()));
    table->ReadHosts(text);
    return table;
  }();
  return *names;
}

}  // namespace trovix
