// The stored datagrams as a pcap capture file, for the tools that read captures.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "capture/capture_state.h"

struct pcap;
struct pcap_dumper;

namespace trovix {

struct StoredPacket;

// libpcap's and Wireshark's largest record: a longer one would make them refuse the file.
inline constexpr uint32_t kCaptureSnapLength = 262144;

// A record's original length: the datagram's own (DatagramSize), never less than its bytes.
uint32_t OriginalLength(const uint8_t* datagram, size_t length);

// The handle every capture file of Trovix is written through: link type raw IPv4,
// nanosecond timestamps. nullptr when libpcap cannot make one; free with pcap_close.
pcap* OpenCaptureFileFormat();

// One record: the receive time, the bytes (their first 262,144, the most other tools read
// in a record), and as the original length the datagram's own (DatagramSize), never less
// than the bytes written.
void DumpDatagram(pcap_dumper* dumper, const uint8_t* datagram, size_t length, int64_t receiveTime);

// A name that asks for a capture file: it ends in ".pcap", in any case.
bool IsPacketCaptureName(std::string_view path);
// A name that asks for a pcapng file: it ends in ".pcapng", in any case.
bool IsPcapngName(std::string_view path);

// Each packet a save writes: those published so far, or with `only` those alone, in that
// order. False when one of them cannot be found.
bool EachSavedPacket(const CaptureState& state, const std::vector<int32_t>* only,
                     const std::function<void(int32_t index, const StoredPacket& packet)>& each);

// The packets published so far as a whole pcap file, written through libpcap:
// nanosecond timestamps, link type raw IPv4, one record per datagram in capture order.
// With `only`, those packets alone, in that order. False (and `out` empty) when libpcap
// could not make it.
bool PacketCaptureBytes(const CaptureState& state, std::vector<uint8_t>& out,
                        const std::vector<int32_t>* only = nullptr);

}  // namespace trovix
