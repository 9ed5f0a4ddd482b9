// Reading QUIC packets, and removing the protection of a client's Initial with libcrypto:
// its keys come from public salts and the packet's own destination connection id, so a
// capture holds all it needs to read the ClientHello inside.
#include "report/quic_packet.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "report/report_text.h"

namespace trovix {
namespace {

constexpr uint8_t kFormBit = 0x80;
constexpr size_t kMaxConnectionId = 20;  // RFC 9000 section 17.2, for the versions it defines
constexpr size_t kSampleOffset = 4;      // RFC 9001 section 5.4.2: as if the number took 4 bytes
constexpr size_t kSample = 16;
constexpr size_t kTag = 16;
constexpr size_t kSecret = 32;  // SHA-256

// The salts and labels that give a version's Initial keys (RFC 9001 section 5.2, RFC 9369
// section 3.3.1; the drafts' salts for the clients that still send them).
struct InitialKeys {
  uint32_t first, last;  // versions
  std::array<uint8_t, 20> salt;
  std::string_view key, iv, hp;
};
constexpr std::array<InitialKeys, 4> kInitialKeys = {{
    {kQuicVersion1, kQuicVersion1,
     {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17, 0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a},
     "quic key", "quic iv", "quic hp"},
    {kQuicVersion2, kQuicVersion2,
     {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93, 0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9},
     "quicv2 key", "quicv2 iv", "quicv2 hp"},
    {0xff000021, 0xff000022,  // drafts 33 and 34
     {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17, 0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a},
     "quic key", "quic iv", "quic hp"},
    {0xff00001d, 0xff000020,  // drafts 29 to 32
     {0xaf, 0xbf, 0xec, 0x28, 0x99, 0x93, 0xd2, 0x4c, 0x9e, 0x97, 0x86, 0xf1, 0x9c, 0x61, 0x11, 0xe0, 0x43, 0x90, 0xa8, 0x99},
     "quic key", "quic iv", "quic hp"},
}};

const InitialKeys* InitialKeysOf(uint32_t version) {
  for (const InitialKeys& keys : kInitialKeys) {
    if (version >= keys.first && version <= keys.last) return &keys;
  }
  return nullptr;
}

QuicPacketType TypeOf(uint32_t version, uint8_t first) {
  if (version == 0) return QuicPacketType::kVersionNegotiation;
  if (!KnownQuicVersion(version)) return QuicPacketType::kUnknown;
  unsigned bits = (first >> 4) & 3;
  // Version 2 turned the numbers round by one so that a middlebox cannot fix on them.
  if (version == kQuicVersion2) bits = (bits + 3) & 3;
  constexpr QuicPacketType kTypes[] = {QuicPacketType::kInitial, QuicPacketType::kZeroRtt,
                                       QuicPacketType::kHandshake, QuicPacketType::kRetry};
  return kTypes[bits];
}

// One connection id: its length byte at `at`, then its bytes. False when cut or too long.
bool ReadConnectionId(ByteReader& r, QuicLongHeader& h, size_t at, size_t& idAt, size_t& idLength) {
  auto length = ReadU8(r, at);
  if (!length) return false;
  if (KnownQuicVersion(h.version) && *length > kMaxConnectionId) {
    h.fault = QuicHeaderFault::kConnectionIdLength;
    h.badConnectionIdLength = *length;
    return false;
  }
  if (!r.Need(at + 1, *length)) return false;
  idAt = at + 1;
  idLength = *length;
  return true;
}

// The algorithms fetched once: an implicit fetch on every use costs more than the
// decryption of a whole Initial.
const EVP_MD* Sha256() {
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}
const EVP_CIPHER* Aes128Ecb() {
  static const EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
  return cipher;
}
const EVP_CIPHER* Aes128Gcm() {
  static const EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  return cipher;
}

// HKDF-Expand-Label of TLS 1.3 (RFC 8446 section 7.1) with an empty context, for outputs
// of one SHA-256 block or less: HMAC(secret, HkdfLabel || 0x01).
void ExpandLabel(const uint8_t* secret, std::string_view label, uint8_t* out, size_t length) {
  constexpr std::string_view kPrefix = "tls13 ";
  std::array<uint8_t, 2 + 1 + 255 + 1 + 1> info{};
  size_t n = 0;
  info[n++] = 0;
  info[n++] = static_cast<uint8_t>(length);
  info[n++] = static_cast<uint8_t>(kPrefix.size() + label.size());
  for (char c : kPrefix) info[n++] = static_cast<uint8_t>(c);
  for (char c : label) info[n++] = static_cast<uint8_t>(c);
  info[n++] = 0;  // context
  info[n++] = 1;  // the block counter
  std::array<uint8_t, EVP_MAX_MD_SIZE> block{};
  unsigned blockLength = 0;
  HMAC(Sha256(), secret, kSecret, info.data(), n, block.data(), &blockLength);
  std::copy_n(block.begin(), length, out);
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

bool HeaderMask(const uint8_t* hp, const uint8_t* sample, uint8_t* mask) {
  CipherContext context(EVP_CIPHER_CTX_new());
  int n = 0;
  return context && Aes128Ecb() != nullptr && EVP_EncryptInit_ex(context.get(), Aes128Ecb(), nullptr, hp, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
         EVP_EncryptUpdate(context.get(), mask, &n, sample, static_cast<int>(kSample)) == 1 && n == 16;
}

// AEAD_AES_128_GCM open of `cipher` (its tag after it) into `plain`.
bool OpenGcm(const uint8_t* key, const uint8_t* nonce, const std::vector<uint8_t>& aad, const uint8_t* cipher,
             size_t length, std::vector<uint8_t>& plain) {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context || Aes128Gcm() == nullptr || Sha256() == nullptr) return false;
  std::array<uint8_t, kTag> tag{};
  std::copy_n(cipher + length, kTag, tag.begin());
  plain.resize(length);
  uint8_t none = 0;
  int n = 0;
  return EVP_DecryptInit_ex(context.get(), Aes128Gcm(), nullptr, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
         EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key, nonce) == 1 &&
         EVP_DecryptUpdate(context.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1 &&
         EVP_DecryptUpdate(context.get(), length == 0 ? &none : plain.data(), &n, cipher, static_cast<int>(length)) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTag), tag.data()) == 1 &&
         EVP_DecryptFinal_ex(context.get(), length == 0 ? &none : plain.data() + n, &n) == 1;
}

struct ClientKeys {
  const InitialKeys* version = nullptr;
  std::vector<uint8_t> connectionId;
  std::array<uint8_t, 16> key{}, hp{};
  std::array<uint8_t, 12> iv{};
};

// A client's key, iv and header key from its first destination connection id. The last
// ones are kept: the rows of one connection, painted one after another, share them.
const ClientKeys* ClientKeysFor(const InitialKeys& version, const uint8_t* id, size_t length) {
  thread_local ClientKeys last;
  if (last.version == &version && std::equal(id, id + length, last.connectionId.begin(), last.connectionId.end()))
    return &last;
  last.version = nullptr;
  std::array<uint8_t, EVP_MAX_MD_SIZE> initial{};
  unsigned initialLength = 0;
  if (Sha256() == nullptr || HMAC(Sha256(), version.salt.data(), static_cast<int>(version.salt.size()), id, length,
                                  initial.data(), &initialLength) == nullptr)
    return nullptr;
  std::array<uint8_t, kSecret> client{};
  ExpandLabel(initial.data(), "client in", client.data(), client.size());
  ExpandLabel(client.data(), version.key, last.key.data(), last.key.size());
  ExpandLabel(client.data(), version.iv, last.iv.data(), last.iv.size());
  ExpandLabel(client.data(), version.hp, last.hp.data(), last.hp.size());
  last.connectionId.assign(id, id + length);
  last.version = &version;
  return &last;
}

}  // namespace

bool KnownQuicVersion(uint32_t version) {
  return version == kQuicVersion1 || version == kQuicVersion2 || (version & 0xFFFFFF00u) == 0xFF000000u;
}

std::optional<uint64_t> ReadQuicVarint(ByteReader& r, size_t at, size_t& next) {
  auto first = ReadU8(r, at);
  if (!first) return std::nullopt;
  size_t length = size_t{1} << (*first >> 6);
  if (!r.Need(at, length)) return std::nullopt;
  uint64_t value = *first & 0x3F;
  for (size_t k = 1; k < length; ++k) value = value << 8 | r.U8(at + k);
  next = at + length;
  return value;
}

QuicLongHeader ReadQuicLongHeader(ByteReader& datagram, size_t at) {
  QuicLongHeader h;
  h.at = at;
  h.fault = QuicHeaderFault::kCut;
  auto first = ReadU8(datagram, at);
  auto version = ReadBe32(datagram, at + 1);
  if (!first || !version || (*first & kFormBit) == 0) return h;
  h.first = *first;
  h.version = *version;
  h.type = TypeOf(h.version, h.first);
  h.stage = QuicHeaderStage::kVersion;
  if (!ReadConnectionId(datagram, h, at + 5, h.destinationAt, h.destinationLength)) return h;
  h.stage = QuicHeaderStage::kDestination;
  size_t source = h.destinationAt + h.destinationLength;
  if (!ReadConnectionId(datagram, h, source, h.sourceAt, h.sourceLength)) return h;
  h.stage = QuicHeaderStage::kSource;
  h.end = datagram.size();
  size_t next = h.sourceAt + h.sourceLength;
  if (h.type == QuicPacketType::kVersionNegotiation || h.type == QuicPacketType::kRetry ||
      h.type == QuicPacketType::kUnknown) {
    h.fault = QuicHeaderFault::kNone;
    return h;
  }
  if (h.type == QuicPacketType::kInitial) {
    auto token = ReadQuicVarint(datagram, next, next);
    if (!token || !datagram.Need(next, *token)) return h;
    h.tokenLength = *token;
    next += *token;
    h.stage = QuicHeaderStage::kToken;
  }
  auto length = ReadQuicVarint(datagram, next, next);
  if (!length) return h;
  h.length = *length;
  h.numberAt = next;
  h.stage = QuicHeaderStage::kLength;
  if (!datagram.Need(next, *length)) return h;
  h.end = next + *length;
  h.fault = QuicHeaderFault::kNone;
  return h;
}

QuicOpened OpenQuicClientInitial(ByteReader& datagram, const QuicLongHeader& h) {
  QuicOpened opened;
  const InitialKeys* keys = InitialKeysOf(h.version);
  if (keys == nullptr) return opened;
  opened.outcome = QuicOpenOutcome::kTooShort;
  if (h.length < kSampleOffset + kSample || !datagram.Need(h.numberAt, h.length) ||
      !datagram.Need(h.destinationAt, h.destinationLength))
    return opened;
  const uint8_t* bytes = datagram.data();

  const ClientKeys* client = ClientKeysFor(*keys, bytes + h.destinationAt, h.destinationLength);
  if (client == nullptr) return opened;
  const std::array<uint8_t, 16>& key = client->key;
  const std::array<uint8_t, 16>& hp = client->hp;
  std::array<uint8_t, 12> nonce = client->iv;

  std::array<uint8_t, 16> mask{};
  opened.outcome = QuicOpenOutcome::kAuthenticationFailed;
  if (!HeaderMask(hp.data(), bytes + h.numberAt + kSampleOffset, mask.data())) return opened;
  uint8_t first = h.first ^ (mask[0] & 0x0F);
  size_t numberLength = (first & 3u) + 1;
  std::vector<uint8_t> header(bytes + h.at, bytes + h.numberAt + numberLength);
  header[0] = first;
  for (size_t k = 0; k < numberLength; ++k) {
    uint8_t& byte = header[h.numberAt - h.at + k];
    byte ^= mask[1 + k];
    opened.packetNumber = opened.packetNumber << 8 | byte;
  }
  for (size_t k = 0; k < 8; ++k) nonce[nonce.size() - 1 - k] ^= static_cast<uint8_t>(opened.packetNumber >> (8 * k));
  const uint8_t* cipher = bytes + h.numberAt + numberLength;
  size_t cipherLength = h.length - numberLength - kTag;
  if (!OpenGcm(key.data(), nonce.data(), header, cipher, cipherLength, opened.plain)) {
    opened.plain.clear();
    opened.packetNumber = 0;
    return opened;
  }
  opened.outcome = QuicOpenOutcome::kDecrypted;
  return opened;
}

QuicFramesEnd ReadQuicFrame(ByteReader& plain, size_t at, QuicFrame& frame, size_t& next) {
  uint8_t type = plain.U8(at);
  next = at + 1;
  if (type == 0x00) {
    while (plain.Has(next, 1) && plain.U8(next) == 0) ++next;
    frame = {QuicFrameType::kPadding, next - at};
    return QuicFramesEnd::kAll;
  }
  if (type == 0x01) {
    frame = {QuicFrameType::kPing};
    return QuicFramesEnd::kAll;
  }
  if (type == 0x02 || type == 0x03) {
    auto largest = ReadQuicVarint(plain, next, next);
    auto delay = largest ? ReadQuicVarint(plain, next, next) : std::nullopt;
    auto count = delay ? ReadQuicVarint(plain, next, next) : std::nullopt;
    auto firstRange = count ? ReadQuicVarint(plain, next, next) : std::nullopt;
    if (!firstRange) return QuicFramesEnd::kCut;
    // Each range is a gap and a length; the counts of ECN marks follow in type 0x03.
    uint64_t fields = *count * 2 + (type == 0x03 ? 3 : 0);
    for (uint64_t k = 0; k < fields; ++k) {
      if (!ReadQuicVarint(plain, next, next)) return QuicFramesEnd::kCut;
    }
    frame = {QuicFrameType::kAck, *largest, *delay, *count};
    return QuicFramesEnd::kAll;
  }
  if (type == 0x06) {
    auto offset = ReadQuicVarint(plain, next, next);
    auto length = offset ? ReadQuicVarint(plain, next, next) : std::nullopt;
    if (!length || !plain.Need(next, *length)) return QuicFramesEnd::kCut;
    frame = {QuicFrameType::kCrypto, *offset, *length, 0, next};
    next += *length;
    return QuicFramesEnd::kAll;
  }
  return QuicFramesEnd::kOtherType;
}

QuicCryptoData GatherQuicCrypto(ByteReader& plain) {
  struct Piece {
    uint64_t offset, length;
    size_t at;
  };
  std::vector<Piece> pieces;
  WalkQuicFrames(plain, [&](const QuicFrame& frame) {
    if (frame.type == QuicFrameType::kCrypto && frame.second != 0) pieces.push_back({frame.first, frame.second, frame.dataAt});
  });
  QuicCryptoData data;
  if (pieces.empty()) return data;
  std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  data.any = true;
  data.offset = pieces.front().offset;
  uint64_t end = data.offset;
  for (const Piece& piece : pieces) {
    if (piece.offset > end) break;
    if (piece.offset + piece.length <= end) continue;
    size_t skip = static_cast<size_t>(end - piece.offset);
    if (!plain.Need(piece.at + skip, piece.length - skip)) break;
    const uint8_t* from = plain.data() + piece.at + skip;
    data.bytes.insert(data.bytes.end(), from, from + (piece.length - skip));
    end = piece.offset + piece.length;
  }
  return data;
}

}  // namespace trovix
