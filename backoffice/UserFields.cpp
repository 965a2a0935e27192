// Human-readable expressions: columns by their captions in braces, the
// TABLE_ALIAS macro and field paths in square brackets, turned into SQL
// against the selection; and user-defined columns written that way.

#include "backoffice/UserFields.h"

#include <QRegularExpression>

#include "backoffice/JClient.h"
#include "backoffice/Utils.h"
#include "platform/Common.h"
#include "platform/Exception.h"

namespace {

QString childText(const pugi::xml_node& node, const char* name) {
  return QString::fromUtf8(node.child(name).text().get());
}

QString quoted(const QString& s) {
  return QLatin1Char('"') + s + QLatin1Char('"');
}

int toInt(const QString& text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
  return v;
}

// Index of the closing character of a reference opened at open, skipping
// nothing: the first closer after it ends the reference. -1 when none.
int closerAfter(const QString& text, int open, QChar closer) {
  return int(text.indexOf(closer, open + 1));
}

}  // namespace

QString TSelection::formatHumanIdentifier(const QString& id) {
  QString t = id.trimmed();
  t.replace(QLatin1Char('\r'), QLatin1Char(' '));
  t.replace(QLatin1Char('\n'), QLatin1Char(' '));
  int len;
  do {
    len = int(t.size());
    t.replace(QStringLiteral("  "), QStringLiteral(" "));
  } while (t.size() != len);
  t.replace(QStringLiteral(" ."), QStringLiteral("."));
  t.replace(QStringLiteral(". "), QStringLiteral("."));
  t.replace(QStringLiteral(" ->"), QStringLiteral("->"));
  t.replace(QStringLiteral("-> "), QStringLiteral("->"));
  return t;
}

void TSelection::extractDependences(const QString& text, QStringList& dependences) {
  bool inLiteral = false;
  for (int i = 0; i < text.size(); ++i) {
    if (text[i] == u'\'') {
      inLiteral = !inLiteral;
    } else if (text[i] == u'{' && !inLiteral) {
      const int close = closerAfter(text, i, u'}');
      if (close < 0) return;
      dependences << formatHumanIdentifier(text.mid(i + 1, close - i - 1).trimmed());
      i = close;
    }
  }
}

