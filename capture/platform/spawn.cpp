#include "capture/platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "capture/platform/descriptor.h"

extern char** environ;

namespace trovix {

int MakePipe(Descriptor& readEnd, Descriptor& writeEnd, int flags) noexcept {
  int ends[2];
  if (pipe2(ends, flags) != 0) return errno;
  readEnd = Descriptor(ends[0]);
  writeEnd = Descriptor(ends[1]);
  return 0;
}

int MakeSocketPair(int type, Descriptor& first, Descriptor& second) noexcept {
  int ends[2];
  if (socketpair(AF_UNIX, type, 0, ends) != 0) return errno;
  first = Descriptor(ends[0]);
  second = Descriptor(ends[1]);
  return 0;
}

namespace {

constexpr int kMaxChildDescriptors = 8;

class SpawnSetup {
 public:
  SpawnSetup() noexcept {
    actionsMade_ = posix_spawn_file_actions_init(&actions_) == 0;
    attributesMade_ = posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnSetup() {
    if (attributesMade_) posix_spawnattr_destroy(&attributes_);
    if (actionsMade_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool made() const noexcept { return actionsMade_ && attributesMade_; }
  posix_spawn_file_actions_t* actions() noexcept { return &actions_; }
  posix_spawnattr_t* attributes() noexcept { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  bool actionsMade_ = false;
  bool attributesMade_ = false;
};

bool IsSourceOfAnother(std::span<const ChildDescriptor> all, int fd) {
  return std::any_of(all.begin(), all.end(), [fd](const ChildDescriptor& d) { return d.source == fd; });
}

bool ReachesChild(int fd) {
  int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

int AddNullDevice(posix_spawn_file_actions_t* actions, int target) {
  return posix_spawn_file_actions_addopen(actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
}

// The dup2s run one after another in the child, so a source numbered at or below the
// highest target could be overwritten before it is copied, and one that equals its target
// would keep its close-on-exec flag: such a source is first copied above every target
// (close-on-exec here; the copy the dup2 makes is not).
int AddDescriptors(SpawnSetup& setup, std::span<const ChildDescriptor> all,
                   Descriptor (&spares)[kMaxChildDescriptors]) {
  if (all.size() > kMaxChildDescriptors) return EINVAL;
  int highest = 0;
  for (const ChildDescriptor& d : all) highest = std::max(highest, d.target);
  for (size_t i = 0; i < all.size(); ++i) {
    const ChildDescriptor& d = all[i];
    int error = 0;
    if (d.source >= 0) {
      int source = d.source;
      if (source <= highest) {
        spares[i] = Descriptor(fcntl(source, F_DUPFD_CLOEXEC, highest + 1));
        if (!spares[i].valid()) return errno;
        source = spares[i].get();
      }
      error = posix_spawn_file_actions_adddup2(setup.actions(), source, d.target);
    } else if (d.source == ChildDescriptor::kInherited && ReachesChild(d.target) && !IsSourceOfAnother(all, d.target)) {
      continue;
    } else {
      error = AddNullDevice(setup.actions(), d.target);
    }
    if (error != 0) return error;
  }
  return 0;
}

int SetSignals(posix_spawnattr_t* attributes) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, s);
  int error = posix_spawnattr_setsigmask(attributes, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(attributes, &defaults);
  if (error == 0) error = posix_spawnattr_setpgroup(attributes, 0);
  if (error == 0) {
    error = posix_spawnattr_setflags(attributes,
                                     POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  return error;
}

}  // namespace

int SpawnProcess(const SpawnPlan& plan, pid_t& pid) noexcept {
  SpawnSetup setup;
  if (!setup.made()) return ENOMEM;
  Descriptor spares[kMaxChildDescriptors];  // closed here once the child has its copies
  int error = AddDescriptors(setup, plan.descriptors, spares);
  if (error == 0) error = SetSignals(setup.attributes());
  if (error != 0) return error;
  auto spawn = plan.searchPath ? posix_spawnp : posix_spawn;
  return spawn(&pid, plan.program, setup.actions(), setup.attributes(), plan.argv, environ);
}

}  // namespace trovix
