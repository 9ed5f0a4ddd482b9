// HTTP/1.x section of the packet report (RFC 9112 start line, RFC 9110 fields): the request
// or status line of a segment that begins a message, and the fields that say what it is.
#include <array>
#include <string_view>

#include "report/packet_meaning.h"
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

// Where the first two spaces of a start line are; `first` is at the line's end when
// it has none.
struct StartLineSpaces {
  size_t first, second;
};

StartLineSpaces SplitStartLine(ByteReader& r, const Line& line) {
  size_t first = Find(r, line.start, line.end, ' ');
  size_t second = Find(r, first + 1 < line.end ? first + 1 : line.end, line.end, ' ');
  return {first, second};
}

// A request's method, target and version, or a response's version, status and reason,
// split at their first two spaces.
void AppendStartLine(std::string& out, ByteReader& r, const Line& line) {
  auto [first, second] = SplitStartLine(r, line);
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

// The shown field a line "name: value" holds, with its value without the blanks around
// it; nullptr when it holds none.
const std::string_view* FieldOf(ByteReader& r, const Line& line, size_t& value, size_t& end) {
  size_t colon = Find(r, line.start, line.end, ':');
  if (colon >= line.end) return nullptr;
  for (const std::string_view& name : kShownFields) {
    if (!SameName(r, line.start, colon, name)) continue;
    value = colon + 1;
    end = line.end;
    while (value < end && (r.U8(value) == ' ' || r.U8(value) == '\t')) ++value;
    while (end > value && (r.U8(end - 1) == ' ' || r.U8(end - 1) == '\t')) --end;
    return &name;
  }
  return nullptr;
}

void AppendField(std::string& out, ByteReader& r, const Line& line) {
  size_t value = 0, end = 0;
  const std::string_view* name = FieldOf(r, line, value, end);
  if (name == nullptr) return;
  out += *name;
  AppendPart(out, " = ", r, value, end);
}

// Calls each(line) for every field line of the header, in order; false when the segment
// ends before the empty line that ends them.
template <typename Each>
bool WalkFieldLines(ByteReader& r, Line line, Each&& each) {
  while (line.next != 0) {
    line = LineAt(r, line.next);
    if (line.next == 0) return false;  // a field line cut by the segment's end is not shown
    if (line.start == line.end) return true;
    each(line);
  }
  return false;
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
  return !WalkFieldLines(payload, line, [&](const Line& field) { AppendField(out, payload, field); });
}

bool ReadHttpMessage(ByteReader payload, HttpReading& out) {
  for (std::string* part : {&out.first, &out.second, &out.third, &out.host, &out.contentType}) part->clear();
  if (!BeginsHttpMessage(payload)) return false;
  Line line = LineAt(payload, 0);
  auto [first, second] = SplitStartLine(payload, line);
  if (first >= line.end) return false;
  out.response = StartsWith(payload, line.start, kVersionStart);
  AppendEscaped(out.first, payload, line.start, first - line.start);
  AppendEscaped(out.second, payload, first + 1, second - first - 1);
  if (second < line.end) AppendEscaped(out.third, payload, second + 1, line.end - second - 1);
  WalkFieldLines(payload, line, [&](const Line& field) {
    size_t value = 0, end = 0;
    const std::string_view* name = FieldOf(payload, field, value, end);
    std::string* kept = name == nullptr ? nullptr : *name == "Host" ? &out.host : *name == "Content-Type" ? &out.contentType : nullptr;
    if (kept != nullptr && kept->empty()) AppendEscaped(*kept, payload, value, end - value);
  });
  return true;
}

}  // namespace trovix
