// What matters of a datagram's payload, read rather than printed: the fields the info
// column and the learned names use. Each reader walks its protocol with the same parser
// as the report's section, so the two never read a message differently. Readings keep
// their strings between calls: a caller that reads many datagrams into one reading
// allocates only while its strings grow.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"

namespace trovix {

struct DnsAnswer {
  uint16_t type = 0;
  std::string owner;  // presentation form, as the report prints it
  std::string data;   // the record data as the report prints it; empty when invalid
  uint8_t address[16] = {};
  uint8_t addressLength = 0;  // 4 for a valid A record, 16 for AAAA, else 0
};

// Enough for any answer section a resolver sends for one name; more are counted only.
inline constexpr size_t kMaxDnsAnswersKept = 32;

struct DnsReading {
  uint16_t identifier = 0;
  bool response = false;
  uint8_t responseCode = 0;
  uint16_t questions = 0;
  uint16_t answers = 0;          // as the header counts them
  uint16_t questionType = 0;     // of the first question; 0 when none was read
  std::string questionName;      // the first question's name
  std::array<DnsAnswer, kMaxDnsAnswersKept> kept;
  size_t answersKept = 0;        // answers read whole, in order, up to the bound
  std::string scratch;
};

// False when not even the header was received. DNS, mDNS and LLMNR share the message.
// Without `addressTexts`, the data of a valid A or AAAA record is left empty (its address
// bytes are kept): a reader that wants only the addresses spares their text.
bool ReadDnsMessage(ByteReader payload, bool overTcp, DnsReading& out, bool addressTexts = true);
// The type's mnemonic (A, AAAA, CNAME...), or nullptr.
const char* DnsTypeName(uint16_t type);
// NOERROR, NXDOMAIN..., or nullptr for an unassigned code.
const char* DnsResponseCodeName(uint8_t code);

struct TlsReading {
  uint8_t contentType = 0;   // of the first record
  uint8_t handshakeType = 0; // of its first handshake message; 0 when none
  bool clientHello = false;
  bool serverHello = false;
  uint16_t version = 0;      // the hello's version field
  uint16_t cipherSuite = 0;  // a ServerHello's choice
  std::string serverName;    // the first host_name of a ClientHello
  std::string alpn;          // the protocols offered (or selected), comma-separated
};

// False when the payload begins no record.
bool ReadTlsRecord(ByteReader payload, TlsReading& out);
// change_cipher_spec, alert, handshake, application_data, heartbeat; or nullptr.
const char* TlsContentTypeName(uint8_t type);
// ClientHello, Finished...; or nullptr.
const char* TlsHandshakeName(uint8_t type);

struct HttpReading {
  bool response = false;
  // A request's method, target and version, or a response's version, status and reason.
  std::string first, second, third;
  std::string host;
  std::string contentType;
};

// False when the segment does not begin a message's start line.
bool ReadHttpMessage(ByteReader payload, HttpReading& out);

struct DhcpReading {
  uint8_t operation = 0;
  uint8_t messageType = 0;  // 0 without the option
  uint32_t clientAddress = 0;
  uint32_t yourAddress = 0;
  uint32_t requestedAddress = 0;
  std::string hostName;
};

// False when the fixed message and magic cookie were not received.
bool ReadDhcpMessage(ByteReader payload, DhcpReading& out);
// Discover, Offer...; or nullptr.
const char* DhcpMessageTypeName(uint8_t type);
// Solicit, Advertise...; or nullptr.
const char* Dhcpv6MessageTypeName(uint8_t type);

struct NtpReading {
  uint8_t version = 0;
  uint8_t mode = 0;
};

bool ReadNtpHeader(ByteReader payload, NtpReading& out);
// "client", "server", "symmetric active"...
const char* NtpModeName(uint8_t mode);

// The name of an ICMP or ICMPv6 type as the report titles it ("Echo Request"), or nullptr.
const char* IcmpTypeName(uint8_t type);
const char* Icmpv6TypeName(uint8_t type);

}  // namespace trovix
