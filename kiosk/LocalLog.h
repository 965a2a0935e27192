#pragma once
// The kiosk's local text log, vekta.log in the data folder: one line per
// message, "dd.MM.yyyy hh:mm:ss", a tab and the text. Nothing reads it back;
// it is for a technician at the kiosk, so it is written as Linux tools expect
// it: UTF-8 with LF line ends.
//
// The main form and every worker that logs hold it through a shared pointer,
// so a worker still finishing while the form goes never writes through
// freed memory.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>
#include <mutex>

class TLocalLog {
 public:
  // fileName empty: lines are dropped until setFileName.
  explicit TLocalLog(QString fileName = {});

  void setFileName(const QString& fileName);
  QString fileName() const;

  // Appends one line, creating the folder and the file when missing. Any
  // thread; never raises; a failure only loses the line.
  void write(const QString& text) noexcept;

  // The bytes of one line: line breaks inside the text become blanks, so a
  // message never looks like several entries.
  static QByteArray lineBytes(const QDateTime& at, const QString& text);

 private:
  mutable std::mutex mutex_;
  QString fileName_;  // guarded by mutex_
};

using TLocalLogPtr = std::shared_ptr<TLocalLog>;
