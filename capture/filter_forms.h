// The "from"/"to" texts trovix-cli accepts: only those the engine honours exactly as
// written. The window takes any text (one without a colon keeps every endpoint, a port
// that is not a number keeps every port); a command line is refused rather than kept wider
// than it says.
#pragma once

#include <string>
#include <string_view>

namespace trovix {

// The accepted forms, for messages.
inline constexpr std::string_view kFilterForms =
    "ADDRESS:PORT, ADDRESS:*, *:PORT or *:*; for IPv6 [ADDRESS]:PORT, [ADDRESS]:*, [ADDRESS] or ADDRESS; "
    "PORT a number from 0 to 65535 (0 and * keep any port)";

struct FilterCheck {
  std::string problem;  // empty when the text is one of the forms
  bool address = false;  // names an address (not *)
  bool port = false;     // names a port (not * or 0)
};

FilterCheck CheckFilterText(std::string_view text);

}  // namespace trovix
