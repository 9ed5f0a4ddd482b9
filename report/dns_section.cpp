// DNS section of the packet report (RFC 1035 message and names; AAAA of RFC 3596, SRV of
// RFC 2782, OPT of RFC 6891, SVCB and HTTPS of RFC 9460, the length before a message over
// TCP of RFC 7766). mDNS (RFC 6762) and LLMNR (RFC 4795) send the same message; mDNS gives
// the class's top bit a meaning of its own.
#include <array>
#include <optional>
#include <span>

#include "report/name_tables.h"
#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr size_t kHeader = 12;
constexpr size_t kMaxNameOctets = 255;  // RFC 1035 section 2.3.4, in wire form
constexpr uint16_t kTypeOpt = 41;

constexpr std::array<CodeName, 15> kTypeNames = {{
    {1, "A"},     {2, "NS"},    {5, "CNAME"}, {6, "SOA"},  {12, "PTR"}, {13, "HINFO"}, {15, "MX"},
    {16, "TXT"},  {28, "AAAA"}, {33, "SRV"},  {41, "OPT"}, {47, "NSEC"}, {64, "SVCB"}, {65, "HTTPS"},
    {255, "ANY"},
}};
constexpr std::array<CodeName, 4> kClassNames = {{{1, "IN"}, {3, "CH"}, {4, "HS"}, {255, "ANY"}}};
constexpr std::array<const char*, 11> kResponseCodeNames = {
    "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
    "YXDOMAIN", "YXRRSET", "NXRRSET", "NOTAUTH", "NOTZONE"};
constexpr std::array<const char*, 7> kOpcodeNames = {"QUERY", "IQUERY", "STATUS", nullptr, "NOTIFY", "UPDATE", "DSO"};
// The SVCB parameter keys, by number (RFC 9460 section 14.3.2).
constexpr std::array<const char*, 7> kSvcKeyNames = {"mandatory", "alpn", "no-default-alpn", "port",
                                                      "ipv4hint", "ech", "ipv6hint"};

// The name from `table`, else `prefix` and the number (RFC 3597's TYPE99, CLASS99).
void AppendNamed(std::string& out, std::span<const CodeName> table, uint16_t value, const char* prefix) {
  if (const char* name = CodeNameOf(table, value)) {
    out += name;
    return;
  }
  out += prefix;
  AppendDecimal(out, value);
}

enum class NameFault { kNone, kCut, kLoop, kTooLong, kLabelType };

struct NameEnd {
  NameFault fault;
  size_t end;  // after the name where it began (after its first pointer, if any)
};

// The caller has checked that the label's bytes were received. Runs of bytes that need no
// escape go in whole: most names are nothing but such runs.
void AppendLabel(std::string& out, ByteReader& m, size_t at, size_t length) {
  auto plain = [](uint8_t byte) { return byte > 0x20 && byte < 0x7F && byte != '\\' && byte != '.'; };
  for (size_t k = 0; k < length;) {
    size_t run = k;
    while (run < length && plain(m.U8(at + run))) ++run;
    if (run > k) {
      out.append(reinterpret_cast<const char*>(m.data() + at + k), run - k);
      k = run;
      continue;
    }
    uint8_t byte = m.U8(at + k++);
    if (byte == '.') {
      out += "\\.";
    } else {
      AppendEscapedByte(out, byte);
    }
  }
}

