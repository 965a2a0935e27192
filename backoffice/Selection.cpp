#include "backoffice/Selection.h"

#include <QLocale>
#include <algorithm>

#include "backoffice/ExpressionParser.h"
#include "backoffice/SqlLiteral.h"
#include "backoffice/Utils.h"
#include "platform/Exception.h"

namespace {

bool sameText(const QString& a, const QString& b) {
  return a.toLower() == b.toLower();
}

QString quoted(const QString& s) {
  return QLatin1Char('"') + s + QLatin1Char('"');
}

[[noreturn]] void fail(const QString& message) {
  throw Exception(message);
}

// A key value goes into the statement as a number only when it is an
// integer; anything else becomes a literal so that no text can change the
// statement.
QString keyText(const QString& value) {
  return SqlLiteral::integer(value);
}

bool isFloatField(TFieldType t) {
  return t == ftFloat || t == ftCurrency || t == ftBCD;
}

bool isIntegerField(TFieldType t) {
  return t == ftSmallint || t == ftInteger || t == ftWord || t == ftAutoInc || t == ftLargeint;
}

// A row's value in a modal condition as text: numbers in plain decimal form
// (never with an exponent), Booleans as True or False; empty for null.
QString modalValueText(const plat::Field& f) {
  if (f.IsNull()) return QString();
  const TFieldType t = f.DataType();
  if (t == ftBoolean) return f.AsBoolean() ? QStringLiteral("True") : QStringLiteral("False");
  if (isIntegerField(t)) return QString::number(f.AsLargeInt());
  if (isFloatField(t)) return QString::number(f.AsFloat(), 'f', QLocale::FloatingPointShortest);
  return f.AsString();
}

// The value where the condition puts it, so that no value ends a literal or
// starts one (x' or '1'='1 stays one value instead of widening the
// condition). Between quotes that the condition writes itself the text goes
// in once with its own quotes doubled. Elsewhere an empty value is null, a
// number stays a number when it is one, a Boolean its word, and anything
// else becomes a quoted literal.
QString modalValueSQL(const plat::Field& f, bool betweenQuotes) {
  const QString text = modalValueText(f);
  if (betweenQuotes) return SqlLiteral::inQuotes(text);
  if (text.isEmpty()) return QStringLiteral("null");
  const TFieldType t = f.DataType();
  if (t == ftBoolean) return text;
  if (isIntegerField(t) || isFloatField(t)) return SqlLiteral::number(text);
  return SqlLiteral::quoted(text);
}

QString lastNamePart(const QString& name) {
  const int dot = int(name.lastIndexOf(QLatin1Char('.')));
  return dot < 0 ? name : name.mid(dot + 1);
}

// Splits at every occurrence of sep; blanks inside braces stay when
// braceAware (a modal column's condition may hold blanks).
QStringList splitParts(const QString& value, const QString& sep, bool braceAware) {
  QStringList parts;
  QString rest = value;
  for (;;) {
    int at = -1;
    if (braceAware) {
      int depth = 0;
      for (int i = 0; i + sep.size() <= rest.size(); ++i) {
        if (rest[i] == u'{') ++depth;
        if (rest[i] == u'}') --depth;
        if (depth <= 0 && rest.mid(i, sep.size()) == sep) {
          at = i;
          break;
        }
      }
    } else {
      at = int(rest.indexOf(sep));
    }
    if (at < 0 || sep.isEmpty()) break;
    parts << rest.left(at);
    rest = rest.mid(at + sep.size()).trimmed();
  }
  parts << rest;
  return parts;
}

}  // namespace

QString TSelectionColumn::completeCaption() const {
  return bandCaption.isEmpty() ? columnCaption : bandCaption + QLatin1Char('.') + columnCaption;
}

TSelection::TSelection() = default;

TSelection::~TSelection() {
  clear();
  if (fTable && fTable->selection() == this) fTable->Notification(this);
}

void TSelection::SetTable(TJTable* value) {
  if (fTable && fTable != value && fTable->selection() == this) fTable->Notification(this);
  fTable = value;
  if (fTable) fTable->fSelection = this;
}