QString TSelection::humanTextToSQL(const QString& text_, bool raise_error, bool appendLeftJoins,
                                   const pugi::xml_node& userFieldsXML,
                                   QStringList* appendedUserFields) {
  QString text = text_;

  // Pass 1: captions in braces.
  bool inLiteral = false;
  for (int i = 0; i < text.size(); ++i) {
    if (text[i] == u'\'') {
      inLiteral = !inLiteral;
      continue;
    }
    if (text[i] != u'{' || inLiteral) continue;
    const int close = closerAfter(text, i, u'}');
    if (close < 0) break;
    QString name = text.mid(i + 1, close - i - 1).trimmed();
    if (name.isEmpty()) RaiseError(QStringLiteral("Не указано наименование колонки."));
    name = formatHumanIdentifier(name);
    QString replacement;
    bool found = false;
    for (const auto& c : fColumns) {
      if (formatHumanIdentifier(c->completeCaption()).toLower() == name.toLower()) {
        replacement = c->value;
        found = true;
        break;
      }
    }
    if (!found && userFieldsXML && appendedUserFields) {
      const int at = int(appendedUserFields->indexOf(
          QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char('$'),
                             QRegularExpression::CaseInsensitiveOption)));
      if (at >= 0) {
        if (at == appendedUserFields->size() - 1)
          RaiseError(QStringLiteral("Поле ") + quoted(name) +
                     QStringLiteral(" ссылается само на себя."));
        QStringList cycle;
        for (int k = at; k < appendedUserFields->size(); ++k)
          cycle << quoted(appendedUserFields->at(k));
        RaiseError(QStringLiteral("Поля ") + cycle.join(QStringLiteral(", ")) +
                   QStringLiteral(" циклически зависят друг от друга."));
      }
      for (pugi::xml_node uf = userFieldsXML.first_child(); uf; uf = uf.next_sibling()) {
        const QString ufName = childText(uf, "group") + QLatin1Char('.') + childText(uf, "caption");
        if (ufName.toLower() != name.toLower()) continue;
        appendedUserFields->append(name);
        const QString isFunction = childText(uf, "isFunction");
        if (!isFunction.isEmpty() && isFunction != QLatin1String("0"))
          RaiseError(QStringLiteral("Feature is not implemented (TSelection.humanTextToSQL)."));
        replacement = humanTextToSQL(childText(uf, "expression"), raise_error, appendLeftJoins,
                                     userFieldsXML, appendedUserFields);
        appendedUserFields->removeLast();
        found = true;
        break;
      }
    }
    if (!found) {
      if (raise_error)
        RaiseError(QStringLiteral("Не найдена колонка ") + quoted(name) + QLatin1Char('.'));
      i = close;
      continue;
    }
    text.replace(i, close - i + 1, replacement);
    i += int(replacement.size()) - 1;
  }

  // Pass 2: TABLE_ALIAS(column) becomes the column's table alias.
  try {
    static const QString keyword = QStringLiteral("TABLE_ALIAS");
    int from_ = 0;
    for (;;) {
      const int at = int(text.indexOf(keyword, from_, Qt::CaseInsensitive));
      if (at < 0) break;
      if (isInsideQuotes(text, at + 1)) {
        from_ = at + int(keyword.size());
        continue;
      }
      int j = at + int(keyword.size());
      while (j < text.size() &&
             (text[j] == u' ' || text[j] == u'\t' || text[j] == u'\n' || text[j] == u'\r'))
        ++j;
      if (j >= text.size() || text[j] != u'(')
        RaiseError(QStringLiteral("TABLE_ALIAS parameter is not specified."));
      const int close = int(text.indexOf(QLatin1Char(')'), j + 1));
      if (close < 0) RaiseError(QStringLiteral("TABLE_ALIAS parameter is not specified."));
      const QString arg = text.mid(j + 1, close - j - 1).trimmed();
      if (arg.isEmpty()) RaiseError(QStringLiteral("TABLE_ALIAS parameter is not specified."));
      const QString alias = getColumnTable(arg);
      if (alias.isEmpty()) RaiseError(QStringLiteral("Incorrect TABLE_ALIAS parameter."));
      text.replace(at, close - at + 1, alias);
      from_ = at + int(alias.size());
    }
  } catch (const Exception&) {
    if (raise_error) throw;
  }

  // Pass 3: field paths in square brackets.
  return translatePaths(text, raise_error, appendLeftJoins);
}

std::function<ISelectionSchema*(TJClient&)> TSelection::schemaOfClient =
    [](TJClient& client) -> ISelectionSchema* { return &client.schemaLookup(); };

