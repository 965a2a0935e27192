#include "kiosk/KioskHooks.h"

#include <QProcess>

namespace {
IKioskHooks* installed = nullptr;
}

bool IKioskHooks::startProgram(const QString& program, const QStringList& arguments) {
  return QProcess::startDetached(program, arguments);
}

void installKioskHooks(IKioskHooks* hooks) {
  installed = hooks;
}

IKioskHooks& kioskHooks() {
  if (!installed) throw EWiring(QStringLiteral("Не подключены экраны продажи."));
  return *installed;
}
