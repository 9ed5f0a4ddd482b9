// The file is made in memory (open_memstream) so that it goes to disk through the same
// replace-when-whole path as every other save.
#include "capture/sources/pcap_writer.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "capture/packet_line.h"
#include "capture/packet_store.h"

namespace trovix {
namespace {

struct MemoryFile {
  char* buffer = nullptr;
  size_t size = 0;
  ~MemoryFile() { std::free(buffer); }
};

bool EndsWithNoCase(std::string_view path, std::string_view suffix) {
  if (path.size() < suffix.size()) return false;
  std::string_view tail = path.substr(path.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

uint32_t OriginalLength(const uint8_t* datagram, size_t length) {
  return std::max(DatagramSize(datagram, length), static_cast<uint32_t>(length));
}

pcap_t* OpenCaptureFileFormat() {
  return pcap_open_dead_with_tstamp_precision(DLT_RAW, kCaptureSnapLength, PCAP_TSTAMP_PRECISION_NANO);
}

void DumpDatagram(pcap_dumper_t* dumper, const uint8_t* datagram, size_t length, int64_t receiveTime) {
  pcap_pkthdr header{};
  // With nanosecond precision libpcap takes tv_usec as nanoseconds.
  header.ts.tv_sec = static_cast<time_t>(receiveTime / 1000000000);
  header.ts.tv_usec = static_cast<suseconds_t>(receiveTime % 1000000000);
  size_t written = std::min<size_t>(length, kCaptureSnapLength);
  header.caplen = static_cast<bpf_u_int32>(written);
  header.len = OriginalLength(datagram, length);
  pcap_dump(reinterpret_cast<u_char*>(dumper), &header, datagram);
}

bool IsPacketCaptureName(std::string_view path) { return EndsWithNoCase(path, ".pcap"); }

bool IsPcapngName(std::string_view path) { return EndsWithNoCase(path, ".pcapng"); }

bool EachSavedPacket(const CaptureState& state, const std::vector<int32_t>* only,
                     const std::function<void(int32_t index, const StoredPacket& packet)>& each) {
  uint32_t count = only != nullptr ? static_cast<uint32_t>(only->size()) : PublishedPacketCount(state.store);
  for (uint32_t k = 0; k < count; ++k) {
    int32_t index = only != nullptr ? (*only)[k] : static_cast<int32_t>(k);
    StoredPacket packet;
    if (!LocatePacket(state.store, index, packet)) return false;
    each(index, packet);
  }
  return true;
}

bool PacketCaptureBytes(const CaptureState& state, std::vector<uint8_t>& out, const std::vector<int32_t>* only) {
  out.clear();
  std::unique_ptr<pcap_t, decltype(&pcap_close)> dead(OpenCaptureFileFormat(), &pcap_close);
  if (!dead) return false;
  MemoryFile memory;
  FILE* file = open_memstream(&memory.buffer, &memory.size);
  if (file == nullptr) return false;
  pcap_dumper_t* dumper = pcap_dump_fopen(dead.get(), file);
  if (dumper == nullptr) {
    std::fclose(file);
    return false;
  }
  bool ok = EachSavedPacket(state, only, [dumper](int32_t, const StoredPacket& packet) {
    DumpDatagram(dumper, packet.bytes, static_cast<size_t>(packet.length), packet.receiveTime);
  });
  ok = pcap_dump_flush(dumper) == 0 && std::ferror(file) == 0 && ok;
  pcap_dump_close(dumper);  // closes the memory file, which fixes buffer and size
  if (!ok || memory.buffer == nullptr) return false;
  out.assign(memory.buffer, memory.buffer + memory.size);
  return true;
}

}  // namespace trovix
