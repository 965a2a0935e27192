// Edit tracking and the posting of a table's changes with its detail tables
// in one request, against the in-process stand-in server.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "backoffice/Request.h"
#include "backoffice/Selection.h"
#include "testbed/ProtocolServer.h"

namespace {

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message().toStdString();
  }
  return "<no error>";
}

// Params as short texts: "null" for Null, "i64:" for the 64-bit tag.
QStringList describe(const TVariantArray& params) {
  QStringList out;
  for (const WireValue& v : params) {
    if (v.isNull())
      out << QStringLiteral("null");
    else if (v.type() == VarType::Int64)
      out << QStringLiteral("i64:") + v.toQVariant().toString();
    else
      out << v.toQVariant().toString();
  }
  return out;
}

void addRow(plat::MemTable& t, const QVariantList& values) {
  t.Append();
  for (int i = 0; i < values.size(); ++i)  // unset: left to the tracker
    if (values[i].isValid()) t.FieldByIndex(i)->SetValue(values[i]);
  t.Post();
}

// doc (id, title) -> lines (id, doc_id, qty) -> notes (id, line_id, text).
class Posting : public ::testing::Test {
 protected:
  void SetUp() override {
    server.setRequestHandler([this](const ServerRequest& r, ServerReply& rep) {
      seen.push_back(r);
      if (!refusal.isEmpty())
        rep.refuse(refusal);
      else
        rep.results = answer;
    });
    server.start();
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(server.port());
    client.setLogin(QStringLiteral("demo"));
    client.setPassword(QStringLiteral("demo"));
    client.setServerType(QStringLiteral("DR"));
    client.setApplicationID(QStringLiteral("vekta"));
    client.setShowProgress(false);
    client.setReadPollMs(10);

    doc.SetJClient(&client);
    doc.SetTableName("doc");
    doc.AddField("id", ftInteger);
    doc.AddField("title", ftString, 40);
    doc.SetPostedFields({"title"});
    lines.SetTableName("lines");
    lines.AddField("id", ftInteger);
    lines.AddField("doc_id", ftInteger);
    lines.AddField("qty", ftInteger);
    lines.SetPostedFields({"*"});
    notes.SetTableName("notes");
    notes.AddField("id", ftInteger);
    notes.AddField("line_id", ftInteger);
    notes.AddField("text", ftString, 40);
    notes.SetPostedFields({"text"});
    for (TJTable* t : {&doc, &lines, &notes}) {
      t->Open();
      t->setListenerActive(false);
    }
    lines.SetMasterFields("id");
    lines.SetDetailFields("doc_id");
    lines.SetMasterSource(&doc);
    notes.SetMasterFields("id");
    notes.SetDetailFields("line_id");
    notes.SetMasterSource(&lines);
  }
  void TearDown() override {
    client.disconnect();
    server.stop();
  }
  // Rows loaded so far were never tracked.
  void startTracking() {
    for (TJTable* t : {&doc, &lines, &notes}) t->setListenerActive(true);
    doc.listener().clear();
  }

  ProtocolServer server;
  TJClient client;
  TJTable doc, lines, notes;
  std::vector<ServerRequest> seen;
  TVariantArray answer;
  QString refusal;
};

