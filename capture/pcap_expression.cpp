#include "capture/pcap_expression.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "capture/helper_protocol.h"
#include "capture/kernel_filter.h"
#include "capture/packet_line.h"

namespace trovix {

static_assert(sizeof(bpf_insn) == sizeof(sock_filter));

bool CompileExpression(const std::string& expression, int linkType, std::vector<sock_filter>& program,
                       std::string& error) {
  static std::mutex compiling;
  std::lock_guard<std::mutex> one(compiling);
  pcap_t* p = pcap_open_dead(linkType, static_cast<int>(kKernelSnapLength));
  bpf_program compiled{};
  bool ok = p != nullptr && pcap_compile(p, &compiled, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
  if (ok) {
    program.resize(compiled.bf_len);
    std::memcpy(program.data(), compiled.bf_insns, program.size() * sizeof(sock_filter));
    pcap_freecode(&compiled);
  } else {
    error = p != nullptr ? pcap_geterr(p) : "cannot compile the expression";
  }
  if (p != nullptr) pcap_close(p);
  return ok;
}

bool CaptureRuns(const std::vector<sock_filter>& program, std::string& error) {
  if (program.size() > kMaxExpressionInstructions) {
    error = "the expression makes a program of " + std::to_string(program.size()) +
            " instructions, more than the capture can run (" + std::to_string(kMaxExpressionInstructions) + ")";
    return false;
  }
  if (!ExpressionReadsOnlyTheDatagram(program.data(), program.size())) {
    error = "the expression may read outside the datagram (an index that could come out negative, or what "
            "the kernel keeps beside it), which the capture does not run";
    return false;
  }
  return true;
}

void KeptPackets(const PacketStore& store, const std::vector<sock_filter>& program, const CaptureSettings* fields,
                 uint32_t from, uint32_t to, std::vector<int32_t>& kept) {
  // libpcap's interpreter only reads the program; the cast is its C signature's.
  bpf_program filter{static_cast<u_int>(program.size()),
                     reinterpret_cast<bpf_insn*>(const_cast<sock_filter*>(program.data()))};
  to = std::min(to, PublishedPacketCount(store));
  if (from < to) kept.reserve(kept.size() + (to - from));  // one allocation, not a doubling per growth
  for (uint32_t k = from; k < to; ++k) {
    StoredPacket p;
    if (!LocatePacket(store, static_cast<int32_t>(k), p)) continue;
    size_t length = static_cast<size_t>(p.length);
    if (fields != nullptr) {
      DatagramFields read;
      if (!ScreenDatagram(*fields, p.bytes, length, read)) continue;
    }
    // The interpreter checks every load against the captured length it is given.
    pcap_pkthdr header{{}, static_cast<bpf_u_int32>(p.length), static_cast<bpf_u_int32>(p.length)};
    if (!program.empty() && pcap_offline_filter(&filter, &header, p.bytes) == 0) continue;
    kept.push_back(static_cast<int32_t>(k));
  }
}

}  // namespace trovix
