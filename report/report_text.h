// Appending report lines: numbers as the report prints them, optional field reads that
// mark a short packet, and sub-readers for the parts of a datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "capture/byte_reader.h"

namespace trovix {

inline constexpr std::string_view kLineEnd = "\r\n";
// The last line of a section whose header, as stated by the packet, was not all received.
inline constexpr std::string_view kTruncatedLine = "packet is truncated\r\n";

// Signed decimal without leading zeros.
void AppendDecimal(std::string& out, int64_t value);
// Dotted decimal of an address read by ByteReader::Ipv4 (first wire byte most significant).
void AppendIpv4(std::string& out, uint32_t address);
// The canonical text of the 16-byte IPv6 address at `address` (as inet_ntop writes it).
void AppendIpv6(std::string& out, const uint8_t* address);
// The IPv6 address at `offset` of `r` when all 16 bytes were received; else nothing, with
// the reader marked.
bool AppendIpv6At(std::string& out, ByteReader& r, size_t offset);
// label, then the IPv6 address at `offset` of `r`, then a line end, when all 16 bytes were
// received; otherwise nothing, with the reader marked truncated.
bool AppendIpv6Line(std::string& out, std::string_view label, ByteReader& r, size_t offset);
// label, value, end: one report line.
void AppendNumberLine(std::string& out, std::string_view label, int64_t value,
                      std::string_view end = kLineEnd);

// A field when it was received, otherwise nothing, with the reader marked truncated.
std::optional<uint8_t> ReadU8(ByteReader& r, size_t offset);
std::optional<uint16_t> ReadBe16(ByteReader& r, size_t offset);
std::optional<uint32_t> ReadBe32(ByteReader& r, size_t offset);

// The bytes of `r` from `offset` on; empty when `offset` lies past its end.
ByteReader Tail(const ByteReader& r, size_t offset);
// At most `count` bytes of `r` from `offset` on (fewer when fewer were received).
ByteReader Slice(const ByteReader& r, size_t offset, size_t count);

// A byte from the packet in a line's text: printable ASCII but the backslash as it is, any other
// byte as \DDD (RFC 1035 presentation), so no CR, LF or NUL of the packet ends a line.
void AppendEscapedByte(std::string& out, uint8_t byte);
// `count` bytes of `r` from `offset` escaped, or nothing, with `r` marked, when they were
// not all received.
bool AppendEscaped(std::string& out, ByteReader& r, size_t offset, size_t count);
// `count` bytes of `r` from `offset` as two lowercase hex digits each, `separator` between
// them; nothing, with `r` marked, when they were not all received.
bool AppendHexBytes(std::string& out, ByteReader& r, size_t offset, size_t count, std::string_view separator = "");
// "name = ", or "option N = " for an option that no table names.
void AppendOptionLabel(std::string& out, const char* name, uint16_t code);
// "0x" and four hexadecimal digits: the form TLS versions and cipher suites are known by.
void AppendHex16(std::string& out, uint16_t value);

}  // namespace trovix
