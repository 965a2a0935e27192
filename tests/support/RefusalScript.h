#pragma once
// Scripted answers of the stand-in back office to a queue's inserts, pass by
// pass, for the queues that set aside the record at their head that the
// server keeps refusing. A script is one letter per pass: R the server
// refuses the oldest record (and takes the others), T the link breaks at the
// first insert of the pass before any answer (nothing stored). The clock
// moves stepMs after each pass. Once recovered, the server takes every row.

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>

#include "testbed/ProtocolServer.h"
#include "testbed/SimDatabase.h"
#include "testbed/SimHandlers.h"

namespace testkit {

struct RefusalCase {
  const char* script;
  int64_t stepMs;      // between two passes
  int setAsideAtPass;  // 1-based pass on which the record is set aside; 0: never
};

inline constexpr RefusalCase kRefusalCases[] = {
    {"RRRRRRRRRR", 400'000, 10},   // the tenth refusal, an hour after the first
    {"RRRRRRRRRRR", 399'000, 11},  // ten refusals within the hour; the eleventh past it
    // A refusal of a few minutes, however many passes it spans, costs nothing.
    {"RRRRRRRRRRRRRRRRRRRR", 10'000, 0},
    {"RRRRRRRRR", 3'600'000, 0},  // refused for hours, but only nine times
    {"TTTTTTTTTTTTTTTTTTTT", 400'000, 0},
    {"RRRRRTTTTTRRRRR", 400'000, 15},  // a broken link neither counts nor starts anew
};

class RefusalScript {
 public:
  // oldest: the SQL condition on "new" that picks the oldest record's row.
  RefusalScript(ProtocolServer& server, sim::SimHandlers& handlers, sim::SimDatabase& db,
                const QString& table, const QString& oldest)
      : db_(db) {
    db_.exec(QStringLiteral("create trigger refusal_script before insert on %1 when %2 "
                            "begin select raise(abort, 'Нет соединения с базой данных'); end")
                 .arg(table, oldest));
    server.setRequestHandler(
        [&server, &handlers, cut = cut_](const ServerRequest& rq, ServerReply& rep) {
          if ((rq.code == 7 || rq.code == 27) && cut->exchange(false)) {
            server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
            return rep.refuse(QStringLiteral("cut"));
          }
          handlers.handle(rq, rep);
        });
  }
  void beforePass(QChar letter) { *cut_ = letter == u'T'; }
  void recover() {
    *cut_ = false;
    db_.exec(QStringLiteral("drop trigger refusal_script"));
  }

 private:
  sim::SimDatabase& db_;
  std::shared_ptr<std::atomic<bool>> cut_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace testkit
