#include "cli/packet_output.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <ctime>

#include "capture/packet_line.h"
#include "report/packet_report.h"
#include "settings/capture_file.h"

namespace trovix::cli {
namespace {

// The views a first start of the window shows a payload in.
constexpr ReportViews kReportViews{false, true, false};

void AppendReportLines(std::string& out, const std::string& report) {
  for (char c : report) {
    if (c != '\r') out += c;
  }
}

}  // namespace

std::string Rfc3339Time(int64_t receiveTime) {
  time_t seconds = static_cast<time_t>(receiveTime / 1000000000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[48];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%09lldZ", static_cast<long long>(receiveTime % 1000000000));
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

PacketOutput::PacketOutput(const OutputChoice& choice, FILE* out) : choice_(choice), out_(out) {}

PacketOutput::~PacketOutput() {
  if (dumper_ != nullptr) pcap_dump_close(dumper_);
  if (format_ != nullptr) pcap_close(format_);
}

bool PacketOutput::OpenCaptureFile(const std::string& path, std::string& error) {
  format_ = OpenCaptureFileFormat();
  if (format_ != nullptr) dumper_ = pcap_dump_open(format_, path.c_str());
  if (dumper_ == nullptr) {
    error = "cannot write " + path + ": " + (format_ != nullptr ? pcap_geterr(format_) : "libpcap failed");
    return false;
  }
  return true;
}

void PacketOutput::Print(const uint8_t* datagram, size_t length, const DatagramFields& f, int64_t receiveTime) {
  text_.clear();
  uint64_t index = stored_;
  if (choice_.json) {
    char number[192];  // two IPv6 addresses fit
    snprintf(number, sizeof number, "{\"index\":%llu,\"time\":\"", static_cast<unsigned long long>(index));
    text_ += number;
    text_ += Rfc3339Time(receiveTime);
    text_ += f.ipv6 ? "\",\"family\":6,\"protocol\":\"" : "\",\"family\":4,\"protocol\":\"";
    text_ += ProtocolWord(f.protocol, f.ipv6);
    snprintf(number, sizeof number, "\",\"from\":\"%s\",\"from_port\":%u,\"to\":\"%s\",\"to_port\":%u,", f.src,
             f.sport, f.dst, f.dport);
    text_ += number;
    snprintf(number, sizeof number, "\"size\":%u,\"ttl\":%u", f.totalLength, f.ttl);
    text_ += number;
    if (choice_.details) {
      text_ += ",\"report\":";
      std::string report;
      AppendReportLines(report, BuildDatagramReport(static_cast<int64_t>(index), f.protocol, datagram, length, kReportViews));
      AppendJsonString(text_, report);
    }
    text_ += "}\n";
  } else {
    char line[32 + kPacketColumnsMax];
    int n = snprintf(line, sizeof line, "%llu\t", static_cast<unsigned long long>(index));
    FormatPacketColumns(f, line + n);
    text_ += line;
    text_ += '\n';
    if (choice_.details) {
      AppendReportLines(text_, BuildDatagramReport(static_cast<int64_t>(index), f.protocol, datagram, length, kReportViews));
      text_ += '\n';
    }
  }
  if (fwrite(text_.data(), 1, text_.size(), out_) != text_.size() && writeError_ == 0) writeError_ = errno;
}

bool PacketOutput::Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
                        int64_t receiveTime) noexcept {
  try {
    if (choice_.lines) Print(datagram, length, fields, receiveTime);
  } catch (...) {
    writeError_ = ENOMEM;  // a report that could not be made: say so rather than go on without it
  }
  if (dumper_ != nullptr) DumpDatagram(dumper_, datagram, length, receiveTime);
  ++stored_;
  return writeError_ == 0 && (choice_.count == 0 || stored_ < choice_.count);
}

void PacketOutput::BatchDone() noexcept {
  if (stored_ == flushed_) return;
  flushed_ = stored_;
  if (choice_.lines && fflush(out_) != 0 && writeError_ == 0) writeError_ = errno;
  if (dumper_ != nullptr && pcap_dump_flush(dumper_) != 0 && writeError_ == 0) writeError_ = errno;
}

}  // namespace trovix::cli
