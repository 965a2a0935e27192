#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>

namespace testkit {

// Runs fn on the main thread as soon as a modal window of type T is in front;
// a failure of the test when none came within limitMs.
template <typename T>
void whenShown(std::function<void(T*)> fn, int limitMs = 5000) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  auto tries = std::make_shared<int>(limitMs / 10);
  QObject::connect(timer, &QTimer::timeout, [timer, fn, tries] {
    auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
    if (!w && --*tries > 0) return;
    timer->stop();
    timer->deleteLater();
    if (w)
      fn(w);
    else
      ADD_FAILURE() << "no dialog was shown";
  });
  timer->start();
}

}  // namespace testkit
