// Main of the capture tests: runs every test inside a network namespace of its own.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "capture/platform/helper_process.h"
#include "tests/netns.h"
#include "tests/skip_exit.h"

int main(int argc, char** argv) {
#ifdef TROVIX_CAPTURE_HELPER
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
#endif
  signal(SIGPIPE, SIG_IGN);  // a peer that died must fail a test, not end the run
  if (argc == 2 && std::strcmp(argv[1], "--veth-peer") == 0) return trovix::test::RunVethPeer(3);
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) std::fprintf(stderr, "capture tests will be skipped: %s\n", problem.c_str());
  ::testing::InitGoogleTest(&argc, argv);
  return trovix::test::ExitCodeAfterSkips(RUN_ALL_TESTS());
}
