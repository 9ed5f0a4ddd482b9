// DHCP section of the packet report (RFC 2131 message, RFC 2132 options; BOOTP of RFC 951
// without the magic cookie): operation, addresses, the client's hardware address, then
// each option by name with its value.
#include <array>
#include <span>

#include "report/name_tables.h"
#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr size_t kOptionsStart = 240;  // the fixed message and the magic cookie
constexpr uint32_t kMagicCookie = 0x63825363;
constexpr uint8_t kPad = 0;
constexpr uint8_t kEnd = 255;
constexpr uint8_t kMessageType = 53;
constexpr uint8_t kHostName = 12;
constexpr uint8_t kRequestedAddress = 50;

enum class Value { kAddresses, kSeconds, kText, kMessageType, kCodes, kNumber16, kBytes };

struct OptionName {
  uint8_t code;
  const char* name;
  Value value;
};

constexpr std::array<OptionName, 22> kOptions = {{
    {1, "subnet mask", Value::kAddresses},
    {3, "router", Value::kAddresses},
    {6, "domain name server", Value::kAddresses},
    {12, "host name", Value::kText},
    {15, "domain name", Value::kText},
    {28, "broadcast address", Value::kAddresses},
    {42, "NTP servers", Value::kAddresses},
    {43, "vendor specific", Value::kBytes},
    {50, "requested address", Value::kAddresses},
    {51, "lease time", Value::kSeconds},
    {kMessageType, "message type", Value::kMessageType},
    {54, "server identifier", Value::kAddresses},
    {55, "parameter request list", Value::kCodes},
    {56, "message", Value::kText},
    {57, "maximum message size", Value::kNumber16},
    {58, "renewal time", Value::kSeconds},
    {59, "rebinding time", Value::kSeconds},
    {60, "vendor class identifier", Value::kText},
    {61, "client identifier", Value::kBytes},
    {81, "client FQDN", Value::kBytes},
    {119, "domain search", Value::kBytes},
    {121, "classless static route", Value::kBytes},
}};

// Message types 1 to 18 (RFC 2132 section 9.6, RFC 3203, RFC 4388, RFC 6926).
constexpr std::array<const char*, 19> kMessageTypes = {
    nullptr,         "Discover",     "Offer",       "Request",          "Decline",
    "Ack",           "Nak",          "Release",     "Inform",           "Force Renew",
    "Lease Query",   "Lease Unassigned", "Lease Unknown", "Lease Active", "Bulk Lease Query",
    "Lease Query Done", "Active Lease Query", "Lease Query Status", "TLS"};

void AppendAddressLine(std::string& out, const char* label, ByteReader& m, size_t at) {
  if (auto v = ReadBe32(m, at)) {
    out += label;
    AppendIpv4(out, *v);
    out += kLineEnd;
  }
}

// The hardware address in colon-separated hex, for as many bytes as its length gives.
void AppendHardwareAddress(std::string& out, ByteReader& m) {
  size_t length = m.U8(2);
  if (length == 0 || length > 16 || !m.Has(28, length)) return;
  out += "client hardware address = ";
  AppendHexBytes(out, m, 28, length, ":");
  out += kLineEnd;
}

// False when the value does not have the form its option has.
bool AppendValue(std::string& out, ByteReader& m, Value value, size_t at, size_t length) {
  switch (value) {
    case Value::kAddresses:
      if (length == 0 || length % 4 != 0) return false;
      for (size_t k = 0; k < length; k += 4) {
        if (k != 0) out += ',';
        AppendIpv4(out, m.Be32(at + k));
      }
      return true;
    case Value::kSeconds:
      if (length != 4) return false;
      AppendNumberLine(out, "", m.Be32(at), " s");
      return true;
    case Value::kNumber16:
      if (length != 2) return false;
      AppendDecimal(out, m.Be16(at));
      return true;
    case Value::kText: return AppendEscaped(out, m, at, length);
    case Value::kMessageType: {
      if (length != 1) return false;
      uint8_t type = m.U8(at);
      AppendDecimal(out, type);
      if (const char* name = DhcpMessageTypeName(type)) {
        out += " (";
        out += name;
        out += ')';
      }
      return true;
    }
    case Value::kCodes:
      for (size_t k = 0; k < length; ++k) {
        if (k != 0) out += ',';
        AppendDecimal(out, m.U8(at + k));
      }
      return true;
    case Value::kBytes: break;
  }
  AppendNumberLine(out, "(", static_cast<int64_t>(length), " bytes)");
  return true;
}

