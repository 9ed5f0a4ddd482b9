// Which process holds a socket: /proc/PID/fd names each socket descriptor "socket:[INODE]",
// which a user may read for their own processes (and root for all). The program's name is
// the file name of /proc/PID/exe, or /proc/PID/comm where the link cannot be read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace trovix {

struct SocketProcess {
  pid_t pid = 0;
  std::string name;
};

// The processes of /proc that hold the sockets of `wanted`, each inode with the lowest
// process id read that holds it (the one that made it, where a socket was handed down to
// children). Processes of `first`, and those not in `known` (the ascending ids of the last
// walk of every process: new processes), are read first; when an inode is still missing
// and `readAll` is true, every other one too, and `known` becomes what was read. An inode
// found is taken out of `wanted`. True when every process was read.
bool FindSocketProcesses(const std::string& procRoot, std::unordered_set<uint32_t>& wanted,
                         const std::vector<pid_t>& first, std::vector<pid_t>& known, bool readAll,
                         std::unordered_map<uint32_t, SocketProcess>& found);

// The name a process is shown by: the last part of its executable's path, else its comm.
// Empty when the process is gone.
std::string ProcessName(const std::string& procRoot, pid_t pid);

// The user's name, or the number when the user database has none.
std::string UserName(uint32_t uid);

}  // namespace trovix
