// The one spawn of the helper and of ssh: the child's descriptors as asked.
#include "capture/platform/spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace trovix {
namespace {

// The child's descriptors are set in turn, so a source numbered at or below a target
// (as the helper's end of its socket pair may be) is kept safe from the targets before it.
TEST(SpawnProcess, PlacesASourceNumberedBelowItsTargetIntact) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  int savedInput = fcntl(0, F_DUPFD_CLOEXEC, 10);
  ASSERT_GE(savedInput, 0);
  ASSERT_EQ(dup3(ends[1], 0, O_CLOEXEC), 0);  // the source is descriptor 0
  close(ends[1]);
  const ChildDescriptor descriptors[] = {{0, ChildDescriptor::kNullDevice}, {1, 0}, {3, 0}};
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>("read x || echo no-input; echo one; echo three >&3"), nullptr};
  pid_t pid = 0;
  int error = SpawnProcess({"/bin/sh", false, argv, descriptors}, pid);
  ASSERT_EQ(dup2(savedInput, 0), 0);  // standard input back as it was
  close(savedInput);
  ASSERT_EQ(error, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  std::string out(64, '\0');
  ssize_t n = read(ends[0], out.data(), out.size());
  close(ends[0]);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  EXPECT_EQ(out, "no-input\none\nthree\n");
}

}  // namespace
}  // namespace trovix