// Calls each(code, at, length) for every option up to End. A length past the message's
// end is a cut packet.
template <typename Each>
void WalkOptions(ByteReader& m, Each&& each) {
  size_t at = kOptionsStart;
  while (at < m.size()) {
    uint8_t code = m.U8(at);
    if (code == kPad) {
      ++at;
      continue;
    }
    if (code == kEnd) return;
    auto length = ReadU8(m, at + 1);
    if (!length || !m.Need(at + 2, *length)) return;
    each(code, at + 2, static_cast<size_t>(*length));
    at += 2u + *length;
  }
}

// One line per option.
void AppendOptions(std::string& out, ByteReader& m) {
  WalkOptions(m, [&](uint8_t code, size_t at, size_t length) {
    const OptionName* option = FindCode(kOptions, code);
    AppendOptionLabel(out, option != nullptr ? option->name : nullptr, code);
    size_t valueStart = out.size();
    if (!AppendValue(out, m, option != nullptr ? option->value : Value::kBytes, at, length)) {
      out.resize(valueStart);
      AppendNumberLine(out, "invalid (", static_cast<int64_t>(length), " bytes)");
    }
    out += kLineEnd;
  });
}

bool HasCookie(ByteReader& m) { return m.Has(0, kOptionsStart) && m.Be32(kOptionsStart - 4) == kMagicCookie; }

}  // namespace

const char* DhcpMessageTypeName(uint8_t type) { return type < kMessageTypes.size() ? kMessageTypes[type] : nullptr; }

bool ReadDhcpMessage(ByteReader payload, DhcpReading& out) {
  out.hostName.clear();
  out.messageType = 0;
  out.requestedAddress = 0;
  if (!HasCookie(payload)) return false;
  out.operation = payload.U8(0);
  out.clientAddress = payload.Be32(12);
  out.yourAddress = payload.Be32(16);
  WalkOptions(payload, [&](uint8_t code, size_t at, size_t length) {
    if (code == kMessageType && length == 1) out.messageType = payload.U8(at);
    if (code == kHostName && out.hostName.empty()) AppendEscaped(out.hostName, payload, at, length);
    if (code == kRequestedAddress && length == 4) out.requestedAddress = payload.Be32(at);
  });
  return true;
}

bool AppendDhcpFields(std::string& out, ByteReader payload, bool) {
  if (auto op = ReadU8(payload, 0)) {
    AppendNumberLine(out, "operation = ", *op, *op == 1 ? " (request)\r\n" : *op == 2 ? " (reply)\r\n" : "\r\n");
  }
  if (auto v = ReadU8(payload, 1)) AppendNumberLine(out, "hardware type = ", *v);
  if (auto v = ReadU8(payload, 3)) AppendNumberLine(out, "hops = ", *v);
  if (auto v = ReadBe32(payload, 4)) AppendNumberLine(out, "transaction id = ", *v);
  if (auto v = ReadBe16(payload, 8)) AppendNumberLine(out, "seconds = ", *v);
  if (auto v = ReadBe16(payload, 10)) AppendNumberLine(out, "flags = ", *v, (*v & 0x8000) != 0 ? " (broadcast)\r\n" : "\r\n");
  AppendAddressLine(out, "client address = ", payload, 12);
  AppendAddressLine(out, "your address = ", payload, 16);
  AppendAddressLine(out, "server address = ", payload, 20);
  AppendAddressLine(out, "relay address = ", payload, 24);
  AppendHardwareAddress(out, payload);
  // The server name and boot file fields come before the cookie; they are not shown.
  if (!payload.Need(0, kOptionsStart)) return true;
  if (!HasCookie(payload)) {
    out += "no magic cookie: BOOTP\r\n";
    return false;
  }
  AppendOptions(out, payload);
  return payload.truncated();
}

}  // namespace trovix
