#include "cli/time_column.h"

#include <cstdio>
#include <ctime>

namespace trovix::cli {

SecondAndNanos SplitTime(int64_t nanosSince1970) {
  SecondAndNanos t{nanosSince1970 / 1000000000, nanosSince1970 % 1000000000};
  if (t.nanos < 0) {  // a capture file's time before 1970
    t.nanos += 1000000000;
    --t.second;
  }
  return t;
}

void TimeFormatter::Append(std::string& out, int64_t receiveTime) {
  if (column_ == TimeColumn::kNone) return;
  auto [second, nanos] = SplitTime(receiveTime);
  // Seconds since 1970 are read as a decimal number, so before 1970 they count toward it:
  // -0.5 s is "-0.500000", where the second it falls in would make it read -1.5.
  bool towardEpoch = column_ == TimeColumn::kEpoch && second < 0 && nanos != 0;
  if (towardEpoch) {
    ++second;
    nanos = 1000000000 - nanos;
  }
  if (second != second_ || towardEpoch != towardEpoch_) {
    second_ = second;
    towardEpoch_ = towardEpoch;
    time_t t = static_cast<time_t>(second);
    tm parts{};
    if (column_ == TimeColumn::kEpoch) {
      int n = std::snprintf(secondText_, sizeof secondText_, towardEpoch ? "-%lld" : "%lld",
                            static_cast<long long>(towardEpoch ? -second : second));
      secondLength_ = static_cast<size_t>(n);
    } else if ((column_ == TimeColumn::kLocal ? localtime_r(&t, &parts) : gmtime_r(&t, &parts)) != nullptr) {
      secondLength_ = std::strftime(secondText_, sizeof secondText_, "%H:%M:%S", &parts);
    } else {
      secondLength_ = 0;
    }
  }
  char micros[8] = {'.', 0, 0, 0, 0, 0, 0, '\t'};
  uint32_t value = static_cast<uint32_t>(nanos / 1000);
  for (int i = 6; i >= 1; --i, value /= 10) micros[i] = static_cast<char>('0' + value % 10);
  out.append(secondText_, secondLength_);
  out.append(micros, sizeof micros);
}

}  // namespace trovix::cli
