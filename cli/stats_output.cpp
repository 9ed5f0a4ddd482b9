#include "cli/stats_output.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "capture/packet_line.h"
#include "capture/printable_text.h"

namespace trovix::cli {
namespace {

// One value of a row: a text (quoted in JSON), a number, nothing (an empty column, JSON
// null), or a list of texts (joined by ", ", a JSON array).
struct Cell {
  enum Kind { kText, kNumber, kNull, kList } kind;
  std::string text;
  std::vector<std::string> items = {};
};
using Row = std::vector<Cell>;

Cell Text(std::string text) { return {Cell::kText, std::move(text)}; }
Cell Number(uint64_t n) { return {Cell::kNumber, std::to_string(n)}; }
Cell Null() { return {Cell::kNull, ""}; }

// Nanoseconds as seconds with six decimals, cut rather than rounded.
Cell Seconds(int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%" PRId64 ".%06" PRId64, ns < 0 ? "-" : "", (ns < 0 ? -ns : ns) / 1000000000,
                (ns < 0 ? -ns : ns) % 1000000000 / 1000);
  return {Cell::kNumber, text};
}

Cell Percent(uint64_t part, uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2f", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return {Cell::kNumber, text};
}

Cell Programs(const Statistics& s, const ProgramIds& ids) {
  Cell cell{Cell::kList, ""};
  for (uint32_t id : ids.id) {
    if (id != kNoProgram) cell.items.push_back(s.ProgramText(id));
  }
  return cell;
}

void AppendTsvText(std::string& out, const std::string& text) { out += PrintableText(text, text.size()); }

void Append(std::string& out, const std::vector<const char*>& columns, const std::vector<Row>& rows, bool json) {
  if (!json) {
    for (size_t i = 0; i < columns.size(); ++i) (out += i == 0 ? "" : "\t") += columns[i];
    out += '\n';
    for (const Row& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        if (i != 0) out += '\t';
        if (row[i].kind != Cell::kList) AppendTsvText(out, row[i].text);
        for (size_t k = 0; k < row[i].items.size(); ++k) {
          if (k != 0) out += ", ";
          AppendTsvText(out, row[i].items[k]);
        }
      }
      out += '\n';
    }
    return;
  }
  out += '[';
  for (size_t r = 0; r < rows.size(); ++r) {
    out += r == 0 ? "\n{" : ",\n{";
    for (size_t i = 0; i < columns.size(); ++i) {
      out += i == 0 ? "\"" : ",\"";
      out += columns[i];
      out += "\":";
      const Cell& cell = rows[r][i];
      switch (cell.kind) {
        case Cell::kText: AppendJsonString(out, cell.text); break;
        case Cell::kNumber: out += cell.text; break;
        case Cell::kNull: out += "null"; break;
        case Cell::kList:
          out += '[';
          for (size_t k = 0; k < cell.items.size(); ++k) {
            if (k != 0) out += ',';
            AppendJsonString(out, cell.items[k]);
          }
          out += ']';
          break;
      }
    }
    out += '}';
  }
  out += rows.empty() ? "]\n" : "\n]\n";
}

Cell Port(bool ports, uint16_t port) { return ports ? Number(port) : Null(); }

void AppendConversations(std::string& out, const Statistics& s, bool json) {
  std::vector<Row> rows;
  const auto& table = s.conversations();
  for (uint32_t i : Statistics::ByBytes(table)) {
    const Conversation& c = table[i];
    bool ipv6 = c.key.ipv6 != 0;
    Traffic all = c.total();
    rows.push_back({Text(ipv6 && c.key.protocol == kIcmpv6 ? "icmp6" : ProtocolWord(c.key.protocol)),
                    Text(AddressText(c.a(), ipv6)), Port(c.ports(), c.aPort()), Text(AddressText(c.b(), ipv6)),
                    Port(c.ports(), c.bPort()), Number(c.aToB.packets), Number(c.aToB.bytes), Number(c.bToA.packets),
                    Number(c.bToA.bytes), Number(all.packets), Number(all.bytes), Seconds(c.first - s.start()),
                    Seconds(c.duration()),
                    c.duration() > 0 ? Number(static_cast<uint64_t>(c.bitsPerSecond() + 0.5)) : Null(),
                    Programs(s, c.programs)});
  }
  Append(out,
         {"protocol", "address_a", "port_a", "address_b", "port_b", "packets_a_to_b", "bytes_a_to_b", "packets_b_to_a",
          "bytes_b_to_a", "packets", "bytes", "first", "duration", "bits_per_second", "programs"},
         rows, json);
}