// The name at `at` with its pointers followed. Each pointer must lead before the part it
// was found in, so every jump goes back and a walk can never return to where it was: a
// pointer that does not is the loop it would start.
NameEnd AppendName(std::string& out, ByteReader& m, size_t at) {
  size_t end = 0;  // until the first pointer; no name begins at offset 0, inside the header
  size_t partStart = at;
  size_t octets = 1;  // the root's zero length
  bool labels = false;
  while (true) {
    auto length = ReadU8(m, at);
    if (!length) return {NameFault::kCut, 0};
    if ((*length & 0xC0) == 0xC0) {
      auto low = ReadU8(m, at + 1);
      if (!low) return {NameFault::kCut, 0};
      if (end == 0) end = at + 2;
      size_t target = static_cast<size_t>(*length & 0x3F) << 8 | *low;
      if (target >= partStart) return {NameFault::kLoop, 0};
      at = partStart = target;
      continue;
    }
    if ((*length & 0xC0) != 0) return {NameFault::kLabelType, 0};
    if (*length == 0) {
      if (!labels) out += "<root>";
      return {NameFault::kNone, end == 0 ? at + 1 : end};
    }
    octets += 1u + *length;
    if (octets > kMaxNameOctets) return {NameFault::kTooLong, 0};
    if (!m.Need(at + 1, *length)) return {NameFault::kCut, 0};
    if (labels) out += '.';
    AppendLabel(out, m, at + 1, *length);
    labels = true;
    at += 1u + *length;
  }
}

const char* FaultText(NameFault fault) {
  switch (fault) {
    case NameFault::kLoop: return "invalid name (compression loop)";
    case NameFault::kTooLong: return "invalid name (longer than 255 bytes)";
    case NameFault::kLabelType: return "invalid name (unknown label type)";
    case NameFault::kCut:
    case NameFault::kNone: break;
  }
  return "";
}

// A name inside record data: it must end inside that data, which `m` ends with.
bool AppendDataName(std::string& out, ByteReader m, size_t& at) {
  NameEnd name = AppendName(out, m, at);
  at = name.end;
  return name.fault == NameFault::kNone;
}

// "<character-string>"s (RFC 1035 section 3.3), quoted, with the quote escaped too.
bool AppendStrings(std::string& out, ByteReader& m, size_t at, size_t end, const char* separator) {
  const char* before = "";
  while (at < end) {
    size_t length = m.U8(at);
    if (at + 1 + length > end) return false;
    out += before;
    out += '"';
    for (size_t k = 0; k < length; ++k) {
      uint8_t byte = m.U8(at + 1 + k);
      if (byte == '"') out += '\\';
      AppendEscapedByte(out, byte);
    }
    out += '"';
    before = separator;
    at += 1 + length;
  }
  return true;
}

// The ALPN identifiers of an SVCB alpn value, comma-separated.
bool AppendAlpnValue(std::string& out, ByteReader& m, size_t at, size_t end) {
  const char* before = "";
  while (at < end) {
    size_t length = m.U8(at);
    if (length == 0 || at + 1 + length > end) return false;
    out += before;
    AppendEscaped(out, m, at + 1, length);
    before = ",";
    at += 1 + length;
  }
  return true;
}

bool AppendAddresses(std::string& out, ByteReader& m, size_t at, size_t end, size_t size) {
  if ((end - at) % size != 0 || at == end) return false;
  for (const char* before = ""; at < end; at += size, before = ",") {
    out += before;
    if (size == 4) {
      AppendIpv4(out, m.Be32(at));
    } else if (!AppendIpv6At(out, m, at)) {
      return false;
    }
  }
  return true;
}

// A key's name, or "key" and its number (RFC 9460 section 2.1).
void AppendSvcKey(std::string& out, uint16_t key) {
  if (key < kSvcKeyNames.size()) {
    out += kSvcKeyNames[key];
    return;
  }
  out += "key";
  AppendDecimal(out, key);
}

bool AppendSvcValue(std::string& out, ByteReader& m, uint16_t key, size_t at, size_t end) {
  switch (key) {
    case 0:
      if ((end - at) % 2 != 0) return false;
      for (const char* before = ""; at < end; at += 2, before = ",") {
        out += before;
        AppendSvcKey(out, m.Be16(at));
      }
      return true;
    case 1: return AppendAlpnValue(out, m, at, end);
    case 3:
      if (end - at != 2) return false;
      AppendDecimal(out, m.Be16(at));
      return true;
    case 4: return AppendAddresses(out, m, at, end, 4);
    case 6: return AppendAddresses(out, m, at, end, 16);
    default: AppendNumberLine(out, "(", static_cast<int64_t>(end - at), " bytes)"); return true;
  }
}

