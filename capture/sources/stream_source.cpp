// The reader polls its descriptor beside the capture's wake event, so that "stop" ends a
// stream that sends nothing; libpcap reads pcap through a stdio stream made on that poll,
// our block reader pcapng straight from it. The first four bytes tell the two apart.
#include "capture/sources/stream_source.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#include "capture/privilege.h"
#include "capture/program_comment.h"
#include "capture/sources/link_layer.h"
#include "capture/sources/pcapng_reader.h"

namespace trovix {
namespace {

// A lost wake-up delays a stop by at most this long (as for the capture thread).
constexpr int kStopCheckMs = 1000;
// A regular file is read in large pieces; rows are published at least this often.
constexpr size_t kReadBufferSize = 256 * 1024;
constexpr uint64_t kPublishEveryRecords = 4096;

struct Reader {
  CaptureState* state;
  FileReading* reading;
  Descriptor fd;
  int wakeFd;
  StreamHooks* hooks;
  bool ended = false;  // the hooks ended the stream
  int readError = 0;   // errno of a read that failed, other than a stop
  // The first bytes, read to tell the formats apart, handed out again first.
  uint8_t head[4] = {};
  size_t headSize = 0;
  size_t headGiven = 0;
};

// A file or stdin: every frame (that passes the filter, for trovix-cli) to the consumer,
// each pause shows the rows so far or flushes the sink.
class ConsumerHooks : public StreamHooks {
 public:
  ConsumerHooks(CaptureState& state, CaptureListener* listener, DatagramSink* sink, RecordFilter* filter)
      : consumer_(state, listener, sink), filter_(filter) {}
  // The sink (the -w file) opens only once the stream is known to be a capture.
  bool Began() noexcept override { return consumer_.Opened(); }
  AcceptResult Take(const StreamRecord& record) noexcept override {
    if (filter_ != nullptr && !filter_->Passes(record)) {
      return filter_->refused() ? AcceptResult::kStoredLast : AcceptResult::kDropped;
    }
    return consumer_.TakeFrame(record.linkType, record.frame, record.size, record.receiveTime, 0, owners_.Of(record));
  }
  void Pause() noexcept override { consumer_.BatchDone(); }

