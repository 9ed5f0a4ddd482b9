// Datagrams written byte by byte for the report's tests: IPv4 and IPv6 headers, UDP and
// TCP, DNS names and records, TLS records, DHCP and NTP messages.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "tests/report_test_support.h"

namespace trovix::test {

inline Bytes Hex(std::string_view text) {
  Bytes bytes;
  for (size_t k = 0; k + 1 < text.size();) {
    if (text[k] == ' ') {
      ++k;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(k, 2)), nullptr, 16)));
    k += 2;
  }
  return bytes;
}

inline Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes Address(const char* text) {
  Bytes a(16);
  inet_pton(AF_INET6, text, a.data());
  return a;
}

// A fixed IPv6 header whose payload length counts `rest`.
inline Bytes V6(uint8_t next, const Bytes& rest, const char* src = "2001:db8::1", const char* dst = "2001:db8::2",
         std::string_view firstWord = "60 00 00 00") {
  Bytes d = Concat(Hex(firstWord), {static_cast<uint8_t>(rest.size() >> 8), static_cast<uint8_t>(rest.size()), next, 64});
  return Concat(Concat(Concat(d, Address(src)), Address(dst)), rest);
}

// The quoted start of a datagram from 2001:db8::1 to 2001:db8::2.
inline Bytes Quoted(uint8_t next, std::string_view upper) { return V6(next, Hex(upper)); }

template <typename... Parts>
inline Bytes Cat(const Parts&... parts) {
  Bytes all;
  (all.insert(all.end(), parts.begin(), parts.end()), ...);
  return all;
}

inline Bytes U16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline Bytes U32(uint32_t v) { return Cat(U16(static_cast<uint16_t>(v >> 16)), U16(static_cast<uint16_t>(v))); }

// An IPv4 header (DSCP 46, ECN 1, identification 4660, don't fragment, TTL 64, checksum
// 0xbeef) from 198.18.0.1 to 198.18.0.2 with `options`, then `rest`.
inline Bytes V4(uint8_t protocol, const Bytes& rest, const Bytes& options = {}, uint16_t fragment = 0x4000) {
  size_t header = 20 + options.size();
  Bytes h = Cat(Bytes{static_cast<uint8_t>(0x40 | header / 4), 0xB9}, U16(static_cast<uint16_t>(header + rest.size())),
                U16(0x1234), U16(fragment), Bytes{64, protocol, 0xBE, 0xEF, 198, 18, 0, 1, 198, 18, 0, 2});
  return Cat(h, options, rest);
}

// `datagram` (from V4) with other addresses.
inline Bytes Readdressed(Bytes datagram, const char* src, const char* dst) {
  inet_pton(AF_INET, src, &datagram[12]);
  inet_pton(AF_INET, dst, &datagram[16]);
  return datagram;
}

inline Bytes Udp(uint16_t source, uint16_t destination, const Bytes& payload) {
  return Cat(U16(source), U16(destination), U16(static_cast<uint16_t>(8 + payload.size())), U16(0), payload);
}

inline Bytes Tcp(uint16_t source, uint16_t destination, const Bytes& payload) {
  return Cat(U16(source), U16(destination), Hex("00 00 00 01 00 00 00 01 50 18 ff ff 00 00 00 00"), payload);
}

// A DNS name in wire form, without compression.
inline Bytes Name(std::string_view dotted) {
  Bytes wire;
  while (!dotted.empty()) {
    size_t dot = std::min(dotted.find('.'), dotted.size());
    wire.push_back(static_cast<uint8_t>(dot));
    wire.insert(wire.end(), dotted.begin(), dotted.begin() + static_cast<long>(dot));
    dotted.remove_prefix(std::min(dot + 1, dotted.size()));
  }
  wire.push_back(0);
  return wire;
}

inline Bytes Dns(uint16_t flags, std::array<uint16_t, 4> counts, const Bytes& records) {
  return Cat(U16(0x1234), U16(flags), U16(counts[0]), U16(counts[1]), U16(counts[2]), U16(counts[3]), records);
}

inline Bytes Question(const Bytes& name, uint16_t type, uint16_t klass = 1) { return Cat(name, U16(type), U16(klass)); }

inline Bytes Rr(const Bytes& owner, uint16_t type, const Bytes& data, uint16_t klass = 1, uint32_t ttl = 300) {
  return Cat(owner, U16(type), U16(klass), U32(ttl), U16(static_cast<uint16_t>(data.size())), data);
}

// A pointer to offset 12, where the first question's name begins.
inline const Bytes kToQuestion = Hex("c0 0c");

// TLS: a record, a handshake message, an extension.
inline Bytes Record(uint8_t type, const Bytes& body, uint16_t version = 0x0303) {
  return Cat(Bytes{type}, U16(version), U16(static_cast<uint16_t>(body.size())), body);
}
inline Bytes Handshake(uint8_t type, const Bytes& body) {
  return Cat(Bytes{type, 0}, U16(static_cast<uint16_t>(body.size())), body);
}
inline Bytes Extension(uint16_t type, const Bytes& data) { return Cat(U16(type), U16(static_cast<uint16_t>(data.size())), data); }
inline Bytes Vector16(const Bytes& items) { return Cat(U16(static_cast<uint16_t>(items.size())), items); }

inline Bytes ClientHello(std::string_view serverName = "example.org") {
  Bytes suites = Hex("0a 0a 13 01 13 02 13 03 c0 2b c0 2f c0 2c c0 30 cc a9 cc a8 c0 13 c0 14 00 9c 00 9d 00 2f 00 35");
  Bytes extensions = Cat(Extension(0x0a0a, {}), Extension(0, Vector16(Cat(Bytes{0}, U16(static_cast<uint16_t>(serverName.size())), Text(serverName)))),
                         Extension(16, Vector16(Hex("02 68 32 08 68 74 74 70 2f 31 2e 31"))),
                         Extension(43, Hex("06 1a 1a 03 04 03 03")), Extension(51, Vector16(Bytes(6, 0x11))));
  Bytes body = Cat(U16(0x0303), Bytes(32, 0xAB), Bytes{32}, Bytes(32, 0xCD), Vector16(suites), Hex("01 00"),
                   Vector16(extensions));
  return Record(22, Handshake(1, body), 0x0301);
}

// A BOOTP message from client hardware address 52:54:00:12:34:56, the magic cookie, then
// `options`.
inline Bytes Dhcp(uint8_t op, const char* fixed, const Bytes& options, bool cookie = true) {
  Bytes m = Cat(Bytes{op, 1, 6, 0}, Hex(fixed), Hex("52 54 00 12 34 56"), Bytes(10 + 64 + 128, 0));
  return Cat(m, cookie ? Hex("63 82 53 63") : Bytes{}, options);
}

// An NTP header, the reference, origin and receive times (seconds and fraction each), and
// a transmit time half a second past `transmit`.
inline Bytes Ntp(const char* header, std::array<uint32_t, 6> stamps, uint32_t transmit) {
  Bytes m = Hex(header);
  for (uint32_t word : stamps) m = Cat(m, U32(word));
  return Cat(m, U32(transmit), U32(0x80000000));
}

}  // namespace trovix::test
