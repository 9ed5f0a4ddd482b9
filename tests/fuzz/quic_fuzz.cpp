// A UDP payload as the QUIC section reads it: coalesced long-header packets with lying
// lengths and connection ids, and Initials whose protection is removed (a seed that
// decrypts lets the fuzzer reach the frames and the ClientHello behind it). An odd first
// byte runs the summary the info column reads instead.
#include "report/quic_initial.h"
#include "report/sections.h"
#include "tests/fuzz/section_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return trovix::fuzz::RunSection(data, size, [](std::string& out, trovix::ByteReader payload, uint8_t variant) {
    if ((variant & 1) == 0) {
      trovix::AppendQuicFields(out, payload, false);
      return;
    }
    auto summary = trovix::ReadQuicClientInitial(payload);
    if (summary) trovix::fuzz::Check(summary->destinationConnectionId.size() <= 20);
  });
}