void TSelection::clear() {
  from.clear();
  where.clear();
  filter.clear();
  having.clear();
  orderBy.clear();
  tableName.clear();
  keyField = QStringLiteral("id");
  isTree = false;
  fColumns.clear();
  fParameters.clear();
  FLeftJoins.clear();
  FModalPairs.clear();
  FCalcs.clear();
}

void TSelection::assign(const TSelection& source) {
  if (&source == this) return;
  clear();
  from = source.from;
  where = source.where;
  filter = source.filter;
  having = source.having;
  orderBy = source.orderBy;
  keyField = source.keyField;
  tableName = source.tableName;
  isTree = source.isTree;
  for (const auto& c : source.fColumns) fColumns.push_back(std::make_unique<TSelectionColumn>(*c));
  FLeftJoins = source.FLeftJoins;
  FModalPairs = source.FModalPairs;
  FCalcs = source.FCalcs;
}

void TSelection::removeTempElements() {
  fColumns.erase(std::remove_if(fColumns.begin(), fColumns.end(),
                                [](const auto& c) { return c->isTemporary; }),
                 fColumns.end());
  FLeftJoins.erase(std::remove_if(FLeftJoins.begin(), FLeftJoins.end(),
                                  [](const TLeftJoin& j) { return j.isTemporary; }),
                   FLeftJoins.end());
}

// ---- columns ----

TSelectionColumn* TSelection::findColumn(const QString& alias) const {
  for (const auto& c : fColumns)
    if (sameText(c->alias, alias)) return c.get();
  return nullptr;
}

TSelectionColumn* TSelection::addCol(const QString& value, const QString& alias,
                                     const QString& postedField, const QString& defaultValue) {
  const QString a = alias.isEmpty() ? getColumnField(value) : alias;
  const QString p = postedField == QLatin1String("*") ? getColumnField(value) : postedField;
  if (findColumn(a))
    fail(QStringLiteral("Column ") + quoted(a) +
         QStringLiteral(" already exists (TSelection.addCol)."));
  fColumns.push_back(std::make_unique<TSelectionColumn>(value, a, p, defaultValue));
  return fColumns.back().get();
}

PCalcField TSelection::AddCalcCol(const QString& fieldName, TFieldType fieldType, int size,
                                  int precision, const QString& displayFormat) {
  TCalcField f;
  f.fieldName = fieldName;
  f.fieldType = fieldType;
  f.size = size;
  f.precision = precision;
  f.displayFormat = displayFormat;
  FCalcs.push_back(f);
  return &FCalcs.back();
}

TSelectionColumn* TSelection::getColumn(int index) const {
  if (index < 0 || index >= columnCount())
    throw EAbstractError(QStringLiteral("List index out of bounds (%1)").arg(index));
  return fColumns[size_t(index)].get();
}

QString TSelection::getColumnValue(const QString& alias) const {
  if (auto* c = findColumn(alias)) return c->value;
  fail(QStringLiteral("Column alias ") + quoted(alias) + QStringLiteral(" not found."));
}

TSelectionColumn* TSelection::getColumnByAlias(const QString& alias) const {
  if (auto* c = findColumn(alias)) return c;
  fail(QStringLiteral("Column alias ") + quoted(alias) + QStringLiteral("not found."));
}

TSelectionColumn* TSelection::getColumnByValue(const QString& value) const {
  for (const auto& c : fColumns)
    if (sameText(c->value, value)) return c.get();
  fail(QStringLiteral("Column ") + quoted(value) + QStringLiteral(" not found."));
}

QString TSelection::getColumnAlias(const QString& value) const {
  return getColumnByValue(value)->alias;
}

TSelectionColumn* TSelection::getColumnByCaption(const QString& band,
                                                 const QString& caption) const {
  for (const auto& c : fColumns)
    if (sameText(c->bandCaption, band) && sameText(c->columnCaption, caption)) return c.get();
  const QString name = band.isEmpty() ? caption : band + QLatin1Char('.') + caption;
  fail(QStringLiteral("Column ") + quoted(name) +
       QStringLiteral(" not found (TSelection.getColumnByCaption)."));
}

