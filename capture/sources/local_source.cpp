// Capture thread: waits in poll on the connection to the capture helper and a wake-up
// descriptor, so a stop takes effect at once, and puts every datagram of the helper's
// batches through the accept path. This process never holds the capture socket.
#include "capture/sources/local_source.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "capture/helper_protocol.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/privilege.h"
#include "capture/platform/descriptor.h"
#include "capture/platform/helper_process.h"
#include "capture/platform/packet_socket.h"

namespace trovix {
namespace {

static_assert(kFilterTextKept == kRequestTextSize);

// A lost wake-up (a failed write) delays a stop by at most this long: the stop flag is
// raised before the wake-up is sent, and the thread looks at it after every wait. Every
// such wait is a wake-up of its own, so it is not short.
constexpr int kStopCheckMs = 1000;
// How long a start may wait for the helper's socket, and a stop for its counts (after the
// rest of the ring, when it asks for that).
constexpr int kOpenWaitMs = 10000;
constexpr int kCountsWaitMs = 1000;

// The client's end of the connection and the helper's process id.
struct HelperLink {
  Descriptor fd;
  pid_t pid = 0;
  HelperLink() = default;
  HelperLink(HelperLink&& other) noexcept : fd(std::move(other.fd)), pid(std::exchange(other.pid, 0)) {}
  HelperLink& operator=(HelperLink&&) = delete;
  // Closing the connection ends the helper; it is collected later, without waiting here.
  ~HelperLink() {
    fd.Reset();
    if (pid > 0) ForgetCaptureHelper(pid);
  }
};

struct ThreadContext {
  ThreadContext(CaptureState& s, CaptureListener* l, DatagramSink* k)
      : state(&s), listener(l), sink(k), consumer(s, l, k) {}
  CaptureState* state;
  CaptureListener* listener;
  DatagramSink* sink;
  DatagramConsumer consumer;
  HelperLink link;
  std::unique_ptr<uint8_t[]> message;  // one batch, reused
  std::unique_ptr<uint8_t[]> largeBytes;  // kMaxRecordLength, touched only by a large datagram
  LargeDatagram large{nullptr};
  bool takeRest = false;  // run.takeRest at the start
  uint32_t handOverMs = 0;
  bool stopping = false;  // the loop is over: only the helper's last messages are taken
  bool sinkDone = false;  // the sink took no more
  bool ended = false;  // the capture ended by itself
  int endError = 0;
  bool startFailed = false;
  bool countsIn = false;
  uint64_t seen = 0;
  RingStatistics kernel;
};

bool OnDatagram(void* context, const uint8_t* datagram, size_t length, int64_t receiveTime) {
  auto& ctx = *static_cast<ThreadContext*>(context);
  if (!ctx.takeRest && ctx.state->stopFlag.load(std::memory_order_relaxed) != 0) return false;
  if (ctx.sinkDone) return false;
  AcceptResult result = ctx.consumer.Take(datagram, length, receiveTime);
  if (result != AcceptResult::kStoredLast && result != AcceptResult::kNoRoom) return true;
  // A sink that took no more after a stop asked for the rest ends nothing: the stop did.
  if (ctx.sink != nullptr) ctx.sinkDone = true;
  if (ctx.sink == nullptr || !ctx.stopping) ctx.ended = true;
  return false;
}

void EndWith(ThreadContext& ctx, int error) {
  ctx.ended = true;
  if (ctx.endError == 0) ctx.endError = error;
}

// Hands datagrams to the accept path (or the sink) through `take`, false for a malformed
// message, then tells the listener of what was stored and the sink that a batch is done.
template <typename Take>
void TakeDatagrams(ThreadContext& ctx, Take&& take) {
  if (!take()) EndWith(ctx, EPROTO);
  ctx.consumer.BatchDone();
}

HelperReport ReportOf(const uint8_t* message, ssize_t size) {
  HelperReport report{};
  std::memcpy(&report, message, std::min(static_cast<size_t>(size), sizeof report));
  return report;
}

// Takes one message from the helper, if one is waiting. False when none was (or the
// connection is over, which ends the capture).
bool TakeMessage(ThreadContext& ctx) {
  bool afterStop = ctx.stopping;
  ssize_t n = recv(ctx.link.fd.get(), ctx.message.get(), kMaxBatchSize, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return false;
    EndWith(ctx, errno);
    return false;
  }
  // The helper ends only after its last report: an end without one is a helper that died.
  if (n == 0) {
    if (!ctx.countsIn) EndWith(ctx, EPIPE);
    return false;
  }
  if (static_cast<size_t>(n) > kMaxBatchSize) {
    EndWith(ctx, EPROTO);
    return false;
  }
  // A datagram sent in pieces is never cut into by another message.
  auto type = static_cast<HelperMessage>(ctx.message[0]);
  if (ctx.large.pending() && type != HelperMessage::kLargeMore) {
    EndWith(ctx, EPROTO);
    return false;
  }
  // Nothing more is stored once stopped, unless the stop asked for the rest.
  bool store = !afterStop || (ctx.takeRest && !ctx.sinkDone);
  switch (type) {
    case HelperMessage::kBatch:
      if (store) {
        TakeDatagrams(ctx, [&] { return WalkBatch(ctx.message.get(), static_cast<size_t>(n), OnDatagram, &ctx) >= 0; });
      }
      return true;
    case HelperMessage::kLarge:
    case HelperMessage::kLargeMore: {
      int whole = ctx.large.Take(ctx.message.get(), static_cast<size_t>(n));
      if (whole < 0) {
        EndWith(ctx, EPROTO);
        return false;
      }
      if (whole == 1 && store) {
        TakeDatagrams(ctx, [&] {
          OnDatagram(&ctx, ctx.large.bytes(), ctx.large.length(), ctx.large.receiveTime());
          return true;
        });
      }
      return true;
    }
    case HelperMessage::kOpened:
      if (!ctx.consumer.Opened()) {
        ctx.startFailed = true;
        EndWith(ctx, ECANCELED);
        return false;
      }
      ctx.state->run.capturing.store(true, std::memory_order_release);
      return true;
    case HelperMessage::kFailed:
      ctx.startFailed = true;
      EndWith(ctx, ReportOf(ctx.message.get(), n).error);
      return false;
    case HelperMessage::kCounts:
      ctx.state->run.kernelDropped.store(ReportOf(ctx.message.get(), n).kernelDropped, std::memory_order_relaxed);
      if (ctx.listener != nullptr && !afterStop) ctx.listener->KernelDropped();
      return true;
    case HelperMessage::kEnded: {
      HelperReport report = ReportOf(ctx.message.get(), n);
      ctx.seen = report.datagramsSeen;
      ctx.kernel = {report.kernelReceived, report.kernelDropped};
      ctx.state->run.kernelDropped.store(report.kernelDropped, std::memory_order_relaxed);
      ctx.countsIn = true;
      if (!afterStop) EndWith(ctx, report.error != 0 ? report.error : EPIPE);
      return false;
    }
  }
  EndWith(ctx, EPROTO);
  return false;
}

void RaisePriority() {
  // Best effort: an unprivileged user may not lower the nice value, and that is fine.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
}

// After a stop, or an end without a failure: asks the helper for its counts (and for the
// rest of its ring, with `rest`) and waits for them a little.
void CollectCounts(ThreadContext& ctx, bool rest) {
  ctx.stopping = true;
  uint8_t stop = rest ? kStopAfterRestMessage : kStopMessage;
  if (send(ctx.link.fd.get(), &stop, 1, MSG_NOSIGNAL) != 1) return;
  int waitMs = kCountsWaitMs + (rest ? 2 * static_cast<int>(ctx.handOverMs) : 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  pollfd fd{ctx.link.fd.get(), POLLIN, 0};
  while (!ctx.countsIn && ctx.endError == 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return;
    while (std::chrono::steady_clock::now() < end && TakeMessage(ctx)) {
    }
    if ((fd.revents & (POLLHUP | POLLERR)) != 0 && !ctx.countsIn) return;
  }
}

void CaptureThread(ThreadContext ctx, int wakeFd) {
  RaisePriority();
  CaptureState& state = *ctx.state;
  pollfd fds[2] = {{ctx.link.fd.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  while (state.stopFlag.load(std::memory_order_acquire) == 0 && !ctx.ended) {
    int ready = poll(fds, 2, kStopCheckMs);
    if (ready < 0 && errno != EINTR) {
      EndWith(ctx, errno);  // a wait that cannot work would otherwise spin
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      // A few messages at a time, then the stop flag again.
      for (int i = 0; i < 8 && TakeMessage(ctx) && !ctx.ended; ++i) {
      }
      if ((fds[0].revents & POLLIN) == 0 && !ctx.ended) EndWith(ctx, EPIPE);
    }
    // A wake-up descriptor that poll cannot watch would end every wait at once; the
    // stop flag alone still ends the capture within kStopCheckMs.
    if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0) fds[1].fd = -1;
  }
  // A failed capture has no helper left to ask.
  if (ctx.endError == 0 && state.run.collectCounts) CollectCounts(ctx, ctx.takeRest && !ctx.ended);
  state.run.datagramsSeen = ctx.seen;
  state.run.kernel = ctx.kernel;
  state.run.endError = ctx.endError;
  state.run.startFailed = ctx.startFailed;
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  state.run.threadCpuNs = static_cast<uint64_t>(cpu.tv_sec) * 1000000000u + static_cast<uint64_t>(cpu.tv_nsec);
  state.run.capturing.store(false, std::memory_order_release);
  { HelperLink done(std::move(ctx.link)); }  // released before the listener hears of the end
  if (ctx.ended) {
    state.stopFlag.store(1, std::memory_order_release);
    if (ctx.listener != nullptr) ctx.listener->CaptureEnded();
  }
}

HelperRequest RequestFor(const CaptureState& state, int ifindex, RingShape ring) {
  HelperRequest r{};
  std::memcpy(r.magic, kRequestMagic, sizeof r.magic);
  r.ifindex = ifindex;
  r.blockSize = ring.blockSize;
  r.blockCount = ring.blockCount;
  r.handOverMs = ring.handOverMs;
  r.twoWayTraffic = state.TwoWayTraffic == 1;
  r.tcp = state.OnTcp == 1;
  r.udp = state.OnUdp == 1;
  r.icmp = state.OnIcmp == 1;
  r.igmp = state.OnIgmp == 1;
  r.raw = state.OnRaw == 1;
  r.ipv4 = state.OnIpv4 == 1;
  r.ipv6 = state.OnIpv6 == 1;
  std::memcpy(r.fromText, state.fromText, sizeof r.fromText);
  std::memcpy(r.toText, state.toText, sizeof r.toText);
  return r;
}

// Waits for the helper's first report: whether its socket captures.
int AwaitOpened(int fd) {
  HelperReport report{};
  pollfd p{fd, POLLIN, 0};
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOpenWaitMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready > 0) break;
  }
  ssize_t n = recv(fd, &report, sizeof report, MSG_DONTWAIT);
  if (n == 0) return EPIPE;  // it ended without a word: it said why on standard error
  if (n != static_cast<ssize_t>(sizeof report)) return n < 0 ? errno : EPROTO;
  if (report.type == static_cast<uint8_t>(HelperMessage::kOpened)) return 0;
  if (report.type == static_cast<uint8_t>(HelperMessage::kFailed) && report.error > 0) return report.error;
  return EPROTO;
}

}  // namespace

void PrepareCapture(CaptureState& state, const CaptureOptions& options) {
  StopCaptureThread(state);  // the stores and options must not change under a running capture
  TheProtocolWords();        // the protocols database, read here rather than on the capture path
  state.stopFlag.store(0, std::memory_order_relaxed);
  UseLargerStore(state, options.keepMore);  // empties the stores
  ApplyCaptureOptions(state, options);
}

uint32_t CaptureBindAddress(const CaptureState& state) {
  // A set match means the bind text equals that known address, so the bind text decides.
  for (int32_t match : state.bindMatches) {
    in_addr address{};
    if (match == 1 && inet_pton(AF_INET, state.bindText, &address) == 1) return address.s_addr;
  }
  return htonl(INADDR_ANY);
}

int CaptureInterfaceIndex(const CaptureState& state, bool* unknownText) {
  if (unknownText != nullptr) *unknownText = false;
  if (state.interfaceIndex >= 0) return state.interfaceIndex;
  in6_addr ipv6;
  if (inet_pton(AF_INET6, state.bindText, &ipv6) == 1) return InterfaceIndexForIpv6Address(ipv6);
  // A known address that no interface has any more is said, not captured everywhere.
  if (uint32_t known = CaptureBindAddress(state); known != htonl(INADDR_ANY)) return InterfaceIndexForAddress(known);
  in_addr ipv4;
  if (inet_pton(AF_INET, state.bindText, &ipv4) == 1) {
    int ifindex = InterfaceIndexForAddress(ipv4.s_addr);  // 0 for 0.0.0.0
    if (ifindex >= 0) return ifindex;
  }
  if (unknownText != nullptr) *unknownText = true;
  return 0;
}

CaptureStart StartCaptureThread(CaptureState& state, CaptureListener* listener, DatagramSink* sink,
                                RingShape ring, SocketWait wait) {
  BeginRun(state);
  ReapCaptureHelpers(false);

  int ifindex = CaptureInterfaceIndex(state, &state.run.bindTextUnknown);
  if (ifindex < 0) return {CaptureStartResult::kNoSuchInterface, ENODEV};
  // A filter text is parsed by the helper too: one that could not be handed over whole
  // would be a different filter there.
  if (state.filterTextsFit != 1) return {CaptureStartResult::kSystemError, EINVAL};

  ThreadContext ctx(state, listener, sink);
  ctx.takeRest = state.run.takeRest;
  ctx.handOverMs = ring.handOverMs;
  Descriptor helperEnd;
  if (int error = MakeSocketPair(SOCK_SEQPACKET | SOCK_CLOEXEC, ctx.link.fd, helperEnd); error != 0) {
    return StartFailed(error);
  }
  int spawned = SpawnCaptureHelper(helperEnd.get(), ctx.link.pid);
  helperEnd.Reset();
  if (spawned != 0) return StartFailed(spawned);
  // The request, and the expression's program behind it.
  HelperRequest request = RequestFor(state, ifindex, ring);
  std::vector<uint8_t> message(sizeof request + state.expressionProgram.size() * sizeof(sock_filter));
  std::memcpy(message.data(), &request, sizeof request);
  if (!state.expressionProgram.empty()) {
    std::memcpy(message.data() + sizeof request, state.expressionProgram.data(),
                state.expressionProgram.size() * sizeof(sock_filter));
  }
  if (send(ctx.link.fd.get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
    return StartFailed(errno);
  }
  if (wait == SocketWait::kUntilCapturing) {
    if (int error = AwaitOpened(ctx.link.fd.get()); error != 0) return StartFailed(error);
    if (!ctx.consumer.Opened()) return {CaptureStartResult::kSinkRefused, 0};
    state.run.capturing.store(true, std::memory_order_release);
  }

  try {
    ctx.message.reset(new uint8_t[kMaxBatchSize]);
    ctx.largeBytes.reset(new uint8_t[kMaxRecordLength]);
    ctx.large = LargeDatagram(ctx.largeBytes.get());
  } catch (const std::bad_alloc&) {
    return StartFailed(ENOMEM);
  }
  WakeEvent wake;
  if (int error = WakeEvent::Create(wake); error != 0) return StartFailed(error);
  int wakeFd = wake.fd();
  try {
    state.run.thread = std::thread(CaptureThread, std::move(ctx), wakeFd);
  } catch (const std::system_error& e) {
    return StartFailed(e.code().value());  // the connection went with the thread's arguments
  }
  state.run.wake = std::move(wake);
  return {CaptureStartResult::kStarted, 0};
}

CaptureStart LocalSource::Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) {
  state_ = &state;
  return StartCaptureThread(state, listener, sink, ring_, wait_);
}

void LocalSource::Stop() {
  if (state_ != nullptr) StopCaptureThread(*state_);
}

uint64_t LocalSource::datagrams() const noexcept { return state_ != nullptr ? state_->run.datagramsSeen : 0; }

namespace {

std::string CannotCaptureLine(const CaptureState& state, int error) {
  FormatSystemErrorText(static_cast<uint32_t>(error));
  return " cannot capture on " + Latin1ToUtf8(state.bindText) + ": " + Latin1ToUtf8(TrimmedSystemErrorText());
}

}  // namespace

std::string LocalSource::StartFailedLine(const CaptureState& state, const CaptureStart& start) const {
  return CannotCaptureLine(state, start.error);
}

EndLine LocalSource::End(bool stopped) const {
  EndLine end;
  if (state_ == nullptr) return end;
  const CaptureRun& run = state_->run;
  if (!stopped && run.endError != 0 && run.startFailed) {
    end.text = CannotCaptureLine(*state_, run.endError);
  } else if (!stopped && run.endError != 0) {
    // A failed socket (its interface gone) would otherwise look like a full store.
    FormatSystemErrorText(static_cast<uint32_t>(run.endError));
    end.text = " capture ended on " + Latin1ToUtf8(state_->bindText) + ": " + Latin1ToUtf8(TrimmedSystemErrorText());
  } else if (!stopped) {
    // The store is full: said, or a capture that stopped by itself looks like a fault.
    end.text = " " + StoreFullText(*state_) + (state_->store.larger() ? "" : "; \"keep more\" keeps more");
    end.storeFull = true;
  }
  if (std::string drops = DroppedByKernelText(*state_); !drops.empty()) {
    end.text += (end.text.empty() ? " " : "; ") + drops;
  }
  return end;
}

}  // namespace trovix
