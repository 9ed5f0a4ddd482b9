// The stored datagrams as a pcapng file, written by our own block writer (libpcap writes no
// pcapng): a section header, one interface (raw IP, the capture files' snap length,
// nanosecond stamps), the names of addresses when there are any, then one enhanced packet
// block per datagram that carries its programs as packet comments. Every block is written
// little-endian and padded to 32 bits; bytes are appended to a buffer, so that a save goes
// to disk through the same careful path as every other.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "capture/capture_state.h"
#include "capture/program_table.h"
#include "capture/sources/pcapng_reader.h"

namespace trovix {

// A section header and the one interface description.
void AppendPcapngHead(std::vector<uint8_t>& out);

// Name-resolution blocks for `names` (nrb_record_ipv4 or nrb_record_ipv6 each, then the end
// record); nothing when there are none. A name is cut at a NUL byte; an empty one, or one
// longer than a record holds, is left out.
void AppendPcapngNames(std::vector<uint8_t>& out, std::span<const AddressName> names);

// One enhanced packet block: the receive time, the bytes (their first 262,144, as in a pcap
// record), the datagram's own length as the original one, and with `programs`, one
// opt_comment for each end of `owner` that names a program, sender first.
void AppendPcapngPacket(std::vector<uint8_t>& out, const uint8_t* datagram, size_t length, int64_t receiveTime,
                        const ProgramTable* programs = nullptr, uint32_t owner = kOwnerPending);

// The packets published so far (with `only`, those alone, in that order) as a whole pcapng
// file, each with its owner entry's programs from `programs` when given, `names` before the
// packets. False (and `out` empty) when a packet cannot be found.
bool PcapngCaptureBytes(const CaptureState& state, std::vector<uint8_t>& out, const std::vector<int32_t>* only = nullptr,
                        const ProgramTable* programs = nullptr, std::span<const AddressName> names = {});

}  // namespace trovix