bool TSelection::getShowBands() const {
  return std::any_of(fColumns.begin(), fColumns.end(),
                     [](const auto& c) { return !c->bandCaption.isEmpty(); });
}

void TSelection::getBands(QStringList& bands) const {
  for (const auto& c : fColumns)
    if (!c->bandCaption.isEmpty() && !bands.contains(c->bandCaption, Qt::CaseInsensitive))
      bands << c->bandCaption;
}

// ---- joins and pairs ----

QString TSelection::uniqueJoinAlias(const QString& name) const {
  auto taken = [&](const QString& a) {
    return std::any_of(FLeftJoins.begin(), FLeftJoins.end(),
                       [&](const TLeftJoin& j) { return sameText(j.TableAlias, a); });
  };
  QString alias = name + QStringLiteral("__Dict");
  for (int i = 1; taken(alias); ++i) alias = name + QStringLiteral("__Dict") + QString::number(i);
  return alias;
}

PLeftJoin TSelection::addLJ(const QString& TableName, const QString& KeyField,
                            const QString& ParentTable, const QString& ParentField,
                            bool isTemporary) {
  for (TLeftJoin& j : FLeftJoins)
    if (sameText(j.TableName, TableName) && sameText(j.ParentTable, ParentTable) &&
        sameText(j.ParentField, ParentField) && sameText(j.KeyField, KeyField))
      return &j;
  TLeftJoin j;
  j.TableName = TableName;
  j.TableAlias = uniqueJoinAlias(lastNamePart(TableName));
  j.KeyField = KeyField;
  j.ParentTable = ParentTable;
  j.ParentField = ParentField;
  j.isTemporary = isTemporary;
  FLeftJoins.push_back(j);
  return &FLeftJoins.back();
}

PLeftJoin TSelection::findLeftJoinByTableAlias(const QString& tableAlias) {
  for (TLeftJoin& j : FLeftJoins)
    if (sameText(j.TableAlias, tableAlias)) return &j;
  return nullptr;
}

static QString leftJoinNotFound(const QString& tableAlias) {
  return QStringLiteral("\"Left Join\" table for ") + quoted(tableAlias) +
         QStringLiteral(" not found (TSelection.getLeftJoinByTableAlias).");
}

TLeftJoin TSelection::getLeftJoinByTableAlias(const QString& tableAlias) const {
  if (auto* j = const_cast<TSelection*>(this)->findLeftJoinByTableAlias(tableAlias)) return *j;
  fail(leftJoinNotFound(tableAlias));
}

PLeftJoin TSelection::findLeftJoinByAlias(const QString& alias) {
  return findLeftJoinByTableAlias(getColumnTable(getColumnValue(alias)));
}

TLeftJoin TSelection::getLeftJoinByAlias(const QString& alias) const {
  const QString tableAlias = getColumnTable(getColumnValue(alias));
  return getLeftJoinByTableAlias(tableAlias);
}

PModalPair TSelection::findModalPairByAlias(const QString& alias) {
  for (TModalPair& p : FModalPairs)
    if (sameText(p.Alias, alias)) return &p;
  return nullptr;
}

TModalPair TSelection::getModalPairByAlias(const QString& alias) const {
  if (auto* p = const_cast<TSelection*>(this)->findModalPairByAlias(alias)) return *p;
  fail(QStringLiteral("Modal pair for ") + quoted(alias) +
       QStringLiteral(" not found (TSelection.getModalPairByAlias)."));
}

