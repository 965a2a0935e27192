#pragma once
// A back office that has gone silent: it accepts every connection on
// loopback and never sends a byte. Each connection is closed holdMs after it
// came (never, when holdMs is negative), as a server that hangs and then
// drops its clients does.

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/TcpServer.h"

namespace testkit {

class SilentServer {
 public:
  // port 0: the system picks one (see port()).
  explicit SilentServer(int holdMs = -1, int port = 0) : holdMs_(holdMs) {
    server_.listen(QStringLiteral("127.0.0.1"), port);
    thread_ = std::thread([this] { run(); });
  }
  ~SilentServer() {
    stop_ = true;
    thread_.join();
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  int port() const { return server_.port(); }
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  void run() {
    std::vector<std::pair<std::unique_ptr<plat::TcpClient>, Clock::time_point>> open;
    while (!stop_) {
      if (auto c = server_.accept(10)) {
        ++accepted_;
        open.emplace_back(std::move(c), Clock::now() + std::chrono::milliseconds(holdMs_));
      }
      if (holdMs_ < 0) continue;
      for (auto it = open.begin(); it != open.end();) {
        if (Clock::now() < it->second) {
          ++it;
          continue;
        }
        it->first->close();
        it = open.erase(it);
      }
    }
  }

  const int holdMs_;
  plat::TcpServer server_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace testkit
