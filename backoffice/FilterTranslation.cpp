// A user's filter element turned into an SQL condition against the
// selection's columns and into a Russian text telling what is filtered.

#include <QDateTime>

#include "backoffice/Selection.h"
#include "backoffice/SqlLiteral.h"
#include "platform/Common.h"
#include "platform/Exception.h"

namespace {

QString childText(const pugi::xml_node& node, const char* name) {
  return QString::fromUtf8(node.child(name).text().get());
}

QString nodeText(const pugi::xml_node& node) {
  return QString::fromUtf8(node.text().get());
}

QString inDoubleQuotes(const QString& s) {
  return QLatin1Char('"') + s + QLatin1Char('"');
}

using SqlLiteral::quoted;

int toInt(const QString& text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
  return v;
}

double toDouble(const QString& text) {
  bool ok = false;
  QString t = text.trimmed();
  t.replace(QLatin1Char(','), QLatin1Char('.'));
  const double v = t.toDouble(&ok);
  if (!ok)
    throw EConvertError(QStringLiteral("'%1' is not a valid floating point value").arg(text));
  return v;
}

bool isNumericKind(int dt) {
  switch (dt) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftLargeint:
      return true;
    default:
      return false;
  }
}

bool isDateKind(int dt) {
  return dt == ftDate || dt == ftTime || dt == ftDateTime;
}

QString dateTimeText(const QString& daysText) {
  const double days = toDouble(daysText);
  const QDateTime dt =
      QDateTime(QDate(1899, 12, 30), QTime(0, 0)).addMSecs(qint64(std::llround(days * 86400000.0)));
  if (dt.time() == QTime(0, 0)) return dt.toString(QStringLiteral("dd.MM.yyyy"));
  return DateTimeToStrRegional(dt);
}

bool isTrue(const QString& text) {
  return text.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
}

const char* const kOperatorTexts[17] = {
    "",
    "= ",
    "<> ",
    "начинается с ",
    "не начинается с ",
    "заканчивается на ",
    "не заканчивается на ",
    "содержит ",
    "не содержит ",
    "< ",
    "<= ",
    "> ",
    ">= ",
    " в папке ",
    " папка равна ",
    " не в папке ",
    " папка не равна ",
};

[[noreturn]] void unknownCondition(const QString& code) {
  throw Exception(QStringLiteral("Unknown condition ") + code +
                  QStringLiteral(" (TdxGridManager.getFilterSQLField)."));
}

}  // namespace

QString TSelection::folderTable(const TSelectionColumn& column) const {
  const QString alias = getColumnTable(column.value);
  if (alias.toLower() != getMainTableAlias(from).toLower())
    return getLeftJoinByAlias(column.alias).TableName;
  return getMainTable(from);
}

QString TSelection::conditionItemSQL(const QString& fieldName, const TSelectionColumn& column,
                                     const pugi::xml_node& item, int position, int dataType,
                                     bool setupParams) {
  const QString codeText = childText(item, "condition");
  const int code = toInt(codeText);
  if (code < 1 || code > 16) unknownCondition(codeText);
  const QString F = column.value;
  const QString text = childText(item, "value");

  if (code >= 13) {
    const QString P = getColumnTable(column.value) + QStringLiteral(".parent_id");
    const QString id = childText(item, "id");
    if (id.isEmpty()) {
      if (code == 14) return P + QStringLiteral(" is null");
      if (code == 16) return P + QStringLiteral(" is not null");
      return QString();
    }
    // The key is the server's integer; other text becomes a literal rather
    // than a piece of the statement.
    const QString I = SqlLiteral::largeInteger(id);
    const QString T = folderTable(column);
    const QString children = QStringLiteral("GET_CHILDREN(") + I + QStringLiteral(", ") + T +
                             QStringLiteral(", id, parent_id, 'isFolder=1')");
    switch (code) {
      case 13:
        return P + QStringLiteral(" in (") + children + QLatin1Char(')');
      case 14:
        return P + QStringLiteral(" = ") + I;
      case 15:
        return QLatin1Char('(') + P + QStringLiteral(" not in (") + children +
               QStringLiteral(") or ") + P + QStringLiteral(" is null)");
      default:
        return QLatin1Char('(') + P + QStringLiteral(" <> ") + I + QStringLiteral(" or ") + P +
               QStringLiteral(" is null)");
    }
  }

  if (text.isEmpty()) {
    const bool str = dataType == ftString;
    switch (code) {
      case 1:
        return str ? QStringLiteral("(%1 is null or %1 = '')").arg(F)
                   : F + QStringLiteral(" is null");
      case 2:
        return str ? F + QStringLiteral(" <> ''") : F + QStringLiteral(" is not null");
      case 9:
        return F + QStringLiteral(" < null");
      case 10:
        return str ? QStringLiteral("(%1 is null or %1 <= '')").arg(F)
                   : F + QStringLiteral(" is null");
      case 11:
        return str ? F + QStringLiteral(" > ''") : F + QStringLiteral(" is not null");
      default:
        return QString();
    }
  }

  if (code >= 3 && code <= 8) {
    // The pattern is built from the value's own text for every kind, so a
    // number or date keeps its digits and quotes in the text stay doubled.
    const bool front = code >= 5;
    const bool back = code <= 4 || code >= 7;
    const QString pattern = quoted(QString(front ? "%" : "") + text + QString(back ? "%" : ""));
    if (code % 2 == 1) return F + QStringLiteral(" like ") + pattern;
    return QLatin1Char('(') + F + QStringLiteral(" not like ") + pattern + QStringLiteral(" or ") +
           F + QStringLiteral(" is null)");
  }

  QString V;
  if (isNumericKind(dataType)) {
    V = SqlLiteral::number(text);
  } else if (isDateKind(dataType)) {
    const QString name =
        QStringLiteral("grid_filter_") + fieldName + QLatin1Char('_') + QString::number(position);
    V = QLatin1Char('?') + name;
    if (setupParams) addParam(name, toDouble(text), TFieldType(dataType));
  } else {
    V = quoted(text);
  }
  switch (code) {
    case 1:
      return F + QStringLiteral(" = ") + V;
    case 2:
      return QStringLiteral("(%1 <> %2 or %1 is null)").arg(F, V);
    case 9:
      return QStringLiteral("(%1 < %2 or %1 is null)").arg(F, V);
    case 10:
      return QStringLiteral("(%1 <= %2 or %1 is null)").arg(F, V);
    case 11:
      return F + QStringLiteral(" > ") + V;
    default:
      return F + QStringLiteral(" >= ") + V;
  }
}

