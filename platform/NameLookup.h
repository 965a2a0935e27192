#pragma once
// Host-name lookup for the TCP client, bounded like every other wait of a
// call. The system's resolver (getaddrinfo) cannot be told to give up: a name
// server that reads every query and never answers holds it for the
// resolver's own time-out, seconds per server and try, whatever the caller's
// deadline or a stop. So a name is looked up on a thread of its own, and the
// caller waits on a descriptor together with its deadline and its interrupt.
// A lookup the caller stopped waiting for goes on alone: its thread owns
// everything it touches, and frees it when the resolver returns.
//
// A numeric address needs no lookup: it is converted at once, on the
// caller's thread, with no thread started.

#include <sys/socket.h>

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

namespace plat {

// One address to connect to, as socket() and connect() take it.
struct SocketAddress {
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  sockaddr_storage addr{};
  socklen_t len = 0;
};

// What a lookup found: the addresses in the resolver's order, or why none.
struct LookupResult {
  std::vector<SocketAddress> addresses;
  QString error;  // empty when the name was found
};

// The blocking lookup itself. It runs on a lookup thread, never on the
// caller's, and may take as long as it likes: nobody waits for it beyond
// their own deadline. Tests install one that stalls.
class Resolver {
 public:
  virtual ~Resolver() = default;
  // The addresses of host for a stream connection to port.
  virtual LookupResult lookup(const QByteArray& host, int port) = 0;
};

// The resolver in force: the system's (getaddrinfo) unless one was installed.
std::shared_ptr<Resolver> resolver();
// Installs r; nullptr puts the system's back. A lookup already started keeps
// the resolver it started with, alive for as long as it runs.
void setResolver(std::shared_ptr<Resolver> r);

// One lookup of host for port, started on construction. A lookup of the same
// name and port by the same resolver that is still running is joined rather
// than started again: a name server gone silent costs one thread per name,
// however often the callers try again.
class NameLookup {
 public:
  NameLookup(const QByteArray& host, int port);
  // Never waits: a lookup still running ends on its own.
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  bool done() const;
  // Readable once the lookup is done, and from then on; -1 when it was done
  // on construction (a numeric address, or no thread could be started).
  int fd() const;
  // Once done: what was found.
  LookupResult result() const;

 private:
  struct Shared;
  // The running lookup of that name to join, or a new one on its own thread.
  static std::shared_ptr<Shared> join(const QByteArray& host, int port);

  std::shared_ptr<Shared> shared_;
  LookupResult immediate_;
};

}  // namespace plat
