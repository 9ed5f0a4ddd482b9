// An IPv4 header as its report section reads it: any header length, options of any length.
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader datagram, uint8_t) {
    trovix::AppendIpv4Fields(out, datagram);
  });
}
