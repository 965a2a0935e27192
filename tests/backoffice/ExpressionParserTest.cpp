#include <gtest/gtest.h>

#include "backoffice/ExpressionParser.h"
#include "platform/Exception.h"

namespace {

struct Tok {
  QString text;
  int first;
  int last;
  bool operator==(const Tok& o) const {
    return text == o.text && first == o.first && last == o.last;
  }
};

std::vector<Tok> tokens(const QString& s) {
  TExpressionParser p;
  p.parse(s);
  std::vector<Tok> out;
  for (int i = 0; i < p.count(); ++i)
    out.push_back({p.getExpression(i), p.getStartPos(i), p.getEndPos(i)});
  return out;
}

void PrintTo(const Tok& t, std::ostream* os) {
  *os << t.text.toStdString() << "@" << t.first << "-" << t.last;
}

TEST(ExpressionParser, SplitsTopLevelTokensWithPositions) {
  struct Case {
    QString text;
    std::vector<Tok> expected;
  };
  const std::vector<Case> cases = {
      {"tbGoods G left join tbGroup R on R.id = G.group_id",
       {{"tbGoods", 1, 7},
        {"G", 9, 9},
        {"left", 11, 14},
        {"join", 16, 19},
        {"tbGroup", 21, 27},
        {"R", 29, 29},
        {"on", 31, 32},
        {"R.id", 34, 37},
        {"=", 39, 39},
        {"G.group_id", 41, 50}}},
      {"tbGoods , tbGroups", {{"tbGoods", 1, 8}, {",", 9, 9}, {"tbGroups", 10, 18}}},
      {"tbGoods,tbGroups", {{"tbGoods", 1, 7}, {",", 8, 8}, {"tbGroups", 9, 16}}},
      // The left token's end lies on the last removed blank.
      {"tbGoods  G", {{"tbGoods", 1, 8}, {"G", 10, 10}}},
      {"a\t\r\n b", {{"a", 1, 4}, {"b", 6, 6}}},
      {"  x  ", {{"x", 1, 1}}},
      {"count(a, b) as n", {{"count(a, b)", 1, 11}, {"as", 13, 14}, {"n", 16, 16}}},
      {"count (a, b)", {{"count", 1, 5}, {"(a, b)", 7, 12}}},
      {"'a b, c' x", {{"'a b, c'", 1, 8}, {"x", 10, 10}}},
      {"G . name", {{"G.name", 1, 8}}},
      // An unmatched ")" ends its token; the "(" after it starts the next one.
      {"a)(b)", {{"a)", 1, 2}, {"(b)", 3, 5}}},
      {"", {}},
      {" \t ", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(tokens(c.text), c.expected) << c.text.toStdString();
}

TEST(ExpressionParser, AppendsAndLooksUpIgnoringCaseByDefault) {
  TExpressionParser p;
  p.parse("tbGoods G");
  p.parse("LEFT join");
  ASSERT_EQ(p.count(), 4);
  EXPECT_EQ(p.getExpression(2), "LEFT");
  EXPECT_EQ(p.getStartPos(2), 1);  // positions refer to each parsed text
  EXPECT_EQ(p.indexOf("left"), 2);
  EXPECT_EQ(p.indexOf("g"), 1);
  p.SetCaseSensitive(true);
  EXPECT_EQ(p.indexOf("left"), -1);
  EXPECT_EQ(p.indexOf("missing"), -1);
}

TEST(ExpressionParser, IndexOutsideTheListRaises) {
  TExpressionParser p;
  p.parse("a");
  for (int i : {-1, 1}) {
    try {
      p.getExpression(i);
      FAIL() << i;
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), QStringLiteral("List index out of bounds (%1)").arg(i));
    }
  }
}

}  // namespace