QString TSelection::getTableForAlias(const QString& tableAlias) const {
  for (const TLeftJoin& j : FLeftJoins)
    if (sameText(j.TableAlias, tableAlias)) return j.TableName;
  TExpressionParser p;
  p.parse(from);
  const int i = p.indexOf(tableAlias);
  if (i < 0)
    fail(QStringLiteral("Alias ") + quoted(tableAlias) +
         QStringLiteral(" not found (TSelection.getTableForAlias)."));
  const QString before = i > 0 ? p.getExpression(i - 1) : QString();
  if (i >= 2 && sameText(before, QStringLiteral("as"))) return p.getExpression(i - 2);
  if (i == 0 || sameText(before, QStringLiteral("as")) || isFromReservedWord(before))
    return p.getExpression(i);
  return before;
}

// ---- text functions ----

QString TSelection::concatWhere(const QString& where1, const QString& where2) {
  if (where1.trimmed().isEmpty()) return where2;
  if (where2.trimmed().isEmpty()) return where1;
  return QLatin1Char('(') + where1 + QStringLiteral(") AND (") + where2 + QLatin1Char(')');
}

bool TSelection::ColumnIsSimple(const QString& Value) {
  QString t = Value.trimmed();
  int len;
  do {
    len = int(t.size());
    t.replace(QStringLiteral(" ."), QStringLiteral("."));
    t.replace(QStringLiteral(". "), QStringLiteral("."));
  } while (t.size() != len);
  for (QChar c : t)
    if (c == u' ' || c == u'(' || c == u')' || c == u'*' || c == u'/' || c == u'+' || c == u'-' ||
        c == u',' || c == u'"' || c == u'\'')
      return false;
  return t.count(QLatin1Char('.')) <= 1;
}

QString TSelection::getColumnTable(const QString& Value) {
  if (!ColumnIsSimple(Value)) fail(QStringLiteral("Column is not simple (GetColumnTable)."));
  const int dot = int(Value.indexOf(QLatin1Char('.')));
  return dot < 0 ? QString() : Value.left(dot).trimmed();
}

QString TSelection::getColumnField(const QString& Value) {
  if (!ColumnIsSimple(Value)) fail(QStringLiteral("Column is not simple (GetColumnField)."));
  const int dot = int(Value.indexOf(QLatin1Char('.')));
  return dot < 0 ? Value : Value.mid(dot + 1).trimmed();
}

bool TSelection::isFromReservedWord(const QString& value) {
  static const QStringList words = {"WITH",  "INNER", "OUTER", "CROSS", "LEFT",
                                    "RIGHT", "FULL",  "JOIN",  ","};
  return words.contains(value, Qt::CaseInsensitive);
}

QString TSelection::getMainTableAlias(const QString& From) {
  TExpressionParser p;
  p.parse(From);
  if (p.count() == 0) return QString();
  if (p.count() == 1) return p.getExpression(0);
  if (isFromReservedWord(p.getExpression(1))) return p.getExpression(0);
  if (sameText(p.getExpression(1), QStringLiteral("as")) && p.count() >= 3)
    return p.getExpression(2);
  return p.getExpression(1);
}

QString TSelection::getMainTable(const QString& From) {
  TExpressionParser p;
  p.parse(From);
  return p.count() == 0 ? QString() : p.getExpression(0);
}

// ---- parameters ----

void TSelection::addParam(const QString& name, const QVariant& Value, TFieldType dataType) {
  auto it = std::lower_bound(fParameters.begin(), fParameters.end(), name,
                             [](const Param& p, const QString& n) {
                               return QString::compare(p.name, n, Qt::CaseInsensitive) < 0;
                             });
  if (it != fParameters.end() && sameText(it->name, name))
    throw EAbstractError(QStringLiteral("String list does not allow duplicates"));
  // The table converts the value by its type the same way it does for its
  // own positional parameters.
  TJTable conv;
  conv.addParam(Value, dataType);
  fParameters.insert(it, Param{name, conv.getParam(0)});
}

TJParameter TSelection::getParam(const QString& name) const {
  for (const Param& p : fParameters)
    if (sameText(p.name, name)) return p.value;
  fail(QStringLiteral("Param ") + quoted(name) +
       QStringLiteral(" not found (TSelection.getParam)."));
}

TJParameter TSelection::param(int index) const {
  if (index < 0 || index >= paramCount())
    throw EAbstractError(QStringLiteral("List index out of bounds (%1)").arg(index));
  return fParameters[size_t(index)].value;
}