void AppendEndpoints(std::string& out, const Statistics& s, bool ports, bool json) {
  std::vector<Row> rows;
  const auto& table = ports ? s.ports() : s.addresses();
  for (uint32_t i : Statistics::ByBytes(table)) {
    const Endpoint& e = table[i];
    Traffic all = e.total();
    Row row{Text(AddressText(e.key.address, e.key.ipv6 != 0))};
    if (ports) {
      row.push_back(Text(ProtocolWord(e.key.protocol)));
      row.push_back(Number(e.key.port));
    }
    for (uint64_t n : {e.sent.packets, e.sent.bytes, e.received.packets, e.received.bytes, all.packets, all.bytes}) {
      row.push_back(Number(n));
    }
    row.push_back(Programs(s, e.programs));
    rows.push_back(std::move(row));
  }
  std::vector<const char*> columns = {"address"};
  if (ports) columns.insert(columns.end(), {"protocol", "port"});
  columns.insert(columns.end(), {"packets_sent", "bytes_sent", "packets_received", "bytes_received", "packets", "bytes",
                                 "programs"});
  Append(out, columns, rows, json);
}

void AppendProtocols(std::string& out, const Statistics& s, bool json) {
  std::vector<Row> rows;
  for (const ProtocolNode& node : s.ProtocolTree()) {
    rows.push_back({Text(node.path), Number(node.traffic.packets), Number(node.traffic.bytes),
                    Percent(node.traffic.bytes, s.total().bytes)});
  }
  Append(out, {"protocol", "packets", "bytes", "share"}, rows, json);
}

void AppendPrograms(std::string& out, const Statistics& s, bool json) {
  std::vector<Row> rows;
  const auto& table = s.programs();
  for (uint32_t i : Statistics::ByBytes(table)) {
    const ProgramRow& p = table[i];
    Traffic all = p.total();
    rows.push_back({p.name.empty() ? Null() : Text(p.name), Text(p.user), Number(p.sent.packets), Number(p.sent.bytes),
                    Number(p.received.packets), Number(p.received.bytes), Number(all.packets), Number(all.bytes),
                    Number(p.conversations)});
  }
  Append(out,
         {"program", "user", "packets_sent", "bytes_sent", "packets_received", "bytes_received", "packets", "bytes",
          "conversations"},
         rows, json);
}

}  // namespace

bool ParseStatsTable(std::string_view word, StatsTable& out) {
  constexpr std::pair<std::string_view, StatsTable> kWords[] = {
      {"conversations", StatsTable::kConversations}, {"endpoints", StatsTable::kEndpoints},
      {"ports", StatsTable::kPorts},                 {"protocols", StatsTable::kProtocols},
      {"programs", StatsTable::kPrograms}};
  for (auto [name, table] : kWords) {
    if (word == name) {
      out = table;
      return true;
    }
  }
  return false;
}

int64_t ParseInterval(std::string_view text) {
  constexpr int64_t kYear = int64_t{365} * 86400 * 1000000000;
  size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot), fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  if ((whole.empty() && fraction.empty()) || whole.size() > 9 || fraction.size() > 9 ||
      (dot != std::string_view::npos && fraction.empty())) {
    return 0;
  }
  int64_t ns = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return 0;
    ns = ns * 10 + (c - '0');
  }
  int64_t scale = 100000000, part = 0;
  for (char c : fraction) {
    if (c < '0' || c > '9') return 0;
    part += (c - '0') * scale;
    scale /= 10;
  }
  ns = ns * 1000000000 + part;
  return ns > kYear ? 0 : ns;
}

void AppendStatsTable(std::string& out, const Statistics& s, StatsTable table, bool json) {
  switch (table) {
    case StatsTable::kConversations: AppendConversations(out, s, json); break;
    case StatsTable::kEndpoints: AppendEndpoints(out, s, false, json); break;
    case StatsTable::kPorts: AppendEndpoints(out, s, true, json); break;
    case StatsTable::kProtocols: AppendProtocols(out, s, json); break;
    case StatsTable::kPrograms: AppendPrograms(out, s, json); break;
    case StatsTable::kNone: break;
  }
}

void AppendRates(std::string& out, const Statistics& s, bool json) {
  std::vector<Row> rows;
  for (size_t k = 0; k < s.rates().size(); ++k) {
    const Traffic& t = s.rates()[k];
    rows.push_back({Seconds(static_cast<int64_t>(k) * s.rateInterval()), Number(t.packets), Number(t.bytes)});
  }
  Append(out, {"start", "frames", "bytes"}, rows, json);
}

bool StatisticsSink::Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
                          int64_t receiveTime) noexcept {
  uint64_t before = output_.stored();
  bool more = output_.Take(datagram, length, fields, receiveTime);
  try {
    if (output_.stored() != before) statistics_.Add(datagram, length, fields.protocol, receiveTime, owner_);
  } catch (...) {
    // No memory for a new row: the datagram is left out of the tables, and the capture goes on.
    ++missed_;
  }
  return more;
}

}  // namespace trovix::cli
