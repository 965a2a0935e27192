// Whole files between the kiosk's disk and the server's, as raw streams
// beside the request and reply batches. Downloads survive a broken
// connection: each retry asks again from the position reached, on a fresh
// connection with a fresh login.

#include "backoffice/FileTransfer.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "backoffice/JTransport.h"
#include "platform/Clock.h"

namespace {

constexpr int kPieceSize = 4096;
// A server's chunk may be as large as it likes; it is read in slices of this
// size, so nothing it claims is ever allocated at once.
constexpr int kChunkSlice = 64 * 1024;
constexpr int kUpdateAttempts = 4;
constexpr int64_t kReadFileRetryPauseMs = 3000;

void fileOpen(QFile& f, QIODevice::OpenMode mode, const char* verb) {
  if (!f.open(mode))
    throw EFileError(
        QStringLiteral("Cannot %1 file \"%2\". %3")
            .arg(QLatin1String(verb), QFileInfo(f.fileName()).absoluteFilePath(), f.errorString()));
}

[[noreturn]] void raiseWriteError(const QFile& f) {
  throw EFileError(QStringLiteral("Cannot write file \"%1\". %2")
                       .arg(QFileInfo(f.fileName()).absoluteFilePath(), f.errorString()));
}

void fileWrite(QFile& f, const char* data, qint64 n) {
  if (f.write(data, n) != n) raiseWriteError(f);
}

// QFile keeps up to 16 KiB in its buffer and writes them only when it
// flushes or closes, so a full disk can swallow the tail of a file that every
// write() accepted. A download is complete only when this returned.
void fileFinish(QFile& f) {
  if (!f.flush()) raiseWriteError(f);
  f.close();
  if (f.error() != QFileDevice::NoError) raiseWriteError(f);
}

// Failures that a retry cannot mend: the local disk, and the user's cancel.
bool retryable(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const EFileError&) {
    return false;
  } catch (const EAbort&) {
    return false;
  } catch (...) {
    return true;
  }
}

// Sent when a retry's announced size is not the first one: the bytes about
// to come belong to another file, so the download starts again from zero.
VEKTA_EXCEPTION_CLASS(EUpdateChanged, Exception)

void dropBatch(TJTransport& t) {
  try {
    t.clearBatch();
  } catch (...) {
  }
}

// The reply that follows the file's bytes; a refusal raises the server's
// text unchanged, also after a complete file.
TRequestBatchPtr readReply(TJTransport& t, int timeout) {
  TRequestBatchPtr reply;
  try {
    reply = t.recvBatch(timeout);
  } catch (...) {
    dropBatch(t);
    throw;
  }
  if (reply->errorCode != 0) throw EServerError(reply->errorMessage);
  return reply;
}

// The update downloads (requests 57 and 78): one counted stream, retried
// from the position reached after 0, 1 and 2 seconds.
bool updateDownload(TJTransport& t, uint16_t code, const QString* sourceFileName,
                    const QString& destFileName, const TProgressProc& progress, int timeout) {
  auto request = [&](int64_t position, bool withPosition) {
    t.clearBatch();
    TRequest& r = t.addRequest(code);
    if (sourceFileName) r.addParam(WireValue(*sourceFileName));
    if (withPosition) r.addParam(WireValue::int64(position));
    t.sendBatch();
  };
  request(0, false);

  bool result = false;
  QFile file(destFileName);
  try {
    int64_t total = t.recvVariant(timeout).toInt64();
    if (total > 0) {
      fileOpen(file, QIODevice::WriteOnly | QIODevice::Truncate, "create");
      result = true;
      int64_t position = 0;
      int failures = 0;
      char piece[kPieceSize];
      for (;;) {
        try {
          if (failures > 0) {
            plat::clock().sleepMs(int64_t(failures - 1) * 1000);
            request(position, true);
            const int64_t again = t.recvVariant(timeout).toInt64();
            if (again <= 0) {
              // The offer was withdrawn: no partial file may pass for one.
              file.close();
              file.remove();
              result = false;
              break;
            }
            if (again != total) {
              total = again;
              if (position > 0) {
                position = 0;
                if (!file.resize(0) || !file.seek(0))
                  throw EFileError(
                      QStringLiteral("Cannot write file \"%1\". %2")
                          .arg(QFileInfo(destFileName).absoluteFilePath(), file.errorString()));
                throw EUpdateChanged(
                    QStringLiteral("The update file changed during the download "
                                   "(TJTransport.getSoftwareUpdate)."));
              }
            }
          }
          const int n = int(std::min<int64_t>(total - position, kPieceSize));
          if (n <= 0) break;
          t._recv(piece, n, timeout);
          fileWrite(file, piece, n);
          position += n;
          failures = 0;
        } catch (...) {
          const std::exception_ptr e = std::current_exception();
          if (!retryable(e) || ++failures >= kUpdateAttempts) throw;
          t.disconnect();
        }
        if (progress) progress(double(position) * 100.0 / double(total));
      }
      if (file.isOpen()) fileFinish(file);
    }
  } catch (...) {
    file.close();
    t.disconnect();
    dropBatch(t);
    throw;
  }
  readReply(t, timeout);
  return result;
}

}  // namespace

