#include "platform/AtomicFile.h"

#include <string.h>
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>

#include "platform/Exception.h"

namespace plat {

void makeFolderPath(const QString& folder, FileAccess access) {
  const QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  if (QFileInfo(path).isDir()) return;
  // The missing ones, innermost first.
  QStringList missing;
  for (QString p = path; !QFileInfo::exists(p); p = QFileInfo(p).path()) {
    missing.prepend(p);
    if (QFileInfo(p).path() == p) break;
  }
  for (const QString& p : missing) {
    const QByteArray name = QFile::encodeName(p);
    const mode_t mode = access == FileAccess::OwnerOnly ? 0700 : 0777;
    if (::mkdir(name.constData(), mode) != 0 && !(errno == EEXIST && QFileInfo(p).isDir()))
      throw EFileError(QStringLiteral("Cannot create folder \"%1\". %2")
                           .arg(p, QString::fromLocal8Bit(::strerror(errno))));
  }
  if (!QFileInfo(path).isDir())
    throw EFileError(QStringLiteral("Cannot create folder \"%1\".").arg(path));
}

void writeFileAtomic(const QString& path, const QByteArray& bytes, FileAccess access) {
  makeFolderPath(QFileInfo(path).absolutePath(), access);
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
  // The temporary file took the mode of the file it replaces; narrowed
  // before a byte is written, so the secret is never readable by others.
  if (access == FileAccess::OwnerOnly && ::fchmod(file.handle(), 0600) != 0) {
    const QString reason = QString::fromLocal8Bit(::strerror(errno));
    file.cancelWriting();
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, reason));
  }
  if (file.write(bytes) != bytes.size()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, reason));
  }
  if (!file.commit())
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, file.errorString()));
}

}  // namespace plat
