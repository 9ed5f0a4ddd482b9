// trovix-cli: the window's capture from a terminal. Live, it keeps no store: every kept
// datagram is printed (and recorded with -w) as it arrives, so memory stays constant.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/helper_protocol.h"
#include "capture/kernel_filter.h"
#include "cli/interface_list.h"
#include "cli/options.h"
#include "cli/packet_output.h"
#include "cli/stats_output.h"
#include "capture/packet_line.h"
#include "capture/pcap_expression.h"
#include "capture/platform/capabilities.h"
#include "capture/platform/descriptor.h"
#include "capture/platform/helper_process.h"
#include "capture/platform/standard_streams.h"
#include "capture/packet_store.h"
#include "capture/program_sampler.h"
#include "capture/sources/local_source.h"
#include "capture/sources/pcap_writer.h"
#include "capture/sources/remote_source.h"
#include "capture/sources/stream_source.h"

namespace trovix::cli {
namespace {

// A line printed at most this late is still live on a terminal, and a sustained flood then
// wakes the capture thread 20 times a second rather than 250. When no one watches the lines
// (none are printed, or they go to a file or pipe, which is written in blocks anyway, and
// -l does not ask for each line at once) a second's wait, as tcpdump's, saves the wake-ups:
// they were most of the cost of printing lines to a file.
// 2 MiB, as 8 blocks of 256 KiB, is an eighth of the window's ring: the kernel clears the
// ring at every start, which was most of a short run's cost, and a capture that writes to
// a file or pipe is rarely kept from reading for long.
constexpr RingShape kWatchedRing{256u << 10, 8, 50};
constexpr RingShape kUnwatchedRing{256u << 10, 8, 1000};

constexpr char kSetIdRefusal[] = "refusing to run set-user-ID or set-group-ID: capturing needs only CAP_NET_RAW";

int Fail(const std::string& message) {
  std::fprintf(stderr, "trovix-cli: %s\n", message.c_str());
  return 1;
}

// Wakes the main thread when the capture ends by itself (-c reached, interface gone).
class EndListener : public CaptureListener {
 public:
  explicit EndListener(int fd) : fd_(fd) {}
  void PacketsPublished(uint32_t) noexcept override {}
  void CaptureEnded() noexcept override { (void)eventfd_write(fd_, 1); }

