// Where trovix-cli's kept datagrams go: a line (or a JSON object) on standard output, the
// report under it with -d, and a record in the capture file with -w.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/capture_thread.h"

struct pcap;
struct pcap_dumper;

namespace trovix::cli {

struct OutputChoice {
  bool lines = true;  // off when standard output is the capture file
  bool json = false;
  bool details = false;
  uint64_t count = 0;  // stop after this many; 0 for no limit
};

class PacketOutput : public DatagramSink {
 public:
  PacketOutput(const OutputChoice& choice, FILE* out);
  ~PacketOutput() override;
  PacketOutput(const PacketOutput&) = delete;
  PacketOutput& operator=(const PacketOutput&) = delete;

  // Starts the capture file `path` ("-" for standard output). False with `error` set.
  bool OpenCaptureFile(const std::string& path, std::string& error);

  bool Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
            int64_t receiveTime) noexcept override;
  void BatchDone() noexcept override;

  uint64_t stored() const { return stored_; }
  // The first write that failed, as errno (EPIPE when the reader went away); 0 if none.
  int writeError() const { return writeError_; }

 private:
  void Print(const uint8_t* datagram, size_t length, const DatagramFields& fields, int64_t receiveTime);

  OutputChoice choice_;
  FILE* out_;
  pcap* format_ = nullptr;
  pcap_dumper* dumper_ = nullptr;
  uint64_t stored_ = 0;
  uint64_t flushed_ = 0;
  int writeError_ = 0;
  std::string text_;  // reused for every line, so a line costs no allocation once it has grown
};

// "2024-05-01T12:00:00.123456789Z" for nanoseconds since 1970.
std::string Rfc3339Time(int64_t receiveTime);

// `text` as a JSON string, quotes included; bytes above 127 as the Latin-1 characters.
void AppendJsonString(std::string& out, const std::string& text);

}  // namespace trovix::cli
