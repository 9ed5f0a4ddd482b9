// Whether this process may capture, and the text of a system error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trovix {

// "go!" asks this before it starts a capture; tests hand in their own.
class PrivilegeCheck {
 public:
  virtual ~PrivilegeCheck() = default;
  // Returns 1 when the check could be made: *flag is then set to 1 when the process may
  // capture and left as it was otherwise (the caller sets it to 0 first). Returns 0 when
  // the check itself failed.
  virtual int32_t CheckAdminMembership(int32_t* flag) = 0;
};

// The process's own check: whether it may run the capture helper, which captures for it.
int32_t CheckAdminMembership(int32_t* flag);

inline constexpr size_t kErrorTextSize = 1024;

// Writes the message text of `code` (an errno value) into the process-wide error text,
// cut to fit. A code without a message leaves the previous text. The text has no line
// end, as the system gives none. User-interface thread only.
void FormatSystemErrorText(uint32_t code);

// The process-wide error text: empty until the first successful FormatSystemErrorText.
const char* SystemErrorText();

// Replaces the error text with `text`, cut to fit the buffer.
void SetSystemErrorText(std::string_view text);

}  // namespace trovix
