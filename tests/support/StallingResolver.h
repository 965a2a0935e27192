#pragma once
// A name server that has stopped answering, as the TCP client sees it: every
// lookup waits until the test releases them all, and then finds each name at
// 127.0.0.1. A lookup that nobody waits for any more goes on until then.
//
// Installed for one scope; the lookups' threads may keep the resolver beyond
// it, and released() tells when the last of them has let it go.

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/NameLookup.h"

namespace testkit {

class StallingResolver : public plat::Resolver {
 public:
  // Set when the resolver is destroyed, that is when the last lookup that
  // used it has ended.
  explicit StallingResolver(std::shared_ptr<std::atomic<bool>> gone = {})
      : gone_(std::move(gone)) {}
  ~StallingResolver() override {
    if (gone_) gone_->store(true);
  }

  plat::LookupResult lookup(const QByteArray&, int port) override {
    ++started_;
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return released_; });
    ++ended_;
    plat::SocketAddress a;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(uint16_t(port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&a.addr, &in, sizeof in);
    a.len = sizeof in;
    a.family = AF_INET;
    a.socktype = SOCK_STREAM;
    return {{a}, {}};
  }

  // Lets every lookup, stalled or still to come, answer.
  void release() {
    {
      std::lock_guard lock(m_);
      released_ = true;
    }
    cv_.notify_all();
  }
  int started() const { return started_.load(); }
  int ended() const { return ended_.load(); }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool released_ = false;
  std::atomic<int> started_{0}, ended_{0};
  const std::shared_ptr<std::atomic<bool>> gone_;
};

// Installs a resolver for one scope, and the system's again at its end.
class ResolverScope {
 public:
  explicit ResolverScope(std::shared_ptr<plat::Resolver> r) { plat::setResolver(std::move(r)); }
  ~ResolverScope() { plat::setResolver(nullptr); }
  ResolverScope(const ResolverScope&) = delete;
  ResolverScope& operator=(const ResolverScope&) = delete;
};

}  // namespace testkit
