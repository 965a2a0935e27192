#pragma once
// Atomic replacement of the files the kiosk must not lose.

#include <QByteArray>
#include <QString>

namespace plat {

// Writes bytes to path through a temporary file that replaces it in one
// rename, so a crash leaves the old or the new file, never half of one.
// Missing parent folders are created. Raises EFileError with the reason.
void writeFileAtomic(const QString& path, const QByteArray& bytes);

}  // namespace plat
