// The database schema as the server sends it (XML text), then every question
// the client asks of it.
#include "backoffice/Schema.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TDatabaseStructure db;
  try {
    db.loadFromXML(QString::fromUtf8(fuzz::bytesOf(data, size)));
  } catch (const Exception&) {
    return 0;
  }
  if (!db.loaded()) return 0;
  try {
    for (TTableStructure* t : db.tables()) {
      (void)t->getCaption();
      (void)t->getChildTables();
      (void)db.findTable(t->name);
      (void)db.getTableById(t->table_id);
      for (const auto& f : t->fields) {
        (void)f->getCaption();
        (void)f->getFKConstraint();
        (void)t->getFieldByCaption(f->caption);
      }
      try {
        (void)t->keyField();
        (void)t->getMainField();
      } catch (const Exception&) {
      }
    }
    (void)db.getTable(QStringLiteral("goods"));
  } catch (const Exception&) {
  }
  return 0;
}
