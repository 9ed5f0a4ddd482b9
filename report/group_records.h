// The group records of an IGMPv3 report (RFC 3376 section 4.2) and of an MLDv2 report
// (RFC 3810 section 5.2), which share one layout: record type, auxiliary data length in
// 32-bit words, source count, the group's address, the sources, the auxiliary data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/byte_reader.h"
#include "report/report_text.h"

namespace trovix {

// Calls show(offset of the group address) for each of the first `count` records from
// `at` whose address was received, and stops at the first record not received whole,
// marking the reader: a report cut short shows the records it holds.
template <typename Show>
void WalkGroupRecords(ByteReader& r, size_t at, uint16_t count, size_t addressSize, Show&& show) {
  for (uint32_t k = 0; k < count; ++k) {
    auto auxWords = ReadU8(r, at + 1);
    auto sources = ReadBe16(r, at + 2);
    if (!auxWords || !sources || !r.Need(at + 4, addressSize)) return;
    show(at + 4);
    size_t size = 4 + addressSize * (1u + *sources) + 4u * *auxWords;
    if (!r.Need(at, size)) return;
    at += size;
  }
}

}  // namespace trovix
