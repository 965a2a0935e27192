#include "platform/NameLookup.h"

#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace plat {
namespace {

LookupResult fromAddrinfo(int status, addrinfo* list) {
  LookupResult r;
  if (status != 0) {
    r.error = QString::fromLocal8Bit(gai_strerror(status));
    return r;
  }
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (!ai->ai_addr || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress a;
    a.family = ai->ai_family;
    a.socktype = ai->ai_socktype;
    a.protocol = ai->ai_protocol;
    std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
    a.len = ai->ai_addrlen;
    r.addresses.push_back(a);
  }
  ::freeaddrinfo(list);
  if (r.addresses.empty()) r.error = QString::fromLocal8Bit(gai_strerror(EAI_NONAME));
  return r;
}

int getAddresses(const QByteArray& host, int port, int flags, addrinfo** list) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  return ::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, list);
}

class SystemResolver : public Resolver {
 public:
  LookupResult lookup(const QByteArray& host, int port) override {
    addrinfo* list = nullptr;
    const int g = getAddresses(host, port, 0, &list);
    return fromAddrinfo(g, list);
  }
};

// The installed resolver, and the lookups still running. Never destroyed: a
// caller may still look something up while the program's statics go.
struct Registry {
  std::mutex m;
  std::shared_ptr<Resolver> installed;
  std::shared_ptr<Resolver> system = std::make_shared<SystemResolver>();
  std::vector<std::weak_ptr<void>> running;  // NameLookup::Shared, type-erased
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

std::shared_ptr<Resolver> resolver() {
  Registry& r = registry();
  std::lock_guard lock(r.m);
  return r.installed ? r.installed : r.system;
}

void setResolver(std::shared_ptr<Resolver> res) {
  Registry& r = registry();
  std::lock_guard lock(r.m);
  r.installed = std::move(res);
}

// Shared by the lookup's thread and every caller waiting for it; the last of
// them frees it, so a caller that gives up never waits and the thread never
// touches freed memory.
struct NameLookup::Shared {
  Shared(std::shared_ptr<Resolver> r, QByteArray h, int p)
      : resolver(std::move(r)), host(std::move(h)), port(p) {}
  ~Shared() {
    if (fd >= 0) ::close(fd);
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  const std::shared_ptr<Resolver> resolver;
  const QByteArray host;
  const int port;
  // Written once, when the result is in; never read, so it stays readable
  // for every waiter.
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  mutable std::mutex m;
  bool done = false;
  LookupResult result;
};

std::shared_ptr<NameLookup::Shared> NameLookup::join(const QByteArray& host, int port) {
  std::shared_ptr<Resolver> res = resolver();
  Registry& reg = registry();
  std::lock_guard lock(reg.m);
  std::shared_ptr<Shared> found;
  std::erase_if(reg.running, [&](const std::weak_ptr<void>& w) {
    auto s = std::static_pointer_cast<Shared>(w.lock());
    if (!s) return true;
    std::lock_guard sl(s->m);
    if (s->done) return true;
    if (!found && s->resolver == res && s->host == host && s->port == port) found = s;
    return false;
  });
  if (found) return found;

  auto s = std::make_shared<Shared>(std::move(res), host, port);
  if (s->fd < 0) return nullptr;
  try {
    std::thread([s] {
      LookupResult r;
      try {
        r = s->resolver->lookup(s->host, s->port);
      } catch (const std::exception& e) {
        r = {};
        r.error = QString::fromLocal8Bit(e.what());
      } catch (...) {
        r = {};
        r.error = QStringLiteral("Name lookup failed");
      }
      if (r.error.isEmpty() && r.addresses.empty())
        r.error = QString::fromLocal8Bit(gai_strerror(EAI_NONAME));
      {
        std::lock_guard sl(s->m);
        s->result = std::move(r);
        s->done = true;
      }
      const uint64_t one = 1;
      (void)!::write(s->fd, &one, sizeof one);
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  reg.running.push_back(s);
  return s;
}

NameLookup::NameLookup(const QByteArray& host, int port) {
  // A numeric address is only converted: no name server, no thread.
  addrinfo* list = nullptr;
  const int g = getAddresses(host, port, AI_NUMERICHOST | AI_NUMERICSERV, &list);
  if (g != EAI_NONAME) {
    immediate_ = fromAddrinfo(g, list);
    return;
  }
  shared_ = join(host, port);
  if (!shared_) immediate_.error = QStringLiteral("Cannot start a name lookup");
}

NameLookup::~NameLookup() = default;

bool NameLookup::done() const {
  if (!shared_) return true;
  std::lock_guard lock(shared_->m);
  return shared_->done;
}

int NameLookup::fd() const {
  return shared_ ? shared_->fd : -1;
}

LookupResult NameLookup::result() const {
  if (!shared_) return immediate_;
  std::lock_guard lock(shared_->m);
  return shared_->result;
}

}  // namespace plat
