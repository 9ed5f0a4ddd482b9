#include "cli/packet_output.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>

#include "capture/packet_line.h"
#include "capture/platform/name_resolver.h"
#include "capture/sources/pcap_writer.h"
#include "capture/sources/pcapng_writer.h"
#include "cli/report_texts.h"
#include "report/datagram_layers.h"
#include "report/header_fields.h"
#include "report/packet_info.h"
#include "settings/file_replacement.h"

namespace trovix::cli {

std::string Rfc3339Time(int64_t receiveTime) {
  // The fraction counts from the start of the second, before 1970 too; any 64-bit time
  // (years 1677 to 2262) is a date gmtime_r can give.
  auto [second, nanos] = SplitTime(receiveTime);
  time_t seconds = static_cast<time_t>(second);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[48];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%09lldZ", static_cast<long long>(nanos));
  return text;
}

void AppendJsonString(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c > 0x7E) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void AppendJsonPrograms(std::string& out, const ProgramTable& table, uint32_t ownerId) {
  out += '[';
  Owner owner = ownerId == kUnknownOwner ? Owner{kNoProgram, kNoProgram} : table.OwnerOf(ownerId);
  bool first = true;
  for (auto [id, end] : {std::pair{owner.source, "source"}, std::pair{owner.destination, "destination"}}) {
    const Program* program = table.ProgramOf(id);
    if (program == nullptr) continue;
    out += first ? "{\"name\":" : ",{\"name\":";
    first = false;
    if (program->pid == 0) {
      out += "null,\"pid\":null";
    } else {
      AppendJsonString(out, program->name);
      out += ",\"pid\":" + std::to_string(program->pid);
    }
    out += ",\"user\":";
    AppendJsonString(out, program->user);
    out += std::string(",\"end\":\"") + end + "\"}";
  }
  out += ']';
}

namespace {

// A pcap record holds unsigned 32-bit seconds since 1970: a capture file's time before
// 1970 or after 2106 is clamped to the nearer end rather than wrapped.
int64_t RecordTime(int64_t receiveTime) {
  return std::clamp<int64_t>(receiveTime, 0, int64_t{UINT32_MAX} * 1000000000 + 999999999);
}

// "DF", "MF", "DF,MF", or `none`.
const char* IpFlags(const HeaderFields& e, const char* none) {
  if (e.dontFragment) return e.moreFragments ? "DF,MF" : "DF";
  return e.moreFragments ? "MF" : none;
}

// TCP's flags as tcpdump writes them, in bit order: "S", "S.", "FP.", or `none`.
std::string TcpFlags(uint8_t flags, const char* none) {
  std::string text;
  for (int bit = 0; bit < 8; ++bit) {
    if ((flags >> bit & 1u) != 0) text += "FSRP.UEW"[bit];
  }
  return text.empty() ? none : text;
}

// Each piece is short: a few words and numbers.
__attribute__((format(printf, 2, 3))) void AppendFormatted(std::string& out, const char* format, ...) {
  char text[96];
  va_list values;
  va_start(values, format);
  int n = vsnprintf(text, sizeof text, format, values);
  va_end(values);
  if (n > 0) out.append(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

void AppendEssentials(std::string& out, const HeaderFields& e) {
  if (e.ipv6) AppendFormatted(out, "flowlabel 0x%05x", e.flowLabel);
  if (e.fragmentFields) {
    AppendFormatted(out, "%sid %u, flags [%s]", e.ipv6 ? ", " : "", e.id, IpFlags(e, "none"));
    if (e.fragmentOffset != 0) AppendFormatted(out, ", offset %u", e.fragmentOffset);
  }
  if (e.tcp) {
    AppendFormatted(out, ", Flags [%s], seq %u", TcpFlags(e.tcpFlags, "none").c_str(), e.seq);
    if ((e.tcpFlags & 0x10u) != 0) AppendFormatted(out, ", ack %u", e.ack);
    AppendFormatted(out, ", win %u", e.window);
  }
  if (e.icmp) AppendFormatted(out, ", type %u, code %u", e.icmpType, e.icmpCode);
}

void AppendJsonEssentials(std::string& out, const HeaderFields& e) {
  if (e.ipv6) AppendFormatted(out, ",\"flow_label\":%u", e.flowLabel);
  if (e.fragmentFields) {
    AppendFormatted(out, ",\"ip_id\":%u,\"flags\":\"%s\",\"frag_offset\":%u", e.id, IpFlags(e, ""), e.fragmentOffset);
  }
  if (e.tcp) {
    AppendFormatted(out, ",\"tcp_flags\":\"%s\",\"seq\":%u,\"ack\":%u,\"window\":%u",
                    TcpFlags(e.tcpFlags, "").c_str(), e.seq, e.ack, e.window);
  }
  if (e.icmp) AppendFormatted(out, ",\"icmp_type\":%u,\"icmp_code\":%u", e.icmpType, e.icmpCode);
}

// tcpdump's -X: 16 bytes a line after their offset, in groups of two bytes, then the same
// bytes with '.' for any that is not a printable character (a blank included).
void AppendHexDump(std::string& out, const uint8_t* datagram, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  constexpr size_t kHexWidth = 39;  // 8 groups of 4 digits and the 7 blanks between them
  for (size_t line = 0; line < length; line += 16) {
    char offset[32];
    out.append(offset, static_cast<size_t>(snprintf(offset, sizeof offset, "\t0x%04zx:  ", line)));
    size_t n = std::min<size_t>(16, length - line), start = out.size();
    for (size_t i = 0; i < n; ++i) {
      if (i % 2 == 0 && i != 0) out += ' ';
      out += kHex[datagram[line + i] >> 4];
      out += kHex[datagram[line + i] & 15];
    }
    out.append(kHexWidth + 2 - (out.size() - start), ' ');
    for (size_t i = 0; i < n; ++i) {
      uint8_t b = datagram[line + i];
      out += b > 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    out += '\n';
  }
}

// tcpdump's -A, made safe for a terminal: every byte outside printable ASCII is '.', but a
// line end in the payload (LF or CR LF) starts a new line, so that text protocols read as
// text. A tab is '.' too: a line with tabs is then only ever one of trovix-cli's own.
void AppendAsciiDump(std::string& out, const uint8_t* datagram, size_t length, size_t payloadAt) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t b = datagram[i];
    bool payload = i >= payloadAt;
    if (payload && b == '\r' && i + 1 < length && datagram[i + 1] == '\n') continue;
    if (payload && b == '\n') out += '\n';
    else out += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
  }
  if (out.back() != '\n') out += '\n';
}

}  // namespace

PacketOutput::PacketOutput(const OutputChoice& choice, FILE* out)
    : choice_(choice), out_(out), learner_(TheLearnedNames()), time_(choice.time) {}

PacketOutput::~PacketOutput() {
  if (file_ != nullptr) fclose(file_);
  if (format_ != nullptr) pcap_close(format_);
}

void PacketOutput::Failed(int error, const char* what) noexcept {
  if (writeError_ != 0) return;
  writeError_ = error != 0 ? error : EIO;
  failedWhat_ = what;
}

std::string PacketOutput::failure() const {
  const char* why = reason_ != nullptr ? reason_ : std::strerror(writeError_);
  return std::string("cannot write ") + failedWhat_ + ": " + why;
}

const char* PacketOutput::CaptureName() const noexcept {
  return choice_.captureFile == "-" ? "the capture file to standard output" : choice_.captureFile.c_str();
}

// The named file, opened for writing in place of what was there.
bool PacketOutput::OpenStream(FILE*& file, const char* what) noexcept {
  // Links as the window's saves follow them, and none that was put where they led since.
  WriteTarget target = FollowLinksToWrite(choice_.captureFile);
  if (target.path.empty()) {
    if (target.refused == EACCES) reason_ = "a link that another user made in a shared folder is not followed";
    Failed(target.refused, what);
    return false;
  }
  int fd = open(target.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (target.unnamed ? 0 : O_NOFOLLOW),
                0666);
  file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    Failed(errno, what);
    if (fd >= 0) close(fd);
    return false;
  }
  file_ = file;
  return true;
}

// The pcapng block in block_; a short write marks the stream, as a record of libpcap's does.
void PacketOutput::WriteBlock(FILE* file) noexcept {
  if (fwrite(block_.data(), 1, block_.size(), file) != block_.size()) Failed(errno, CaptureName());
}

bool PacketOutput::OpenCaptureFile() noexcept {
  if (choice_.captureFile.empty() || captureOpened_) return true;
  const char* what = CaptureName();
  if (!choice_.pcapng && (format_ = OpenCaptureFileFormat()) == nullptr) {
    Failed(ENOMEM, what);
    return false;
  }
  FILE* file = out_;
  if (choice_.captureFile != "-" && !OpenStream(file, what)) return false;
  if (choice_.pcapng) {
    try {
      block_.clear();
      AppendPcapngHead(block_);
    } catch (...) {
      Failed(ENOMEM, what);
      return false;
    }
    captureOpened_ = true;
    WriteBlock(file);
    if (fflush(file) != 0 || ferror(file) != 0) Failed(errno, what);
    return writeError_ == 0;
  }
  // The dumper is the stream itself: closing file_ closes it.
  dumper_ = pcap_dump_fopen(format_, file);
  if (dumper_ == nullptr) {
    Failed(EIO, what);
    return false;
  }
  captureOpened_ = true;
  if (pcap_dump_flush(dumper_) != 0 || ferror(file) != 0) {
    Failed(errno, what);
    return false;
  }
  return true;
}

// Learns what this datagram says first, so that a DNS answer's own line may show its names.
void PacketOutput::NameAddresses(const uint8_t* datagram, size_t length) {
  from_.name.clear();
  to_.name.clear();
  if (!choice_.names) return;
  learner_.Learn(datagram, length, static_cast<int64_t>(stored_));
  DatagramLayers layers = LocateLayers(datagram, length);
  if (layers.source == nullptr) return;
  for (auto [address, name] : {std::pair{layers.source, &from_}, std::pair{layers.destination, &to_}}) {
    NameAddress a = NameAddress::Of(address, layers.addressLength);
    if (!TheLearnedNames().Find(a, *name)) {
      name->name.clear();
      if (choice_.lookUpNames) TheNameResolver().Ask(a);
    }
  }
}

// The columns from the protocol word on, each address replaced by its name when it has one.
void PacketOutput::AppendColumns(const char* columns, size_t size) {
  auto nameOf = [this](size_t field) -> const std::string* {
    const std::string* name = field == 1 ? &from_.name : field == 3 ? &to_.name : nullptr;
    return name != nullptr && !name->empty() ? name : nullptr;
  };
  size_t field = 0;
  for (size_t k = 0; k < size; ++k) {
    if (columns[k] != '\t') {
      if (nameOf(field) == nullptr) text_ += columns[k];
      continue;
    }
    text_ += '\t';
    if (const std::string* name = nameOf(++field)) text_ += *name;
  }
}

void PacketOutput::Print(const uint8_t* datagram, size_t length, const DatagramFields& f, int64_t receiveTime) {
  text_.clear();
  uint64_t index = stored_;
  NameAddresses(datagram, length);
  if (choice_.json) {
    char number[192];  // two IPv6 addresses fit
    snprintf(number, sizeof number, "{\"index\":%llu,\"time\":\"", static_cast<unsigned long long>(index));
    text_ += number;
    text_ += Rfc3339Time(receiveTime);
    text_ += '"';
    if (source_ < sourceNames_.size()) {
      text_ += ",\"source\":";
      AppendJsonString(text_, sourceNames_[source_]);
    }
    text_ += f.ipv6 ? ",\"family\":6,\"protocol\":\"" : ",\"family\":4,\"protocol\":\"";
    text_ += ProtocolWord(f.protocol);
    snprintf(number, sizeof number, "\",\"from\":\"%s\",\"from_port\":%u,\"to\":\"%s\",\"to_port\":%u,", f.src,
             f.sport, f.dst, f.dport);
    text_ += number;
    snprintf(number, sizeof number, "\"size\":%u,\"ttl\":%u", f.totalLength, f.ttl);
    text_ += number;
    for (auto [key, name] : {std::pair{",\"from_name\":", &from_.name}, std::pair{",\"to_name\":", &to_.name}}) {
      if (name->empty()) continue;
      text_ += key;
      AppendJsonString(text_, *name);
    }
    if (choice_.essentials) AppendJsonEssentials(text_, ReadHeaderFields(datagram, length));
    if (programs_ != nullptr) {
      text_ += ",\"programs\":";
      AppendJsonPrograms(text_, *programs_, owner_);
    }
    if (choice_.info) {
      text_ += ",\"info\":";
      AppendJsonString(text_, PacketInfoText(datagram, length));
    }
    if (choice_.details) {
      text_ += ",\"report\":";
      BuildReportTexts(static_cast<int64_t>(index), f.protocol, datagram, length, nullptr, &report_);
      AppendJsonString(text_, report_);
    }
    text_ += "}\n";
  } else {
    time_.Append(text_, receiveTime);
    if (source_ < sourceNames_.size()) text_ += sourceNames_[source_] + '\t';
    char line[32 + kPacketColumnsMax];
    int n = snprintf(line, sizeof line, "%llu\t", static_cast<unsigned long long>(index));
    size_t columns = FormatPacketColumns(f, line + n);
    text_.append(line, static_cast<size_t>(n));
    AppendColumns(line + n, columns);
    if (choice_.essentials) {
      text_ += '\t';
      AppendEssentials(text_, ReadHeaderFields(datagram, length));
    }
    if (programs_ != nullptr) {
      text_ += '\t';
      text_ += programs_->OwnerText(owner_);
    }
    if (choice_.info) {
      text_ += '\t';
      AppendPacketInfo(text_, datagram, length);
    }
    text_ += '\n';
    if (choice_.dump == Dump::kHex) AppendHexDump(text_, datagram, length);
    if (choice_.dump == Dump::kAscii) {
      AppendAsciiDump(text_, datagram, length, ReadHeaderFields(datagram, length).payloadAt);
    }
    if (choice_.details) {
      BuildReportTexts(static_cast<int64_t>(index), f.protocol, datagram, length, &report_, nullptr);
      text_ += report_;
      text_ += '\n';
    }
  }
  if (fwrite(text_.data(), 1, text_.size(), out_) != text_.size()) Failed(errno, "to standard output");
}

bool PacketOutput::Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
                        int64_t receiveTime) noexcept {
  // Several sources take turns here: one may bring a datagram after another's reached -c.
  if (choice_.count != 0 && stored_ >= choice_.count) return false;
  try {
    if (choice_.lines) Print(datagram, length, fields, receiveTime);
  } catch (...) {
    // A line or report that could not be made: say so rather than go on without it.
    Failed(ENOMEM, "to standard output");
  }
  if (dumper_ != nullptr) DumpDatagram(dumper_, datagram, length, RecordTime(receiveTime));
  if (captureOpened_ && choice_.pcapng) {
    try {
      block_.clear();
      AppendPcapngPacket(block_, datagram, length, receiveTime, programs_, owner_);
      WriteBlock(CaptureStream());
    } catch (...) {
      Failed(ENOMEM, CaptureName());
    }
  }
  ++stored_;
  return writeError_ == 0 && (choice_.count == 0 || stored_ < choice_.count);
}

void PacketOutput::BatchDone() noexcept {
  if (stored_ == flushed_) return;
  flushed_ = stored_;
  Flush();
}

void PacketOutput::Flush() noexcept {
  if (choice_.lines && fflush(out_) != 0) Failed(errno, "to standard output");
  // A record that could not be written marks the stream, even if this flush succeeds.
  if (captureOpened_) {
    FILE* file = CaptureStream();
    int flushed = dumper_ != nullptr ? pcap_dump_flush(dumper_) : fflush(file);
    if (flushed != 0 || ferror(file) != 0) Failed(errno, CaptureName());
  }
}

bool PacketOutput::Finish() noexcept {
  Flush();
  if (file_ != nullptr) {
    dumper_ = nullptr;  // the dumper is file_'s stream
    if (fclose(std::exchange(file_, nullptr)) != 0) Failed(errno, choice_.captureFile.c_str());
  }
  return writeError_ == 0;
}

}  // namespace trovix::cli