TEST_F(Posting, EditsDeletesAndInsertsOfDetailsGoInOneRequestAndNewKeysComeBack) {
  addRow(doc, {5, "old"});
  addRow(lines, {11, 5, 1});
  addRow(lines, {12, 5, 2});
  startTracking();

  ASSERT_TRUE(lines.Locate("id", 11));
  for (int qty : {7, 8}) {  // the old value is the one before the first edit
    lines.Edit();
    lines.FieldByName("qty")->SetAsInteger(qty);
    lines.Post();
  }
  ASSERT_TRUE(lines.Locate("id", 12));
  lines.Delete();
  addRow(lines, {QVariant(), QVariant(), 20});
  addRow(lines, {QVariant(), QVariant(), 30});
  EXPECT_EQ(lines.FieldByName("id")->AsInteger(), -2);
  EXPECT_EQ(lines.FieldByName("doc_id")->AsInteger(), 5);
  doc.Edit();
  doc.FieldByName("title")->SetAsString("new");
  EXPECT_TRUE(doc.dataChanged());

  answer = {WireValue(5), WireValue(1),  WireValue(-1), WireValue(101),
            WireValue(1), WireValue(-2), WireValue(102)};
  EXPECT_EQ(doc.applyToDB(), 5);

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].code, 8);
  const QStringList expected = {// deletes
                                "2", "lines", "id", "4", "1", "12",
                                // master block
                                "1", "0", "doc", "", "", "", "", "", "1", "2", "id", "4", "5", "5",
                                "title", "12", "new", "old",
                                // edited rows of the detail, old values from before the first edit
                                "1", "1", "lines", "doc", "doc_id", "", "", "", "1", "3", "id", "4",
                                "11", "11", "doc_id", "4", "5", "5", "qty", "4", "8", "1",
                                // inserted rows, in the order of insertion, with the 64-bit count
                                "1", "1", "lines", "doc", "doc_id", "", "", "", "i64:2", "3", "id",
                                "4", "-1", "-1", "doc_id", "4", "5", "null", "qty", "4", "20",
                                "null", "3", "id", "4", "-2", "-2", "doc_id", "4", "5", "null",
                                "qty", "4", "30", "null"};
  EXPECT_EQ(describe(seen[0].params).join('|').toStdString(), expected.join('|').toStdString());

  EXPECT_FALSE(doc.dataChanged());
  EXPECT_EQ(lines.listener().insertedRecordCount(), 0);
  EXPECT_EQ(lines.PostedFields(), QStringList{"*"});
  QStringList keys;
  for (lines.First(); !lines.Eof(); lines.Next()) keys << lines.FieldByName("id")->AsString();
  EXPECT_EQ(keys, QStringList({"11", "101", "102"}));
}

TEST_F(Posting, NewMasterWithNestedDetailsTakesEachLevelsNewKeys) {
  startTracking();
  doc.Append();  // a new document: its key is temporary until the post
  EXPECT_EQ(doc.FieldByName("id")->AsInteger(), -1);
  addRow(lines, {QVariant(), QVariant(), 1});
  addRow(notes, {QVariant(), QVariant(), "a"});
  addRow(lines, {QVariant(), QVariant(), 2});
  addRow(notes, {QVariant(), QVariant(), "b"});
  addRow(notes, {QVariant(), QVariant(), "c"});

  // The second line's notes are -2 and -3 under the line -2.
  answer = {WireValue(70),  WireValue(1),   WireValue(-1),  WireValue(201),
            WireValue(1),   WireValue(-2),  WireValue(202), WireValue(101),
            WireValue(-1),  WireValue(301), WireValue(101), WireValue(-2),
            WireValue(302), WireValue(101), WireValue(-3),  WireValue(303)};
  EXPECT_EQ(doc.applyToDB(), 70);
  EXPECT_EQ(doc.FieldByName("id")->AsInteger(), 70);
  doc.Post();
  lines.SetMasterSource(nullptr);
  notes.SetMasterSource(nullptr);
  QStringList got;
  for (lines.First(); !lines.Eof(); lines.Next())
    got << lines.FieldByName("id")->AsString() + ":" + lines.FieldByName("doc_id")->AsString();
  for (notes.First(); !notes.Eof(); notes.Next())
    got << notes.FieldByName("id")->AsString() + ":" + notes.FieldByName("line_id")->AsString();
  // Notes hang under their own line's new key, not under the document's.
  EXPECT_EQ(got.join(' ').toStdString(), "201:70 202:70 301:201 302:202 303:202");
}

