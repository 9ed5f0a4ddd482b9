// Arbitrary bytes as a settings file: look keys up, change one, and check that the change
// reads back, that no other key's value moved, and that writing it again changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/ini_file.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Byte 0 picks the value written; the rest is the file.
  const char* value = (data[0] & 1) != 0 ? "Yes" : "No";
  std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string other = trovix::GetProfileString(file, "Config", "OnUdp", "<none>");
  std::string elsewhere = trovix::GetProfileString(file, "Other", "OnTcp", "<none>");

  trovix::WriteProfileString(file, "config", "ONTCP", value);
  Check(trovix::GetProfileString(file, "Config", "OnTcp", "<none>") == value);
  Check(trovix::GetProfileString(file, "Config", "OnUdp", "<none>") == other);
  Check(trovix::GetProfileString(file, "Other", "OnTcp", "<none>") == elsewhere);

  std::string again = file;
  trovix::WriteProfileString(again, "Config", "OnTcp", value);
  Check(again == file);
  return 0;
}
