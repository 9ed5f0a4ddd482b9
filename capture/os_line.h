// The first line of the packet list, naming the system, and whether the system is one
// the program refuses to capture on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace trovix {

struct OsInfo {
  bool queried = false;  // false: the system could not be asked; start-up stops there
  std::string line;      // may be empty; it is still the list's first line
  bool refused = false;  // capturing is impossible for the window's whole life
};

// Where start-up learns which system it runs on; tests hand in their own.
class SystemVersionSource {
 public:
  virtual ~SystemVersionSource() = default;
  virtual OsInfo QueryOsInfo() = 0;
};

// A version record of the platform family the program was first written for, whose
// 95/98/Me branch (platform id 1) is refused.
struct VersionRecord {
  uint32_t platformId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  std::string servicePack;
};

inline constexpr uint32_t kPlatformWin32Windows = 1;
inline constexpr uint32_t kPlatformWin32Nt = 2;
inline constexpr size_t kServicePackMax = 127;

// The line and refusal for one record; the result is always `queried`.
OsInfo ComposeOsLine(const VersionRecord& record);

// Describes the system by a fixed record, or fails the query when there is none. Linux
// never refuses; this is how the refusal path is reached.
class VersionRecordSource : public SystemVersionSource {
 public:
  explicit VersionRecordSource(std::optional<VersionRecord> record) : record_(std::move(record)) {}
  OsInfo QueryOsInfo() override { return record_ ? ComposeOsLine(*record_) : OsInfo{}; }

 private:
  std::optional<VersionRecord> record_;
};

}  // namespace trovix
