// The capture helper's request as its parser takes or refuses it, and the helper program
// refusing to work for anything but a client that sent a well-formed request.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/helper_protocol.h"

namespace trovix {
namespace {

HelperRequest WellFormed() {
  HelperRequest r{};
  std::memcpy(r.magic, kRequestMagic, sizeof r.magic);
  r.ifindex = 1;
  r.blockSize = 1u << 20;
  r.blockCount = 16;
  r.handOverMs = 4;
  r.udp = 1;
  std::strcpy(r.fromText, "127.0.0.1:*");
  std::strcpy(r.toText, "*:53");
  return r;
}

bool Takes(const HelperRequest& r, size_t size = sizeof(HelperRequest)) {
  uint8_t bytes[sizeof r + 1] = {};
  std::memcpy(bytes, &r, sizeof r);
  HelperRequest out;
  return ParseHelperRequest(bytes, size, out);
}

TEST(HelperRequest, OnlyAWellFormedRequestIsTaken) {
  EXPECT_TRUE(Takes(WellFormed()));
  EXPECT_FALSE(Takes(WellFormed(), sizeof(HelperRequest) - 1));
  EXPECT_FALSE(Takes(WellFormed(), sizeof(HelperRequest) + 1));
  std::pair<const char*, std::function<void(HelperRequest&)>> spoilt[] = {
      {"magic", [](HelperRequest& r) { r.magic[6] = '9'; }},
      {"negative interface", [](HelperRequest& r) { r.ifindex = -1; }},
      {"block not a power of two", [](HelperRequest& r) { r.blockSize = 3u << 18; }},
      {"block too small", [](HelperRequest& r) { r.blockSize = 32u << 10; }},
      {"block too large", [](HelperRequest& r) { r.blockSize = 8u << 20; }},
      {"one block", [](HelperRequest& r) { r.blockCount = 1; }},
      {"ring over 16 MiB", [](HelperRequest& r) { r.blockCount = 17; }},
      {"no hand-over time", [](HelperRequest& r) { r.handOverMs = 0; }},
      {"hand-over over 10 s", [](HelperRequest& r) { r.handOverMs = 10001; }},
      {"switch of 2", [](HelperRequest& r) { r.raw = 2; }},
      {"family switch of 2", [](HelperRequest& r) { r.ipv6 = 2; }},
      {"text without its NUL", [](HelperRequest& r) { std::memset(r.fromText, 'a', sizeof r.fromText); }},
      {"control character", [](HelperRequest& r) { r.toText[0] = '\n'; }},
      {"byte after the NUL", [](HelperRequest& r) { r.toText[10] = 'x'; }},
  };
  for (auto& [what, spoil] : spoilt) {
    HelperRequest r = WellFormed();
    spoil(r);
    EXPECT_FALSE(Takes(r)) << what;
  }
}

// A program behind the request is taken only when it reads nothing but the datagram.
TEST(HelperRequest, AProgramBehindItIsTakenOnlyWhenItReadsTheDatagramAlone) {
  auto takes = [](std::vector<sock_filter> program) {
    HelperRequest r = WellFormed(), out;
    auto* tail = reinterpret_cast<const uint8_t*>(program.data());
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r + 1));
    bytes.insert(bytes.end(), tail, tail + program.size() * sizeof(sock_filter));
    return ParseHelperRequest(bytes.data(), bytes.size(), out);
  };
  EXPECT_TRUE(takes({BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9), BPF_STMT(BPF_RET | BPF_K, 65535)}));
  EXPECT_FALSE(takes({BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_MARK)),
                      BPF_STMT(BPF_RET | BPF_A, 0)}));
}

// Pieces of a datagram too large for a batch: only the next piece of the one begun, and no
// byte beyond its record's length, is taken.
TEST(LargeDatagram, TakesOnlyTheNextPieceOfTheDatagramBegun) {
  std::vector<uint8_t> buffer(kMaxRecordLength);
  LargeDatagram large(buffer.data());
  // A message of `type` ('L' with a record of `length`) and then `bytes` bytes of that value.
  auto take = [&](char type, uint32_t length, uint8_t bytes) {
    std::vector<uint8_t> m(kBatchHead + (type == 'L' ? sizeof(BatchRecord) : 0) + bytes, bytes);
    m[0] = static_cast<uint8_t>(type);
    if (type == 'L') std::memcpy(m.data() + kBatchHead, &length, sizeof length);
    return large.Take(m.data(), m.size());
  };
  EXPECT_EQ(take('M', 0, 4), -1) << "nothing begun";
  EXPECT_EQ(take('L', 10, 4), 0);
  EXPECT_EQ(take('L', 10, 4), -1) << "begun again before the end";
  EXPECT_EQ(take('M', 0, 7), -1) << "one byte too many";
  EXPECT_EQ(take('M', 0, 6), 1);
  EXPECT_EQ(std::vector<uint8_t>(large.bytes(), large.bytes() + large.length()),
            std::vector<uint8_t>({4, 4, 4, 4, 6, 6, 6, 6, 6, 6}));
  EXPECT_EQ(take('L', kMaxRecordLength + 1, 0), -1);
}

struct Outcome {
  int status = -1;
  std::string said;     // standard error
  std::string answer;   // what came back over the pair
};

// Runs the built helper with `request` sent over a socket pair at descriptor 3, or with
// nothing at descriptor 3 when `request` is null.
Outcome RunHelper(const void* request, size_t size) {
  int pair[2], err[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    if (request != nullptr) dup2(pair[1], 3);
    execl(TROVIX_CAPTURE_HELPER, "trovix-capture", nullptr);
    _exit(127);
  }
  close(pair[1]);
  close(err[1]);
  if (request != nullptr) (void)send(pair[0], request, size, MSG_NOSIGNAL);
  Outcome outcome;
  char buffer[256];
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) outcome.said.append(buffer, static_cast<size_t>(n));
  for (ssize_t n; (n = recv(pair[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
    outcome.answer.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  close(pair[0]);
  close(err[0]);
  return outcome;
}

TEST(HelperProgram, RefusesToRunByHandOrForAMalformedRequest) {
  Outcome byHand = RunHelper(nullptr, 0);
  EXPECT_EQ(byHand.status, 2);
  EXPECT_EQ(byHand.said, "trovix-capture: trovix and trovix-cli start this program; it is not run by hand\n");

  HelperRequest r = WellFormed();
  r.blockCount = 100000;  // 100 GB of ring
  Outcome refused = RunHelper(&r, sizeof r);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.said, "trovix-capture: malformed request\n");
  EXPECT_EQ(refused.answer, "") << "nothing opened, nothing reported";

  // An expression's program longer than the kernel would take beside the helper's own.
  std::vector<uint8_t> tooLong(sizeof r + (kMaxExpressionInstructions + 1) * sizeof(sock_filter));
  HelperRequest wellFormed = WellFormed();
  std::memcpy(tooLong.data(), &wellFormed, sizeof wellFormed);
  Outcome longer = RunHelper(tooLong.data(), tooLong.size());
  EXPECT_EQ(longer.status, 2);
  EXPECT_EQ(longer.said, "trovix-capture: malformed request\n");
}

}  // namespace
}  // namespace trovix
