// Private-profile (INI) text held in memory: look a key up, or change one key.
// Section and key names match without regard to case; the first section of a name and
// the first key of a name in it are the ones that count, as with the platform's reader.
#pragma once

#include <string>
#include <string_view>

namespace trovix {

// The value of `key` in `section`, spaces and tabs around it trimmed, or `fallback` when
// the section or the key is absent.
std::string GetProfileString(std::string_view file, std::string_view section, std::string_view key,
                             std::string_view fallback);

// Sets `key` in `section` to `value`, adding the key at the end of the section, or the
// section at the end of the file, when absent. Every other line stays byte for byte as it
// was; new lines end with CR LF. A value is cut at its first line end or NUL, so that it
// can never add lines of its own.
void WriteProfileString(std::string& file, std::string_view section, std::string_view key, std::string_view value);

}  // namespace trovix
