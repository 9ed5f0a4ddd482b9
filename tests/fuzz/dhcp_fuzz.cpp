// A DHCP or BOOTP message as the report reads it: the fixed fields, the cookie, options of any length.
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t) {
    trovix::AppendDhcpFields(out, payload, false);
  });
}
