#include "cli/time_column.h"

#include <cstdio>
#include <ctime>

namespace trovix::cli {

void TimeFormatter::Append(std::string& out, int64_t receiveTime) {
  if (column_ == TimeColumn::kNone) return;
  int64_t second = receiveTime / 1000000000;
  int64_t nanos = receiveTime % 1000000000;
  if (nanos < 0) {  // a capture file's time before 1970
    nanos += 1000000000;
    --second;
  }
  if (second != second_) {
    second_ = second;
    time_t t = static_cast<time_t>(second);
    tm parts{};
    if (column_ == TimeColumn::kEpoch) {
      int n = std::snprintf(secondText_, sizeof secondText_, "%lld", static_cast<long long>(second));
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
