#include "kiosk/MainWorkers.h"

#include "kiosk/Audit.h"
#include "kiosk/BackgroundThreads.h"
#include "kiosk/CoffeeSupervision.h"
#include "kiosk/DevicesDiscovery.h"
#include "kiosk/LogThread.h"
#include "kiosk/PushThread.h"

TMainWorkers::TMainWorkers() = default;

TMainWorkers::~TMainWorkers() {
  stopAll();
  devicesDiscoveryThread.reset();
  carimaliInitializationThread.reset();
  eventLog.reset();
}

void TMainWorkers::requestStop() {
  if (eventLog) eventLog->terminate();
  if (uploadingThread) uploadingThread->terminate();
  if (trevaloThread) trevaloThread->terminate();
  if (wallpaperThread) wallpaperThread->terminate();
  if (charmBarThread) charmBarThread->terminate();
}

void TMainWorkers::stopAll() {
  requestStop();
  if (devicesDiscoveryThread) devicesDiscoveryThread->stop();
  if (carimaliInitializationThread) carimaliInitializationThread->stop();
  trevaloThread.reset();
  uploadingThread.reset();
  wallpaperThread.reset();
  charmBarThread.reset();
  if (eventLog) eventLog->stop();
}
