// A UDP payload as the QUIC section reads it: coalesced long-header packets with lying
// lengths and connection ids, and Initials whose protection is removed (a seed that
// decrypts lets the fuzzer reach the frames and the ClientHello behind it). The summary
// the info column reads is run on the same bytes.
#include "report/quic_initial.h"
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t) {
    trovix::AppendQuicFields(out, payload, false);
    auto summary = trovix::ReadQuicClientInitial(payload);
    if (summary) trovix::fuzz::Check(summary->destinationConnectionId.size() <= 20);
  });
}