TEST_F(Posting, FailedPostsKeepTrackingAndBadRepliesAreRefused) {
  addRow(doc, {5, "x"});
  addRow(lines, {100, 5, 0});
  startTracking();
  addRow(lines, {QVariant(), QVariant(), 1});

  refusal = "no rights";
  EXPECT_EQ(messageOf([&] { doc.applyToDB(); }), "no rights");
  EXPECT_TRUE(doc.dataChanged());
  EXPECT_EQ(lines.FieldByName("id")->AsInteger(), -1);

  refusal.clear();
  // An unknown temporary key, and a server row's key, are both refused.
  for (int tempKey : {-9, 100}) {
    answer = {WireValue(5), WireValue(1), WireValue(tempKey), WireValue(777)};
    EXPECT_EQ(messageOf([&] { doc.applyToDB(); }),
              "Record not found (TDatasetListener.updateNegativeID).")
        << tempKey;
    EXPECT_TRUE(lines.Locate("id", 100)) << tempKey;
  }

  // A repeat with a sound reply still has everything to send.
  answer = {WireValue(5), WireValue(1), WireValue(-1), WireValue(101)};
  doc.Cancel();
  EXPECT_EQ(doc.applyToDB(), 5);
  EXPECT_TRUE(lines.Locate("id", 101));

  TJTable detached;
  EXPECT_EQ(messageOf([&] { detached.applyToDB(); }),
            "Property JClient is not defined (TJTable.applyToDB).");
}

TEST_F(Posting, DeletedDetailRowsSendOnlyTheirServerKeys) {
  addRow(doc, {5, "x"});
  addRow(lines, {11, 5, 1});
  startTracking();
  // An edited server row that is deleted goes as a delete alone.
  ASSERT_TRUE(lines.Locate("id", 11));
  lines.Edit();
  lines.FieldByName("qty")->SetAsInteger(9);
  lines.Post();
  lines.Delete();
  // A new row deleted again leaves nothing to send.
  addRow(lines, {QVariant(), QVariant(), 1});
  lines.Delete();
  EXPECT_TRUE(doc.dataChanged());

  answer = {WireValue(5)};
  EXPECT_EQ(doc.applyToDB(), 5);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(describe(seen[0].params).mid(0, 7).join('|').toStdString(), "2|lines|id|4|1|11|1");
  // After the deletes only the master block follows.
  EXPECT_EQ(describe(seen[0].params).size(), 6 + 9 + 9);
  doc.Cancel();

  // Deletes in the master are not tracked: it is deleted with deleteFromDB.
  doc.Delete();
  seen.clear();
  doc.applyToDB();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].params.empty());
}

TEST_F(Posting, SelfReferencedRowsGoWithTheirParent) {
  TJTable tree;
  tree.SetTableName("tree");
  tree.AddField("id", ftInteger);
  tree.AddField("doc_id", ftInteger);
  tree.AddField("parent_id", ftInteger);
  tree.SetSelfReferencedField("parent_id");
  tree.SetMasterFields("id");
  tree.SetDetailFields("doc_id");
  tree.Open();
  tree.setListenerActive(false);
  tree.SetMasterSource(&doc);
  addRow(doc, {5, "x"});
  addRow(tree, {21, 5, QVariant()});
  addRow(tree, {22, 5, 21});
  addRow(tree, {23, 5, 22});
  addRow(tree, {24, 5, QVariant()});
  tree.setListenerActive(true);
  startTracking();

  ASSERT_TRUE(tree.Locate("id", 21));
  tree.Delete();
  EXPECT_EQ(tree.RecordCount(), 1);
  EXPECT_EQ(tree.listener().deletedRecordCount(), 3);
  tree.SetMasterSource(nullptr);  // before the table goes away
}

