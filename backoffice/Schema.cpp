#include "backoffice/Schema.h"

#include "backoffice/JTransport.h"
#include "platform/Exception.h"
#include "platform/Xml.h"

namespace {

bool sameName(const QString& a, const QString& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString textOf(const pugi::xml_node& node, const char* name) {
  return plat::xmlText(node.child(name).text().get());
}

int intOf(const pugi::xml_node& node, const char* name) {
  const QString s = textOf(node, name).trimmed();
  bool ok = false;
  const int v = s.toInt(&ok);
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
  return v;
}

bool boolOf(const pugi::xml_node& node, const char* name) {
  const QString s = textOf(node, name).trimmed();
  if (sameName(s, QStringLiteral("true"))) return true;
  if (sameName(s, QStringLiteral("false"))) return false;
  bool ok = false;
  const double v = s.toDouble(&ok);
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid Boolean value").arg(s));
  return v != 0;
}

}  // namespace

TXMLNodeArray childNodesByName(const pugi::xml_node& node, const char* name) {
  TXMLNodeArray out;
  for (pugi::xml_node c = node.child(name); c; c = c.next_sibling(name)) out.push_back(c);
  return out;
}

// ---- TFieldStructure ----

void TFieldStructure::loadFromXML(const pugi::xml_node& xml) {
  name = textOf(xml, "name");
  caption = textOf(xml, "caption");
  fieldType = intOf(xml, "type");
  notNull = boolOf(xml, "notNull");
  precision = intOf(xml, "precision");
  scale = intOf(xml, "scale");
  unique = boolOf(xml, "unique");
  defaultValue = textOf(xml, "defaultValue");
  identity = boolOf(xml, "identity");
  isKeyField = boolOf(xml, "isKeyField");
  guiType = textOf(xml, "guiType");
}

QString TFieldStructure::getCaption() const {
  return caption.isEmpty() ? name : caption;
}

TFKConstraint* TFieldStructure::getFKConstraint() const {
  for (const auto& fk : table->fkConstraints)
    if (sameName(fk->fields, name)) return fk.get();
  return nullptr;
}

// ---- TFKConstraint ----

void TFKConstraint::loadFromXML(const pugi::xml_node& xml) {
  name = textOf(xml, "name");
  fields = textOf(xml, "fields");
  refTable = textOf(xml, "refTable");
  refFields = textOf(xml, "refFields");
}

// ---- TTableStructure ----

void TTableStructure::loadFromXML(const pugi::xml_node& xml) {
  name = textOf(xml, "name");
  caption = textOf(xml, "caption");
  tableType = intOf(xml, "tableType");
  table_id = intOf(xml, "table_id");
  isSynchronized = boolOf(xml, "isSynchronized");
  isUserTable = boolOf(xml, "isUserTable");
  isExternal = boolOf(xml, "isExternal");
  dbGenerator = textOf(xml, "dbGenerator");
  hasHistoryTable = boolOf(xml, "hasHistoryTable");
  for (const auto& n : childNodesByName(xml, "fields")) {
    auto f = std::make_unique<TFieldStructure>(this);
    f->loadFromXML(n);
    fields.push_back(std::move(f));
  }
  for (const auto& n : childNodesByName(xml, "fkConstraints")) {
    auto fk = std::make_unique<TFKConstraint>(this);
    fk->loadFromXML(n);
    fkConstraints.push_back(std::move(fk));
  }
  for (const auto& n : childNodesByName(xml, "registers"))
    registers << plat::xmlText(n.text().get());
  for (const auto& n : childNodesByName(xml, "parentTables"))
    parentTables.push_back({textOf(n, "name"), textOf(n, "fieldName")});
}

TFieldStructure* TTableStructure::getField(const QString& fieldName) const {
  for (const auto& f : fields)
    if (sameName(f->name, fieldName)) return f.get();
  return nullptr;
}

TFieldStructure* TTableStructure::getFieldByCaption(const QString& fieldCaption) const {
  const QString wanted = fieldCaption.trimmed();
  for (const auto& f : fields)
    if (!f->caption.isEmpty() && sameName(f->caption.trimmed(), wanted)) return f.get();
  return nullptr;
}

QString TTableStructure::getCaption() const {
  return caption.isEmpty() ? name : caption;
}

TFieldStructure* TTableStructure::keyField() const {
  for (const auto& f : fields)
    if (f->isKeyField) return f.get();
  throw Exception(QStringLiteral("Key field not found for table \"%1\".").arg(getCaption()));
}

TTableStructureArray TTableStructure::getChildTables() const {
  TTableStructureArray out;
  if (!database) return out;
  for (TTableStructure* t : database->tables())
    for (const auto& p : t->parentTables)
      if (sameName(p.table, name)) out << t;
  return out;
}

QString TTableStructure::getMainField() const {
  if (tableType == 3 && getField(QStringLiteral("docNo"))) return QStringLiteral("docNo");
  if (getField(QStringLiteral("name"))) return QStringLiteral("name");
  static const QStringList service = {"id",          "sys_ins",       "sys_user_id",
                                      "sync_unload", "sync_relation", "sync_updater",
                                      "isDeleted",   "isActual"};
  for (const auto& f : fields) {
    if (service.contains(f->name, Qt::CaseInsensitive)) continue;
    if (f->getFKConstraint()) continue;
    return f->name;
  }
  return QStringLiteral("id");
}

// ---- TDatabaseStructure ----

void TDatabaseStructure::loadFromXML(const QString& xml) {
  // A text that does not parse raises here, before the tables are touched.
  auto doc = CreateXmlDocument(xml);
  loadFromXML(doc->document_element());
}

void TDatabaseStructure::loadFromXML(const pugi::xml_node& xml) {
  clear();
  std::vector<std::unique_ptr<TTableStructure>> loaded;
  for (pugi::xml_node n = xml.first_child(); n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element) continue;  // comments, stray text
    auto t = std::make_unique<TTableStructure>(this);
    t->loadFromXML(n);
    loaded.push_back(std::move(t));
  }
  fTables = std::move(loaded);
  fLoaded = true;
}

void TDatabaseStructure::clear() {
  fTables.clear();
  fLoaded = false;
}

void TDatabaseStructure::ensureLoaded() {
  if (fLoaded) return;
  if (!JClient)
    throw Exception(QStringLiteral("Property JClient is not defined (TDatabaseStructure)."));
  loadFromXML(JClient->getDBStructure(30));
}

TTableStructureArray TDatabaseStructure::tables() {
  ensureLoaded();
  TTableStructureArray out;
  for (const auto& t : fTables) out << t.get();
  return out;
}

TTableStructure* TDatabaseStructure::findTable(const QString& tableName) {
  ensureLoaded();
  for (const auto& t : fTables)
    if (sameName(t->name, tableName)) return t.get();
  return nullptr;
}

TTableStructure* TDatabaseStructure::getTable(const QString& tableName) {
  if (auto* t = findTable(tableName)) return t;
  throw Exception(
      QStringLiteral("Table \"%1\" not found (TDatabaseStructure.getTable).").arg(tableName));
}

TTableStructure* TDatabaseStructure::getTableById(int table_id) {
  ensureLoaded();
  for (const auto& t : fTables)
    if (t->table_id == table_id) return t.get();
  throw Exception(
      QStringLiteral("Table %1 not found (TDatabaseStructure.getTableById).").arg(table_id));
}
