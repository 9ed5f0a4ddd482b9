// Names of addresses as the capture itself tells them (report/name_learner.h reads them
// from the datagrams), then the hosts file and, when asked for, the system's resolver. A name is kept only for the address it was said of, and a name from
// a source trusted more replaces one from a source trusted less, never the other way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>


namespace trovix {

// In the order of trust, most trusted first.
enum class NameOrigin : uint8_t {
  kDnsAnswer,
  kTlsServerName,
  kHttpHost,
  kDhcpHostName,
  kCaptureFile,  // a capture file's own name records
  kHostsFile,
  kResolver,
};

// "DNS answer", "TLS server name", ...: how the details window says where a name came from.
const char* NameOriginText(NameOrigin origin);

// An IPv4 (4 bytes) or IPv6 (16 bytes) address in wire order.
struct NameAddress {
  uint8_t bytes[16] = {};
  uint8_t length = 0;

  static NameAddress Of(const uint8_t* address, size_t length);
  bool operator==(const NameAddress& other) const;
};

struct NameAddressHash {
  size_t operator()(const NameAddress& a) const noexcept;
};

struct LearnedName {
  std::string name;
  NameOrigin origin = NameOrigin::kResolver;
  int64_t packet = -1;  // the packet it was learned from; -1 for none
};

// Bounded: at most kMaxLearnedAddresses addresses, each name at most kMaxLearnedName
// bytes (a DNS name's presentation length), about 20 MiB at the very most. Once full, new
// addresses are not kept; the names of those already kept may still improve. Every member
// may be called from any thread.
class LearnedNames {
 public:
  static constexpr size_t kMaxLearnedAddresses = 65536;
  static constexpr size_t kMaxLearnedName = 253;

  // Keeps `name` for `address` unless a source trusted as much or more named it already.
  // False when not kept (empty, too long, holds a blank or control byte, or no room).
  bool LearnName(const NameAddress& address, std::string_view name, NameOrigin origin, int64_t packet = -1);
  // The name for `address`; false (and `out` untouched) when none is known.
  bool Find(const NameAddress& address, LearnedName& out) const;
  bool Has(const NameAddress& address) const;
  // Every address with its name, in no particular order (a capture file's name records).
  void ForEachLearnedName(const std::function<void(const NameAddress&, const LearnedName&)>& each) const;
  size_t size() const;
  // Forgets every name but the hosts file's.
  void Clear();
  // Reads hosts(5) text: "address name [aliases]", the first name of each address.
  void ReadHosts(std::string_view text);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<NameAddress, LearnedName, NameAddressHash> names_;
  std::unordered_map<NameAddress, std::string, NameAddressHash> hosts_;
};

// The process's table, its hosts file read at the first call.
LearnedNames& TheLearnedNames();

}  // namespace trovix
