#include "kiosk/EventGate.h"

TEventGate::TEventGate(std::function<IEventSink*()> queue, std::function<void(const QString&)> log)
    : queue_(std::move(queue)), log_(std::move(log)) {}

void TEventGate::add(int event_id, const QString& descr) {
  {
    std::lock_guard lock(m_);
    if (queue_) {
      if (IEventSink* sink = queue_()) sink->add(event_id, descr);
      return;
    }
  }
  if (log_)
    log_(QStringLiteral("Событие %1 не поставлено в очередь, программа завершилась: %2")
             .arg(event_id)
             .arg(descr));
}

void TEventGate::close() {
  std::lock_guard lock(m_);
  queue_ = nullptr;
}

bool TEventGate::isOpen() const {
  std::lock_guard lock(m_);
  return bool(queue_);
}
