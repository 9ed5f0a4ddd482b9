// A kept datagram's report (the details window's text) for standard output. The report
// writes a payload's bytes as they are between its own CR LF line ends: on a terminal a
// datagram could then clear the screen, set its title or start lines of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trovix::cli {

// The report of datagram `index`, its line ends made "\n", twice: `shown` for a terminal,
// where every byte that is not printable ASCII shows as '.', and `exact`, which keeps the
// payload's bytes as received (for JSON, which escapes them). Either may be nullptr.
void BuildReportTexts(int64_t index, uint8_t protocol, const uint8_t* datagram, size_t length, std::string* shown,
                      std::string* exact);

}  // namespace trovix::cli
