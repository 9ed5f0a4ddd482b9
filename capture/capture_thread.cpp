// Capture thread: waits in poll on the capture socket and a wake-up descriptor, so a stop
// takes effect at once, and drains the receive ring through the accept path.
#include "capture/capture_thread.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "capture/kernel_filter.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/platform/packet_socket.h"

namespace trovix {
namespace {

constexpr const char* kLoopbackText = "127.0.0.1";

// A lost wake-up (a failed write) delays a stop by at most this long: the stop flag is
// raised before the wake-up is sent, and the thread looks at it after every wait.
constexpr int kStopCheckMs = 200;

struct ThreadContext {
  CaptureState* state;
  CaptureListener* listener;
  DatagramSink* sink;
  PacketRing ring;
  bool ended;  // the capture ended by itself
  int endError;  // why, when the socket failed
  uint64_t seen;
};

bool OnDatagram(void* context, const uint8_t* datagram, size_t length, int64_t receiveTime) {
  auto& ctx = *static_cast<ThreadContext*>(context);
  if (ctx.state->stopFlag.load(std::memory_order_relaxed) != 0) return false;
  ++ctx.seen;
  if (ctx.sink != nullptr) {
    DatagramFields fields;
    if (!ScreenDatagram(*ctx.state, datagram, length, fields)) return true;
    ctx.ended = !ctx.sink->Take(datagram, length, fields, receiveTime);
    return !ctx.ended;
  }
  AcceptResult result = AcceptDatagram(*ctx.state, datagram, length, receiveTime);
  if (result == AcceptResult::kStoredLast || result == AcceptResult::kNoRoom) {
    ctx.ended = true;
    return false;
  }
  return true;
}

void RaisePriority() {
  // Best effort: an unprivileged user may not lower the nice value, and that is fine.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
}

void CaptureThread(ThreadContext ctx, int wakeFd) {
  RaisePriority();
  CaptureState& state = *ctx.state;
  pollfd fds[2] = {{ctx.ring.fd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  while (state.stopFlag.load(std::memory_order_acquire) == 0 && !ctx.ended) {
    uint32_t before = state.store.packetCount.load(std::memory_order_relaxed);
    ctx.ring.Drain(OnDatagram, &ctx);
    uint32_t after = state.store.packetCount.load(std::memory_order_relaxed);
    if (after != before && ctx.listener != nullptr) ctx.listener->PacketsPublished(after);
    if (ctx.sink != nullptr) ctx.sink->BatchDone();
    if (ctx.ended || state.stopFlag.load(std::memory_order_acquire) != 0) break;

    int ready = poll(fds, 2, kStopCheckMs);
    if (ready < 0 && errno != EINTR) {
      ctx.endError = errno;
      ctx.ended = true;  // a wait that cannot work would otherwise spin
      break;
    }
    bool failed = false;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
      failed = ctx.ring.Failed(fds[0].revents);
    } else if (ready == 0) {
      failed = ctx.ring.InterfaceGoneWhileDown();  // a quiet wait: is a downed interface gone?
    }
    if (failed) {
      ctx.endError = ctx.ring.failure();
      ctx.ended = true;
    }
    // A wake-up descriptor that poll cannot watch would end every wait at once; the
    // stop flag alone still ends the capture within kStopCheckMs.
    if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0) fds[1].fd = -1;
  }
  state.run.datagramsSeen = ctx.seen;
  state.run.kernel = ctx.ring.Statistics();
  state.run.endError = ctx.endError;
  ctx.ring = PacketRing();  // released before the listener hears of the end
  if (ctx.ended) {
    state.stopFlag.store(1, std::memory_order_release);
    if (ctx.listener != nullptr) ctx.listener->CaptureEnded();
  }
}

void CopyBounded(char* out, size_t size, std::string_view text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  std::memset(out + n, 0, size - n);
}

CaptureStart Failed(int error) {
  CaptureStartResult result = error == EPERM || error == EACCES ? CaptureStartResult::kPermissionDenied
                                                                : CaptureStartResult::kSystemError;
  return {result, error};
}

void JoinFinishedThread(CaptureState& state) {
  if (state.run.thread.joinable()) state.run.thread.join();
  state.run.wake = WakeEvent();
}

}  // namespace

void PrepareCapture(CaptureState& state, const CaptureOptions& options) {
  StopCaptureThread(state);  // the stores and options must not change under a running capture
  state.stopFlag.store(0, std::memory_order_relaxed);
  ResetStores(state);

  std::string_view bind = options.bindText.substr(0, std::min(options.bindText.find('\0'), size_t{kBindTextSize - 1}));
  CopyBounded(state.bindText, sizeof state.bindText, bind);
  state.bindMatches[0] = bind == kLoopbackText ? 1 : 0;
  for (int slot = 0; slot < kInterfaceSlots; ++slot) {
    state.bindMatches[slot + 1] = bind == state.interfaceSlots[slot] ? 1 : 0;
  }

  state.sourceFilter = ParseEndpointFilter(options.fromText);
  state.destinationFilter = ParseEndpointFilter(options.toText);
  state.TwoWayTraffic = options.twoWayTraffic ? 1 : 0;
  SetReverseAddresses(state);
  state.OnTcp = options.tcp ? 1 : 0;
  state.OnUdp = options.udp ? 1 : 0;
  state.OnIcmp = options.icmp ? 1 : 0;
  state.OnIgmp = options.igmp ? 1 : 0;
  state.OnRaw = options.raw ? 1 : 0;
}

uint32_t CaptureBindAddress(const CaptureState& state) {
  // A set match means the bind text equals that known address, so the bind text decides.
  for (int32_t match : state.bindMatches) {
    in_addr address{};
    if (match == 1 && inet_pton(AF_INET, state.bindText, &address) == 1) return address.s_addr;
  }
  return htonl(INADDR_ANY);
}

CaptureStart StartCaptureThread(CaptureState& state, CaptureListener* listener, DatagramSink* sink,
                                RingShape ring) {
  JoinFinishedThread(state);
  state.run.datagramsSeen = 0;
  state.run.kernel = {};
  state.run.endError = 0;

  int ifindex = InterfaceIndexForAddress(CaptureBindAddress(state));
  if (ifindex < 0) return {CaptureStartResult::kNoSuchInterface, ENODEV};

  ThreadContext ctx{&state, listener, sink, {}, false, 0, 0};
  // Built from the options PrepareCapture has set, and attached before the socket is
  // bound: what it rejects never reaches the ring.
  KernelFilter filter = CompileKernelFilter(state);
  int error = PacketRing::Open(ifindex, filter.code, filter.length, ctx.ring, ring);
  if (error != 0) return Failed(error);
  WakeEvent wake;
  if (int error = WakeEvent::Create(wake); error != 0) return Failed(error);
  int wakeFd = wake.fd();
  try {
    state.run.thread = std::thread(CaptureThread, std::move(ctx), wakeFd);
  } catch (const std::system_error& e) {
    return Failed(e.code().value());  // the ring went with the thread's arguments
  }
  state.run.wake = std::move(wake);
  return {CaptureStartResult::kStarted, 0};
}

void StopCaptureThread(CaptureState& state) {
  state.stopFlag.store(1, std::memory_order_release);
  // A failed wake-up is not waited out here: the thread sees the flag within kStopCheckMs.
  (void)state.run.wake.Signal();
  JoinFinishedThread(state);
}

}  // namespace trovix
