// DHCPv6 section of the packet report (RFC 8415 messages and options; DNS servers of
// RFC 3646): message type, transaction or relay addresses, then each option by name, those
// an identity association holds indented under it.
#include <array>

#include "report/name_tables.h"
#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr uint8_t kRelayForward = 12;
constexpr uint8_t kRelayReply = 13;
constexpr size_t kRelayHeader = 34;
constexpr size_t kMaxDepth = 4;  // identity associations hold addresses, which hold a status

enum class Form { kHex, kAddresses, kCodes, kElapsed, kNumber8, kStatus, kAssociation, kTemporary, kAddress,
                  kPrefix, kFlag, kBytes };

struct OptionName {
  uint16_t code;
  const char* name;
  Form form;
};

constexpr std::array<OptionName, 18> kOptions = {{
    {1, "client identifier", Form::kHex},
    {2, "server identifier", Form::kHex},
    {3, "IA_NA", Form::kAssociation},
    {4, "IA_TA", Form::kTemporary},
    {5, "IA address", Form::kAddress},
    {6, "option request", Form::kCodes},
    {7, "preference", Form::kNumber8},
    {8, "elapsed time", Form::kElapsed},
    {9, "relay message", Form::kBytes},
    {13, "status code", Form::kStatus},
    {14, "rapid commit", Form::kFlag},
    {16, "vendor class", Form::kBytes},
    {17, "vendor options", Form::kBytes},
    {18, "interface id", Form::kHex},
    {23, "DNS servers", Form::kAddresses},
    {24, "domain search list", Form::kBytes},
    {25, "IA_PD", Form::kAssociation},
    {26, "IA prefix", Form::kPrefix},
}};

constexpr std::array<const char*, 14> kMessageTypes = {
    nullptr, "Solicit", "Advertise", "Request", "Confirm", "Renew", "Rebind", "Reply",
    "Release", "Decline", "Reconfigure", "Information-request", "Relay-forw", "Relay-repl"};

bool AppendOptions(std::string& out, ByteReader& m, size_t at, size_t end, size_t depth);

// "IAID n, T1 n s, T2 n s" and the options inside, a level deeper.
bool AppendAssociation(std::string& out, ByteReader& m, size_t at, size_t end, size_t depth, bool times) {
  size_t fixed = times ? 12 : 4;
  if (end - at < fixed) return false;
  AppendNumberLine(out, "IAID ", m.Be32(at), "");
  if (times) {
    AppendNumberLine(out, ", T1 ", m.Be32(at + 4), " s");
    AppendNumberLine(out, ", T2 ", m.Be32(at + 8), " s");
  }
  out += kLineEnd;
  AppendOptions(out, m, at + fixed, end, depth + 1);
  return true;
}

// An address or a prefix with its lifetimes, then what it holds (a status code).
bool AppendLease(std::string& out, ByteReader& m, size_t at, size_t end, size_t depth, bool prefix) {
  size_t fixed = prefix ? 25 : 24;
  if (end - at < fixed) return false;
  size_t address = prefix ? at + 9 : at;
  size_t lifetimes = prefix ? at : at + 16;
  AppendIpv6At(out, m, address);
  if (prefix) AppendNumberLine(out, "/", m.U8(at + 8), "");
  AppendNumberLine(out, ", preferred ", m.Be32(lifetimes), " s");
  AppendNumberLine(out, ", valid ", m.Be32(lifetimes + 4), " s");
  out += kLineEnd;
  AppendOptions(out, m, at + fixed, end, depth + 1);
  return true;
}

// The value of one option; false when it lacks the form its option has. The forms that
// hold options end their own line.
bool AppendValue(std::string& out, ByteReader& m, Form form, size_t at, size_t end, size_t depth) {
  size_t length = end - at;
  switch (form) {
    case Form::kHex: AppendHexBytes(out, m, at, length); break;
    case Form::kAddresses:
      if (length == 0 || length % 16 != 0) return false;
      for (size_t k = 0; k < length; k += 16) {
        if (k != 0) out += ',';
        AppendIpv6At(out, m, at + k);
      }
      break;
    case Form::kCodes:
      if (length % 2 != 0) return false;
      for (size_t k = 0; k < length; k += 2) {
        if (k != 0) out += ',';
        AppendDecimal(out, m.Be16(at + k));
      }
      break;
    case Form::kElapsed:
      if (length != 2) return false;
      AppendNumberLine(out, "", m.Be16(at) * 10, " ms");
      break;
    case Form::kNumber8:
      if (length != 1) return false;
      AppendDecimal(out, m.U8(at));
      break;
    case Form::kStatus:
      if (length < 2) return false;
      AppendNumberLine(out, "", m.Be16(at), " ");
      AppendEscaped(out, m, at + 2, length - 2);
      break;
    case Form::kFlag:
      if (length != 0) return false;
      out += "yes";
      break;
    case Form::kAssociation: return AppendAssociation(out, m, at, end, depth, true);
    case Form::kTemporary: return AppendAssociation(out, m, at, end, depth, false);
    case Form::kAddress: return AppendLease(out, m, at, end, depth, false);
    case Form::kPrefix: return AppendLease(out, m, at, end, depth, true);
    case Form::kBytes: AppendNumberLine(out, "(", static_cast<int64_t>(length), " bytes)"); break;
  }
  out += kLineEnd;
  return true;
}

// Options in [at, end), each line indented by its depth. At the top `end` is the end of
// what was received, so an option past it is cut (false), not invalid.
bool AppendOptions(std::string& out, ByteReader& m, size_t at, size_t end, size_t depth) {
  while (at < end) {
    uint16_t code = m.Be16(at);
    size_t length = m.Be16(at + 2);
    bool past = at + 4 > end || at + 4 + length > end;
    if (past && depth == 0) return false;
    out.append(2 * depth, ' ');
    if (past || depth >= kMaxDepth) {
      AppendNumberLine(out, "invalid option ", code);
      return true;
    }
    const OptionName* option = FindCode(kOptions, code);
    AppendOptionLabel(out, option != nullptr ? option->name : nullptr, code);
    size_t valueStart = out.size();
    if (!AppendValue(out, m, option != nullptr ? option->form : Form::kBytes, at + 4, at + 4 + length, depth)) {
      out.resize(valueStart);
      AppendNumberLine(out, "invalid (", static_cast<int64_t>(length), " bytes)\r\n");
    }
    at += 4 + length;
  }
  return true;
}

}  // namespace

const char* Dhcpv6MessageTypeName(uint8_t type) { return type < kMessageTypes.size() ? kMessageTypes[type] : nullptr; }

bool AppendDhcpv6Fields(std::string& out, ByteReader payload, bool) {
  auto type = ReadU8(payload, 0);
  if (!type) return true;
  AppendNumberLine(out, "message type = ", *type, "");
  if (const char* name = Dhcpv6MessageTypeName(*type)) {
    out += " (";
    out += name;
    out += ')';
  }
  out += kLineEnd;
  size_t options = 4;
  if (*type == kRelayForward || *type == kRelayReply) {
    if (auto hops = ReadU8(payload, 1)) AppendNumberLine(out, "hop count = ", *hops);
    AppendIpv6Line(out, "link address = ", payload, 2);
    AppendIpv6Line(out, "peer address = ", payload, 18);
    options = kRelayHeader;
  } else if (payload.Need(0, 4)) {
    AppendNumberLine(out, "transaction id = ", payload.Be32(0) & 0xFFFFFF);
  }
  if (payload.truncated()) return true;
  return !AppendOptions(out, payload, options, payload.size(), 0);
}

}  // namespace trovix
