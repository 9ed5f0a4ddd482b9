// A DHCPv6 message as the report reads it: client, server and relay messages, options inside options.
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t) {
    trovix::AppendDhcpv6Fields(out, payload, false);
  });
}
