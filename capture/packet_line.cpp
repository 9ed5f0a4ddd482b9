// Hand-written decimal and hex formatting: the capture path formats a line per packet and
// printf-family calls (inet_ntop's among them) would cost more than the rest of the accept
// path.
#include "capture/packet_line.h"

#include <bit>
#include <cstring>

#include "capture/byte_reader.h"
#include "capture/ipv6_extensions.h"

namespace trovix {
namespace {

char* PutUnsigned(char* out, uint32_t value) noexcept {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

char* PutText(char* out, const char* text) noexcept {
  while (*text != '\0') *out++ = *text++;
  return out;
}

// An address text, copied whole: a character at a time cost more than formatting it for
// an IPv6 address of 39 characters.
char* PutAddress(char* out, const char* text) noexcept {
  size_t n = strnlen(text, kAddressTextSize - 1);
  std::memcpy(out, text, n);
  return out + n;
}

// Decimal text of every byte value: every received datagram has two addresses to format.
struct ByteTexts {
  char text[256][4];
  uint8_t length[256];
  constexpr ByteTexts() : text(), length() {
    for (int v = 0; v < 256; ++v) {
      int n = 0;
      if (v >= 100) text[v][n++] = static_cast<char>('0' + v / 100);
      if (v >= 10) text[v][n++] = static_cast<char>('0' + v / 10 % 10);
      text[v][n++] = static_cast<char>('0' + v % 10);
      length[v] = static_cast<uint8_t>(n);
    }
  }
};
constexpr ByteTexts kByteTexts;

}  // namespace

size_t FormatIpv4(uint32_t address, char* out) noexcept {
  char* p = out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint8_t part = static_cast<uint8_t>(address >> shift);
    std::memcpy(p, kByteTexts.text[part], 4);
    p += kByteTexts.length[part];
    *p++ = '.';
  }
  *--p = '\0';
  return static_cast<size_t>(p - out);
}

namespace {

// For each set of zero groups (bit i for group i), the first of its longest runs of two or
// more, which becomes "::": one look-up in place of a scan per address.
struct ZeroRuns {
  int8_t start[256];
  int8_t length[256];
  constexpr ZeroRuns() : start(), length() {
    for (int set = 0; set < 256; ++set) {
      start[set] = -1;
      for (int i = 0; i < 8; ++i) {
        int j = i;
        while (j < 8 && (set >> j & 1) != 0) ++j;
        if (j - i >= 2 && j - i > length[set]) {
          start[set] = static_cast<int8_t>(i);
          length[set] = static_cast<int8_t>(j - i);
        }
      }
    }
  }
};
constexpr ZeroRuns kZeroRuns;

// Two hex digits of every byte value, and its digits without leading zeros (one or two).
struct HexDigits {
  char pair[256][2];
  char lead[256][2];
  uint8_t leadLength[256];
  constexpr HexDigits() : pair(), lead(), leadLength() {
    for (int v = 0; v < 256; ++v) {
      pair[v][0] = "0123456789abcdef"[v >> 4];
      pair[v][1] = "0123456789abcdef"[v & 0xF];
      leadLength[v] = v >= 0x10 ? 2 : 1;
      lead[v][0] = pair[v][2 - leadLength[v]];
      lead[v][1] = leadLength[v] == 2 ? pair[v][1] : '\0';
    }
  }
};
constexpr HexDigits kHex;

// A group's hex digits without leading zeros: those of its leading byte, then both of the
// low byte unless the high one is zero. Up to two characters past them are scratch.
char* PutHexGroup(char* out, uint8_t high, uint8_t low) noexcept {
  uint8_t lead = high != 0 ? high : low;
  std::memcpy(out, kHex.lead[lead], 2);
  out += kHex.leadLength[lead];
  std::memcpy(out, kHex.pair[low], 2);
  return out + (high != 0 ? 2 : 0);
}

// Bit k set when group k of the four in `half` (as loaded from memory) is zero. Testing a
// group at a time cost nearly half of the formatting's instructions.
unsigned ZeroGroups(const uint8_t* half) noexcept {
  constexpr uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFu;
  uint64_t x;
  std::memcpy(&x, half, 8);
  // The top bit of each 16-bit lane ends up set exactly when the lane is zero: the sum
  // cannot carry out of a lane.
  uint64_t tops = ~(((x & kLow15) + kLow15) | x | kLow15);
  // One multiplication moves the four lane bits (0, 16, 32, 48 after the shift) to bits
  // 60 to 63 in group order, with no other product bits meeting there.
  constexpr uint64_t kGather =
      std::endian::native == std::endian::little ? 0x1000200040008000u : 0x8000400020001000u;
  return static_cast<unsigned>(((tops >> 15) * kGather) >> 60);
}

}  // namespace

size_t FormatIpv6(const uint8_t* address, char* out) noexcept {
  unsigned zeros = ZeroGroups(address) | ZeroGroups(address + 8) << 4;
  int runStart = kZeroRuns.start[zeros], runLength = kZeroRuns.length[zeros];
  auto group = [address](int i) { return static_cast<uint16_t>(address[2 * i] << 8 | address[2 * i + 1]); };

  char* p = out;
  if (runStart == 0 && (runLength == 6 || (runLength == 5 && group(5) == 0xFFFF))) {
    p = PutText(p, runLength == 6 ? "::" : "::ffff:");
    uint32_t ipv4 = static_cast<uint32_t>(group(6)) << 16 | group(7);
    return static_cast<size_t>(p - out) + FormatIpv4(ipv4, p);
  }
  // The groups before the run, "::", the groups after it; without a run, all eight.
  auto putGroups = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      if (i != from) *p++ = ':';
      p = PutHexGroup(p, address[2 * i], address[2 * i + 1]);
    }
  };
  if (runStart < 0) {
    putGroups(0, 8);
  } else {
    putGroups(0, runStart);
    *p++ = ':';
    *p++ = ':';
    putGroups(runStart + runLength, 8);
  }
  *p = '\0';
  return static_cast<size_t>(p - out);
}

