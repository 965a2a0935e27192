#pragma once
// Scripted answers of the stand-in back office to row inserts (request 7),
// for the queues that set aside a row the server keeps refusing. A script is
// one letter per insert, in order: R the server refuses the row, T the link
// breaks before any answer (nothing stored). Once the script is used up every
// insert goes to the stand-in's own handlers and is taken. While the script
// lasts, a batch insert (request 27) is refused as a whole without taking a
// letter, as a server does when one of its rows is bad: the rows then go one
// by one, and the script answers each of those.

#include <QString>
#include <atomic>
#include <memory>

#include "testbed/ProtocolServer.h"
#include "testbed/SimHandlers.h"

namespace testkit {

struct RefusalCase {
  const char* script;
  int setAsideAtPass;  // 1-based pass on which the row is set aside; 0: never
};

inline constexpr RefusalCase kRefusalCases[] = {
    {"RRRRRRRRRR", 10},
    {"RRRRRRRRR", 0},  // taken on the tenth try
    {"TTTTTTTTTTTTTTTTTTTT", 0},
    {"RRRRRTTTTTRRRRR", 15},  // a broken link neither counts nor starts the row anew
};

inline void scriptInserts(ProtocolServer& server, sim::SimHandlers& handlers,
                          const QString& script) {
  auto tries = std::make_shared<std::atomic<int>>(0);
  server.setRequestHandler(
      [&server, &handlers, script, tries](const ServerRequest& rq, ServerReply& rep) {
        if (rq.code == 7 && *tries < script.size()) {
          if (script[(*tries)++] == u'T') server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
          return rep.refuse(QStringLiteral("Нарушение ограничения"));
        }
        if (rq.code == 27 && *tries < script.size())
          return rep.refuse(QStringLiteral("Нарушение ограничения"));
        handlers.handle(rq, rep);
      });
}

}  // namespace testkit
