// corpus_frames FILE: every datagram `trovix-cli -r FILE -d` keeps, as "frame N" (the
// file's record number, counted from 1 as other readers of the file count them) and then
// the datagram's report exactly as trovix-cli prints it. corpus_compare.py pairs these
// reports with another reader's fields by that number; nothing here decodes a field.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/packet_line.h"
#include "capture/sources/local_source.h"
#include "capture/sources/stream_source.h"
#include "cli/options.h"
#include "cli/report_texts.h"

namespace trovix {
namespace {

class FrameReports : public DatagramSink {
 public:
  explicit FrameReports(const FileReading& reading) : reading_(reading) {}
  bool Take(const uint8_t* datagram, size_t length, const DatagramFields& fields, int64_t) noexcept override {
    // The reader counts a record before it hands the record's datagram on.
    unsigned long long frame = reading_.records.load(std::memory_order_relaxed);
    cli::BuildReportTexts(static_cast<int64_t>(kept_++), fields.protocol, datagram, length, &report_, nullptr);
    std::printf("frame %llu\n%s\n", frame, report_.c_str());
    return true;
  }
  void BatchDone() noexcept override { std::fflush(stdout); }

 private:
  const FileReading& reading_;
  uint64_t kept_ = 0;
  std::string report_;
};

}  // namespace
}  // namespace trovix

int main(int argc, char** argv) {
  using namespace trovix;
  if (argc != 2) {
    std::fprintf(stderr, "usage: corpus_frames FILE\n");
    return 2;
  }
  // trovix-cli's own defaults for -r: every protocol, both families.
  char program[] = "trovix-cli", read[] = "-r";
  char* words[] = {program, read, argv[1], nullptr};
  std::string error;
  auto options = cli::ParseOptions(3, words, error);
  if (!options) {
    std::fprintf(stderr, "corpus_frames: %s\n", error.c_str());
    return 2;
  }
  Descriptor fd(open(argv[1], O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    std::fprintf(stderr, "corpus_frames: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  CaptureState& state = TheCaptureState();
  PrepareCapture(state, cli::CaptureOptionsOf(*options));
  FileReading reading;
  FrameReports reports(reading);
  StreamSource::Read(state, std::move(fd), reading, reports, nullptr);
  std::fflush(stdout);
  if (reading.end == FileEnd::kBadInput) {
    std::fprintf(stderr, "corpus_frames: %s: %s\n", argv[1], reading.problem.c_str());
    return 1;
  }
  return 0;
}