TEST_F(Posting, DetailTablesMayHaveAtMost99DetailsOfTheirOwn) {
  addRow(doc, {5, "x"});
  startTracking();
  std::vector<std::unique_ptr<plat::MemTable>> subs;
  for (int n : {99, 100}) {
    while (int(lines.GetDetailDataSets().size()) < n) {  // notes is one of them
      subs.push_back(std::make_unique<plat::MemTable>());
      subs.back()->SetMasterSource(&lines);
    }
    seen.clear();
    answer = {WireValue(5)};
    if (n == 99) {
      EXPECT_EQ(doc.applyToDB(), 5);
      doc.Cancel();
    } else {
      EXPECT_EQ(messageOf([&] { doc.applyToDB(); }),
                "Maximal detail datasets quantity is 99 (TDatasetListener.postInsertedRecords).");
      EXPECT_TRUE(seen.empty());  // nothing went out
    }
  }
  for (auto& t : subs) t->SetMasterSource(nullptr);
}

TEST_F(Posting, NestedFormWritesTheCurrentRowWithItsDetailTree) {
  addRow(doc, {5, "x"});
  addRow(lines, {11, 5, 1});
  addRow(lines, {12, 5, 2});
  startTracking();
  ASSERT_TRUE(lines.Locate("id", 11));
  lines.Edit();
  lines.FieldByName("qty")->SetAsInteger(8);
  lines.Post();
  ASSERT_TRUE(lines.Locate("id", 12));
  lines.Delete();
  addRow(lines, {QVariant(), QVariant(), 20});

  TRequest r(nullptr, 8);
  doc.listener().getRecordArray(r);
  EXPECT_EQ(describe(r.params).join('|').toStdString(),
            // the document, unchanged: old values are the current ones
            "2|id|4|5|5|title|12|x|x|1|"
            // lines: one delete, one edited row and one new row, each with its notes
            "1|12|2|"
            "3|id|4|11|11|doc_id|4|5|5|qty|4|8|1|1|0|0|"
            "3|id|4|-1|-1|doc_id|4|5|null|qty|4|20|null|1|0|0");
}

// With a bound selection the key travels under the server's column, not
// under the alias the statement gives it (G.goods_id as id).
TEST_F(Posting, KeyGoesUnderTheServersColumnOfABoundSelection) {
  TSelection docSel, lineSel;
  docSel.from = "tbDoc D";
  docSel.addCol("D.doc_id", "id");
  docSel.addCol("D.title", "title", "title");
  docSel.SetTable(&doc);
  lineSel.from = "tbLines L";
  lineSel.addCol("L . line_id", "id");
  lineSel.SetTable(&lines);
  EXPECT_EQ(doc.keyFieldSQLName(), "doc_id");
  EXPECT_EQ(lines.keyFieldSQLName(), "line_id");

  addRow(doc, {5, "x"});
  addRow(lines, {11, 5, 1});
  addRow(lines, {12, 5, 2});
  startTracking();
  ASSERT_TRUE(lines.Locate("id", 12));
  lines.Delete();
  ASSERT_TRUE(lines.Locate("id", 11));
  lines.Edit();
  lines.FieldByName("qty")->SetAsInteger(3);
  lines.Post();

  answer = {WireValue(5)};
  EXPECT_EQ(doc.applyToDB(), 5);
  ASSERT_EQ(seen.size(), 1u);
  const QStringList sent = describe(seen[0].params);
  EXPECT_EQ(sent.mid(0, 3).join('|').toStdString(), "2|lines|line_id");  // the delete block
  EXPECT_EQ(sent.mid(6 + 9, 3).join('|').toStdString(), "2|doc_id|4");   // the master's record
  EXPECT_TRUE(sent.mid(6 + 9 + 9).contains("line_id"));                  // the edited detail row
  EXPECT_FALSE(sent.contains("id"));
  doc.Cancel();

  seen.clear();
  answer = {WireValue(1)};
  doc.deleteFromDB();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].code, 13);
  EXPECT_EQ(describe(seen[0].params).join('|').toStdString(), "doc|doc_id|4|5");

  // Without a selection the key field's own name is the server's.
  docSel.SetTable(nullptr);
  EXPECT_EQ(doc.selection(), nullptr);
  EXPECT_EQ(doc.keyFieldSQLName(), "id");
}

