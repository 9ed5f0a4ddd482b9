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

bool SetEffective(uint32_t effective0) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective = effective0;
  data[1].effective = 0;
  return syscall(SYS_capset, &header, data) == 0;
}

// The kernel's own account of the effective set, read apart from capget.
bool ProcStatusSaysNetRaw() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> CAP_NET_RAW) & 1;
  }
  ADD_FAILURE() << "no CapEff line";
  return false;
}

TEST(Privilege, ThisProcessIsPrivilegedExactlyWhenItHoldsNetRaw) {
  EXPECT_EQ(CheckAnswer(), ProcStatusSaysNetRaw() ? 11 : 10);
}

TEST(Privilege, DroppingNetRawFromTheEffectiveSetIsNotPrivileged) {
  int answer = InChild([] {
    return SetEffective(0) ? CheckAnswer() : 99;
  });
  EXPECT_EQ(answer, 10);
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

TEST(Privilege, NobodyHoldingNetRawIsPrivileged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  int answer = InChild([] {
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) return 99;
    if (CheckAnswer() != 10) return 98;  // changing user cleared the effective set
    return SetEffective(CAP_TO_MASK(CAP_NET_RAW)) ? CheckAnswer() : 97;
  });
  EXPECT_EQ(answer, 11);
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