QString fitUniqueFileName(const QString& path) {
  if (!QFileInfo::exists(path)) return path;
  const qsizetype slash = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(u'\\'));
  qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
  if (dot <= slash) dot = path.size();
  const QString stem = path.left(dot);
  const QString ext = path.mid(dot);
  for (int n = 1;; ++n) {
    const QString candidate = stem + u'_' + QString::number(n) + ext;
    if (!QFileInfo::exists(candidate)) return candidate;
  }
}

QString TJTransport::writeFile(const QString& sourceFileName, const QString& destFileName,
                               bool fitUniqueName, const TProgressProc& progress, int timeout) {
  clearBatch();
  QFile file(sourceFileName);
  fileOpen(file, QIODevice::ReadOnly, "open");
  const qint64 size = file.size();
  TRequest& r = addRequest(30);
  r.addParam(WireValue(destFileName));
  r.addParam(WireValue::int64(size));
  r.addParam(WireValue(fitUniqueName));
  try {
    sendBatch();
    char piece[kPieceSize];
    qint64 total = 0;
    // Exactly the announced size: a file that grows or shrinks meanwhile
    // must not put the server out of step with the connection.
    while (total < size) {
      const qint64 n = file.read(piece, std::min<qint64>(kPieceSize, size - total));
      if (n <= 0)
        throw EFileError(QStringLiteral("Cannot read file \"%1\". %2")
                             .arg(QFileInfo(sourceFileName).absoluteFilePath(),
                                  n < 0 ? file.errorString() : QStringLiteral("The file shrank.")));
      _sendPart(piece, 0, int(n));
      total += n;
      if (progress) progress(double(total) / double(size) * 100.0);
    }
    flushSendBuffer();
  } catch (...) {
    // A half-sent file leaves the server waiting for bytes that never come.
    disconnect();
    dropBatch(*this);
    throw;
  }
  file.close();
  return readReply(*this, timeout)->request(0).resultParam(0).toString();
}

QString TJTransport::readFile(const QString& sourceFileName, const QString& destFileName,
                              int maxErrorCount, bool fitUniqueName, const TReadFileProc& progress,
                              int timeout) {
  clearBatch();
  // No limit at all would retry a dead server for ever.
  const int attempts = std::max(maxErrorCount, 1);
  const QString local = fitUniqueName ? fitUniqueFileName(destFileName) : destFileName;
  QFile file(local);
  int64_t position = 0;
  TRequest& first = addRequest(46);
  first.addParam(WireValue(sourceFileName));
  try {
    if (QFileInfo(local).isFile() && QFileInfo(local).size() > 0) {
      fileOpen(file, QIODevice::ReadWrite, "open");
      position = file.size();
      if (!file.seek(position))
        throw EFileError(QStringLiteral("Cannot write file \"%1\". %2")
                             .arg(QFileInfo(local).absoluteFilePath(), file.errorString()));
      first.addParam(WireValue::int64(position));
    } else {
      fileOpen(file, QIODevice::WriteOnly | QIODevice::Truncate, "create");
    }
    sendBatch();
    int failures = 0;
    QByteArray slice;
    for (;;) {
      try {
        if (failures > 0) {
          plat::clock().sleepMs(kReadFileRetryPauseMs);
          clearBatch();
          TRequest& r = addRequest(46);
          r.addParam(WireValue(sourceFileName));
          r.addParam(WireValue::int64(position));
          sendBatch();
        }
        const int n = recvVariant(timeout).toInt();
        if (n < 1) break;
        int left = n;
        while (left > 0) {
          const int part = std::min(left, kChunkSlice);
          slice.resize(part);
          _recv(slice.data(), part, timeout);
          fileWrite(file, slice.constData(), part);
          left -= part;
          position += part;
        }
        failures = 0;
      } catch (...) {
        const std::exception_ptr e = std::current_exception();
        if (!retryable(e)) throw;
        disconnect();
        if (++failures >= attempts) throw;
      }
      if (progress) progress(position);
    }
    fileFinish(file);
  } catch (...) {
    file.close();
    disconnect();
    dropBatch(*this);
    throw;
  }
  readReply(*this, timeout);
  return local;
}

bool TJTransport::getSoftwareUpdate(const QString& fileName, const TProgressProc& progress,
                                    int timeout) {
  return updateDownload(*this, 57, nullptr, fileName, progress, timeout);
}

bool TJTransport::getSoftwareUpdateII(const QString& destFileName, const QString& sourceFileName,
                                      const TProgressProc& progress, int timeout) {
  return updateDownload(*this, 78, &sourceFileName, destFileName, progress, timeout);
}
