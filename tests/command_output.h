// Runs a shell command and keeps what it wrote to standard output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace trovix::test {

struct CommandResult {
  std::string out;
  int status = -1;  // exit code, or -1 when it did not exit normally
};

inline CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace trovix::test
