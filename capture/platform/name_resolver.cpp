// The resolver's workers: each takes the next address, asks getnameinfo, keeps the answer.
#include "capture/platform/name_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace trovix {

bool SystemNameOf(const NameAddress& address, std::string& name) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  if (address.length == 16) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address.bytes, 16);
    size = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    std::memcpy(&in4->sin_addr, address.bytes, 4);
    size = sizeof(sockaddr_in);
  }
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), size, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0) {
    return false;
  }
  name = host;
  return true;
}

NameResolver::NameResolver(LearnedNames& names, Lookup lookup) : names_(names), lookup_(std::move(lookup)) {}

NameResolver::~NameResolver() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void NameResolver::Ask(const NameAddress& address) {
  {
    std::lock_guard lock(mutex_);
    if (pending_.size() >= kMaxPending || asked_.size() >= LearnedNames::kMaxLearnedAddresses ||
        asked_.count(address) != 0) {
      return;
    }
    if (names_.Has(address)) return;
    asked_.insert(address);
    pending_.push_back(address);
    while (workers_.size() < kWorkers) workers_.emplace_back([this] { Work(); });
  }
  wake_.notify_one();
}

size_t NameResolver::answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

void NameResolver::Work() {
  std::string name;
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stop_ || !pending_.empty(); });
    if (stop_) return;
    NameAddress address = pending_.front();
    pending_.pop_front();
    lock.unlock();
    bool named = lookup_(address, name);
    if (named) names_.LearnName(address, name, NameOrigin::kResolver);
    lock.lock();
    ++answered_;
  }
}

NameResolver& TheNameResolver() {
  static NameResolver* resolver = new NameResolver(TheLearnedNames());
  return *resolver;
}

}  // namespace trovix
