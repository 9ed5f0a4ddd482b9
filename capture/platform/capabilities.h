// Least privilege: the program files hold CAP_NET_RAW in the permitted set only, and it is
// made effective just while the capture socket is being opened.
#pragma once

#include <linux/capability.h>

namespace trovix {

// Whether the program was started set-user-ID or set-group-ID (its real and effective ids
// differ). Such a start is refused: it would keep every capability of the file's owner.
bool StartedSetId() noexcept;

// Called first thing in main, before any thread exists (threads copy the set of the one
// that makes them). Empties the inheritable and ambient sets, so no program started from
// here receives a capability, and lowers every effective capability; the permitted set
// stays, so CAP_NET_RAW can be raised again. Returns 0 or an errno value.
int LowerCapabilitiesAtStart() noexcept;

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