 private:
  DatagramConsumer consumer_;
  RecordFilter* filter_;
  RecordOwners owners_;
};

bool Stopped(const Reader& r) { return r.ended || r.state->stopFlag.load(std::memory_order_acquire) != 0; }

// The stdio stream's read: waits for bytes or a stop, and lists what came before waiting.
ssize_t ReadSome(void* cookie, char* buffer, size_t size) {
  auto& r = *static_cast<Reader*>(cookie);
  if (r.headGiven < r.headSize) {
    size_t n = std::min(size, r.headSize - r.headGiven);
    std::memcpy(buffer, r.head + r.headGiven, n);
    r.headGiven += n;
    return static_cast<ssize_t>(n);
  }
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR | POLLNVAL;
  pollfd fds[3] = {{r.fd.get(), POLLIN, 0}, {r.wakeFd, POLLIN, 0}, {-1, POLLIN, 0}};
  for (int timeout = 0;; timeout = kStopCheckMs) {
    int textFd = fds[2].fd = r.hooks->TextFd();  // -1 once the hooks stopped watching it
    if (Stopped(r)) {
      errno = ECANCELED;
      return -1;
    }
    int ready = poll(fds, textFd >= 0 ? 3 : 2, timeout);
    if (ready < 0 && errno != EINTR) return r.readError = errno, -1;
    if (ready > 0 && textFd >= 0 && (fds[2].revents & kReadable) != 0 && !r.hooks->TextReady()) {
      r.ended = true;
      continue;
    }
    if (ready > 0 && (fds[0].revents & kReadable) != 0) {
      ssize_t n = read(r.fd.get(), buffer, size);
      if (n > 0) r.reading->bytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EINTR) return r.readError = errno, -1;
    }
    if (timeout == 0) r.hooks->Pause();  // a stream that pauses shows what it sent so far
  }
}

// Reads the first four bytes (fewer at the end, or a stop), to be handed out again.
void ReadHead(Reader& r) {
  while (r.headSize < sizeof r.head) {
    ssize_t n = ReadSome(&r, reinterpret_cast<char*>(r.head) + r.headSize, sizeof r.head - r.headSize);
    if (n <= 0) break;
    r.headSize += static_cast<size_t>(n);
  }
}

// The stdio stream's close: the descriptor's owner closes it.
int CloseSource(void* cookie) {
  static_cast<Reader*>(cookie)->fd.Reset();
  return 0;
}

std::string LinkTypeName(int linkType) {
  const char* name = pcap_datalink_val_to_name(linkType);
  return name != nullptr ? name : std::to_string(linkType);
}

void RefuseLinkType(Reader& r, int linkType) {
  r.reading->end = FileEnd::kBadInput;
  r.reading->problem = "link type " + LinkTypeName(linkType) +
                       " is not one that carries IP here (Ethernet, Linux cooked, raw IP, loopback)";
}

// One record through the hooks; false once the store is full, which ends the reading.
bool TakeRecord(Reader& r, const StreamRecord& record) {
  FileReading& reading = *r.reading;
  uint64_t records = reading.records.load(std::memory_order_relaxed) + 1;
  reading.records.store(records, std::memory_order_relaxed);
  AcceptResult accepted = r.hooks->Take(record);
  if (accepted == AcceptResult::kStoredLast || accepted == AcceptResult::kNoRoom) {
    // A record that did not fit is not kept: it is the first one left.
    if (accepted == AcceptResult::kNoRoom) reading.records.store(records - 1, std::memory_order_relaxed);
    reading.end = FileEnd::kStoreFull;
    return false;
  }
  if (records % kPublishEveryRecords == 0) r.hooks->Pause();
  return true;
}

// How a reading that left its loop ended: by its hooks, a stop, a record that could not
// be read (`why`, unless empty), or at the end of its bytes.
void SayEnd(Reader& r, const std::string& why) {
  FileReading& reading = *r.reading;
  if (r.ended) {
    reading.end = FileEnd::kEndedBySource;
  } else if (Stopped(r)) {
    reading.end = FileEnd::kStopped;
  } else if (!why.empty()) {
    reading.end = FileEnd::kBadInput;
    reading.problem = "record " + std::to_string(reading.records.load(std::memory_order_relaxed) + 1) + ": " + why;
  }
}

// The hooks' turn once the stream is known to be a capture; false ends the reading.
bool Begin(Reader& r) {
  if (r.hooks->Began()) return true;
  r.reading->end = FileEnd::kEndedBySource;
  return false;
}

// Reads pcap records until the end, a stop, a full store or a record that cannot be read.
void ReadPcapRecords(Reader& r, pcap_t* in) {
  int linkType = pcap_datalink(in);
  if (!KnownLinkType(linkType)) return RefuseLinkType(r, linkType);
  if (!Begin(r)) return;
  pcap_pkthdr* header = nullptr;
  const u_char* frame = nullptr;
  int result = 0;
  while (!Stopped(r) && (result = pcap_next_ex(in, &header, &frame)) == 1) {
    if (!TakeRecord(r, {linkType, frame, header->caplen, header->len, RecordTime(header->ts)})) return;
  }
  SayEnd(r, result == PCAP_ERROR ? pcap_geterr(in) : "");
}

void ReadPcap(Reader& r, FILE* stream) {
  char error[PCAP_ERRBUF_SIZE] = {};
  // Nanosecond times: the store keeps them so, and a save writes them back.
  pcap_t* in = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, error);
  if (in == nullptr) {
    std::fclose(stream);
    FileReading& reading = *r.reading;
    reading.end = r.ended ? FileEnd::kEndedBySource : Stopped(r) ? FileEnd::kStopped : FileEnd::kBadInput;
    reading.problem = kNotCaptureFile + std::string(error);
    return;
  }
  ReadPcapRecords(r, in);
  pcap_close(in);  // closes the stream and the descriptor
}

// pcapng's bytes straight from the poll and read, through a buffer of its own (a stdio
// stream on the same read copies small pieces a byte at a time).
struct Buffered {
  Reader* r;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kReadBufferSize);
  size_t at = 0, end = 0;
};

size_t FromBuffer(void* context, uint8_t* into, size_t size) {
  auto& b = *static_cast<Buffered*>(context);
  size_t done = 0;
  while (done < size) {
    if (b.at == b.end) {
      ssize_t n = ReadSome(b.r, reinterpret_cast<char*>(b.bytes.data()), b.bytes.size());
      if (n <= 0) break;
      b.at = 0;
      b.end = static_cast<size_t>(n);
    }
    size_t n = std::min(size - done, b.end - b.at);
    std::memcpy(into + done, b.bytes.data() + b.at, n);
    b.at += n;
    done += n;
  }
  return done;
}

