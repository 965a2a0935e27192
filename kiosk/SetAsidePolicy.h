#pragma once
// When a queue of records for the back office (events, audits) sets aside
// the record at its head that the server keeps refusing, and when it sends
// the records set aside again.
//
// A back office whose database is down for a while refuses every row, and a
// queue tries its head again with every new event, so a count of tries alone
// is used up within seconds of live traffic. A record leaves the head only
// after the server has refused it both many times in a row and over a long
// stretch of time; and what is set aside is never dropped: it is sent again
// after each start and every hour, until the server takes it.
//
// A round of those retries must not hold back the queue's new records: the
// queue lets a round spend only kRoundSliceMs of a pass and stops it between
// two records when new ones wait. A round broken off, by that or by a failure
// of the link, goes on from where it stopped, so the records at its start are
// not sent again before the rest have had their turn.
//
// Times come from plat::clock(), so tests move them as they please. Worker
// thread only.

#include <QString>
#include <QStringList>
#include <cstdint>

class TSetAsidePolicy {
 public:
  static constexpr int kRefusalLimit = 10;
  static constexpr int64_t kRefusalPeriodMs = 60 * 60 * 1000;
  static constexpr int64_t kRetryIntervalMs = 60 * 60 * 1000;
  // How long one pass may spend on a round; the next pass goes on with it.
  static constexpr int64_t kRoundSliceMs = 5'000;
  // The folder under the queue's own that holds the records set aside.
  static constexpr const char* kFolder = "refused";

  // The server refused the record at the head (its answer, not a transport
  // failure). True when the record is to be set aside now: refused at least
  // kRefusalLimit times in a row, the first of them at least
  // kRefusalPeriodMs ago. Another key starts the count anew.
  bool refused(const QString& key);

  // A round of retries of what was set aside is due: at the first look after
  // the start, then kRetryIntervalMs after the last round that ran through,
  // and at once while a round that was broken off is unfinished.
  bool retryDue() const;
  // Of the names of what is set aside, those the round has still to go
  // through, in name order: all of them when a round starts, and the names
  // after the last one it handled when it goes on after a break.
  QStringList roundAhead(QStringList names) const;
  // The round is through with this name: sent, refused again, or unreadable.
  void handled(const QString& name);
  // A round ran through (each record sent, or refused again).
  void retried();

  // Moves the file at source into dir (made when missing), under a suffixed
  // name when dir has one of that name already; target gets the path it now
  // has. False when it cannot.
  static bool moveInto(const QString& source, const QString& dir, QString* target = nullptr);
  // The plain files of dir, sorted by name.
  static QStringList files(const QString& dir);
  // The name a file had before moveInto suffixed it.
  static QString originalName(const QString& name);

 private:
  QString key_;
  int refusals_ = 0;
  int64_t firstRefusalMs_ = 0;
  bool retriedOnce_ = false;
  int64_t lastRetryMs_ = 0;
  bool inRound_ = false;  // a round is under way and has handled roundCursor_
  QString roundCursor_;
};
