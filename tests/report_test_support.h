// Stores and datagrams built by the report tests themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/capture_state.h"
#include "capture/packet_store.h"
#include "report/packet_report.h"

namespace trovix::test {

using Bytes = std::vector<uint8_t>;

// The report of an IPv4 datagram up to its IP header's own section: the lines its upper
// layer's section prints, which the golden file pins with the rest. Any other report whole.
inline std::string UpperLayerLines(const std::string& report, int64_t index) {
  size_t own = report.find("\r\npacket" + std::to_string(index) + " ipv4\r\n");
  return own == std::string::npos ? report : report.substr(0, own);
}

// A store filled by the capture's own append steps, without its filters, so that any
// protocol entry and any malformed datagram can be stored.
struct TestStore {
  std::unique_ptr<PacketStore> store = std::make_unique<PacketStore>();

  int32_t Add(uint8_t protocol, const Bytes& bytes) {
    uint32_t index = PublishedPacketCount(*store);
    EXPECT_NE(AppendPacket(*store, protocol, bytes.data(), bytes.size()), AcceptResult::kNoRoom);
    return static_cast<int32_t>(index);
  }

  std::string Report(int32_t index, ReportViews views = {}) const {
    return UpperLayerLines(BuildPacketReport(*store, index, views).text, index);
  }
};

// An IP header of (firstByte & 0x0F) * 4 bytes, then `transport`. Only the first byte and
// the fragment field matter to the report; the rest is filled so that it would show if
// misread.
inline Bytes Datagram(const Bytes& transport, uint8_t firstByte = 0x45, uint16_t fragment = 0) {
  Bytes d((firstByte & 0x0F) * 4u, 0xEE);
  d[0] = firstByte;
  if (d.size() >= 8) {
    d[6] = static_cast<uint8_t>(fragment >> 8);
    d[7] = static_cast<uint8_t>(fragment);
  }
  d.insert(d.end(), transport.begin(), transport.end());
  return d;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The fixed start of every report of packet `index`, up to and including its title line.
inline std::string Title(int32_t index, const std::string& kind) {
  return "packets source:\r\n\r\npacket" + std::to_string(index) + " " + kind + "\r\n";
}

}  // namespace trovix::test
