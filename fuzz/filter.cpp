// A user's filter element (XML kept in the back office) translated into SQL
// and into its description, over a selection like the kiosk's.
#include "backoffice/Selection.h"
#include "fuzz/FuzzSupport.h"

namespace {

struct Goods {
  TSelection s;
  Goods() {
    s.from = QStringLiteral("tbGoods G");
    auto cap = [](TSelectionColumn* c, const char* band, const char* caption) {
      c->bandCaption = QString::fromUtf8(band);
      c->columnCaption = QString::fromUtf8(caption);
    };
    cap(s.addCol(QStringLiteral("G.name")), "Товар", "Имя");
    cap(s.addCol(QStringLiteral("G.price")), "Товар", "Цена");
    cap(s.addCol(QStringLiteral("G.dt")), "", "Дата");
    s.addLJCol(QStringLiteral("G.group_id tbGroup id name"), QStringLiteral("grp"));
    cap(s.getColumnByAlias(QStringLiteral("grp")), "", "Группа");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pugi::xml_document doc;
  if (!doc.load_buffer(data, size)) return 0;
  const pugi::xml_node root = doc.document_element();
  Goods g;
  for (bool params : {false, true}) {
    try {
      (void)g.s.getFilterSQL(root, params);
    } catch (const Exception&) {
    }
  }
  for (const char* field : {"name", "price", "dt", "grp"}) {
    try {
      (void)g.s.getFilterSQLField(root, QString::fromLatin1(field), true);
    } catch (const Exception&) {
    }
    try {
      (void)g.s.getFilterTextField(root, QString::fromLatin1(field));
    } catch (const Exception&) {
    }
  }
  try {
    (void)g.s.getFilterText(root, QString::fromUtf8("Товар"));
    g.s.removeFiltersOnNonexistentColumns(root);
    (void)g.s.getFilterSQL(root, false);
  } catch (const Exception&) {
  }
  return 0;
}