QString TSelection::paramName(int index) const {
  if (index < 0 || index >= paramCount())
    throw EAbstractError(QStringLiteral("List index out of bounds (%1)").arg(index));
  return fParameters[size_t(index)].name;
}

// ---- statement and loading ----

QString TSelection::getSQL() const {
  QStringList lines;
  lines << QStringLiteral("select");
  for (size_t i = 0; i < fColumns.size(); ++i)
    lines << fColumns[i]->value + QStringLiteral(" as ") + fColumns[i]->alias +
                 (i + 1 < fColumns.size() ? QStringLiteral(",") : QString());
  if (!from.isEmpty()) lines << QStringLiteral("from ") + from;
  for (const TLeftJoin& j : FLeftJoins)
    lines << QStringLiteral("Left Join ") + j.TableName + QLatin1Char(' ') + j.TableAlias +
                 QStringLiteral(" On ") + j.TableAlias + QLatin1Char('.') + j.KeyField +
                 QStringLiteral(" = ") + j.ParentTable + QLatin1Char('.') + j.ParentField;
  QString w = concatWhere(where, filter);
  if (!keyFieldValue.isEmpty())
    w = concatWhere(getColumnValue(keyField) + QStringLiteral(" = ") + keyText(keyFieldValue), w);
  if (!w.isEmpty()) lines << QStringLiteral("where ") + w;
  if (!having.isEmpty()) lines << QStringLiteral("having ") + having;
  if (!orderBy.isEmpty()) lines << QStringLiteral("order by ") + orderBy;
  QString text;
  for (const QString& l : lines) text += l + QStringLiteral("\r\n");
  return text;
}

void TSelection::selectFromDB(int timeout, TCustomAccessValidator* accessValidator) {
  if (!fTable) fail(QStringLiteral("Table is not specified (TSelection.selectFromDB)."));
  fTable->SetTableName(tableName);
  fTable->SetKeyField(keyField);
  QString sql = getSQL();
  fTable->clearParams();
  bool inLiteral = false;
  for (int i = 0; i < sql.size(); ++i) {
    if (sql[i] == u'\'') {
      inLiteral = !inLiteral;
    } else if (sql[i] == u'?' && !inLiteral) {
      const QString name = copyIdentifier(sql, i + 2);
      for (int k = 0; k < name.size(); ++k) sql[i + 1 + k] = u' ';
      const TJParameter p = getParam(name);
      fTable->addParam(p.value, p.dataType);
      i += int(name.size());
    }
  }
  fTable->SetSQLText(sql);
  QStringList posted;
  for (const auto& c : fColumns)
    if (!c->postedField.isEmpty()) posted << c->postedField;
  fTable->SetPostedFields(posted);

  std::vector<QVariant> keys;
  for (const auto& d : fAttachments) {
    QVariant key;
    if (d->fTable && d->fTable->Active())
      if (plat::Field* f = d->fTable->FindField(d->keyField)) key = f->Value();
    keys.push_back(key);
  }
  fTable->selectFromDB(timeout, accessValidator);

  for (size_t i = 0; i < fAttachments.size(); ++i) {
    TSelection& d = *fAttachments[i];
    if (!d.fTable) continue;
    // The master-key condition holds for this load only: kept in the
    // detail's filter it would pile up old masters' keys load after load.
    const QString ownFilter = d.filter;
    d.filter = concatWhere(
        d.getColumnValue(d.parentField) + QStringLiteral(" = ") + keyText(keyFieldValue),
        ownFilter);
    try {
      d.selectFromDB(timeout, nullptr);
    } catch (...) {
      d.filter = ownFilter;
      throw;
    }
    d.filter = ownFilter;
    if (!keys[i].isNull()) d.fTable->Locate(d.keyField, keys[i]);
  }
}

// ---- details ----

TSelection* TSelection::attach(const QString& parentField) {
  auto d = std::make_unique<TSelection>();
  d->parentField = parentField;
  d->parentSelection = this;
  fAttachments.push_back(std::move(d));
  return fAttachments.back().get();
}