bool CarriesIp(const std::vector<PcapngInterface>& interfaces) {
  return std::any_of(interfaces.begin(), interfaces.end(),
                     [](const PcapngInterface& i) { return KnownLinkType(LinkTypeOfFile(i.linkType)); });
}

// Keeps a name-resolution block's names, up to the reading's bounds.
void KeepNames(FileReading& reading, const std::vector<PcapngName>& names) {
  for (const PcapngName& n : names) {
    if (reading.names.size() >= FileReading::kMaxNames) return;
    if (n.name.size() > FileReading::kMaxNameLength) continue;
    AddressName& kept = reading.names.emplace_back();
    kept.family = n.family;
    std::memcpy(kept.address, n.address, n.family == 6 ? 16 : 4);
    kept.name.assign(n.name);
  }
}

// Reads pcapng blocks until the end, a stop, a full store or a block that breaks a rule.
// Each packet has its interface's link type; one that carries no IP here is passed over
// while another interface of its section carries IP, and ends the reading otherwise.
// Names are kept on the reading; a packet's comments go with its record.
void ReadPcapngRecords(Reader& r) {
  Buffered buffered{&r};
  PcapngReader in(FromBuffer, &buffered);
  bool began = false;
  PcapngReader::Block block = PcapngReader::Block::kOther;
  while (!Stopped(r) && (block = in.Next()) != PcapngReader::Block::kEnd && block != PcapngReader::Block::kError) {
    if (!began && !(began = Begin(r))) return;
    if (block == PcapngReader::Block::kNames) KeepNames(*r.reading, in.names());
    if (block != PcapngReader::Block::kPacket) continue;
    const PcapngPacket& p = in.packet();
    int linkType = LinkTypeOfFile(in.interfaces()[p.interface].linkType);
    if (!KnownLinkType(linkType) && !CarriesIp(in.interfaces())) return RefuseLinkType(r, linkType);
    if (!TakeRecord(r, {linkType, p.frame, p.size, p.wireLength, p.receiveTime, in.comments(), p.flags})) return;
  }
  if (Stopped(r)) return SayEnd(r, "");
  if (r.readError != 0) return SayEnd(r, std::string("error reading dump file: ") + std::strerror(r.readError));
  if (block != PcapngReader::Block::kError) return;  // the end of the stream
  if (in.notPcapng()) {
    r.reading->end = FileEnd::kBadInput;
    r.reading->problem = kNotCaptureFile + in.error();
    return;
  }
  SayEnd(r, in.error());
}

void ReaderThread(CaptureState* state, CaptureListener* listener, DatagramSink* sink, Descriptor fd, int wakeFd,
                  FileReading* reading) {
  ConsumerHooks hooks(*state, listener, sink, nullptr);
  ReadStream(*state, std::move(fd), wakeFd, *reading, hooks);
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  state->run.threadCpuNs = static_cast<uint64_t>(cpu.tv_sec) * 1000000000u + static_cast<uint64_t>(cpu.tv_nsec);
  state->run.capturing.store(false, std::memory_order_release);
  if (reading->end != FileEnd::kStopped) {
    state->stopFlag.store(1, std::memory_order_release);
    if (listener != nullptr) listener->CaptureEnded();
  }
}

int StartReader(CaptureState& state, CaptureListener* listener, DatagramSink* sink, Descriptor fd,
                FileReading& reading) {
  BeginRun(state);
  reading.Reset();
  struct stat info {};
  reading.size = fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
  WakeEvent wake;
  if (int error = WakeEvent::Create(wake); error != 0) return error;
  state.run.capturing.store(true, std::memory_order_relaxed);
  try {
    state.run.thread = std::thread(ReaderThread, &state, listener, sink, std::move(fd), wake.fd(), &reading);
  } catch (const std::system_error& e) {
    state.run.capturing.store(false, std::memory_order_relaxed);
    return e.code().value();
  }
  state.run.wake = std::move(wake);
  return 0;
}