// SvcPriority, TargetName, then each SvcParam as key=value (RFC 9460 section 2.1).
bool AppendSvcb(std::string& out, ByteReader m, size_t at, size_t end) {
  AppendNumberLine(out, "", m.Be16(at), " ");
  at += 2;
  if (!AppendDataName(out, m, at)) return false;
  while (at < end) {
    if (at + 4 > end) return false;
    uint16_t key = m.Be16(at);
    size_t length = m.Be16(at + 2);
    at += 4;
    if (at + length > end) return false;
    out += ' ';
    AppendSvcKey(out, key);
    if (key != 2) {
      out += '=';
      if (!AppendSvcValue(out, m, key, at, at + length)) return false;
    } else if (length != 0) {
      return false;
    }
    at += length;
  }
  return true;
}

// A fixed part before a name (MX's preference, SRV's priority, weight and port).
bool AppendNumbersThenName(std::string& out, ByteReader m, size_t at, size_t end, size_t numbers) {
  if (at + 2 * numbers > end) return false;
  for (size_t k = 0; k < numbers; ++k) AppendNumberLine(out, "", m.Be16(at + 2 * k), " ");
  at += 2 * numbers;
  return AppendDataName(out, m, at) && at == end;
}

// SOA: two names, then serial, refresh, retry, expire and minimum.
bool AppendSoa(std::string& out, ByteReader m, size_t at, size_t end) {
  if (!AppendDataName(out, m, at)) return false;
  out += ' ';
  if (!AppendDataName(out, m, at) || at + 20 != end) return false;
  for (size_t k = 0; k < 5; ++k) AppendNumberLine(out, " ", m.Be32(at + 4 * k), "");
  return true;
}

// The record data in presentation form. `m` ends where the data ends, so a name that
// would run past it reads as cut, which is invalid here.
bool AppendData(std::string& out, ByteReader m, uint16_t type, size_t at) {
  size_t end = m.size();
  size_t length = end - at;
  switch (type) {
    case 1: return length == 4 && AppendAddresses(out, m, at, end, 4);
    case 28: return length == 16 && AppendAddresses(out, m, at, end, 16);
    case 2:
    case 5:
    case 12: return AppendDataName(out, m, at) && at == end;
    case 6: return AppendSoa(out, m, at, end);
    case 15: return AppendNumbersThenName(out, m, at, end, 1);
    case 33: return AppendNumbersThenName(out, m, at, end, 3);
    case 16: return AppendStrings(out, m, at, end, " ");
    case 64:
    case 65: return length >= 3 && AppendSvcb(out, m, at, end);
    default: AppendNumberLine(out, "(", static_cast<int64_t>(length), " bytes)"); return true;
  }
}

// mDNS's top class bit asks for a unicast answer in a question and flushes caches in a
// record; elsewhere it is part of the class number.
void AppendClass(std::string& out, uint16_t value, bool mdns, bool question) {
  bool top = mdns && (value & 0x8000) != 0;
  AppendNamed(out, kClassNames, top ? value & 0x7FFF : value, "CLASS");
  if (top) out += question ? " QU" : " cache-flush";
}

// OPT borrows the class for the payload size and the TTL for the extended code and flags.
void AppendOpt(std::string& out, uint16_t payloadSize, uint32_t ttl, uint16_t length) {
  AppendNumberLine(out, " OPT payload size ", payloadSize, "");
  AppendNumberLine(out, " extended rcode ", ttl >> 24, "");
  AppendNumberLine(out, " version ", (ttl >> 16) & 0xFF, "");
  AppendNumberLine(out, " flags ", ttl & 0xFFFF, "");
  if (length != 0) AppendNumberLine(out, " options (", length, " bytes)");
}

struct Message {
  ByteReader& m;
  bool mdns;
};

// The fixed fields after a question's or record's owner name.
struct RecordHead {
  uint16_t type = 0;
  uint16_t recordClass = 0;
  uint32_t ttl = 0;
  uint16_t length = 0;
  size_t data = 0;  // where the record data begins
};

