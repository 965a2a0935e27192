// Request batches the back office pushes down the push channel (scrambled
// with the channel's key, as on the wire), each request acted on as the push
// worker acts on it and the reply written back.
#include "backoffice/Scrambler.h"
#include "backoffice/ServerTransport.h"
#include "fuzz/FuzzSupport.h"
#include "kiosk/PushThread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QByteArray wire = fuzz::bytesOf(data, size);
  Scrambler s;
  s.setKey(pushChannelKey());
  s.encode(wire.data(), size_t(wire.size()));

  plat::TcpClient socket;
  fuzz::SocketPeer peer;
  peer.adoptInto(socket);
  peer.reply(wire);
  TServerTransport transport;
  transport.setSocket(&socket);
  transport.setShowProgress(false);
  transport.setReadPollMs(5);
  transport.setCryptKey(pushChannelKey());
  TTrevaloThread worker(TPushContext{});
  try {
    for (int i = 0; i < 16 && socket.isConnected(); ++i) {
      TRequestBatchPtr batch = transport.recvRequestBatch();
      for (int k = 0; k < batch->count(); ++k) {
        try {
          worker.handlePushRequest(batch->request(k));
        } catch (const Exception& e) {
          batch->errorRequestNo = uint16_t(k + 1);
          batch->errorCode = 5;
          batch->errorMessage = e.message();
          break;
        }
      }
      transport.sendReplyBatch(*batch);
    }
  } catch (const Exception&) {
  }
  transport.setSocket(nullptr);
  return 0;
}
