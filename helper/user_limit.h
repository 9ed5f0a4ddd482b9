// How many capture helpers one user may run at once. Each pins its ring (up to
// kMaxRingBytes) in kernel memory that no memory limit of the user's is charged for, so
// the rings of one user's helpers together stay under kMaxHelpersPerUser times that.
#pragma once

#include <sys/types.h>

namespace trovix::helper {

inline constexpr int kMaxHelpersPerUser = 8;

// Takes this helper's mark, then counts the running helpers of real user `user` that
// hold theirs, this one included, up to one more than kMaxHelpersPerUser; -1 (errno set)
// when the mark cannot be taken or the list read, or the list lacks this helper's own mark.
//
// The mark is a read lock on one byte of the helper's program file, at the offset of the
// user id, held until the helper ends; the kernel lists every lock, with its holder's
// process id, in /proc/locks. Only a write lock could stand in its way, and that needs
// the file open for writing (root alone); no process can drop another's lock, and the
// lock is the file's whatever name the helper was started by. But anyone who may read the
// file may lock any byte of it, so a lock counts only when its holder is alive and this
// user's, and not seen running another program (see user_limit.cpp): not a lock whose
// holder has gone (a child that shared its parent's descriptors, then ended), nor one
// held by another user's process, shown or hidden. Of two helpers starting together, the
// later to read the list sees the earlier's lock. The cost is one read of /proc/locks, and
// a signal of 0 and a look at /proc/PID/exe for each holder of a lock at the offset.
int MarkAndCountHelpersOf(uid_t user) noexcept;

}  // namespace trovix::helper
