// Each source is an ssh process whose standard output is a capture stream and whose
// standard error is watched beside it; one thread per source reads both, and the threads
// take turns at the store (or sink) under one lock, so rows stand in arrival order. A
// source ends by closing ssh's standard input: the remote command watches for that and
// ends the capture there, which ends ssh.
#include "capture/sources/remote_source.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "capture/privilege.h"
#include "capture/sources/link_layer.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/platform/descriptor.h"
#include "capture/platform/spawn.h"
#include "capture/printable_text.h"

namespace trovix {
namespace {

// What ssh is given after "stop" to end by itself (the remote side ends first, so what it
// sent is not cut), and after a SIGTERM; together well within a second.
constexpr auto kEndGrace = std::chrono::milliseconds(600);
constexpr auto kKillGrace = std::chrono::milliseconds(200);
// A line of standard error longer than this is cut; what is kept of a line not yet ended
// is bounded the same way, so a remote side that sends no newline cannot grow it.
constexpr size_t kLineMax = 300;
// Lines listed for one source: ssh's longest word (a changed host key) is about 15.
constexpr int kLinesMax = 24;

struct SshProcess {
  pid_t pid = -1;
  Descriptor in, out, err;
};

// ssh with its standard input, output and error on pipes of ours; the error pipe's end
// does not block, as it is read only when poll says there is something.
int Spawn(const std::vector<std::string>& arguments, SshProcess& process) {
  Descriptor in, out, err;
  int error = MakePipe(in, process.in, O_CLOEXEC);
  if (error == 0) error = MakePipe(process.out, out, O_CLOEXEC);
  if (error == 0) error = MakePipe(process.err, err, O_CLOEXEC);
  if (error == 0 && fcntl(process.err.get(), F_SETFL, O_NONBLOCK) != 0) error = errno;
  if (error != 0) return error;
  std::vector<char*> argv;
  try {
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  const ChildDescriptor descriptors[] = {
      {STDIN_FILENO, in.get()}, {STDOUT_FILENO, out.get()}, {STDERR_FILENO, err.get()}};
  return SpawnProcess({argv[0], true, argv.data(), descriptors}, process.pid);
}

// Waits for the process until `deadline`; its wait status, or -1 while it runs.
int WaitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return 0;  // reaped elsewhere: nothing to wait for
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string Status(int status) {
  if (WIFSIGNALED(status)) return "ssh ended by signal " + std::to_string(WTERMSIG(status));
  return "ssh status " + std::to_string(WEXITSTATUS(status));
}

// Ends ssh: its standard input closed first (the remote side ends its capture, and ssh
// then ends), a SIGTERM to its group if it lingers, SIGKILL last. Its wait status.
int EndProcess(SshProcess& process) {
  process.in.Reset();
  auto now = std::chrono::steady_clock::now();
  int status = WaitUntil(process.pid, now + kEndGrace);
  if (status == -1) {
    kill(-process.pid, SIGTERM);
    status = WaitUntil(process.pid, std::chrono::steady_clock::now() + kKillGrace);
  }
  if (status == -1) {
    kill(-process.pid, SIGKILL);
    (void)waitpid(process.pid, &status, 0);
  }
  return status;
}

struct Shared {
  CaptureState* state;
  RemoteListener* remote;
  RemoteCapture* capture;
  int wakeFd;
  DatagramConsumer consumer;
  std::mutex turns;  // the store (or sink) takes one datagram at a time
};

class SourceReader : public StreamHooks {
 public:
  SourceReader(Shared& shared, int index, SshProcess process)
      : s_(shared), index_(index), process_(std::move(process)) {}

  AcceptResult Take(const StreamRecord& record) noexcept override {
    std::lock_guard lock(s_.turns);
    // The programs the remote side named, interned under the turn: one adder at a time.
    return s_.consumer.TakeFrame(record.linkType, record.frame, record.size, record.receiveTime,
                                 static_cast<uint8_t>(index_), owners_.Of(record));
  }

  void Pause() noexcept override {
    std::lock_guard lock(s_.turns);
    s_.consumer.BatchDone();
  }

  int TextFd() const noexcept override { return process_.err.get(); }

  // Reads what is there; false once a line said more than that it runs.
  bool TextReady() noexcept override {
    char buffer[4096];
    ssize_t n;
    bool quiet = true;
    while ((n = read(process_.err.get(), buffer, sizeof buffer)) > 0) quiet = Lines(std::string_view(buffer, n)) && quiet;
    if (n == 0) {
      // Closed: ssh is ending; the stream's end will follow. Stop watching it.
      process_.err.Reset();
    }
    return quiet;
  }

  // ssh was started but the capture will not be: it ends now.
  void Abandon() {
    process_.out.Reset();
    process_.err.Reset();
    (void)EndProcess(process_);
  }

  void Run() {
    FileReading& reading = s_.capture->readings[index_];
    ReadStream(*s_.state, std::move(process_.out), s_.wakeFd, reading, *this);
    // A full store (or -c reached) ends the other sources at once, not after this ssh.
    if (reading.end == FileEnd::kStoreFull) {
      s_.capture->storeFull.store(true);
      s_.state->stopFlag.store(1, std::memory_order_release);
      (void)eventfd_write(s_.wakeFd, 1);
    }
    int status = EndProcess(process_);
    // What ssh said as it ended, up to the end of its standard error.
    if (process_.err.valid()) {
      (void)TextReady();
      if (!partial_.empty()) Said(partial_);
      process_.err.Reset();
    }
    switch (reading.end) {
      case FileEnd::kStopped:
      case FileEnd::kStoreFull:
        return;
      case FileEnd::kEndedBySource:
        break;
      case FileEnd::kBadInput:
        // A stream that sent nothing is a source that could not start, which says why.
        if (reading.bytesRead.load() > 0) Said(reading.problem);
        else if (!said_) Said("ended before sending anything, " + Status(status));
        break;
      case FileEnd::kEndOfFile:
        if (!said_) {
          bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
          Said(clean ? std::string("ended") : "ended, " + Status(status));
          if (clean) return;
        }
        break;
    }
    s_.capture->failedSources.fetch_add(1);
  }

 private:
  Shared& s_;
  int index_;
  RecordOwners owners_;
  SshProcess process_;
  std::string partial_;
  bool said_ = false;
  int lines_ = 0;

  void Said(const std::string& line) {
    said_ = true;
    if (++lines_ > kLinesMax) return;
    if (s_.remote != nullptr && !s_.state->stopFlag.load()) s_.remote->SourceSaid(index_, PrintableText(line, kLineMax));
  }

  // Splits into lines; false when one of them was not chatter.
  bool Lines(std::string_view text) {
    bool quiet = true;
    for (char c : text) {
      if (c == '\n') {
        if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
        if (!partial_.empty() && !IsRemoteChatter(partial_)) {
          Said(partial_);
          quiet = false;
        }
        partial_.clear();
      } else if (partial_.size() < kLineMax) {
        partial_ += c;
      }
    }
    return quiet;
  }
};

void Coordinate(std::unique_ptr<Shared> shared, std::vector<std::unique_ptr<SourceReader>> readers,
                CaptureListener* listener) {
  std::vector<std::thread> threads;
  for (auto& reader : readers) {
    try {
      threads.emplace_back(&SourceReader::Run, reader.get());
    } catch (const std::system_error&) {
      reader->Run();  // no thread to spare: this one reads it, after the others are started
    }
  }
  for (std::thread& t : threads) t.join();
  CaptureState& state = *shared->state;
  state.run.capturing.store(false, std::memory_order_release);
  // Ended by itself: every source said why, or the store is full.
  if (state.stopFlag.exchange(1) == 0 || shared->capture->storeFull.load()) {
    if (listener != nullptr) listener->CaptureEnded();
  }
}

}  // namespace

void RemoteCapture::UseOptions(const CaptureOptions& options) {
  fromText_ = options.fromText;
  toText_ = options.toText;
  expressionText_ = options.expressionText;
  options_ = options;
  options_.fromText = fromText_;
  options_.toText = toText_;
  options_.expressionText = expressionText_;
  options_.bindText = {};
}

CaptureStart RemoteCapture::Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) {
  state_ = &state;
  BeginRun(state);
  failedSources.store(0);
  storeFull.store(false);
  readings = std::make_unique<FileReading[]>(sources.size());
  WakeEvent wake;
  if (int error = WakeEvent::Create(wake); error != 0) return StartFailed(error);
  if (sink != nullptr && !sink->CaptureOpened()) return {CaptureStartResult::kSinkRefused, 0};
  std::unique_ptr<Shared> shared(new Shared{&state, remote_, this, wake.fd(), {state, listener, sink}, {}});
  std::vector<std::unique_ptr<SourceReader>> readers;
  for (size_t k = 0; k < sources.size(); ++k) {
    SshProcess process;
    if (int error = Spawn(SshArguments(sources[k], RemoteCommand(sources[k], options_)), process); error != 0) {
      for (auto& reader : readers) reader->Abandon();
      return StartFailed(error);
    }
    readers.push_back(std::make_unique<SourceReader>(*shared, static_cast<int>(k), std::move(process)));
  }
  state.run.capturing.store(true, std::memory_order_relaxed);
  try {
    state.run.thread = std::thread(Coordinate, std::move(shared), std::move(readers), listener);
  } catch (const std::system_error& e) {
    state.run.capturing.store(false, std::memory_order_relaxed);
    return StartFailed(e.code().value());
  }
  state.run.wake = std::move(wake);
  return {CaptureStartResult::kStarted, 0};
}

void RemoteCapture::Stop() {
  if (state_ != nullptr) StopCaptureThread(*state_);
}

std::string RemoteCapture::StartFailedLine(const CaptureState&, const CaptureStart& start) const {
  FormatSystemErrorText(static_cast<uint32_t>(start.error));
  return " cannot run ssh: " + Latin1ToUtf8(TrimmedSystemErrorText());
}

EndLine RemoteCapture::End(bool stopped) const {
  // Each source has said why it ended; only a full store is left to say.
  if (stopped || state_ == nullptr || !storeFull.load()) return {};
  return {" " + StoreFullText(*state_), true};
}

uint64_t RemoteCapture::records() const noexcept {
  uint64_t records = 0;
  for (size_t k = 0; readings != nullptr && k < sources.size(); ++k) records += readings[k].records.load();
  return records;
}

}  // namespace trovix
