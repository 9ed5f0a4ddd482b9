// The capture privilege check, in this process and in forked children that give up the
// capability, and the process-wide error text.
#include <grp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "capture/platform/capabilities.h"
#include "capture/platform/capability_check.h"
#include "capture/privilege.h"

namespace trovix {
namespace {

constexpr uid_t kNobody = 65534;

// What the check says, as one number: 10 * result + flag.
int CheckAnswer() {
  int32_t flag = 0;
  int32_t result = CheckAdminMembership(&flag);
  return 10 * result + flag;
}

// Runs `body` in a forked child and returns its exit code, -1 when it did not exit.
int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Sets the first word of the permitted and effective sets (CAP_NET_RAW lives there).
bool SetSets(uint32_t permitted0, uint32_t effective0) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].permitted = permitted0;
  data[0].effective = effective0;
  data[1].effective = 0;
  return syscall(SYS_capset, &header, data) == 0;
}

// The kernel's own account of the permitted and effective sets, read apart from capget.
bool ProcStatusSaysNetRaw() {
  std::ifstream status("/proc/self/status");
  std::string line;
  uint64_t held = 0;
  int found = 0;
  while (std::getline(status, line)) {
    if (line.rfind("CapPrm:", 0) == 0 || line.rfind("CapEff:", 0) == 0) {
      held |= std::stoull(line.substr(7), nullptr, 16);
      ++found;
    }
  }
  EXPECT_EQ(found, 2);
  return (held >> CAP_NET_RAW) & 1;
}

TEST(Privilege, ThisProcessIsPrivilegedExactlyWhenItCanRaiseNetRaw) {
  EXPECT_EQ(CheckAnswer(), ProcStatusSaysNetRaw() ? 11 : 10);
}

TEST(Privilege, NetRawOnlyPermittedIsPrivilegedAndGoneFromBothIsNot) {
  int answer = InChild([] {
    uint32_t netRaw = CAP_TO_MASK(CAP_NET_RAW);
    if (!SetSets(netRaw, 0)) return 99;
    int permittedOnly = CheckAnswer();
    if (!SetSets(0, 0)) return 98;
    return 100 * (permittedOnly - 10) + CheckAnswer();  // fits an exit code
  });
  if (answer == 99) GTEST_SKIP() << "this process does not hold CAP_NET_RAW";
  EXPECT_EQ(answer, 110);
}

TEST(Privilege, RootTurnedNobodyIsNotPrivileged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  int answer = InChild([] {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      return 99;
    }
    return CheckAnswer();
  });
  EXPECT_EQ(answer, 10);
}

TEST(Privilege, NobodyKeepingNetRawPermittedIsPrivileged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  int answer = InChild([] {
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) return 99;
    // Changing user cleared the effective set and kept the permitted one.
    return CheckAnswer();
  });
  EXPECT_EQ(answer, 11);
}

// The effective set's CAP_NET_RAW bit as the kernel shows this thread's.
int EffectiveNetRaw() {
  std::ifstream status("/proc/thread-self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> CAP_NET_RAW) & 1;
  }
  return 9;
}

TEST(Privilege, NetRawIsEffectiveOnlyWhileRaisedAndOnlyWhenPermitted) {
  int answer = InChild([] {
    if (!SetSets(CAP_TO_MASK(CAP_NET_RAW), 0)) return 99;
    int trace = EffectiveNetRaw();
    {
      NetRawRaised raised;
      trace = 10 * trace + EffectiveNetRaw();
    }
    trace = 10 * trace + EffectiveNetRaw();
    if (!SetSets(0, 0)) return 98;
    NetRawRaised notPermitted;
    return 10 * trace + EffectiveNetRaw();
  });
  if (answer == 99) GTEST_SKIP() << "this process does not hold CAP_NET_RAW";
  EXPECT_EQ(answer, 100);  // digits: before 0, raised 1, after 0, not permitted 0
}

int FailingCapGet(cap_user_header_t, cap_user_data_t) {
  errno = EPERM;
  return -1;
}

// A kernel that knows another layout answers with its own version number.
int OtherLayoutCapGet(cap_user_header_t header, cap_user_data_t data) {
  header->version = _LINUX_CAPABILITY_VERSION_1;
  data[0].effective = ~0u;
  return 0;
}

TEST(Privilege, AFailedQueryIsACheckThatFailedAndLeavesTheFlag) {
  for (CapGetCall call : {FailingCapGet, OtherLayoutCapGet}) {
    CapabilityPrivilegeCheck check(call);
    int32_t flag = 0;
    EXPECT_EQ(check.CheckAdminMembership(&flag), 0);
    EXPECT_EQ(flag, 0);
  }
  CapabilityPrivilegeCheck real;
  EXPECT_EQ(real.CheckAdminMembership(nullptr), 0);
}

// Must stay the first error text test: the text is process-wide.
TEST(ErrorText, EmptyAtFirstThenTheSystemTextAndKeptForUnknownCodes) {
  EXPECT_STREQ(SystemErrorText(), "");
  FormatSystemErrorText(2102);  // no such errno: nothing to replace the empty text with
  EXPECT_STREQ(SystemErrorText(), "");
  FormatSystemErrorText(EACCES);
  EXPECT_STREQ(SystemErrorText(), "Permission denied");
  FormatSystemErrorText(0xffffffffu);
  FormatSystemErrorText(4000);
  EXPECT_STREQ(SystemErrorText(), "Permission denied");
  FormatSystemErrorText(ENOSPC);
  EXPECT_STREQ(SystemErrorText(), "No space left on device");
}

TEST(ErrorText, ALongTextIsCutToTheBuffer) {
  std::string text(3000, 'e');
  SetSystemErrorText(text);
  EXPECT_EQ(std::string(SystemErrorText()), text.substr(0, kErrorTextSize - 1));
}

}  // namespace
}  // namespace trovix
