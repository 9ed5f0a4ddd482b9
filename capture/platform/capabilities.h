// Least privilege: only the capture helper holds CAP_NET_RAW, in its permitted set only; it
// makes it effective just while the capture socket is being opened, then gives it up.
#pragma once

#include <linux/capability.h>

#include <cstdint>

namespace trovix {

// Whether the program was started set-user-ID or set-group-ID (its real and effective ids
// differ). Such a start is refused: it would keep every capability of the file's owner.
bool StartedSetId() noexcept;

// Called first thing in main, before any thread exists (threads copy the sets of the one
// that makes them), and by the helper once its socket is open. Empties the effective,
// inheritable and ambient sets and keeps only `keepPermitted` (a mask of capability
// numbers below 64) of the permitted set, for good. Returns 0 or an errno value.
int DropCapabilities(uint64_t keepPermitted) noexcept;

inline constexpr uint64_t kNetRawBit = uint64_t{1} << CAP_NET_RAW;
inline constexpr uint64_t kSysPtraceBit = uint64_t{1} << CAP_SYS_PTRACE;

// Makes `capability` effective for the calling thread alone, for good, when the permitted
// set holds it (root's trovix-cli keeps CAP_SYS_PTRACE there so that the thread that reads
// other processes' descriptors, and only it, may). Returns whether it is effective.
bool RaiseForThisThread(int capability) noexcept;

// Whether the file's capability attribute grants CAP_NET_RAW as permitted.
bool FileGrantsNetRaw(const char* path) noexcept;

// The calling thread's permitted, effective and inheritable sets are all empty.
bool HoldsNoCapability() noexcept;

// Raises CAP_NET_RAW into the effective set of the calling thread for its lifetime, when
// the permitted set holds it; does nothing otherwise (the socket call then fails with
// EPERM, which the caller reports). Puts back the sets found before on destruction.
class NetRawRaised {
 public:
  NetRawRaised() noexcept;
  ~NetRawRaised();
  NetRawRaised(const NetRawRaised&) = delete;
  NetRawRaised& operator=(const NetRawRaised&) = delete;

 private:
  bool raised_ = false;
  __user_cap_data_struct before_[_LINUX_CAPABILITY_U32S_3] = {};
};

}  // namespace trovix