QString TSelection::getFilterSQLField(const pugi::xml_node& filterXML, const QString& fieldName,
                                      bool setupParams) {
  const pugi::xml_node fields = filterXML.child("fields");
  if (!fields) return QString();
  const QByteArray name = fieldName.toUtf8();
  const pugi::xml_node col = fields.child(name.constData());
  if (!col) return QString();
  const QString type = childText(col, "type");
  if (type.isEmpty()) return QString();
  const QString F = getColumnValue(fieldName);
  const TSelectionColumn& column = *findColumn(fieldName);
  const QString t = type.toLower();

  if (t == QLatin1String("condition")) {
    const pugi::xml_node cond = col.child("condition");
    const bool andOp = isTrue(childText(cond, "operation_and"));
    const int dataType = toInt(childText(cond, "dataType"));
    QString result;
    int counted = 0;
    int position = 0;
    for (pugi::xml_node item = cond.first_child(); item; item = item.next_sibling(), ++position) {
      if (std::strcmp(item.name(), "item") != 0) continue;
      ++counted;
      const QString part =
          conditionItemSQL(fieldName, column, item, position, dataType, setupParams);
      if (part.isEmpty()) continue;
      if (!result.isEmpty()) result += andOp ? QStringLiteral(" and ") : QStringLiteral(" or ");
      result += part;
    }
    if (!andOp && !result.isEmpty() && counted > 1)
      result = QLatin1Char('(') + result + QLatin1Char(')');
    return result;
  }

  if (t == QLatin1String("list") || t == QLatin1String("dict")) {
    const bool dict = t == QLatin1String("dict");
    const pugi::xml_node list = col.child(dict ? "dict" : "list");
    const int dataType = toInt(childText(list, "dataType"));
    const bool include = isTrue(childText(list, "include"));
    const QString K = dict ? childText(list, "keyField") : F;
    QStringList values;
    bool hasEmpty = false;
    int position = 0;
    for (pugi::xml_node item = list.first_child(); item; item = item.next_sibling(), ++position) {
      if (std::strcmp(item.name(), "item") != 0) continue;
      const QString text = dict ? childText(item, "id") : nodeText(item);
      if (text.isEmpty()) {
        hasEmpty = true;
        // An empty text is a value only for text columns; a number or date
        // has no empty form, so such an item only asks for the null rows.
        if (dict || isNumericKind(dataType) || isDateKind(dataType)) continue;
      }
      if (isNumericKind(dataType)) {
        values << SqlLiteral::number(text);
      } else if (isDateKind(dataType)) {
        const QString name = QStringLiteral("grid_filter_") + fieldName + QLatin1Char('_') +
                             QString::number(position);
        values << QLatin1Char('?') + name;
        if (setupParams) addParam(name, toDouble(text), TFieldType(dataType));
      } else {
        values << quoted(text);
      }
    }
    const QString word = include ? QStringLiteral("in") : QStringLiteral("not in");
    QString result;
    if (!values.isEmpty())
      result = K + QLatin1Char(' ') + word + QStringLiteral(" (") +
               values.join(QStringLiteral(", ")) + QLatin1Char(')');
    if (hasEmpty) {
      if (result.isEmpty())
        result = K + (include ? QStringLiteral(" is null") : QStringLiteral(" is not null"));
      else if (include)
        result =
            QLatin1Char('(') + result + QStringLiteral(" or ") + K + QStringLiteral(" is null)");
      else
        result = QLatin1Char('(') + result + QStringLiteral(" and ") + K +
                 QStringLiteral(" is not null)");
    }
    return result;
  }
  throw Exception(QStringLiteral("Unknown filter type ") + inDoubleQuotes(type) +
                  QStringLiteral("(TdxGridManager.getFilterSQLField)."));
}

