// Asking the system's resolver for the names of addresses no datagram named (getnameinfo
// with NI_NAMEREQD), on threads of their own, a few at a time. Each answer goes into the
// learned names and each address is asked once, so nothing waits on the resolver twice:
// neither the list, which only hands addresses in, nor the capture, which never sees it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "capture/learned_names.h"

namespace trovix {

// The system's name for `address`, or false when it has none (or no answer came).
bool SystemNameOf(const NameAddress& address, std::string& name);

class NameResolver {
 public:
  using Lookup = std::function<bool(const NameAddress&, std::string&)>;
  static constexpr size_t kWorkers = 3;
  // Addresses waiting at once; more are let go and asked when shown again.
  static constexpr size_t kMaxPending = 256;

  explicit NameResolver(LearnedNames& names, Lookup lookup = SystemNameOf);
  // Waits for the lookups under way.
  ~NameResolver();
  NameResolver(const NameResolver&) = delete;
  NameResolver& operator=(const NameResolver&) = delete;

  // Never blocks: an address already named, asked or over the bound is left alone. The
  // workers start at the first one.
  void Ask(const NameAddress& address);
  // Lookups finished, answered or not.
  size_t answered() const;

 private:
  void Work();

  LearnedNames& names_;
  Lookup lookup_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<NameAddress> pending_;
  std::unordered_set<NameAddress, NameAddressHash> asked_;
  std::vector<std::thread> workers_;
  size_t answered_ = 0;
  bool stop_ = false;
};

// The process's resolver over TheLearnedNames(), made at the first call and never ended:
// a lookup the system takes long over must not hold up the window's exit.
NameResolver& TheNameResolver();

}  // namespace trovix
