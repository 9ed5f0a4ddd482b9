// The capture helpers a process has started, as /proc shows them.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace trovix::test {

// Those of `parent` that have not ended.
inline std::vector<pid_t> CaptureHelpersOf(pid_t parent) {
  std::vector<pid_t> helpers;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, name, state;
    pid_t ppid = 0;
    if (stat >> pid >> name >> state >> ppid && ppid == parent && name == "(trovix-capture)" && state != "Z") {
      helpers.push_back(std::stoi(pid));
    }
  }
  return helpers;
}

}  // namespace trovix::test