TSelection* TSelection::getAttachment(int index) const {
  if (index < 0 || index >= attachmentCount())
    throw EAbstractError(QStringLiteral("List index out of bounds (%1)").arg(index));
  return fAttachments[size_t(index)].get();
}

// ---- lookup and reference columns ----

TSelectionColumn* TSelection::addLJCol(const QString& value, const QString& alias,
                                       const QString& postedField, const QString& func) {
  const QStringList parts = splitParts(value, LookupSeparator, false);
  const int n = int(parts.size());
  if (n < 4 || (n - 1) % 3 != 0)
    fail(QStringLiteral("Number of params in Value string is wrong (TSelection.AddLJColumn)."));
  QString a = alias;
  if (a.isEmpty()) {
    a = getColumnField(parts[0]);
    if (a.endsWith(QStringLiteral("_id"), Qt::CaseInsensitive)) a.chop(3);
  }
  const QString posted = postedField == QLatin1String("*") ? getColumnField(parts[0]) : postedField;
  if (findColumn(a))
    fail(QStringLiteral("Column ") + quoted(a) +
         QStringLiteral(" already exists (TSelection.addLJCol)."));

  QString parentTable;
  try {
    parentTable = getColumnTable(parts[0]);
  } catch (const Exception&) {
    parentTable.clear();
  }
  if (parentTable.isEmpty()) parentTable = getMainTableAlias(from);
  if (parentTable.isEmpty())
    fail(QStringLiteral("Can not define ParentTable (TSelection.AddLJColumn)."));
  QString parentFieldName;
  if (ColumnIsSimple(parts[0])) {
    parentFieldName = getColumnField(parts[0]);
  } else {
    parentFieldName = parts[0].trimmed();
    parentTable.clear();
  }
  for (int t = 1; t + 2 < n; t += 3) {
    if (t > 1) parentFieldName = parts[t - 1].trimmed();
    PLeftJoin j = addLJ(parts[t].trimmed(), parts[t + 1].trimmed(), parentTable, parentFieldName);
    parentTable = j->TableAlias;
  }
  QString front, behind;
  if (!func.isEmpty()) {
    const int bar = int(func.indexOf(QLatin1Char('|')));
    if (bar < 0) {
      front = func;
    } else {
      front = func.left(bar);
      behind = func.mid(bar + 1);
    }
  }
  return addCol(front + parentTable + QLatin1Char('.') + parts[n - 1] + behind, a, posted,
                QString());
}

QString TSelection::uniqueColumnAlias(const QString& value) const {
  const QString base = ColumnIsSimple(value) ? getColumnField(value) : QStringLiteral("Expr");
  QString alias = base;
  for (int i = 1; findColumn(alias); ++i) alias += QString::number(i);
  return alias;
}

PModalPair TSelection::addModalCol(const QString& value, const QString& alias,
                                   const QString& postedField) {
  const QStringList parts = splitParts(value, LookupSeparator, true);
  if (parts.size() != 4)
    fail(QStringLiteral("Number of params in Value string is wrong (TSelection.AddModalColumn)."));
  QString a = alias;
  if (a.isEmpty()) {
    a = getColumnField(parts[0]);
    if (a.endsWith(QStringLiteral("_id"), Qt::CaseInsensitive)) a.chop(3);
  }
  const QString posted = postedField == QLatin1String("*") ? getColumnField(parts[0]) : postedField;
  QString tableName_ = parts[1];
  QString condition;
  const int brace = int(parts[1].indexOf(QLatin1Char('{')));
  if (brace >= 0) {
    if (!parts[1].endsWith(QLatin1Char('}')))
      fail(
          QStringLiteral("Second parameter must have format <Table name>[{<Where-condition>}] "
                         "(TSelection.AddLookupCol)."));
    tableName_ = parts[1].left(brace);
    condition = parts[1].mid(brace + 1, parts[1].size() - brace - 2);
  }
  const QString& sep = LookupSeparator;
  TSelectionColumn* display = addLJCol(
      parts[0] + sep + tableName_ + sep + parts[2] + sep + parts[3], a, QString(), QString());
  const QString keyAlias = uniqueColumnAlias(parts[0]);
  addCol(parts[0], keyAlias, posted, QString());
  TModalPair pair;
  pair.KeyAlias = keyAlias;
  pair.Alias = display->alias;
  const int bar = int(condition.indexOf(QLatin1Char('|')));
  pair.Where = bar < 0 ? condition : condition.left(bar);
  pair.folderTreeWhere = bar < 0 ? QString() : condition.mid(bar + 1);
  FModalPairs.push_back(pair);
  return &FModalPairs.back();
}

