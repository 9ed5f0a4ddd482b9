// TLS section of the packet report (records and handshake of RFC 8446 and RFC 5246; server
// name of RFC 6066, ALPN of RFC 7301, GREASE of RFC 8701): each record a segment holds,
// the hellos' versions, suites and the extensions that say where a connection goes.
#include <array>
#include <span>

#include "report/name_tables.h"
#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"
#include "report/tls_handshake.h"

namespace trovix {
namespace {

constexpr size_t kRecordHeader = 5;
constexpr size_t kMaxRecord = (1u << 14) + 2048;  // a ciphertext's bound, RFC 5246 section 6.2.3
constexpr uint8_t kChangeCipherSpec = 20;
constexpr uint8_t kAlert = 21;
constexpr uint8_t kHandshake = 22;
constexpr uint8_t kClientHello = 1;
constexpr uint8_t kServerHello = 2;
constexpr uint16_t kServerNameExtension = 0;
constexpr uint16_t kAlpnExtension = 16;
constexpr uint16_t kSupportedVersionsExtension = 43;

constexpr std::array<CodeName, 5> kContentTypes = {
    {{kChangeCipherSpec, "change_cipher_spec"}, {kAlert, "alert"}, {kHandshake, "handshake"}, {23, "application_data"},
     {24, "heartbeat"}}};
constexpr std::array<CodeName, 15> kHandshakeTypes = {{
    {0, "HelloRequest"}, {kClientHello, "ClientHello"}, {kServerHello, "ServerHello"},
    {4, "NewSessionTicket"}, {5, "EndOfEarlyData"}, {8, "EncryptedExtensions"}, {11, "Certificate"},
    {12, "ServerKeyExchange"}, {13, "CertificateRequest"}, {14, "ServerHelloDone"},
    {15, "CertificateVerify"}, {16, "ClientKeyExchange"}, {20, "Finished"}, {24, "KeyUpdate"},
    {254, "MessageHash"},
}};
constexpr std::array<CodeName, 5> kVersions = {
    {{0x0300, "SSL 3.0"}, {0x0301, "TLS 1.0"}, {0x0302, "TLS 1.1"}, {0x0303, "TLS 1.2"}, {0x0304, "TLS 1.3"}}};
constexpr std::array<CodeName, 15> kCipherSuites = {{
    {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
    {0x0035, "TLS_RSA_WITH_AES_256_CBC_SHA"},
    {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
    {0x1301, "TLS_AES_128_GCM_SHA256"},
    {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
    {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
    {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
    {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCA9, "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"},
}};
constexpr std::array<CodeName, 2> kAlertLevels = {{{1, "warning"}, {2, "fatal"}}};
constexpr std::array<CodeName, 32> kAlertDescriptions = {{
    {0, "close_notify"}, {10, "unexpected_message"}, {20, "bad_record_mac"}, {21, "decryption_failed"},
    {22, "record_overflow"}, {30, "decompression_failure"}, {40, "handshake_failure"},
    {41, "no_certificate"}, {42, "bad_certificate"}, {43, "unsupported_certificate"},
    {44, "certificate_revoked"}, {45, "certificate_expired"}, {46, "certificate_unknown"},
    {47, "illegal_parameter"}, {48, "unknown_ca"}, {49, "access_denied"}, {50, "decode_error"},
    {51, "decrypt_error"}, {70, "protocol_version"}, {71, "insufficient_security"},
    {80, "internal_error"}, {86, "inappropriate_fallback"}, {90, "user_canceled"},
    {100, "no_renegotiation"}, {109, "missing_extension"}, {110, "unsupported_extension"},
    {112, "unrecognized_name"}, {113, "bad_certificate_status_response"}, {115, "unknown_psk_identity"},
    {116, "certificate_required"}, {120, "no_application_protocol"}, {60, "export_restriction"},
}};

void AppendParenthesized(std::string& out, const char* name) {
  if (name == nullptr) return;
  out += " (";
  out += name;
  out += ')';
}

// "value (name)", or the value alone when the table has no name for it.
void AppendNamedNumber(std::string& out, std::span<const CodeName> table, uint16_t value) {
  AppendDecimal(out, value);
  AppendParenthesized(out, CodeNameOf(table, value));
}

// GREASE values (RFC 8701) are 0x?A?A with both bytes equal: noise a client adds on purpose.
void AppendCode(std::string& out, std::span<const CodeName> table, uint16_t value) {
  AppendHex16(out, value);
  const char* name = CodeNameOf(table, value);
  if (name == nullptr && (value & 0x0F0F) == 0x0A0A && value >> 8 == (value & 0xFF)) name = "GREASE";
  AppendParenthesized(out, name);
}

void AppendCodeLine(std::string& out, const char* label, std::span<const CodeName> table, uint16_t value) {
  out += label;
  AppendCode(out, table, value);
  out += kLineEnd;
}

// Calls show(type, at, length) for each extension in [at, end) received whole. False when
// one claims more than the block holds; a block cut short marks the reader instead.
template <typename Show>
bool WalkExtensions(ByteReader& r, size_t at, size_t end, Show&& show) {
  while (at < end) {
    auto type = ReadBe16(r, at);
    auto length = ReadBe16(r, at + 2);
    if (!type || !length) return true;
    if (at + 4 + *length > end) return false;
    if (!r.Need(at + 4, *length)) return true;
    show(*type, at + 4, static_cast<size_t>(*length));
    at += 4 + *length;
  }
  return true;
}

// Entries of a list inside an extension: a `prefix`-byte length, then entries until it is
// used up; calls each(at, end) per entry, which gives where the next one starts.
template <typename Each>
bool WalkList(ByteReader& r, size_t at, size_t end, size_t prefix, Each&& each) {
  if (at + prefix > end) return false;
  size_t length = prefix == 1 ? r.U8(at) : r.Be16(at);
  at += prefix;
  if (at + length != end) return false;
  while (at < end) {
    size_t next = each(at, end);
    if (next == 0 || next > end) return false;
    at = next;
  }
  return true;
}

// Calls each(at, length) for every protocol name of an ALPN list (RFC 7301 section 3.1).
template <typename Each>
bool WalkAlpn(ByteReader& r, size_t at, size_t end, Each&& each) {
  return WalkList(r, at, end, 2, [&](size_t entry, size_t limit) -> size_t {
    size_t length = r.U8(entry);
    if (length == 0 || entry + 1 + length > limit) return 0;
    each(entry + 1, length);
    return entry + 1 + length;
  });
}

// Calls each(at, length) for every host_name of a server name list (RFC 6066 section 3).
template <typename Each>
bool WalkServerNames(ByteReader& r, size_t at, size_t end, Each&& each) {
  return WalkList(r, at, end, 2, [&](size_t entry, size_t limit) -> size_t {
    if (entry + 3 > limit) return 0;
    size_t length = r.Be16(entry + 1);
    if (entry + 3 + length > limit) return 0;
    if (r.U8(entry) == 0) each(entry + 3, length);
    return entry + 3 + length;
  });
}

// ALPN's protocol names, comma-separated.
bool AppendAlpn(std::string& out, ByteReader& r, size_t at, size_t end) {
  out += "ALPN = ";
  const char* before = "";
  bool ok = WalkAlpn(r, at, end, [&](size_t name, size_t length) {
    out += before;
    AppendEscaped(out, r, name, length);
    before = ",";
  });
  out += kLineEnd;
  return ok;
}

// Each host_name of the server name list, a line of its own.
bool AppendServerNames(std::string& out, ByteReader& r, size_t at, size_t end) {
  return WalkServerNames(r, at, end, [&](size_t name, size_t length) {
    out += "server name = ";
    AppendEscaped(out, r, name, length);
    out += kLineEnd;
  });
}

bool AppendSupportedVersions(std::string& out, ByteReader& r, size_t at, size_t end) {
  out += "supported versions = ";
  const char* before = "";
  bool ok = WalkList(r, at, end, 1, [&](size_t entry, size_t limit) -> size_t {
    if (entry + 2 > limit) return 0;
    out += before;
    AppendCode(out, kVersions, r.Be16(entry));
    before = ", ";
    return entry + 2;
  });
  out += kLineEnd;
  return ok;
}

void AppendInvalidExtension(std::string& out, uint16_t type) {
  AppendNumberLine(out, "invalid extension ", type);
}

// The extensions block at `at`, through its own length.
void AppendHelloExtensions(std::string& out, ByteReader& r, size_t at, bool client) {
  auto length = ReadBe16(r, at);
  if (!length) return;
  bool whole = WalkExtensions(r, at + 2, at + 2 + *length, [&](uint16_t type, size_t data, size_t size) {
    size_t end = data + size;
    bool ok = true;
    if (type == kServerNameExtension && client) ok = AppendServerNames(out, r, data, end);
    if (type == kAlpnExtension) ok = AppendAlpn(out, r, data, end);
    if (type == kSupportedVersionsExtension && client) ok = AppendSupportedVersions(out, r, data, end);
    if (type == kSupportedVersionsExtension && !client) {
      ok = size == 2;
      if (ok) AppendCodeLine(out, "selected version = ", kVersions, r.Be16(data));
    }
    if (!ok) AppendInvalidExtension(out, type);
  });
  if (!whole) out += "invalid extensions length\r\n";
}

// Where a length-prefixed vector at `at` ends, or 0 when its length was not received.
size_t After(ByteReader& r, size_t at, size_t prefix) {
  size_t length = prefix == 1 ? r.U8(at) : r.Be16(at);
  return r.truncated() ? 0 : at + prefix + length;
}

// The hello's fixed part: version, random, session id; both hellos begin so.
size_t AppendHelloStart(std::string& out, ByteReader& hello, const char* versionLabel) {
  auto version = ReadBe16(hello, 0);
  if (!version) return 0;
  AppendCodeLine(out, versionLabel, kVersions, *version);
  return After(hello, 34, 1);
}

// Where a ClientHello's cipher suites, and its extensions block, begin: 0 for what was not
// received. `suitesLength` is the suites' byte count.
struct ClientHelloLayout {
  size_t suites = 0;
  size_t suitesLength = 0;
  size_t extensions = 0;
};

ClientHelloLayout LayOutClientHello(ByteReader& hello, size_t suites) {
  ClientHelloLayout layout{suites, 0, 0};
  auto length = ReadBe16(hello, suites);
  if (!length) return {};
  layout.suitesLength = *length;
  if (*length % 2 != 0) return layout;
  size_t extensions = After(hello, suites + 2 + *length, 1);
  if (extensions != 0 && hello.Has(extensions, 1)) layout.extensions = extensions;
  return layout;
}

void AppendClientHello(std::string& out, ByteReader hello) {
  size_t suites = AppendHelloStart(out, hello, "client version = ");
  if (suites == 0) return;
  ClientHelloLayout layout = LayOutClientHello(hello, suites);
  if (layout.suites == 0) return;
  if (layout.suitesLength % 2 != 0) {
    AppendNumberLine(out, "invalid cipher suites length = ", static_cast<int64_t>(layout.suitesLength));
    return;
  }
  AppendNumberLine(out, "cipher suites = ", static_cast<int64_t>(layout.suitesLength / 2));
  if (layout.extensions != 0) AppendHelloExtensions(out, hello, layout.extensions, true);
}

void AppendServerHello(std::string& out, ByteReader hello) {
  size_t suite = AppendHelloStart(out, hello, "server version = ");
  if (suite == 0) return;
  auto chosen = ReadBe16(hello, suite);
  if (!chosen) return;
  AppendCodeLine(out, "cipher suite = ", kCipherSuites, *chosen);
  size_t extensions = suite + 3;
  if (hello.Has(extensions, 1)) AppendHelloExtensions(out, hello, extensions, false);
}

// The first server name and the ALPN list of a hello's extensions block.
void ReadHelloExtensions(ByteReader& r, size_t at, bool client, TlsReading& out) {
  auto length = ReadBe16(r, at);
  if (!length) return;
  WalkExtensions(r, at + 2, at + 2 + *length, [&](uint16_t type, size_t data, size_t size) {
    size_t end = data + size;
    if (type == kServerNameExtension && client) {
      WalkServerNames(r, data, end, [&](size_t name, size_t nameLength) {
        if (out.serverName.empty()) AppendEscaped(out.serverName, r, name, nameLength);
      });
    }
    if (type == kAlpnExtension) {
      WalkAlpn(r, data, end, [&](size_t name, size_t nameLength) {
        if (!out.alpn.empty()) out.alpn += ',';
        AppendEscaped(out.alpn, r, name, nameLength);
      });
    }
  });
}

void ReadHello(ByteReader hello, bool client, TlsReading& out) {
  auto version = ReadBe16(hello, 0);
  size_t next = version ? After(hello, 34, 1) : 0;
  if (next == 0) return;
  out.version = *version;
  if (client) {
    ClientHelloLayout layout = LayOutClientHello(hello, next);
    if (layout.extensions != 0) ReadHelloExtensions(hello, layout.extensions, true, out);
    return;
  }
  auto chosen = ReadBe16(hello, next);
  if (!chosen) return;
  out.cipherSuite = *chosen;
  if (hello.Has(next + 3, 1)) ReadHelloExtensions(hello, next + 3, false, out);
}

// The handshake messages of one record's data. A message longer than the record either
// goes on in the next record (a type we know) or is ciphertext that only looks like one.
void AppendHandshakes(std::string& out, ByteReader& data, size_t recordLength) {
  size_t at = 0;
  while (at < recordLength) {
    auto type = ReadU8(data, at);
    auto high = ReadU8(data, at + 1);
    auto low = ReadBe16(data, at + 2);
    if (!type || !high || !low) return;
    size_t length = static_cast<size_t>(*high) << 16 | *low;
    const char* name = CodeNameOf(kHandshakeTypes, *type);
    if (at + 4 + length > recordLength && (name == nullptr || at != 0)) {
      out += "encrypted handshake message\r\n";
      return;
    }
    AppendNumberLine(out, "handshake = ", *type, "");
    AppendParenthesized(out, name);
    AppendNumberLine(out, ", length = ", static_cast<int64_t>(length));
    ByteReader body = Slice(data, at + 4, length);
    if (*type == kClientHello) AppendClientHello(out, body);
    if (*type == kServerHello) AppendServerHello(out, body);
    if (body.truncated() || body.size() < length) {
      data.Need(at + 4, length);
      return;
    }
    at += 4 + length;
  }
}

void AppendAlertBody(std::string& out, ByteReader& data, size_t recordLength) {
  if (recordLength != 2) {
    out += "encrypted alert\r\n";
    return;
  }
  auto level = ReadU8(data, 0);
  auto description = ReadU8(data, 1);
  if (!level || !description) return;
  out += "alert level = ";
  AppendNamedNumber(out, kAlertLevels, *level);
  out += ", description = ";
  AppendNamedNumber(out, kAlertDescriptions, *description);
  out += kLineEnd;
}

}  // namespace

const char* TlsContentTypeName(uint8_t type) { return CodeNameOf(kContentTypes, type); }

const char* TlsHandshakeName(uint8_t type) { return CodeNameOf(kHandshakeTypes, type); }

bool ReadTlsRecord(ByteReader payload, TlsReading& out) {
  out.serverName.clear();
  out.alpn.clear();
  out.handshakeType = 0;
  out.clientHello = out.serverHello = false;
  out.version = out.cipherSuite = 0;
  if (!BeginsTlsRecord(payload)) return false;
  out.contentType = payload.U8(0);
  size_t length = payload.Be16(3);
  if (out.contentType != kHandshake || length > kMaxRecord) return true;
  ByteReader data = Slice(payload, kRecordHeader, length);
  auto type = ReadU8(data, 0);
  auto high = ReadU8(data, 1);
  auto low = ReadBe16(data, 2);
  if (!type || !high || !low) return true;
  size_t messageLength = static_cast<size_t>(*high) << 16 | *low;
  // A message longer than its record of a type we do not know is ciphertext.
  if (4 + messageLength > length && TlsHandshakeName(*type) == nullptr) return true;
  out.handshakeType = *type;
  out.clientHello = *type == kClientHello;
  out.serverHello = *type == kServerHello;
  if (out.clientHello || out.serverHello) ReadHello(Slice(data, 4, messageLength), out.clientHello, out);
  return true;
}

bool BeginsTlsRecord(ByteReader payload) {
  if (!payload.Has(0, 3)) return false;
  return CodeNameOf(kContentTypes, payload.U8(0)) != nullptr && payload.U8(1) == 3 && payload.U8(2) <= 4;
}

bool AppendTlsFields(std::string& out, ByteReader payload, bool) {
  size_t at = 0;
  // Once a TLS 1.2 sender has switched to its negotiated keys, its handshake records are ciphertext (the
  // Finished first), whose bytes may happen to read as a HelloRequest. TLS 1.3's
  // compatibility change_cipher_spec may come before a plaintext second ClientHello, one
  // message that fills its record exactly, as ciphertext hardly does.
  bool encrypted = false;
  while (at < payload.size()) {
    // Bytes that are no record here are the rest of one that a lost segment began.
    if (CodeNameOf(kContentTypes, payload.U8(at)) == nullptr || (payload.Has(at + 1, 1) && payload.U8(at + 1) != 3)) {
      out += "not a record\r\n";
      return false;
    }
    auto type = ReadU8(payload, at);
    auto version = ReadBe16(payload, at + 1);
    auto length = ReadBe16(payload, at + 3);
    if (!type || !version || !length) return true;
    if (*length > kMaxRecord) {
      AppendNumberLine(out, "invalid record length = ", *length);
      return false;
    }
    out += "content type = ";
    AppendNamedNumber(out, kContentTypes, *type);
    out += ", version = ";
    AppendCode(out, kVersions, *version);
    AppendNumberLine(out, ", length = ", *length);
    ByteReader data = Slice(payload, at + kRecordHeader, *length);
    bool ciphertext = encrypted && (static_cast<size_t>(data.U8(1)) << 16 | data.Be16(2)) + 4 != *length;
    if (*type == kHandshake && ciphertext) out += "encrypted handshake message\r\n";
    if (*type == kHandshake && !ciphertext) AppendHandshakes(out, data, *length);
    if (*type == kChangeCipherSpec) encrypted = true;
    if (*type == kAlert) AppendAlertBody(out, data, *length);
    if (data.size() < *length) return true;
    at += kRecordHeader + *length;
  }
  return false;
}

void AppendTlsHandshakes(std::string& out, ByteReader& data) { AppendHandshakes(out, data, data.size()); }

std::optional<ClientHelloNames> ReadClientHelloNames(ByteReader handshakes) {
  auto type = ReadU8(handshakes, 0);
  auto high = ReadU8(handshakes, 1);
  auto low = ReadBe16(handshakes, 2);
  if (!type || !high || !low || *type != kClientHello) return std::nullopt;
  // A hello cut by the bytes' end still names what it holds.
  ByteReader hello = Slice(handshakes, 4, static_cast<size_t>(*high) << 16 | *low);
  size_t suites = After(hello, 34, 1);
  size_t extensions = suites == 0 ? 0 : LayOutClientHello(hello, suites).extensions;
  auto block = ReadBe16(hello, extensions);
  if (extensions == 0 || !block) return std::nullopt;
  ClientHelloNames names;
  bool whole = WalkExtensions(hello, extensions + 2, extensions + 2 + *block, [&](uint16_t kind, size_t data, size_t size) {
    if (kind == kServerNameExtension && names.serverName.empty()) {
      WalkServerNames(hello, data, data + size, [&](size_t name, size_t count) {
        if (names.serverName.empty()) AppendEscaped(names.serverName, hello, name, count);
      });
    }
    if (kind == kAlpnExtension) {
      WalkAlpn(hello, data, data + size, [&](size_t name, size_t count) {
        AppendEscaped(names.alpn.emplace_back(), hello, name, count);
      });
    }
  });
  if (!whole) return std::nullopt;
  return names;
}

}  // namespace trovix
