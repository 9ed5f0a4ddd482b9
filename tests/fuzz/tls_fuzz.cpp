// A TCP payload as the TLS section reads it: records, handshake messages, hellos and their
// extensions, with every length free to lie.
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t) {
    if (trovix::BeginsTlsRecord(payload)) trovix::AppendTlsFields(out, payload, true);
  });
}
