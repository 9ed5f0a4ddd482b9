// tcpdump capturing beside Trovix in a benchmark: started on lo writing a pcap file, then
// stopped and its file read back for the numbered datagrams it holds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace trovix::bench {

struct TcpdumpResult {
  uint32_t captured = 0;  // datagrams of the burst in the file
  uint32_t missing = 0;   // of 0 .. sent-1, those not found in order
  std::string summary;    // tcpdump's own "... dropped by kernel" line
  double cpuMs = 0;       // user + system, start to end
};

class TcpdumpPeer {
 public:
  ~TcpdumpPeer();
  // Returns once tcpdump says it is listening; false when it could not start. A
  // `bufferKiB` other than 0 is its -B (the ring's size).
  bool Start(const std::string& program, const std::string& filter, int bufferKiB = 0);
  // Gives tcpdump time to hand over its last ring block, stops it and reads its file.
  TcpdumpResult Stop(uint32_t sent);

 private:
  pid_t pid_ = -1;
  int stderrFd_ = -1;
  std::string file_;
};

// Reads a capture program's standard error until it says "listening on" (both tcpdump and
// trovix-cli do once their socket is open), keeping what it read in `said`. False when it
// ended or stayed silent for 5 s first.
bool AwaitListening(int stderrFd, std::string& said);

// The 4-byte sequence numbers at the start of each UDP payload in an Ethernet pcap file,
// over IPv4 or IPv6 (UDP right behind the IPv6 header).
std::vector<uint32_t> PcapSequences(const std::string& file);

}  // namespace trovix::bench
