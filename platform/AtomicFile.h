#pragma once
// Atomic replacement of the files the kiosk must not lose.

#include <QByteArray>
#include <QString>

namespace plat {

// Who may read a file written here, and the folders made for it.
enum class FileAccess {
  // A new file gets the usual mode (0666 less the umask) and a replaced one
  // keeps the mode it had; folders made for it get 0777 less the umask.
  Usual,
  // The owner alone: the file is 0600 whatever the mode of the file it
  // replaces, and every folder made for it is 0700. For files that hold a
  // secret (the settings, with the back office's login and password).
  OwnerOnly,
};

// Creates folder with every missing parent; those made here get the mode of
// access. An existing folder is left as it is. Raises EFileError naming the
// folder that could not be made and why.
void makeFolderPath(const QString& folder, FileAccess access = FileAccess::Usual);

// Writes bytes to path through a temporary file that replaces it in one
// rename, so a crash leaves the old or the new file, never half of one.
// Missing parent folders are created. Raises EFileError with the reason.
void writeFileAtomic(const QString& path, const QByteArray& bytes,
                     FileAccess access = FileAccess::Usual);

}  // namespace plat
