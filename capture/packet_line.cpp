// Hand-written decimal formatting: the capture path formats a line per packet and
// printf-family calls would cost more than the rest of the accept path.
#include "capture/packet_line.h"

#include <cstring>

#include "capture/byte_reader.h"

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

const char* ProtocolWord(uint8_t protocol) noexcept {
  switch (protocol) {
    case 1: return "icmp";
    case 2: return "igmp";
    case 6: return "tcp";
    case 17: return "udp";
    case 255: return "raw";
    default: return nullptr;
  }
}

bool ReadDatagramFields(const uint8_t* datagram, size_t length, DatagramFields& out) noexcept {
  if (length < 20) return false;
  ByteReader r(datagram, length);
  FormatIpv4(r.Ipv4(12), out.src);
  FormatIpv4(r.Ipv4(16), out.dst);
  out.protocol = r.U8(9);
  out.totalLength = r.Be16(2);
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
  p = PutText(p, f.src);
  *p++ = '\t';
  p = PutUnsigned(p, f.sport);
  *p++ = '\t';
  p = PutText(p, f.dst);
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
  if (!ReadDatagramFields(datagram, length, fields) || !fields.portsValid ||
      ProtocolWord(fields.protocol) == nullptr || index > 9999) {
    return 0;
  }
  return FormatPacketLine(index, fields, out);
}

}  // namespace trovix
