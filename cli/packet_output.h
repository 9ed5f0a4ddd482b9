// Where trovix-cli's kept datagrams go: a line (or a JSON object) on standard output, the
// datagram's bytes under it with -A or -X, its report with -d, and a record in the capture
// file with -w.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/learned_names.h"
#include "capture/program_table.h"
#include "capture/sources/source.h"
#include "cli/time_column.h"
#include "report/name_learner.h"

struct pcap;
struct pcap_dumper;

namespace trovix::cli {

// The datagram's bytes under its line: none, as text (-A), or in hex and text (-X).
enum class Dump { kNone, kAscii, kHex };

struct OutputChoice {
  bool lines = true;  // off when standard output is the capture file, or with -q
  bool json = false;
  bool details = false;
  TimeColumn time = TimeColumn::kLocal;
  uint64_t count = 0;  // stop after this many; 0 for no limit
  std::string captureFile;  // -w: "-" for standard output, empty for none
  bool essentials = false;  // -v: a column of header fields, or JSON fields
  Dump dump = Dump::kNone;
  bool pcapng = false;  // the capture file as pcapng, each datagram's programs its comments
  bool info = false;         // --info: a last column (and "info") of what each datagram is
  bool names = false;        // --names: learned names in the address fields
  bool lookUpNames = false;  // --look-up-names: the system's resolver for the rest
};

class PacketOutput : public DatagramSink {
 public:
  PacketOutput(const OutputChoice& choice, FILE* out);
  ~PacketOutput() override;
  PacketOutput(const PacketOutput&) = delete;
  PacketOutput& operator=(const PacketOutput&) = delete;

  // Opens the capture file, if one was chosen, and writes its header out at once, so that
  // a file that cannot be written is known before any datagram. Call only once the
  // datagrams' source is ready: until then the file is left as it was. False when it
  // failed (see failure()).
  bool OpenCaptureFile() noexcept;
  bool CaptureOpened() noexcept override { return OpenCaptureFile(); }

  bool Take(const uint8_t* datagram, size_t length, const DatagramFields& fields,
            int64_t receiveTime) noexcept override;
  void BatchDone() noexcept override;
  // With names (a capture of several sources), each line names its datagram's source
  // after the time, and each JSON object has "source".
  void SetSourceNames(std::vector<std::string> names) { sourceNames_ = std::move(names); }
  void FromSource(int source) noexcept override { source_ = static_cast<size_t>(source); }
  // With a table (--programs), each line ends in a column of the datagram's programs and
  // each JSON object has "programs"; SetOwner names the next datagram's owner entry.
  void ShowPrograms(const ProgramTable* table) { programs_ = table; }
  void SetOwner(uint32_t owner) noexcept override { owner_ = owner; }
  // Writes out everything and closes the capture file; false when any write failed.
  bool Finish() noexcept;

  uint64_t stored() const { return stored_; }
  bool printsLines() const { return choice_.lines; }
  // The first write that failed, as errno (EPIPE when the reader went away); 0 if none.
  int writeError() const { return writeError_; }
  // What could not be written and why, for a message.
  std::string failure() const;

 private:
  void Print(const uint8_t* datagram, size_t length, const DatagramFields& fields, int64_t receiveTime);
  void Flush() noexcept;
  bool OpenStream(FILE*& file, const char* what) noexcept;
  void WriteBlock(FILE* file) noexcept;
  FILE* CaptureStream() const noexcept { return file_ != nullptr ? file_ : out_; }
  const char* CaptureName() const noexcept;
  void Failed(int error, const char* what) noexcept;

  OutputChoice choice_;
  FILE* out_;
  std::vector<std::string> sourceNames_;
  size_t source_ = 0;
  const ProgramTable* programs_ = nullptr;
  uint32_t owner_ = kUnknownOwner;
  TimeFormatter time_;
  pcap* format_ = nullptr;
  pcap_dumper* dumper_ = nullptr;
  FILE* file_ = nullptr;  // the capture file's stream, when it is not `out_`
  bool captureOpened_ = false;
  std::vector<uint8_t> block_;  // a pcapng block, reused for every datagram
  uint64_t stored_ = 0;
  uint64_t flushed_ = 0;
  int writeError_ = 0;
  const char* failedWhat_ = "";
  const char* reason_ = nullptr;  // what to say instead of the error's text
  // The addresses' names as --names shows them: `from` and `to` stay empty for none.
  void NameAddresses(const uint8_t* datagram, size_t length);
  void AppendColumns(const char* columns, size_t size);

  NameLearner learner_;
  LearnedName from_, to_;
  std::string text_;  // reused for every line, so a line costs no allocation once it has grown
  std::string report_;
};

// "2024-05-01T12:00:00.123456789Z" for nanoseconds since 1970.
std::string Rfc3339Time(int64_t receiveTime);

// The JSON list of an owner's programs: {"name", "pid", "user", "end"} for each end that
// is named ("name" and "pid" null for a user alone), the source's first.
void AppendJsonPrograms(std::string& out, const ProgramTable& table, uint32_t owner);

// `text` as a JSON string, quotes included; bytes above 127 as the Latin-1 characters.
void AppendJsonString(std::string& out, const std::string& text);

}  // namespace trovix::cli
