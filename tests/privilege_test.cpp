// The capture privilege check, for root and for an ordinary user in and out of the group
// that may run the helper, raising the capability, and the process-wide error text.
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <functional>
#include <string>

#include "capture/platform/capabilities.h"
#include "capture/platform/capability_check.h"
#include "capture/privilege.h"
#include "tests/command_output.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

constexpr uid_t kNobody = 65534;

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

// What the check says about `helper` for nobody in group `group` (none for 0), as one
// number: 10 * result + flag.
int NobodysAnswer(const std::string& helper, gid_t group) {
  return InChild([&] {
    gid_t groups[] = {group};
    if (setgroups(group != 0 ? 1 : 0, groups) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      return 99;
    }
    int32_t flag = 0;
    HelperPrivilegeCheck check(helper);
    return 10 * check.CheckAdminMembership(&flag) + flag;
  });
}

TEST(Privilege, OnlyWhoMayRunTheHelperHoldingNetRawMayCapture) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand out files and become nobody";
  constexpr gid_t kCaptureGroup = 4242;
  test::TempFolder folder;
  ASSERT_EQ(chmod(folder.Path("").c_str(), 0755), 0);
  std::string plain = folder.Path("plain"), granted = folder.Path("granted");
  for (const std::string& copy : {plain, granted}) {
    std::filesystem::copy_file(TROVIX_CAPTURE_HELPER, copy);
    ASSERT_EQ(chown(copy.c_str(), 0, kCaptureGroup), 0);
    ASSERT_EQ(chmod(copy.c_str(), 0750), 0);
  }
  ASSERT_EQ(test::RunCommand("setcap cap_net_raw+p '" + granted + "'").status, 0);

  int32_t flag = 0;
  EXPECT_EQ(HelperPrivilegeCheck(plain).CheckAdminMembership(&flag), 1);
  EXPECT_EQ(flag, 1) << "root gets every capability from any helper it runs";
  EXPECT_EQ(NobodysAnswer(granted, kCaptureGroup), 11);
  EXPECT_EQ(NobodysAnswer(plain, kCaptureGroup), 10) << "a member, but the helper holds nothing";
  EXPECT_EQ(NobodysAnswer(granted, 0), 10) << "not a member";
  flag = 0;
  EXPECT_EQ(HelperPrivilegeCheck(folder.Path("missing")).CheckAdminMembership(&flag), 0);
  EXPECT_EQ(HelperPrivilegeCheck(granted).CheckAdminMembership(nullptr), 0);
  EXPECT_EQ(flag, 0);
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
