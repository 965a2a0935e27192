#pragma once
// A paid sale leaves two records on disk: one unit event per unit sold in the
// event queue, and the units added to the counters file. They are written at
// different moments (a card sale's events by the payment thread as the
// terminal approves, the counters by the main thread afterwards), so a crash
// between the two used to leave the counters short of the sales that the
// back office got.
//
// The sale's count is therefore written first, as the journal
// "counters.sale" beside the counters, in the same step that queues its
// events (TLogThread::addAll): the events are staged, the journal commits
// the step, the events enter the queue. The counters file takes the sale
// later and the journal goes. The next start finishes whatever a crash cut
// off: the staged events enter the queue and the counters get the sale's
// count unless they already have it. The journal names the counters file it
// was written against (a digest of its bytes), so a count is never added
// twice.

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "kiosk/Counters.h"
#include "kiosk/LogThread.h"

// The file name of the journal in the data folder.
inline constexpr const char* kSaleJournalFile = "counters.sale";

// What a sale adds to the counters file, as lines of the file's own shape:
// one per cart line ("d12\t2\t0\t0\t150": units by kind, discount share in
// kopecks) and the total ("total_amount\t19800"), by the rules of
// updateCounters. Empty for no lines.
QStringList saleCountDelta(const std::vector<TCounterLine>& lines, TCounterKind kind,
                           double discount);

// Adds delta lines to counters file lines: column by column to the line of
// the same key, or as a new line before the total (which stays last).
void addCountDelta(QStringList& counters, const QStringList& delta);

// Queues the sale's events and writes its journal as one step (see above).
// No delta: the events alone. Never raises.
void recordSale(TLogThread& events, std::vector<TLogRecord> records, const QStringList& delta);

// The counters file took the sale: its journal goes.
void saleCounted(const QString& dataFolder);

// At start, before the event queue of the data folder is restored: finishes
// the sale that a crash left half-recorded, if any. log: the local text log.
void finishInterruptedSale(const QString& dataFolder,
                           const std::function<void(const QString&)>& log);
