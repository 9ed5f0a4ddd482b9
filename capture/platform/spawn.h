// Starting a program with exactly the descriptors and signal state it is meant to have:
// the capture helper and ssh alike. Every posix_spawn step is checked.
#pragma once

#include <sys/types.h>

#include <span>

namespace trovix {

// One descriptor of the child: `target` gets `source` (a descriptor of this process), or
// /dev/null (kNullDevice), or stays as it is here (kInherited) when it would reach the
// child, else /dev/null: it is closed, close-on-exec or the source of another target.
struct ChildDescriptor {
  static constexpr int kNullDevice = -1;
  static constexpr int kInherited = -2;
  int target;
  int source;
};

struct SpawnPlan {
  const char* program;  // a path, or with searchPath a name looked up on PATH
  bool searchPath = false;
  char* const* argv = nullptr;
  std::span<const ChildDescriptor> descriptors;
};

// Starts the program in a process group of its own (a terminal's Ctrl-C is the caller's
// to act on), with no signal blocked and the usual ones at their defaults, whatever this
// process does with them. Returns 0 or an errno value.
int SpawnProcess(const SpawnPlan& plan, pid_t& pid) noexcept;

}  // namespace trovix
