// The table file format: a cache file damaged on disk. The first byte picks
// whether the rest is the whole file as it stands or the body of a file with
// a right header and checksum. A file that loads also saves to the same
// table, survives the row operations and loads again after them.
#include "fuzz/FuzzSupport.h"
#include "fuzz/TableFile.h"
#include "platform/MemTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  const QByteArray file = (data[0] & 1) ? rest : fuzz::tableFileAround(rest);
  plat::MemTable t;
  try {
    t.LoadFromBytes(file);
  } catch (const Exception&) {
    return 0;
  }
  // Saved, it loads to a table that saves the same bytes.
  const QByteArray saved = t.SaveToBytes();
  {
    plat::MemTable copy;
    copy.LoadFromBytes(saved);
    if (copy.SaveToBytes() != saved) __builtin_trap();
  }
  for (t.First(); !t.Eof(); t.Next())
    for (int i = 0; i < t.FieldCount(); ++i) {
      (void)t.FieldByIndex(i)->AsString();
      (void)t.FieldByIndex(i)->Value();
    }
  try {
    if (t.FieldCount() > 0) {
      t.SetIndexFieldNames(t.FieldByIndex(0)->FieldName());
      (void)t.Locate(t.FieldByIndex(0)->FieldName(), QVariant(1));
    }
    t.Append();
    t.Post();
    t.First();
    t.Edit();
    t.Post();
    t.Last();
    t.Delete();
  } catch (const Exception&) {
  }
  plat::MemTable again;
  again.LoadFromBytes(t.SaveToBytes());
  return 0;
}
