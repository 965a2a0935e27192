#pragma once
// The kiosk's side of the push channel: the back office sends request
// batches ("Q") down a connection the kiosk registered, and the kiosk answers
// each with a reply batch ("R"). The transport borrows the connected socket
// of the client that registered the channel and has a scrambler of its own,
// which starts from zero when the transport is made.

#include <QByteArray>
#include <cstdint>

#include "backoffice/JTransport.h"

namespace plat {
class TcpClient;
}

// The key both ends scramble a push channel with. Built at run time, so the
// bytes do not stand together in the program's image.
QByteArray pushChannelKey();

class TServerTransport : public TJTransport {
 public:
  TServerTransport() = default;

  // Reads and writes on the given connected socket; not owned.
  void setSocket(plat::TcpClient* socket) { fSocket = socket; }
  // The key of both directions; the scrambler state is left as it is.
  void setCryptKey(const QByteArray& key);

  // Reads one request batch. Call it when hasData() reports bytes: the first
  // read waits at most 6 s. A failure drops the borrowed connection.
  TRequestBatchPtr recvRequestBatch();
  // Writes the reply to batch and flushes. Tables attached to its requests
  // are written as table streams and closed; they stay their owner's.
  void sendReplyBatch(TRequestBatch& batch);

  // The batch number of the last request batch read, echoed in the reply.
  uint8_t blockNo = 0;

 private:
  void writeDataSet(plat::MemTable* dataset);
};