// The owner name (appended to `owner`) and fixed fields of the question or record at `at`,
// which then moves past it. The printer and the reader of answers both walk with it.
NameFault ReadRecord(ByteReader& m, size_t& at, bool question, std::string& owner, RecordHead& head) {
  NameEnd name = AppendName(owner, m, at);
  if (name.fault != NameFault::kNone) return name.fault;
  at = name.end;
  auto type = ReadBe16(m, at);
  auto recordClass = ReadBe16(m, at + 2);
  auto ttl = question ? std::optional<uint32_t>(0) : ReadBe32(m, at + 4);
  auto length = question ? std::optional<uint16_t>(0) : ReadBe16(m, at + 8);
  head.data = at + (question ? 4 : 10);
  if (!type || !recordClass || !ttl || !length || !m.Need(head.data, *length)) return NameFault::kCut;
  head.type = *type;
  head.recordClass = *recordClass;
  head.ttl = *ttl;
  head.length = *length;
  at = head.data + *length;
  return NameFault::kNone;
}

// One question or record line. False to stop: its owner name is invalid, or it was not
// received whole (the reader then says so).
bool AppendRecord(std::string& out, Message msg, size_t& at, const char* label, bool question) {
  ByteReader& m = msg.m;
  size_t lineStart = out.size();
  out += label;
  RecordHead head;
  NameFault fault = ReadRecord(m, at, question, out, head);
  if (fault != NameFault::kNone) {
    out.resize(lineStart);
    if (fault == NameFault::kCut) return false;
    out += label;
    out += FaultText(fault);
    out += kLineEnd;
    return false;
  }
  if (question) {
    out += ' ';
    AppendClass(out, head.recordClass, msg.mdns, true);
    out += ' ';
    AppendNamed(out, kTypeNames, head.type, "TYPE");
  } else if (head.type == kTypeOpt) {
    AppendOpt(out, head.recordClass, head.ttl, head.length);
  } else {
    AppendNumberLine(out, " ", head.ttl, " ");
    AppendClass(out, head.recordClass, msg.mdns, false);
    out += ' ';
    AppendNamed(out, kTypeNames, head.type, "TYPE");
    out += ' ';
    size_t dataStart = out.size();
    if (!AppendData(out, Slice(m, 0, at), head.type, head.data)) {
      out.resize(dataStart);
      AppendNumberLine(out, "invalid data (", head.length, " bytes)");
    }
  }
  out += kLineEnd;
  return true;
}

void AppendFlags(std::string& out, uint16_t flags) {
  static constexpr struct {
    uint16_t bit;
    const char* name;
  } kBits[] = {{0x0400, "authoritative"},       {0x0200, "message truncated"}, {0x0100, "recursion desired"},
               {0x0080, "recursion available"}, {0x0020, "authentic data"},    {0x0010, "checking disabled"}};
  AppendNumberLine(out, "flags = ", flags, (flags & 0x8000) != 0 ? " (response, opcode " : " (query, opcode ");
  unsigned opcode = (flags >> 11) & 0xF;
  if (const char* name = NameOr(kOpcodeNames, opcode, nullptr)) {
    out += name;
  } else {
    AppendDecimal(out, opcode);
  }
  for (const auto& bit : kBits) {
    if ((flags & bit.bit) == 0) continue;
    out += ", ";
    out += bit.name;
  }
  out += ")\r\n";
  AppendNumberLine(out, "response code = ", flags & 0xF, " (");
  out += NameOr(kResponseCodeNames, flags & 0xF, "unassigned");
  out += ")\r\n";
}

// The message a DNS payload holds: over TCP after its two-byte length (RFC 7766), cut to it.
ByteReader MessageOf(ByteReader payload, bool overTcp) {
  return overTcp ? Slice(payload, 2, payload.Be16(0)) : payload;
}