QString TSelection::getFilterSQL(const pugi::xml_node& filterXML, bool setupParams) {
  QStringList parts;
  for (size_t i = 0; i < fColumns.size(); ++i) {
    const QString c = getFilterSQLField(filterXML, fColumns[i]->alias, setupParams);
    if (!c.isEmpty()) parts << c;
  }
  const QString additional = childText(filterXML, "additional").trimmed();
  const QString extra = humanTextToSQL(additional, false, true);
  if (!extra.trimmed().isEmpty()) parts << QLatin1Char('(') + extra + QLatin1Char(')');
  return parts.join(QStringLiteral("\rAnd\r")).trimmed();
}

QString TSelection::getFilterTextField(const pugi::xml_node& filterXML,
                                       const QString& fieldName) const {
  const pugi::xml_node fields = filterXML.child("fields");
  if (!fields) return QString();
  const QByteArray name = fieldName.toUtf8();
  const pugi::xml_node col = fields.child(name.constData());
  if (!col) return QString();
  const QString type = childText(col, "type");
  if (type.isEmpty()) return QString();
  const TSelectionColumn* column = getColumnByAlias(fieldName);
  const QString head = QLatin1Char('{') + column->completeCaption() + QStringLiteral("} ");
  const QString t = type.toLower();

  if (t == QLatin1String("condition")) {
    const pugi::xml_node cond = col.child("condition");
    const bool andOp = isTrue(childText(cond, "operation_and"));
    const int dataType = toInt(childText(cond, "dataType"));
    QStringList items;
    for (pugi::xml_node item = cond.child("item"); item; item = item.next_sibling("item")) {
      const QString codeText = childText(item, "condition");
      const int code = toInt(codeText);
      if (code < 1 || code > 16) unknownCondition(codeText);
      const QString text = childText(item, "value");
      QString V;
      if (isNumericKind(dataType))
        V = text;
      else if (isDateKind(dataType))
        V = text.isEmpty() ? QStringLiteral("''") : quoted(dateTimeText(text));
      else
        V = quoted(text);
      items << head + Translate(QString::fromUtf8(kOperatorTexts[code])) + V;
    }
    return items.join(andOp ? QStringLiteral(" и ") : QStringLiteral(" или "));
  }

  if (t == QLatin1String("list") || t == QLatin1String("dict")) {
    const bool dict = t == QLatin1String("dict");
    const pugi::xml_node list = col.child(dict ? "dict" : "list");
    const int dataType = toInt(childText(list, "dataType"));
    const bool include = isTrue(childText(list, "include"));
    QStringList values;
    for (pugi::xml_node item = list.child("item"); item; item = item.next_sibling("item")) {
      if (dict) {
        values << quoted(childText(item, "value"));
        continue;
      }
      const QString text = nodeText(item);
      if (isNumericKind(dataType))
        values << text;
      else if (isDateKind(dataType))
        values << (text.isEmpty() ? QString() : dateTimeText(text));
      else
        values << quoted(text);
    }
    return head + Translate(include ? QStringLiteral("в списке") : QStringLiteral("не в списке")) +
           QStringLiteral(" (") + values.join(QStringLiteral(", ")) + QLatin1Char(')');
  }
  throw Exception(QStringLiteral("Uknown filter type ") + inDoubleQuotes(type) +
                  QStringLiteral("(TdxGridManager.getFilterTextField)."));
}

QString TSelection::getFilterText(const pugi::xml_node& filterXML, const QString& band) const {
  QStringList parts;
  for (const auto& c : fColumns) {
    if (!band.isEmpty() && c->bandCaption.toLower() != band.toLower()) continue;
    const QString text = getFilterTextField(filterXML, c->alias);
    if (!text.isEmpty()) parts << text;
  }
  if (!band.isEmpty()) return parts.join(QStringLiteral(";\r\n"));
  const QString additional = childText(filterXML, "additional").trimmed();
  if (!additional.isEmpty()) parts << additional;
  return parts.join(QStringLiteral(";\r\n")).trimmed();
}

void TSelection::removeFiltersOnNonexistentColumns(pugi::xml_node filterXML) const {
  pugi::xml_node fields = filterXML.child("fields");
  if (!fields) return;
  for (pugi::xml_node c = fields.last_child(); c;) {
    pugi::xml_node prev = c.previous_sibling();
    if (!hasColumn(QString::fromUtf8(c.name()))) fields.remove_child(c);
    c = prev;
  }
}
