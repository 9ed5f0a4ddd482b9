// A DNS message as the report reads it: first byte bit 0 over TCP (with its length), bit 1
// as mDNS; names with pointers anywhere, counts that lie, record data of every type.
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t variant) {
    if ((variant & 2) != 0) {
      trovix::AppendMdnsFields(out, payload, false);
    } else {
      trovix::AppendDnsFields(out, payload, (variant & 1) != 0);
    }
  });
}
