// trovix-capture: the only program that holds CAP_NET_RAW. Started by trovix and
// trovix-cli with one end of a socket pair, it reads one request, opens the capture socket,
// gives up the capability for good, and sends the datagrams its kernel program lets through
// back in batches. The socket itself never leaves this process: it could send as
// well as receive, and its users' right is only to capture.
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "capture/capture_settings.h"
#include "capture/helper_protocol.h"
#include "capture/kernel_filter.h"
#include "capture/platform/capabilities.h"
#include "capture/platform/packet_socket.h"
#include "helper/outbox.h"
#include "helper/user_limit.h"

namespace trovix::helper {
namespace {

constexpr int kFd = kHelperSocketFd;
// While its interface is down, a quiet wait ends after this long, to see whether it has
// gone; otherwise the helper sleeps until a block or a message arrives.
constexpr int kQuietCheckMs = 200;

int Refuse(const char* why) {
  std::fprintf(stderr, "trovix-capture: %s\n", why);
  return 2;
}

Outbox outbox(kFd);

bool SendReport(HelperMessage type, int error, uint64_t seen = 0, RingStatistics kernel = {}) {
  HelperReport report{};
  report.type = static_cast<uint8_t>(type);
  report.error = error;
  report.datagramsSeen = seen;
  report.kernelReceived = kernel.received;
  report.kernelDropped = kernel.dropped;
  return outbox.Post(&report, sizeof report);
}

// The last report: sent with everything before it, however long the client takes.
void SendLastReport(HelperMessage type, int error, uint64_t seen = 0, RingStatistics kernel = {}) {
  if (SendReport(type, error, seen, kernel)) outbox.SendAll();
}

// The kept datagrams of one hand-over, built in the outbox's slots and posted as one
// message (or several, when they do not fit one). Nothing is allocated per datagram.
struct Batch {
  uint8_t* message = nullptr;  // the slot being filled, or none
  size_t used = kBatchHead;
  uint64_t seen = 0;
  bool clientGone = false;

  bool Open() {
    if (message == nullptr) message = outbox.Slot();
    clientGone = message == nullptr;
    return !clientGone;
  }
  bool Flush() {
    if (used == kBatchHead) return true;
    message[0] = static_cast<uint8_t>(HelperMessage::kBatch);
    clientGone = !outbox.Post(used);
    message = nullptr;
    used = kBatchHead;
    return !clientGone;
  }
};

// A datagram too large for a batch goes alone, in pieces, after the batch so far: the
// client takes the datagrams in order.
bool SendLarge(Batch& batch, const uint8_t* datagram, size_t length, int64_t receiveTime) {
  if (!batch.Flush()) return false;
  struct {
    uint8_t head[kBatchHead];
    BatchRecord record;
  } start{{static_cast<uint8_t>(HelperMessage::kLarge)}, {static_cast<uint32_t>(length), 0, receiveTime}};
  const uint8_t more[kBatchHead] = {static_cast<uint8_t>(HelperMessage::kLargeMore)};
  size_t piece = std::min(length, kMaxBatchSize - sizeof start);
  bool sent = outbox.Post(&start, sizeof start, datagram, piece);
  for (size_t at = piece; sent && at < length; at += piece) {
    piece = std::min(length - at, kMaxBatchSize - sizeof more);
    sent = outbox.Post(more, sizeof more, datagram + at, piece);
  }
  batch.clientGone = !sent;
  return sent;
}

bool Keep(void* context, const uint8_t* datagram, size_t length, int64_t receiveTime) {
  auto& batch = *static_cast<Batch*>(context);
  ++batch.seen;
  // The kernel program has already dropped all but a superset of what the client keeps;
  // the client's accept path decides the rest, as it would for datagrams from a ring.
  if (length > kMaxRecordLength) length = kMaxRecordLength;
  if (!FitsBatch(length)) return SendLarge(batch, datagram, length, receiveTime);
  size_t size = PaddedRecordSize(length);
  if (size > kMaxBatchSize - batch.used && !batch.Flush()) return false;
  if (!batch.Open()) return false;
  BatchRecord record{static_cast<uint32_t>(length), 0, receiveTime};
  std::memcpy(batch.message + batch.used, &record, sizeof record);
  std::memcpy(batch.message + batch.used + sizeof record, datagram, length);
  std::memset(batch.message + batch.used + sizeof record + length, 0, size - sizeof record - length);
  batch.used += size;
  return true;
}

// The timer that retires a part-filled block runs every hand-over time, but leaves alone
// a block that was opened since its last run; this much more covers its lateness.
constexpr int kRetireSlackMs = 20;

// For a stop that asks for the rest: the blocks already handed over, then the block the
// kernel was filling at the stop, once its timer has retired it (datagrams after the stop
// in that block come with it; later blocks are not waited for).
void HandOverRest(PacketRing& ring, Batch& batch, uint32_t handOverMs) {
  if (!ring.Drain(Keep, &batch) || !batch.Flush() || !ring.NextBlockHoldsDatagrams()) return;
  uint64_t target = ring.blocksDrained() + 1;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * handOverMs + kRetireSlackMs);
  pollfd fd{ring.fd(), POLLIN, 0};
  while (ring.blocksDrained() < target) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    if (poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return;
    if (!ring.Drain(Keep, &batch) || !batch.Flush()) return;
  }
}

// After a drain that handed blocks back: the kernel's counts, sent when it dropped more
// since they were last sent, so that the client can say so while the capture runs. One
// read of the counts a hand-over, nothing a datagram.
struct DropReport {
  uint64_t blocksSeen = 0;
  uint64_t droppedSent = 0;

