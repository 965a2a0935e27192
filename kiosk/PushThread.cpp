#include "kiosk/PushThread.h"

#include <chrono>
#include <memory>

#include "backoffice/JClient.h"
#include "backoffice/ServerTransport.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"

namespace {

constexpr uint16_t kFailedRequestError = 5;

}  // namespace

void registerPushChannel(TJClient& client, qint64 vm_id) {
  client.clearBatch();
  client.addRequest(TTrevaloThread::kRegistrationRequest).addParam(WireValue(qint32(vm_id)));
  try {
    client.sendBatch();
  } catch (...) {
    try {
      client.clearBatch();
    } catch (...) {
    }
    throw;
  }
  // The server answers registrations with pushed batches, never a reply.
  client.clearBatch();
}

TTrevaloThread::TTrevaloThread(TPushContext context) : ctx_(std::move(context)) {}

TTrevaloThread::~TTrevaloThread() {
  terminate();
  if (worker_.joinable()) worker_.join();
}

void TTrevaloThread::start() {
  if (worker_.joinable() || terminated_) return;
  worker_ = std::thread([this] { run(); });
}

void TTrevaloThread::terminate() {
  {
    std::lock_guard lock(m_);
    terminated_ = true;
  }
  // A registration or a read in flight is broken off.
  stop_.interrupt();
  wake_.notify_all();
}

void TTrevaloThread::log(const QString& text) const {
  if (ctx_.log) ctx_.log(text);
}

bool TTrevaloThread::pause(int64_t ms) {
  const int64_t deadline = plat::clock().nowMs() + ms;
  std::unique_lock lock(m_);
  return !plat::waitUntilMs(wake_, lock, deadline, [this] { return terminated_.load(); });
}

void TTrevaloThread::handlePushRequest(const TRequest& request) {
  switch (request.requestCode) {
    case 1:  // presence check
      return;
    case 2:
      if (ctx_.makeAudit) plat::runOnMain(ctx_.makeAudit, &terminated_);
      return;
    case 3:
      if (ctx_.refreshConfig) plat::runOnMain(ctx_.refreshConfig, &terminated_);
      return;
    default:
      throw Exception(QStringLiteral("Unknown request %1.").arg(request.requestCode));
  }
}

void TTrevaloThread::run() {
  auto client = std::make_unique<TJClient>();
  TClientInterrupt::Scope interruptible(stop_, client.get());
  client->setShowProgress(false);
  std::unique_ptr<TServerTransport> transport;
  while (!terminated_) {
    qint64 vm_id = 0;
    if (ctx_.synchronize) {
      const bool ran = plat::runOnMain([&] { ctx_.synchronize(*client, vm_id); }, &terminated_);
      if (!ran) break;
    }
    try {
      if ((vm_id > 0 && !client->connected()) || !transport ||
          transport->idleTime() > kSilenceLimitS) {
        client->close();
        transport.reset();
        registerPushChannel(*client, vm_id);
        transport = std::make_unique<TServerTransport>();
        transport->setSocket(client->socket());
        transport->setCryptKey(pushChannelKey());
      }
      if (client->connected() && transport->hasData()) {
        TRequestBatchPtr batch = transport->recvRequestBatch();
        for (int i = 0; i < batch->count(); ++i) {
          try {
            handlePushRequest(batch->request(i));
          } catch (const std::exception& e) {
            batch->errorRequestNo = uint16_t(i + 1);
            if (batch->errorCode == 0) batch->errorCode = kFailedRequestError;
            if (batch->errorMessage.isEmpty()) batch->errorMessage = exceptionMessage(e);
            break;
          }
        }
        transport->sendReplyBatch(*batch);
      }
    } catch (const std::exception& e) {
      log(exceptionMessage(e));
      if (!pause(kFailurePauseMs)) break;
    }
    if (!pause(kPassPauseMs)) break;
  }
  // The transport borrows the client's socket: it goes first.
  transport.reset();
}
