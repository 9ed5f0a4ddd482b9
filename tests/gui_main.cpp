// Main of the window tests: an offscreen display, and a network namespace of the test's
// own so that any capture a test starts sees only the traffic the test sends.
#include <QApplication>

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
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && std::strcmp(argv[1], "--veth-peer") == 0) return trovix::test::RunVethPeer(3);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) std::fprintf(stderr, "capturing window tests will be skipped: %s\n", problem.c_str());
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return trovix::test::ExitCodeAfterSkips(RUN_ALL_TESTS());
}
