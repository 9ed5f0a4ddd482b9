// The receive time at the start of a line, as tcpdump prints it.
#pragma once

#include <cstdint>
#include <string>

namespace trovix::cli {

enum class TimeColumn {
  kNone,
  kLocal,  // time of day, HH:MM:SS.uuuuuu, in the local time zone
  kUtc,    // the same in UTC
  kEpoch,  // seconds since 1970 and microseconds, like 1714564800.123456
};

// A time as the second it falls in and the nanoseconds since that second began (0 to
// 999,999,999), before 1970 too: -0.5 s is second -1 and 500,000,000 nanoseconds.
struct SecondAndNanos {
  int64_t second;
  int64_t nanos;
};
SecondAndNanos SplitTime(int64_t nanosSince1970);

class TimeFormatter {
 public:
  explicit TimeFormatter(TimeColumn column) : column_(column) {}
  // Appends the time of `receiveTime` (nanoseconds since 1970) and a tab; nothing for kNone.
  void Append(std::string& out, int64_t receiveTime);

 private:
  TimeColumn column_;
  // The text of the last second written: a flood asks the time zone once a second, not
  // once a datagram. A zone's offset changes only on a second's boundary.
  int64_t second_ = INT64_MIN;
  bool towardEpoch_ = false;
  char secondText_[24] = {};
  size_t secondLength_ = 0;
};

}  // namespace trovix::cli