 private:
  int fd_;
};

// Writes out what is left and tells how writing went, as the exit status: a reader that
// went away is a normal end.
int WriteOutcome(PacketOutput& output) {
  output.Finish();
  int error = output.writeError();
  if (error == 0 || error == EPIPE) return 0;
  return Fail(output.failure());
}

// What this user lacks to capture: a helper it may run that holds CAP_NET_RAW. One built
// from source never holds it, and only scripts/install-helper makes a copy that does; an
// installed one is for the members of its group (the package's is trovix).
std::string PermissionAdvice() {
  std::string helper = CaptureHelperPath();
  struct stat file{};
  bool found = !helper.empty() && stat(helper.c_str(), &file) == 0;
  bool runnable = found && access(helper.c_str(), X_OK) == 0;
  if (runnable && geteuid() != 0 && !FileGrantsNetRaw(helper.c_str())) {
    std::string build = helper.substr(0, helper.rfind('/'));
    return "the capture helper " + helper + " holds no CAP_NET_RAW, as none built from source does: from the "
           "source folder, \"sudo scripts/install-helper --user $USER " + build + "\" installs a copy that does in "
           "/usr/local/libexec/trovix (as scripts/run does); log in again, then name that copy in "
           "TROVIX_CAPTURE_HELPER";
  }
  const group* owner = found && !runnable && file.st_uid == 0 ? getgrgid(file.st_gid) : nullptr;
  std::string name = owner != nullptr ? owner->gr_name : "trovix";
  return "capturing needs membership of group " + name + ": join it with \"sudo usermod -aG " + name +
         " $USER\", then log in again";
}

std::string StartFailure(const CaptureStart& start, const Options& o, const PacketOutput& output) {
  switch (start.result) {
    case CaptureStartResult::kPermissionDenied:
      return PermissionAdvice();
    case CaptureStartResult::kNoSuchInterface:
      if (!o.interfaceName.empty()) return "no interface is named " + o.interfaceName;
      return "no interface has the address " + o.address;
    case CaptureStartResult::kSinkRefused:
      return output.failure();
    default:
      if (start.error == ENOENT) return "cannot capture: the capture helper trovix-capture is not installed";
      return std::string("cannot capture: ") + std::strerror(start.error);
  }
}

// Ctrl-C and SIGTERM are taken by the main thread alone (the capture threads inherit the
// mask), which then stops the capture the way "stop" does; `endFd` wakes it at the
// capture's own end.
bool WaitableSignals(Descriptor& signalFd, Descriptor& endFd) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signalFd = Descriptor(signalfd(-1, &signals, SFD_CLOEXEC));
  endFd = Descriptor(eventfd(0, EFD_CLOEXEC));
  return signalFd.valid() && endFd.valid();
}

// Waits for Ctrl-C, SIGTERM or the capture's own end.
void AwaitEnd(const Descriptor& signalFd, const Descriptor& endFd) {
  pollfd fds[2] = {{signalFd.get(), POLLIN, 0}, {endFd.get(), POLLIN, 0}};
  while (poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
}

// Leaves out the datagrams of one TCP connection (as $SSH_CONNECTION names it: client
// address and port, server address and port), both ways; with no such text, nothing.
class LeaveOutConnection : public DatagramSink {
 public:
  LeaveOutConnection(DatagramSink& next, const char* connection) : next_(next) {
    char a[64] = {}, b[64] = {};
    unsigned pa = 0, pb = 0;
    on_ = connection != nullptr && std::sscanf(connection, "%63s %u %63s %u", a, &pa, b, &pb) == 4 &&
          Canonical(a, a_) && Canonical(b, b_) && pa <= 65535 && pb <= 65535;
    pa_ = static_cast<uint16_t>(pa), pb_ = static_cast<uint16_t>(pb);
  }
  bool Take(const uint8_t* datagram, size_t length, const DatagramFields& f, int64_t time) noexcept override {
    bool ours = on_ && f.protocol == 6 &&
                ((a_ == f.src && pa_ == f.sport && b_ == f.dst && pb_ == f.dport) ||
                 (b_ == f.src && pb_ == f.sport && a_ == f.dst && pa_ == f.dport));
    return ours || next_.Take(datagram, length, f, time);
  }
  void BatchDone() noexcept override { next_.BatchDone(); }
  bool CaptureOpened() noexcept override { return next_.CaptureOpened(); }

 private:
  DatagramSink& next_;
  bool on_ = false;
  std::string a_, b_;
  uint16_t pa_ = 0, pb_ = 0;

  // The address as the datagram's fields write it.
  static bool Canonical(const char* text, std::string& out) {
    in6_addr address{};
    char buffer[INET6_ADDRSTRLEN] = {};
    int family = std::strchr(text, ':') != nullptr ? AF_INET6 : AF_INET;
    if (inet_pton(family, text, &address) != 1 || inet_ntop(family, &address, buffer, sizeof buffer) == nullptr) return false;
    out = buffer;
    return true;
  }
};

// What "listening on" names.
std::string Listening(const Options& o) {
  if (!o.address.empty()) return o.address;
  if (!o.interfaceName.empty() && o.interfaceName != "any") return o.interfaceName;
  return "every interface";
}

// Whether the owner names the program --program asks for: by name, or by process id.
bool OwnedBy(const ProgramTable& table, uint32_t ownerId, const std::string& who) {
  if (ownerId == kOwnerPending || ownerId == kUnknownOwner) return false;
  Owner owner = table.OwnerOf(ownerId);
  bool pid = !who.empty() && who.find_first_not_of("0123456789") == std::string::npos;
  for (uint32_t id : {owner.source, owner.destination}) {
    const Program* p = table.ProgramOf(id);
    if (p != nullptr && p->pid != 0 && (pid ? std::to_string(p->pid) == who : who == p->name)) return true;
  }
  return false;
}

// With programs, a capture goes into the store as the window's does, and its datagrams are
// printed once the sampler has named their programs (within a few tens of milliseconds).
class ProgramPrinter {
 public:
  ProgramPrinter(const Options& o, PacketOutput& output, DatagramSink& next, StatisticsSink* statistics)
      : o_(o), output_(output), next_(next), statistics_(statistics),
        sampler_(TheCaptureState().store, TheProgramTable()) {}
  int Start() { return sampler_.Start(); }
  void Stop() { sampler_.Stop(); }
  // Prints every packet the sampler has matched; false once the output takes no more.
  bool Print() {
    const PacketStore& store = TheCaptureState().store;
    bool more = true;
    for (uint32_t matched = sampler_.matched(); more && printed_ < matched; ++printed_) {
      StoredPacket p{};
      DatagramFields fields;
      if (!LocatePacket(store, static_cast<int32_t>(printed_), p) ||
          !ReadDatagramFields(p.bytes, static_cast<size_t>(p.length), fields)) {
        continue;
      }
      uint32_t owner = PacketOwner(store, static_cast<int32_t>(printed_));
      if (!o_.program.empty() && !OwnedBy(TheProgramTable(), owner, o_.program)) continue;
      output_.SetOwner(owner);
      if (statistics_ != nullptr) statistics_->SetOwner(owner);
      more = next_.Take(p.bytes, static_cast<size_t>(p.length), fields, p.receiveTime);
    }
    next_.BatchDone();
    return more;
  }

 private:
  const Options& o_;
  PacketOutput& output_;
  DatagramSink& next_;
  StatisticsSink* statistics_;
  ProgramSampler sampler_;
  uint32_t printed_ = 0;
};

// Waits for Ctrl-C, SIGTERM or the capture's own end, printing what the sampler matched.
void AwaitEndPrinting(const Descriptor& signalFd, const Descriptor& endFd, ProgramPrinter& printer) {
  pollfd fds[2] = {{signalFd.get(), POLLIN, 0}, {endFd.get(), POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, 20);
    if (n < 0 && errno == EINTR) continue;
    if (n != 0 || !printer.Print()) return;
  }
}

// `sink` is `output`, or the statistics in front of it.
int CaptureLive(const Options& o, PacketOutput& output, DatagramSink& sink, StatisticsSink* statistics,
                const std::vector<sock_filter>& program) {
  CaptureState& state = TheCaptureState();
  // The address given is the one known address, as the window knows its interfaces'.
  std::snprintf(state.interfaceSlots[0], sizeof state.interfaceSlots[0], "%s", o.address.c_str());
  int interfaceIndex = -1;
  if (o.interfaceName == "any") {
    interfaceIndex = 0;
  } else if (!o.interfaceName.empty()) {
    unsigned index = if_nametoindex(o.interfaceName.c_str());
    if (index == 0) return Fail("no interface is named " + o.interfaceName);
    interfaceIndex = static_cast<int>(index);
  }
  CaptureOptions options = CaptureOptionsOf(o, interfaceIndex);
  options.expressionProgram = program;
  // The statistics name programs, so their capture goes through the store and the sampler.
  bool programs = o.programs || !o.program.empty() || statistics != nullptr;
  options.keepMore = programs;
  PrepareCapture(state, options);
  state.run.takeRest = true;  // Ctrl-C must not cost what the kernel has already received

  Descriptor signalFd, endFd;
  if (!WaitableSignals(signalFd, endFd)) return Fail(std::string("cannot wait for signals: ") + std::strerror(errno));

  EndListener listener(endFd.get());
  // -l also asks a capture file on standard output for each datagram at once (as over ssh).
  bool watched = o.lineBuffered || (output.printsLines() && isatty(STDOUT_FILENO) == 1);
  LeaveOutConnection leaveOut(sink, o.notSsh ? std::getenv("SSH_CONNECTION") : nullptr);
  LocalSource source(watched ? kWatchedRing : kUnwatchedRing);
  ProgramPrinter printer(o, output, leaveOut, statistics);
  if (programs) {
    output.ShowPrograms(o.programs ? &TheProgramTable() : nullptr);
    if (int error = printer.Start(); error != 0) {
      std::fprintf(stderr, "trovix-cli: cannot read the socket tables, so no program is named: %s\n",
                   std::strerror(error));
    }
  }
  CaptureStart start = source.Start(state, &listener, programs ? nullptr : &leaveOut);
  if (start.result == CaptureStartResult::kStarted && programs && !output.OpenCaptureFile()) {
    source.Stop();
    start = {CaptureStartResult::kSinkRefused, 0};
  }
  if (start.result != CaptureStartResult::kStarted) return Fail(StartFailure(start, o, output));
  std::fprintf(stderr, "trovix-cli: listening on %s\n", Listening(o).c_str());

  if (programs) AwaitEndPrinting(signalFd, endFd, printer);
  else AwaitEnd(signalFd, endFd);
  source.Stop();
  // The helper ends once it has closed its socket; it is this program's work, so it is
  // waited for (and counted in this program's CPU time by whoever waits for it).
  ReapCaptureHelpers(true);
  if (programs) {
    printer.Stop();
    printer.Print();
    if (PublishedPacketCount(state.store) == state.store.packetCapacity || state.store.memoryShort.load()) {
      std::fprintf(stderr, "trovix-cli: %s\n", StoreFullText(state).c_str());
    }
  }
  int written = WriteOutcome(output);
  // As tcpdump says it: what was kept, what the kernel's filter let through, and what of
  // that the kernel dropped for want of room in the ring.
  std::fprintf(stderr, "%llu datagrams written\n%llu datagrams received by filter\n%llu datagrams dropped by kernel\n",
               static_cast<unsigned long long>(output.stored()),
               static_cast<unsigned long long>(state.run.kernel.received),
               static_cast<unsigned long long>(state.run.kernel.dropped));
  if (written != 0) return written;
  // The interface went away under the capture: what was taken is written, but the
  // capture did not end as asked.
  if (state.run.endError != 0) return Fail(std::string("the capture ended: ") + std::strerror(state.run.endError));
  return 0;
}

// What each source says, as trovix-cli's own lines on standard error.
class SourceLines : public RemoteListener {
 public:
  explicit SourceLines(const std::vector<RemoteSource>& sources) : sources_(sources) {}
  void SourceSaid(int source, const std::string& line) noexcept override {
    std::fprintf(stderr, "trovix-cli: %s: %s\n", sources_[static_cast<size_t>(source)].text.c_str(), line.c_str());
  }

 private:
  const std::vector<RemoteSource>& sources_;
};

// Sources on other machines, through ssh: what they send goes through the same filters.
int CaptureRemote(const Options& o, PacketOutput& output, DatagramSink& sink) {
  CaptureState& state = TheCaptureState();
  PrepareCapture(state, CaptureOptionsOf(o));
  Descriptor signalFd, endFd;
  if (!WaitableSignals(signalFd, endFd)) return Fail(std::string("cannot wait for signals: ") + std::strerror(errno));
  EndListener listener(endFd.get());
  RemoteCapture capture;
  capture.sources = o.remoteSources;
  if (capture.sources.size() > 1) output.SetSourceNames(SourceLabels(capture.sources));
  SourceLines lines(capture.sources);
  CaptureOptions options = CaptureOptionsOf(o);
  options.expressionText = o.expression;
  options.programs = o.programs;
  capture.UseListener(&lines);
  capture.UseOptions(options);
  if (CaptureStart start = capture.Start(state, &listener, &sink); start.result != CaptureStartResult::kStarted) {
    if (start.result == CaptureStartResult::kSinkRefused) return Fail(output.failure());
    return Fail(std::string("cannot run ssh: ") + std::strerror(start.error));
  }
  std::string names;
  for (const RemoteSource& source : capture.sources) names += (names.empty() ? "" : ", ") + source.text;
  std::fprintf(stderr, "trovix-cli: listening on %s\n", names.c_str());
  AwaitEnd(signalFd, endFd);
  capture.Stop();
  int written = WriteOutcome(output);
  std::fprintf(stderr, "%llu datagrams written\n", static_cast<unsigned long long>(output.stored()));
  if (written != 0) return written;
  return capture.failedSources.load() > 0 ? 1 : 0;
}

// The expression for a capture file's records, compiled for each link type as its first
// record comes (a pcapng file may hold several).
class ExpressionFilter : public RecordFilter {
 public:
  explicit ExpressionFilter(const std::string& expression) : expression_(expression) {}
  bool Passes(const StreamRecord& record) noexcept override {
    auto known = std::find_if(programs_.begin(), programs_.end(),
                              [&](const Program& p) { return p.linkType == record.linkType; });
    if (known == programs_.end()) {
      Program compiled{record.linkType, {}};
      if (!CompileExpression(expression_, record.linkType, compiled.code, refused_)) return false;
      programs_.push_back(std::move(compiled));
      known = programs_.end() - 1;
    }
    bpf_program filter{static_cast<u_int>(known->code.size()), reinterpret_cast<bpf_insn*>(known->code.data())};
    pcap_pkthdr header{{}, static_cast<bpf_u_int32>(record.size), static_cast<bpf_u_int32>(record.wireLength)};
    return pcap_offline_filter(&filter, &header, record.frame) != 0;
  }
  bool refused() const noexcept override { return !refused_.empty(); }
  // libpcap's word on an expression it refused for a link type of the file; empty if none.
  const std::string& refusal() const { return refused_; }

 private:
  struct Program {
    int linkType;
    std::vector<sock_filter> code;
  };
  const std::string& expression_;
  std::vector<Program> programs_;  // one for each link type met
  std::string refused_;
};

int ReadCaptureFile(const Options& o, PacketOutput& output, DatagramSink& sink) {
  Descriptor fd(o.readFile == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                  : open(o.readFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return Fail("cannot read " + o.readFile + " as a capture file: " + o.readFile + ": " + std::strerror(errno));
  }
  CaptureState& state = TheCaptureState();
  PrepareCapture(state, CaptureOptionsOf(o));
  ExpressionFilter expression(o.expression);
  FileReading reading;
  StreamSource::Read(state, std::move(fd), reading, sink, o.expression.empty() ? nullptr : &expression);
  if (reading.end == FileEnd::kEndedBySource) return Fail(output.failure());  // the -w file
  if (reading.end == FileEnd::kBadInput && reading.problem.starts_with(kNotCaptureFile)) {
    return Fail("cannot read " + o.readFile + " as a capture file: " + reading.problem.substr(std::strlen(kNotCaptureFile)));
  }
  if (expression.refused()) {
    std::fprintf(stderr, "trovix-cli: %s\n", expression.refusal().c_str());
    return 2;
  }
  if (int written = WriteOutcome(output); written != 0) return written;
  uint64_t read = reading.records.load(std::memory_order_relaxed);
  bool failed = reading.end == FileEnd::kBadInput;
  if (failed) Fail(o.readFile + ": " + reading.problem);
  // As a capture ends: what was kept, and here what the file held (once it held a record).
  if (!failed || read > 0) {
    std::fprintf(stderr, "%llu datagrams written\n%llu record%s read\n",
                 static_cast<unsigned long long>(output.stored()), static_cast<unsigned long long>(read),
                 read == 1 ? "" : "s");
  }
  return failed ? 1 : 0;
}

// Whether `path` ("-" for the descriptor `standardFd`) is a regular file, and which.
bool RegularFile(const std::string& path, int standardFd, struct stat& info) {
  int result = path == "-" ? fstat(standardFd, &info) : stat(path.c_str(), &info);
  return result == 0 && S_ISREG(info.st_mode);
}

// -w naming the file -r reads would empty it before it is read.
bool WritesWhatItReads(const Options& o) {
  struct stat in {}, out {};
  return !o.readFile.empty() && !o.writeFile.empty() && RegularFile(o.readFile, STDIN_FILENO, in) &&
         RegularFile(o.writeFile, STDOUT_FILENO, out) && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// The capture, the file or the remote capture the options ask for, through `sink`.
int Run(const Options& o, PacketOutput& output, DatagramSink& sink, StatisticsSink* statistics) {
  if (!o.readFile.empty()) return ReadCaptureFile(o, output, sink);
  // Checked here also for a remote capture, whose own side compiles it again.
  std::vector<sock_filter> program;
  std::string error;
  if (!o.expression.empty() &&
      (!CompileExpression(o.expression, DLT_RAW, program, error) || !CaptureRuns(program, error))) {
    std::fprintf(stderr, "trovix-cli: %s\n", error.c_str());
    return 2;
  }
  if (!o.remoteSources.empty()) return CaptureRemote(o, output, sink);
  return CaptureLive(o, output, sink, statistics, program);
}

// The table --stats or --stats-interval asked for, on standard output, and on standard
// error what it could not hold.
int PrintStatistics(const Options& o, const Statistics& counts, uint64_t missed) {
  std::string text;
  if (o.stats != StatsTable::kNone) AppendStatsTable(text, counts, o.stats, o.json);
  else AppendRates(text, counts, o.json);
  auto unsigned64 = [](uint64_t n) { return static_cast<unsigned long long>(n); };
  if (counts.untabled().packets != 0 && (o.stats == StatsTable::kConversations || o.stats == StatsTable::kEndpoints ||
                                         o.stats == StatsTable::kPorts)) {
    std::fprintf(stderr, "trovix-cli: %llu datagrams of conversations past the first %u are in no row\n",
                 unsigned64(counts.untabled().packets), kMaxConversations);
  }
  if (counts.lateForRates().packets != 0 && o.statsInterval != 0) {
    std::fprintf(stderr, "trovix-cli: %llu datagrams after the first %u intervals are in no row\n",
                 unsigned64(counts.lateForRates().packets), kMaxRateBuckets);
  }
  if (missed != 0) std::fprintf(stderr, "trovix-cli: %llu datagrams are in no row: memory ran short\n", unsigned64(missed));
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return errno == EPIPE ? 0 : Fail(std::string("cannot write to standard output: ") + std::strerror(errno));
  }
  return 0;
}

int Main(int argc, char** argv) {
  // A closed standard output would otherwise be the capture file or the helper's
  // connection, and get the lines.
  if (int error = OpenClosedStandardStreams(); error != 0) {
    return Fail(std::string("cannot open /dev/null for a closed standard descriptor: ") + std::strerror(error));
  }
  if (StartedSetId()) return Fail(kSetIdRefusal);
  // Root's keeps CAP_SYS_PTRACE permitted until the options say whether programs are
  // named: the sampler's thread alone makes it effective, to read every process's sockets.
  if (int error = DropCapabilities(geteuid() == 0 ? kSysPtraceBit : 0); error != 0) {
    return Fail(std::string("cannot give up the capabilities it does not need: ") + std::strerror(error));
  }
  signal(SIGPIPE, SIG_IGN);  // a reader that went away shows as a failed write
  std::string error;
  std::optional<Options> options = ParseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "trovix-cli: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  const Options& o = *options;
  bool statistics = o.stats != StatsTable::kNone || o.statsInterval != 0;
  bool livePrograms =
      (o.programs || !o.program.empty() || statistics) && o.readFile.empty() && o.remoteSources.empty();
  if (int dropped = livePrograms ? 0 : DropCapabilities(0); dropped != 0) {
    return Fail(std::string("cannot give up the capabilities it does not need: ") + std::strerror(dropped));
  }
  if (o.help || o.version) {
    if (o.help) std::printf("%s\n%s", kUsage, kHelp);
    else std::printf("trovix-cli %s\n", TROVIX_VERSION);
    return std::fflush(stdout) == 0 ? 0 : Fail(std::string("cannot write to standard output: ") + std::strerror(errno));
  }
  if (o.listInterfaces) return ListInterfaces(stdout, error) ? 0 : Fail(error);
  // The capture file holds the datagrams' bytes as they are, which a terminal would obey.
  if (o.writeFile == "-" && isatty(STDOUT_FILENO) == 1) {
    std::fprintf(stderr, "trovix-cli: -w - would write the capture file to the terminal: send standard output "
                 "to a file or a program\n%s", kUsage);
    return 2;
  }
  if (WritesWhatItReads(o)) {
    std::fprintf(stderr, "trovix-cli: -w %s names the file -r reads, which writing would destroy\n%s",
                 o.writeFile.c_str(), kUsage);
    return 2;
  }
  if (o.lineBuffered) setvbuf(stdout, nullptr, _IOLBF, 0);
  OutputChoice choice{o.writeFile != "-" && !o.quiet && !statistics, o.json, o.details, o.time, o.count, o.writeFile, o.essentials,
                      o.hex ? Dump::kHex : o.ascii ? Dump::kAscii : Dump::kNone,
                      o.pcapng || IsPcapngName(o.writeFile), o.info, o.names, o.lookUpNames};
  PacketOutput output(choice, stdout);
  // A file or another machine names no program of this one: the column says "?".
  if (o.programs) output.ShowPrograms(&TheProgramTable());
  Statistics counts(o.statsInterval);
  StatisticsSink counter(counts, output);
  DatagramSink& sink = statistics ? static_cast<DatagramSink&>(counter) : output;
  int result = Run(o, output, sink, statistics ? &counter : nullptr);
  // What was kept before a file's bad record still makes its table.
  if (!statistics || result == 2 || (result != 0 && counts.total().packets == 0)) return result;
  int printed = PrintStatistics(o, counts, counter.missed());
  return result != 0 ? result : printed;
}

}  // namespace
}  // namespace trovix::cli

int main(int argc, char** argv) { return trovix::cli::Main(argc, argv); }