  bool SendIfMore(PacketRing& ring, const Batch& batch) {
    if (ring.blocksDrained() == blocksSeen) return true;
    blocksSeen = ring.blocksDrained();
    RingStatistics counts = ring.Statistics();
    if (counts.dropped == droppedSent) return true;
    droppedSent = counts.dropped;
    return SendReport(HelperMessage::kCounts, 0, batch.seen, counts);
  }
};

// Runs until the client stops the capture or goes away (0), or the socket fails (1).
int CaptureLoop(PacketRing& ring, Batch& batch, uint32_t handOverMs) {
  pollfd fds[2] = {{ring.fd(), POLLIN, 0}, {kFd, POLLIN, 0}};
  DropReport drops;
  for (;;) {
    bool drained = ring.Drain(Keep, &batch);
    // Only a client that went away stops a drain.
    if (!drained || !batch.Flush() || !drops.SendIfMore(ring, batch)) return 0;
    fds[1].events = outbox.empty() ? POLLIN : POLLIN | POLLOUT;
    int ready = poll(fds, 2, ring.waitingForInterface() ? kQuietCheckMs : -1);
    if (ready < 0 && errno != EINTR) {
      SendLastReport(HelperMessage::kEnded, errno, batch.seen, ring.Statistics());
      return 1;
    }
    if ((fds[1].revents & POLLOUT) != 0 && !outbox.SendWaiting()) return 0;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      uint8_t stop = 0;
      ssize_t n = recv(kFd, &stop, 1, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n == 1 && stop == kStopAfterRestMessage) HandOverRest(ring, batch, handOverMs);
      if (n == 1 && stop == kStopMessage) outbox.Clear();  // what waits would not be stored
      if (n == 1 && (stop == kStopMessage || stop == kStopAfterRestMessage) && !batch.clientGone) {
        SendLastReport(HelperMessage::kEnded, 0, batch.seen, ring.Statistics());
      }
      return 0;  // a stop, the client's end, or anything else it has no business sending
    }
    bool failed = false;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
      failed = ring.Failed(fds[0].revents);
    } else if (ready == 0) {
      failed = ring.InterfaceGoneWhileDown();
    }
    if (failed) {
      SendLastReport(HelperMessage::kEnded, ring.failure(), batch.seen, ring.Statistics());
      return 1;
    }
  }
}

// One user's helpers pin kernel memory for their rings: beyond kMaxHelpersPerUser running
// at once, a capture is refused (Failed, EUSERS) before its ring is made. Root, which may
// pin memory anyway, is not counted. True when refused.
bool RefusedBeyondUserLimit() {
  uid_t user = getuid();
  if (user == 0) return false;
  int helpers = MarkAndCountHelpersOf(user);
  if (helpers > 0 && helpers <= kMaxHelpersPerUser) return false;
  SendLastReport(HelperMessage::kFailed, helpers > 0 ? EUSERS : errno);
  return true;
}

int Main() {
  if (StartedSetId()) {
    Refuse("refusing to run set-user-ID or set-group-ID: capturing needs only CAP_NET_RAW");
    return 1;
  }
  // Nobody of its own user may trace it or read its descriptors, and nothing it could
  // start would gain a privilege.
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      DropCapabilities(kNetRawBit) != 0) {
    return Refuse("cannot give up what it does not need");
  }
  int type = 0, domain = 0;
  socklen_t size = sizeof type;
  if (getsockopt(kFd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET ||
      getsockopt(kFd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 || domain != AF_UNIX) {
    return Refuse("trovix and trovix-cli start this program; it is not run by hand");
  }
  close_range(kFd + 1, ~0u, 0);

  static uint8_t message[sizeof(HelperRequest) + kMaxExpressionInstructions * sizeof(sock_filter) + 1];
  ssize_t n = recv(kFd, message, sizeof message, MSG_TRUNC);
  HelperRequest request;
  if (n < 0 || !ParseHelperRequest(message, static_cast<size_t>(n), request)) return Refuse("malformed request");
  if (RefusedBeyondUserLimit()) return 1;

  static CaptureSettings settings;
  ApplyCaptureOptions(settings, {"", request.fromText, request.toText, request.twoWayTraffic == 1, request.tcp == 1,
                         request.udp == 1, request.icmp == 1, request.igmp == 1, request.raw == 1, request.ipv6 == 1,
                         request.ipv4 == 1});
  // Its own program first: what an expression keeps is still only what the capture may see.
  KernelFilter own = CompileKernelFilter(settings);
  static sock_filter program[kKernelFilterMax + kMaxExpressionInstructions];
  static sock_filter expression[kMaxExpressionInstructions];
  size_t expressionLength = (static_cast<size_t>(n) - sizeof(HelperRequest)) / sizeof(sock_filter);
  std::memcpy(expression, message + sizeof(HelperRequest), expressionLength * sizeof(sock_filter));
  size_t length = JoinKernelFilter(own, expression, expressionLength, program);
  PacketRing ring;
  int error = PacketRing::Open(request.ifindex, program, static_cast<uint16_t>(length), ring,
                               {request.blockSize, request.blockCount, request.handOverMs});
  if (DropCapabilities(0) != 0 || !HoldsNoCapability()) return Refuse("cannot give up CAP_NET_RAW");
  if (error != 0) {
    SendLastReport(HelperMessage::kFailed, error);
    return 1;
  }
  if (!SendReport(HelperMessage::kOpened, 0)) return 0;
  static Batch batch;
  return CaptureLoop(ring, batch, request.handOverMs);
}

}  // namespace
}  // namespace trovix::helper

int main() { return trovix::helper::Main(); }
