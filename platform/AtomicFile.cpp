#include "platform/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include "platform/Exception.h"

namespace plat {

void writeFileAtomic(const QString& path, const QByteArray& bytes) {
  const QString folder = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(folder))
    throw EFileError(QStringLiteral("Cannot create folder \"%1\".").arg(folder));
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
  if (file.write(bytes) != bytes.size()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, reason));
  }
  if (!file.commit())
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, file.errorString()));
}

}  // namespace plat