std::string Counted(uint64_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

AcceptResult AcceptFrame(CaptureState& state, int linkType, const uint8_t* frame, size_t size,
                         int64_t receiveTime, uint8_t source) noexcept {
  const uint8_t* datagram;
  size_t length;
  if (!IpInFrame(linkType, frame, size, datagram, length)) return AcceptResult::kDropped;
  return AcceptDatagram(state, datagram, length, receiveTime, source);
}

uint32_t RecordOwners::Of(const StreamRecord& record) {
  if (record.comments.empty()) return kOwnerPending;
  key_.clear();
  for (std::string_view comment : record.comments) key_.append(comment).push_back('\0');
  key_.push_back(static_cast<char>('0' + (record.flags & kDirectionBits)));
  for (const Known& k : known_) {
    if (k.key == key_) return k.owner;
  }
  Known& slot = known_[next_++ % kRemembered];
  slot.key.assign(key_);
  slot.owner = OwnerOfComments(TheProgramTable(), record.comments, record.flags);
  return slot.owner;
}

int64_t RecordTime(const timeval& ts) noexcept {
  // A time outside the 64-bit range (1677 to 2262) is clamped to its nearer end, never wrapped.
  int64_t time;
  if (__builtin_mul_overflow(static_cast<int64_t>(ts.tv_sec), int64_t{1000000000}, &time) ||
      __builtin_add_overflow(time, static_cast<int64_t>(ts.tv_usec), &time)) {
    return ts.tv_sec < 0 ? INT64_MIN : INT64_MAX;
  }
  return time;
}

void ReadStream(CaptureState& state, Descriptor fd, int wakeFd, FileReading& reading, StreamHooks& hooks) {
  Reader r{&state, &reading, std::move(fd), wakeFd, &hooks};
  ReadHead(r);
  if (r.headSize == sizeof r.head && std::memcmp(r.head, kPcapngMagic, sizeof r.head) == 0) {
    ReadPcapngRecords(r);
  } else if (FILE* stream = fopencookie(&r, "r", {ReadSome, nullptr, nullptr, CloseSource}); stream != nullptr) {
    (void)setvbuf(stream, nullptr, _IOFBF, kReadBufferSize);
    ReadPcap(r, stream);
  } else {
    reading.end = FileEnd::kBadInput;
    reading.problem = std::string("cannot read: ") + std::strerror(errno);
  }
  r.fd.Reset();
  hooks.Pause();
}

int StartFileReader(CaptureState& state, CaptureListener* listener, int fd, FileReading& reading) {
  return StartReader(state, listener, nullptr, Descriptor(fd), reading);
}

CaptureStart StreamSource::Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) {
  state_ = &state;
  if (!fd_.valid()) return StartFailed(openError_ != 0 ? openError_ : EBADF);
  if (int error = StartReader(state, listener, sink, std::move(fd_), reading_); error != 0) return StartFailed(error);
  return {CaptureStartResult::kStarted, 0};
}

std::string StreamSource::StartFailedLine(const CaptureState&, const CaptureStart& start) const {
  FormatSystemErrorText(static_cast<uint32_t>(start.error));
  return " cannot open " + name_ + ": " + Latin1ToUtf8(TrimmedSystemErrorText());
}

void StreamSource::Stop() {
  if (state_ != nullptr) StopCaptureThread(*state_);
}

void StreamSource::Read(CaptureState& state, Descriptor fd, FileReading& reading, DatagramSink& sink,
                        RecordFilter* filter) {
  reading.Reset();
  ConsumerHooks hooks(state, nullptr, &sink, filter);
  ReadStream(state, std::move(fd), -1, reading, hooks);
}

EndLine StreamSource::End(bool) const {
  EndLine end;
  if (state_ == nullptr) return end;
  uint64_t count = reading_.records.load(std::memory_order_relaxed);
  std::string records = Counted(count, "record");
  std::string kept = std::to_string(PublishedPacketCount(state_->store));
  switch (reading_.end) {
    case FileEnd::kEndOfFile:
      end.text = name_ + ": end of " + (reading_.size > 0 ? "file" : "stream") + ", " + records + " read, " + kept +
                 " listed";
      break;
    case FileEnd::kStoreFull: {
      uint64_t read = std::min(reading_.bytesRead.load(std::memory_order_relaxed), reading_.size);
      std::string left = reading_.size > 0 ? " (" + std::to_string(reading_.size - read) + " of its " +
                                                 std::to_string(reading_.size) + " bytes)"
                                           : std::string();
      end.text = StoreFullText(*state_) + "; " + name_ + ": records from " + std::to_string(count + 1) +
                 " on not read" + left;
      end.storeFull = true;
      break;
    }
    case FileEnd::kStopped:
    case FileEnd::kEndedBySource:  // a file's reading has no hooks that end it
      end.text = name_ + ": stopped after " + records + ", " + kept + " listed";
      break;
    case FileEnd::kBadInput:
      end.text = name_ + ": " + reading_.problem;
      if (count > 0) end.text += "; " + records + " read before it, " + kept + " listed";
      break;
  }
  end.text.insert(0, " ");
  return end;
}

}  // namespace trovix