// An edit snapshot left behind by an edit that was cancelled belongs to the
// table's old structure. After the structure changes it must not be taken
// for the row being edited: read at the new key's position it reads past
// its end, or, where the key falls on the same position, it sends another
// field's value as the old value.
TEST_F(Posting, EditSnapshotDoesNotOutliveAChangeOfStructure) {
  addRow(doc, {5, "x"});
  addRow(lines, {11, 5, 1});
  lines.SetJClient(&client);
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());

  // The same row in a new layout: the key first or behind three new fields.
  struct Layout {
    const char* what;
    QStringList names;
  } layouts[] = {{"key on the same position", {"id", "doc_id", "note"}},
                 {"key beyond the old fields", {"a", "b", "c", "id", "doc_id", "note"}}};
  enum How { FromDataSet, FromFile, Prepare };
  for (const Layout& layout : layouts) {
    for (How how : {FromDataSet, FromFile, Prepare}) {
      SCOPED_TRACE(std::string(layout.what) + " / " + std::to_string(int(how)));
      // A cancelled edit leaves the snapshot of the old row behind.
      for (TJTable* t : {&doc, &lines}) t->setListenerActive(false);
      lines.Close();
      lines.ClearFields();
      lines.AddField("id", ftInteger);
      lines.AddField("doc_id", ftInteger);
      lines.AddField("qty", ftInteger);
      lines.Open();
      addRow(lines, {11, 5, 1});
      startTracking();
      lines.Edit();
      lines.FieldByName("qty")->SetAsInteger(2);
      lines.Cancel();

      TJTable source;
      for (const QString& n : layout.names)
        source.AddField(n, n == "note" ? ftString : ftInteger, n == "note" ? 20 : 0);
      source.Open();
      source.setListenerActive(false);
      source.Append();
      source.FieldByName("id")->SetAsInteger(11);
      source.FieldByName("doc_id")->SetAsInteger(5);
      source.FieldByName("note")->SetAsString("before");
      source.Post();
      switch (how) {
        case FromDataSet:
          lines.loadFromDataSet(source);
          break;
        case FromFile:
          source.SaveToFile(dir.filePath("lines.tbl"));
          lines.LoadFromFile(dir.filePath("lines.tbl"));
          break;
        case Prepare: {
          TVariantArray described = {WireValue(int(layout.names.size()))};
          for (const QString& n : layout.names)
            described.insert(described.end(), {WireValue(n), WireValue(n == "note" ? 12 : 4),
                                               WireValue(20), WireValue(0)});
          described.push_back(WireValue(0));
          answer = described;
          lines.SetSQLText("select * from lines");
          lines.prepare(30);
          lines.Open();
          QVariantList row;
          for (const QString& n : layout.names)
            row << (n == "id"       ? QVariant(11)
                    : n == "doc_id" ? QVariant(5)
                    : n == "note"   ? QVariant("before")
                                    : QVariant());
          lines.setListenerActive(false);
          addRow(lines, row);
          lines.setListenerActive(true);
          break;
        }
      }
      ASSERT_TRUE(lines.Locate("id", 11));
      lines.Edit();
      lines.FieldByName("note")->SetAsString("after");
      lines.Post();

      seen.clear();
      answer = {WireValue(5)};
      lines.SetPostedFields({"note"});
      EXPECT_EQ(doc.applyToDB(), 5);
      doc.Cancel();
      ASSERT_EQ(seen.size(), 1u);
      // The edited detail row: its note now and before the edit.
      const QString sent = describe(seen[0].params).join('|');
      EXPECT_TRUE(sent.endsWith("|2|id|4|11|11|note|12|after|before")) << sent.toStdString();
      lines.SetPostedFields({"*"});
    }
  }
}

}  // namespace