void TSelection::addJournCol(const QString& value, const QString& filter_, const QString& alias,
                             const QString& postedField) {
  AddCalcCol(alias, ftString, 100, 0, QString())->isJournDescr = true;
  QString f = filter_.trimmed();
  if (!f.isEmpty()) f = QLatin1Char('{') + f + QLatin1Char('}');
  // These texts use one blank between parts whatever the separator holds.
  const QString saved = LookupSeparator;
  LookupSeparator = QStringLiteral(" ");
  try {
    addModalCol(value + QStringLiteral(" tbDocJourn") + f + QStringLiteral(" id docNo"),
                alias + QStringLiteral("_docNo"), postedField);
    addLJCol(value + QStringLiteral(" tbDocJourn id docId"), alias + QStringLiteral("_docId"));
    addLJCol(value + QStringLiteral(" tbDocJourn id docDt"), alias + QStringLiteral("_docDt"));
    addLJCol(value + QStringLiteral(" tbDocJourn id table_id"),
             alias + QStringLiteral("_table_id"));
    addLJCol(value + QStringLiteral(" tbDocJourn id table_id tbTable id caption"),
             alias + QStringLiteral("_table_caption"));
  } catch (...) {
    LookupSeparator = saved;
    throw;
  }
  LookupSeparator = saved;
}

void TSelection::addDocCol(const QString& value, const QString& table, const QString& filter_,
                           const QString& alias, const QString& postedField) {
  AddCalcCol(alias, ftString, 50, 0, QString())->isDocDescr = true;
  QString f = filter_.trimmed();
  if (!f.isEmpty()) f = QLatin1Char('{') + f + QLatin1Char('}');
  const QString saved = LookupSeparator;
  LookupSeparator = QStringLiteral(" ");
  try {
    addModalCol(value + QLatin1Char(' ') + table + f + QStringLiteral(" id docNo"),
                alias + QStringLiteral("_docNo"), postedField);
    addLJCol(value + QLatin1Char(' ') + table + QStringLiteral(" id docDt"),
             alias + QStringLiteral("_docDt"));
  } catch (...) {
    LookupSeparator = saved;
    throw;
  }
  LookupSeparator = saved;
}

QString TSelection::decodeModalWhere(const QString& where_, plat::MemTable* table) {
  const QString w = where_ + QLatin1Char(' ');
  QString out;
  // Whether the condition's own text has opened a literal; a doubled quote
  // inside one closes and reopens it, which leaves it open.
  bool betweenQuotes = false;
  int i = 0;
  while (i < w.size()) {
    if (w[i] != u'@') {
      if (w[i] == u'\'') betweenQuotes = !betweenQuotes;
      out += w[i++];
      continue;
    }
    int level = 0;
    while (i < w.size() && w[i] == u'@') {
      ++level;
      ++i;
    }
    const QString name = copyIdentifier(w, i + 1);
    i += int(name.size());
    plat::MemTable* tb = table;
    for (int l = 1; l < level; ++l) {
      if (!tb->MasterSource())
        fail(QStringLiteral("tb.masterSource = nil (TSelection.decodeModalWhere)."));
      tb = tb->MasterSource();
    }
    out += modalValueSQL(*tb->FieldByName(name), betweenQuotes);
  }
  return out.trimmed();
}