QString TSelection::translatePaths(const QString& text_, bool raise_error, bool appendLeftJoins) {
  QString text = text_;
  bool inLiteral = false;
  try {
    for (int i = 0; i < text.size(); ++i) {
      if (text[i] == u'\'') {
        inLiteral = !inLiteral;
        continue;
      }
      if (text[i] != u'[' || inLiteral) continue;
      const int close = closerAfter(text, i, u']');
      if (close < 0) break;

      ISelectionSchema* db = schema;
      if (!db) {
        if (!fTable) RaiseError(QStringLiteral("Table = nil (humanTextToSQL)"));
        if (!fTable->JClient()) RaiseError(QStringLiteral("Table.JClient = nil (humanTextToSQL)"));
        auto* client = dynamic_cast<TJClient*>(fTable->JClient());
        if (!client) RaiseError(QStringLiteral("Table.JClient is not TJClient (humanTextToSQL)"));
        if (schemaOfClient) db = schemaOfClient(*client);
        if (!db)
          RaiseError(QStringLiteral("Table.JClient has no database schema (humanTextToSQL)"));
      }

      QString path = text.mid(i + 1, close - i - 1).trimmed();
      QString alias;
      const int bar = int(path.indexOf(QLatin1Char('|')));
      if (bar >= 0) {
        alias = path.left(bar).trimmed();
        path = path.mid(bar + 1);
      } else {
        alias = getMainTableAlias(from);
      }
      QString tableName_ = getTableForAlias(alias);
      QStringList captions = (path + QStringLiteral("->")).split(QStringLiteral("->"));
      captions.removeLast();
      std::vector<ISelectionSchema::Field> fields;
      for (int k = 0; k < captions.size(); ++k) {
        const QString caption = captions[k].trimmed();
        if (caption.isEmpty()) RaiseError(QStringLiteral("Field caption is not specified."));
        ISelectionSchema::Field f;
        if (!db->findField(tableName_, caption, f))
          RaiseError(QStringLiteral("Field ") + quoted(caption) +
                     QStringLiteral(" not found for table ") +
                     quoted(db->tableCaption(tableName_)) + QLatin1Char('.'));
        if (k + 1 < captions.size()) {
          if (f.refTable.isEmpty())
            RaiseError(QStringLiteral("Field ") + quoted(caption) +
                       QStringLiteral(" has no foreign key for the next step of the path."));
          tableName_ = f.refTable;
        }
        fields.push_back(f);
      }
      if (fields.empty()) RaiseError(QStringLiteral("Field is not specified."));

      QString replacement = QStringLiteral("NULL");
      if (appendLeftJoins) {
        for (size_t k = 0; k + 1 < fields.size(); ++k) {
          PLeftJoin j = addLJ(fields[k].refTable, db->keyFieldName(fields[k].refTable), alias,
                              fields[k].name, true);
          alias = j->TableAlias;
        }
        replacement = alias + QLatin1Char('.') + fields.back().name;
      }
      text.replace(i, close - i + 1, replacement);
      i += int(replacement.size()) - 1;
    }
  } catch (const Exception&) {
    if (raise_error) throw;
  }
  return text;
}

void TSelection::loadUserFields(const pugi::xml_node& userFieldsXML) {
  QStringList appended;
  for (pugi::xml_node uf = userFieldsXML.first_child(); uf; uf = uf.next_sibling()) {
    const QString name = childText(uf, "name");
    const int isFunction = toInt(childText(uf, "isFunction"));
    const QString expression = childText(uf, "expression");
    const QString group = childText(uf, "group");
    const QString caption = childText(uf, "caption");
    if (isFunction != 0)
      RaiseError(QStringLiteral("Feature is not implemented (TSelection.loadUserFields)."));
    appended << group + QLatin1Char('.') + caption;
    const QString sql = humanTextToSQL(expression, true, true, userFieldsXML, &appended);
    appended.removeLast();
    TSelectionColumn* c = addCol(sql, name, QString(), QString());
    c->isTemporary = true;
    c->bandCaption = group;
    c->columnCaption = caption;
  }
}

// ---- the schema model as the source of field paths ----

QString TDatabaseSchemaLookup::tableCaption(const QString& table) {
  return fDatabase.getTable(table)->getCaption();
}

bool TDatabaseSchemaLookup::findField(const QString& table, const QString& captionOrName,
                                      Field& field) {
  TTableStructure* t = fDatabase.getTable(table);
  TFieldStructure* f = t->getFieldByCaption(captionOrName);
  if (!f) f = t->getField(captionOrName);
  if (!f) return false;
  field.name = f->name;
  TFKConstraint* fk = f->getFKConstraint();
  field.refTable = fk ? fk->refTable : QString();
  return true;
}

QString TDatabaseSchemaLookup::keyFieldName(const QString& table) {
  return fDatabase.getTable(table)->keyField()->name;
}
