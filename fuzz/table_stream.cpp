// One table stream read into a dataset, as inside a reply: column count and
// descriptors, rows, end or error marker. A table that arrives is then used
// as the kiosk uses its tables: walked, saved, loaded, written out again.
#include "backoffice/TableStream.h"
#include "fuzz/FuzzTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::MemTable table;
  // A table that was open before the load, as on a refresh.
  table.AddField(QStringLiteral("id"), ftInteger);
  table.Open();
  table.Append();
  table.FieldByIndex(0)->SetAsInteger(7);
  table.Post();
  {
    fuzz::PairedTransport t;
    t.peer().reply(fuzz::bytesOf(data, size));
    try {
      t.recvTable(&table, 1);
    } catch (const Exception&) {
    }
  }
  if (!table.Active()) return 0;
  for (table.First(); !table.Eof(); table.Next())
    for (int i = 0; i < table.FieldCount(); ++i) (void)table.FieldByIndex(i)->AsString();
  const QByteArray saved = table.SaveToBytes();
  plat::MemTable copy;
  copy.LoadFromBytes(saved);
  if (copy.SaveToBytes() != saved) __builtin_trap();
  QByteArray out;
  try {
    writeTable(out, table);
  } catch (const Exception&) {
  }
  if (table.RecordCount() > 0) {
    table.First();
    table.Edit();
    table.Post();
    table.Delete();
  }
  return 0;
}
