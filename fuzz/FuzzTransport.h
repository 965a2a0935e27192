#pragma once
// A back-office transport whose connection is one end of a socket pair; the
// other end plays a server that answers with the fuzzer's bytes.

#include "backoffice/JTransport.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Clock.h"

namespace fuzz {

class PairedTransport : public TJTransport {
 public:
  PairedTransport() {
    fSocket = &socket_;
    setShowProgress(false);
    setReadPollMs(5);
    peer_.adoptInto(socket_);
    // Fresh: no reconnect before the first batch.
    fLastRecvTime = plat::clock().nowMs();
  }
  ~PairedTransport() override {
    disconnect();
    fSocket = nullptr;
  }
  SocketPeer& peer() { return peer_; }

 private:
  plat::TcpClient socket_;
  SocketPeer peer_;
};

}  // namespace fuzz
