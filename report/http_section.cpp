// HTTP/1.x section of the packet report (RFC 9112 start line, RFC 9110 fields): the request
// or status line of a segment that begins a message, and the fields that say what it is.
#include <array>
#include <string_view>

#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr std::array<std::string_view, 9> kMethods = {"GET ",     "POST ",  "HEAD ",    "PUT ",  "DELETE ",
                                                      "OPTIONS ", "PATCH ", "CONNECT ", "TRACE "};
constexpr std::string_view kVersionStart = "HTTP/1.";
constexpr std::array<std::string_view, 6> kShownFields = {"Host",           "User-Agent", "Content-Type",
                                                          "Content-Length", "Server",     "Location"};

bool StartsWith(ByteReader& r, size_t at, std::string_view text) {
  if (!r.Has(at, text.size())) return false;
  for (size_t k = 0; k < text.size(); ++k) {
    if (r.U8(at + k) != static_cast<uint8_t>(text[k])) return false;
  }
  return true;
}

char Lower(uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

bool SameName(ByteReader& r, size_t at, size_t end, std::string_view name) {
  if (end - at != name.size()) return false;
  for (size_t k = 0; k < name.size(); ++k) {
    if (Lower(r.U8(at + k)) != Lower(static_cast<uint8_t>(name[k]))) return false;
  }
  return true;
}

struct Line {
  size_t start, end;  // end before the CR LF (or the lone LF)
  size_t next;        // after it; 0 when the segment ends first
};

Line LineAt(ByteReader& r, size_t at) {
  for (size_t k = at; k < r.size(); ++k) {
    if (r.U8(k) != '\n') continue;
    size_t end = k > at && r.U8(k - 1) == '\r' ? k - 1 : k;
    return {at, end, k + 1};
  }
  return {at, r.size(), 0};
}

size_t Find(ByteReader& r, size_t at, size_t end, uint8_t byte) {
  while (at < end && r.U8(at) != byte) ++at;
  return at;
}

void AppendPart(std::string& out, const char* label, ByteReader& r, size_t at, size_t end) {
  out += label;
  AppendEscaped(out, r, at, end - at);
  out += kLineEnd;
}

// A request's method, target and version, or a response's version, status and reason,
// split at their first two spaces.
void AppendStartLine(std::string& out, ByteReader& r, const Line& line) {
  size_t first = Find(r, line.start, line.end, ' ');
  size_t second = Find(r, first + 1 < line.end ? first + 1 : line.end, line.end, ' ');
  if (first >= line.end) {
    out += "invalid start line\r\n";
    return;
  }
  bool response = StartsWith(r, line.start, kVersionStart);
  const char* labels[3] = {"method = ", "target = ", "version = "};
  if (response) {
    labels[0] = "version = ";
    labels[1] = "status code = ";
    labels[2] = "reason = ";
  }
  AppendPart(out, labels[0], r, line.start, first);
  AppendPart(out, labels[1], r, first + 1, second);
  if (second < line.end) AppendPart(out, labels[2], r, second + 1, line.end);
}

// A field line "name: value" whose name is one of those shown, without the blanks around
// the value.
void AppendField(std::string& out, ByteReader& r, const Line& line) {
  size_t colon = Find(r, line.start, line.end, ':');
  if (colon >= line.end) return;
  for (std::string_view name : kShownFields) {
    if (!SameName(r, line.start, colon, name)) continue;
    size_t value = colon + 1;
    size_t end = line.end;
    while (value < end && (r.U8(value) == ' ' || r.U8(value) == '\t')) ++value;
    while (end > value && (r.U8(end - 1) == ' ' || r.U8(end - 1) == '\t')) --end;
    out += name;
    AppendPart(out, " = ", r, value, end);
  }
}

}  // namespace

bool BeginsHttpMessage(ByteReader payload) {
  if (StartsWith(payload, 0, kVersionStart)) return true;
  for (std::string_view method : kMethods) {
    if (StartsWith(payload, 0, method)) return true;
  }
  return false;
}

// True when the segment ends before the empty line that ends the fields.
bool AppendHttpFields(std::string& out, ByteReader payload, bool) {
  Line line = LineAt(payload, 0);
  AppendStartLine(out, payload, line);
  while (line.next != 0) {
    line = LineAt(payload, line.next);
    if (line.next == 0) return true;  // a field line cut by the segment's end is not shown
    if (line.start == line.end) return false;
    AppendField(out, payload, line);
  }
  return true;
}

}  // namespace trovix
