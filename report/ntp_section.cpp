// NTP section of the packet report (RFC 5905 packet header; SNTP's era rule of RFC 4330
// section 3): leap, version, mode, stratum, the intervals and the four timestamps in UTC.
#include <array>
#include <charconv>
#include <ctime>

#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr size_t kHeader = 48;
constexpr uint8_t kControlMode = 6;
constexpr int64_t kUnixEpochInNtpSeconds = 2208988800;  // 1900-01-01 to 1970-01-01

constexpr std::array<const char*, 8> kModeNames = {
    "reserved", "symmetric active", "symmetric passive", "client", "server", "broadcast", "control", "private"};
constexpr std::array<const char*, 4> kLeapNames = {"no warning", "last minute has 61 seconds",
                                                   "last minute has 59 seconds", "clock not synchronized"};

// Seconds to six decimals, from a fixed-point field of `fractionBits` bits.
void AppendSeconds(std::string& out, int64_t fixed, int fractionBits) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, static_cast<double>(fixed) / static_cast<double>(int64_t{1} << fractionBits),
                              std::chars_format::fixed, 6);
  out.append(text, result.ptr);
  out += " s";
}

// A timestamp as a UTC date to the microsecond; one whose top bit is clear lies after
// 2036 (the next era), as RFC 4330 reads it, so that today's clocks read right.
void AppendTimestamp(std::string& out, const char* label, uint32_t seconds, uint32_t fraction) {
  out += label;
  if (seconds == 0 && fraction == 0) {
    out += "0\r\n";
    return;
  }
  int64_t ntp = seconds + ((seconds & 0x80000000u) != 0 ? 0 : int64_t{1} << 32);
  std::time_t unix = static_cast<std::time_t>(ntp - kUnixEpochInNtpSeconds);
  std::tm utc{};
  gmtime_r(&unix, &utc);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  out.append(text, n);
  uint64_t micros = (static_cast<uint64_t>(fraction) * 1000000) >> 32;
  char digits[8];
  auto result = std::to_chars(digits, digits + sizeof digits, micros + 1000000);
  out += '.';
  out.append(digits + 1, result.ptr);
  out += " UTC\r\n";
}

// A stratum 0 or 1 server names its source in four ASCII characters; above that the id
// is the address of the server it follows.
void AppendReference(std::string& out, ByteReader& p, uint8_t stratum) {
  out += "reference id = ";
  if (stratum <= 1) {
    for (size_t k = 0; k < 4 && p.U8(12 + k) != 0; ++k) AppendEscapedByte(out, p.U8(12 + k));
  } else {
    AppendIpv4(out, p.Be32(12));
  }
  out += kLineEnd;
}

}  // namespace

const char* NtpModeName(uint8_t mode) { return kModeNames[mode & 7]; }

bool ReadNtpHeader(ByteReader payload, NtpReading& out) {
  auto first = ReadU8(payload, 0);
  if (!first) return false;
  out.version = (*first >> 3) & 7;
  out.mode = *first & 7;
  return true;
}

bool AppendNtpFields(std::string& out, ByteReader payload, bool) {
  NtpReading header;
  if (!ReadNtpHeader(payload, header)) return true;
  uint8_t first = payload.U8(0);
  unsigned mode = header.mode;
  AppendNumberLine(out, "leap indicator = ", first >> 6, " (");
  out += kLeapNames[first >> 6];
  out += ")\r\n";
  AppendNumberLine(out, "version = ", header.version);
  AppendNumberLine(out, "mode = ", mode, " (");
  out += NtpModeName(header.mode);
  out += ")\r\n";
  // Control and private messages have layouts of their own.
  if (mode >= kControlMode) return false;
  if (!payload.Need(0, kHeader)) return true;
  uint8_t stratum = payload.U8(1);
  AppendNumberLine(out, "stratum = ", stratum);
  AppendNumberLine(out, "poll = ", static_cast<int8_t>(payload.U8(2)));
  AppendNumberLine(out, "precision = ", static_cast<int8_t>(payload.U8(3)));
  out += "root delay = ";
  AppendSeconds(out, payload.Be32(4), 16);
  out += "\r\nroot dispersion = ";
  AppendSeconds(out, payload.Be32(8), 16);
  out += kLineEnd;
  AppendReference(out, payload, stratum);
  static constexpr std::array<const char*, 4> kStamps = {"reference time = ", "origin time = ", "receive time = ",
                                                         "transmit time = "};
  for (size_t k = 0; k < kStamps.size(); ++k) {
    AppendTimestamp(out, kStamps[k], payload.Be32(16 + 8 * k), payload.Be32(20 + 8 * k));
  }
  return false;
}

}  // namespace trovix