// True when the message, as its own header counts it, was not all received.
bool AppendMessage(std::string& out, ByteReader m, bool mdns) {
  if (auto v = ReadBe16(m, 0)) AppendNumberLine(out, "identifier = ", *v);
  if (auto v = ReadBe16(m, 2)) AppendFlags(out, *v);
  struct Part {
    const char* count;
    const char* label;
  };
  static constexpr Part kParts[] = {{"questions = ", "question = "},
                                    {"answers = ", "answer = "},
                                    {"authority records = ", "authority = "},
                                    {"additional records = ", "additional = "}};
  uint16_t counts[4];
  for (size_t k = 0; k < 4; ++k) {
    counts[k] = m.Be16(4 + 2 * k);
    if (m.Has(4 + 2 * k, 2)) AppendNumberLine(out, kParts[k].count, counts[k]);
  }
  if (m.truncated()) return true;
  size_t at = kHeader;
  for (size_t k = 0; k < 4; ++k) {
    for (uint32_t n = 0; n < counts[k]; ++n) {
      if (!AppendRecord(out, {m, mdns}, at, kParts[k].label, k == 0)) return m.truncated();
    }
  }
  return false;
}

// An answer's address bytes, for A and AAAA data of the right size.
void KeepAddress(DnsAnswer& answer, ByteReader& m, const RecordHead& head) {
  answer.addressLength = 0;
  size_t size = head.type == 1 ? 4 : head.type == 28 ? 16 : 0;
  if (size == 0 || head.length != size || !m.Has(head.data, size)) return;
  for (size_t k = 0; k < size; ++k) answer.address[k] = m.U8(head.data + k);
  answer.addressLength = static_cast<uint8_t>(size);
}

}  // namespace

const char* DnsTypeName(uint16_t type) { return CodeNameOf(kTypeNames, type); }

const char* DnsResponseCodeName(uint8_t code) { return NameOr(kResponseCodeNames, code, nullptr); }

bool ReadDnsMessage(ByteReader payload, bool overTcp, DnsReading& out, bool addressTexts) {
  out.questionName.clear();
  out.answersKept = 0;
  ByteReader m = MessageOf(payload, overTcp);
  if (overTcp && !payload.Has(0, 2)) return false;
  if (!m.Has(0, kHeader)) return false;
  out.identifier = m.Be16(0);
  uint16_t flags = m.Be16(2);
  out.response = (flags & 0x8000) != 0;
  out.responseCode = flags & 0xF;
  out.questions = m.Be16(4);
  out.answers = m.Be16(6);
  out.questionType = 0;
  size_t at = kHeader;
  RecordHead head;
  // The first question is kept; the others are walked past to reach the answers.
  for (uint32_t n = 0; n < out.questions; ++n) {
    std::string& owner = n == 0 ? out.questionName : out.scratch;
    if (n != 0) owner.clear();
    if (ReadRecord(m, at, true, owner, head) != NameFault::kNone) {
      if (n == 0) owner.clear();
      return true;
    }
    if (n == 0) out.questionType = head.type;
  }
  for (uint32_t n = 0; n < out.answers && out.answersKept < out.kept.size(); ++n) {
    DnsAnswer& answer = out.kept[out.answersKept];
    answer.owner.clear();
    answer.data.clear();
    if (ReadRecord(m, at, false, answer.owner, head) != NameFault::kNone) break;
    answer.type = head.type;
    KeepAddress(answer, m, head);
    if (!addressTexts && answer.addressLength != 0) {
      ++out.answersKept;
      continue;
    }
    if (!AppendData(answer.data, Slice(m, 0, at), head.type, head.data)) answer.data.clear();
    ++out.answersKept;
  }
  return true;
}

bool AppendDnsFields(std::string& out, ByteReader payload, bool overTcp) {
  if (!overTcp) return AppendMessage(out, payload, false);
  auto length = ReadBe16(payload, 0);
  if (!length) return true;
  AppendNumberLine(out, "length = ", *length);
  ByteReader message = MessageOf(payload, true);
  return AppendMessage(out, message, false) || message.size() < *length;
}

bool AppendMdnsFields(std::string& out, ByteReader payload, bool) { return AppendMessage(out, payload, true); }

}  // namespace trovix
