// Learning names from stored datagrams: what a DNS answer, a ClientHello, an HTTP request
// or a DHCP message says of an address goes into a LearnedNames table. Off the capture
// path: the window runs it as its list updates, trovix-cli as it writes each datagram.
#pragma once

#include <cstdint>
#include <string>

#include "capture/capture_state.h"
#include "capture/learned_names.h"
#include "report/datagram_layers.h"
#include "report/packet_meaning.h"

namespace trovix {

// Learns from stored datagrams off the capture path. It keeps its readings between
// datagrams, so a pass allocates only for the names it keeps.
class NameLearner {
 public:
  explicit NameLearner(LearnedNames& names) : names_(names) {}
  // Learns what one datagram says, as packet `packet`.
  void Learn(const uint8_t* datagram, size_t length, int64_t packet);
  // Learns from the packets published since the last call; returns how many it read.
  uint32_t CatchUp(const PacketStore& store);
  // The next pass starts at packet 0 again (a new capture).
  void Restart() { next_ = 0; }
  uint32_t next() const { return next_; }

 private:
  void LearnDns(const DatagramLayers& layers, bool tcp, int64_t packet);
  void LearnTls(const DatagramLayers& layers, int64_t packet);
  void LearnHttp(const DatagramLayers& layers, int64_t packet);
  void LearnDhcp(const DatagramLayers& layers, int64_t packet);

  LearnedNames& names_;
  uint32_t next_ = 0;
  DnsReading dns_;
  TlsReading tls_;
  HttpReading http_;
  DhcpReading dhcp_;
  std::string chain_;
};

}  // namespace trovix
