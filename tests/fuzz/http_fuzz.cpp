// A TCP payload as the HTTP section reads it: a start line and field lines of any bytes.
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t) {
    if (trovix::BeginsHttpMessage(payload)) trovix::AppendHttpFields(out, payload, true);
  });
}