namespace {

bool ReadIpv6Fields(const uint8_t* datagram, size_t length, DatagramFields& out) noexcept {
  if (length < kIpv6HeaderSize) return false;
  ByteReader r(datagram, length);
  FormatIpv6(datagram + 8, out.src);
  FormatIpv6(datagram + 24, out.dst);
  out.ipv6 = true;
  out.totalLength = DatagramSize(datagram, length);
  out.ttl = r.U8(7);
  out.sport = out.dport = 0;
  out.portsValid = true;
  Ipv6UpperLayer upper = WalkIpv6Extensions(r, [](uint8_t, size_t, size_t) {});
  // Cut inside its headers: the upper layer is unknown.
  out.protocol = upper.complete ? upper.protocol : kRawProtocol;
  // A later fragment begins with payload bytes, which must not be read as ports.
  if ((out.protocol == 6 || out.protocol == 17) && upper.fragmentOffset == 0) {
    out.sport = r.Be16(upper.at);
    out.dport = r.Be16(upper.at + 2);
    out.portsValid = !r.truncated();
  }
  return true;
}

}  // namespace

uint32_t DatagramSize(const uint8_t* datagram, size_t length) noexcept {
  ByteReader r(datagram, length);
  auto received = static_cast<uint32_t>(length);
  if (IsIpv6Datagram(datagram, length)) {
    uint16_t payload = r.Be16(4);
    return payload != 0 ? static_cast<uint32_t>(kIpv6HeaderSize) + payload : received;
  }
  uint16_t total = r.Be16(2);
  return total != 0 ? total : received;
}

bool ReadDatagramFields(const uint8_t* datagram, size_t length, DatagramFields& out) noexcept {
  if (IsIpv6Datagram(datagram, length)) return ReadIpv6Fields(datagram, length, out);
  if (length < 20) return false;
  ByteReader r(datagram, length);
  out.ipv6 = false;
  FormatIpv4(r.Ipv4(12), out.src);
  FormatIpv4(r.Ipv4(16), out.dst);
  out.protocol = r.U8(9);
  out.totalLength = DatagramSize(datagram, length);
  out.ttl = r.U8(8);
  out.sport = out.dport = 0;
  out.portsValid = true;
  // A later fragment begins with payload bytes, which must not be read as ports.
  bool firstFragment = (r.Be16(6) & 0x1FFFu) == 0;
  if ((out.protocol == 6 || out.protocol == 17) && firstFragment) {
    size_t h = (r.U8(0) & 0x0Fu) * 4u;
    out.sport = r.Be16(h);
    out.dport = r.Be16(h + 2);
    out.portsValid = h >= 20 && !r.truncated();
  }
  return true;
}

size_t FormatPacketLine(uint32_t index, const DatagramFields& f, char* out) noexcept {
  char* p = out;
  *p++ = '\t';
  p = PutUnsigned(p, index);
  *p++ = '\t';
  p += FormatPacketColumns(f, p);
  return static_cast<size_t>(p - out);
}

size_t FormatPacketColumns(const DatagramFields& f, char* out) noexcept {
  char* p = out;
  p = PutText(p, ProtocolWord(f.protocol));
  *p++ = '\t';
  p = PutAddress(p, f.src);
  *p++ = '\t';
  p = PutUnsigned(p, f.sport);
  *p++ = '\t';
  p = PutAddress(p, f.dst);
  *p++ = '\t';
  p = PutUnsigned(p, f.dport);
  *p++ = '\t';
  p = PutUnsigned(p, f.totalLength);
  *p++ = '\t';
  p = PutUnsigned(p, f.ttl);
  *p = '\0';
  return static_cast<size_t>(p - out);
}

size_t FormatStoredPacketLine(uint32_t index, const uint8_t* datagram, size_t length,
                              char* out) noexcept {
  out[0] = '\0';
  DatagramFields fields;
  if (!ReadDatagramFields(datagram, length, fields) || !fields.portsValid || index > 9999) {
    return 0;
  }
  return FormatPacketLine(index, fields, out);
}

}  // namespace trovix
