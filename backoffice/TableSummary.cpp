#include "backoffice/TableSummary.h"

#include "backoffice/JTable.h"

namespace {

bool sameName(const QString& a, const QString& b) {
  return a.toLower() == b.toLower();
}

double numberOf(const plat::Field& f) {
  return f.IsNull() ? 0.0 : f.AsFloat();
}

}  // namespace

void TJTable::AddSummary(const QString& FieldName, TSummaryType SummaryType) {
  for (const TTableSummary& s : fSummaries)
    if (s.SummaryType == SummaryType && sameName(s.FieldName, FieldName)) return;
  TTableSummary s;
  s.FieldName = FieldName;
  s.SummaryType = SummaryType;
  fSummaries.push_back(s);
  fNeedRecalcSummaries = true;
}

double TJTable::GetSummary(const QString& FieldName, TSummaryType SummaryType) const {
  if (fNeedRecalcSummaries)
    throw EAbstractError(QStringLiteral("FNeedRecalcSummaries is True (TkbmTable.GetSummary)."));
  for (const TTableSummary& s : fSummaries)
    if (s.SummaryType == SummaryType && sameName(s.FieldName, FieldName)) return s.Value;
  throw EAbstractError(QStringLiteral("Summary not found (TkbmTable.GetSummary)."));
}

void TJTable::RecalcSummaries() {
  if (!IndexesActive() || !Active() || State() == plat::dsEdit || State() == plat::dsInsert) return;
  fNeedRecalcSummaries = false;
  if (fSummaries.empty()) return;
  const int count = RecordCount();
  if (count == 0) {
    for (TTableSummary& s : fSummaries) s.Value = 0;
    return;
  }
  for (TTableSummary& s : fSummaries) {
    const plat::Field* f = FindField(s.FieldName);
    s.FieldIndex = f ? f->Index() : -1;
  }
  DisableControls();
  const plat::Bookmark bk = GetBookmark();
  struct Restore {
    TJTable& tb;
    const plat::Bookmark& bk;
    ~Restore() {
      try {
        if (tb.BookmarkValid(bk)) tb.GotoBookmark(bk);
      } catch (...) {
      }
      tb.EnableControls();
    }
  } restore{*this, bk};
  First();
  for (TTableSummary& s : fSummaries) {
    if (s.SummaryType == cstCount)
      s.Value = 1;
    else if (s.FieldIndex < 0)
      s.Value = 0;
    else
      s.Value = numberOf(*FieldByIndex(s.FieldIndex));
  }
  for (Next(); !Eof(); Next()) {
    for (TTableSummary& s : fSummaries) {
      if (s.SummaryType == cstCount) {
        s.Value += 1;
        continue;
      }
      if (s.FieldIndex < 0) continue;
      const double v = numberOf(*FieldByIndex(s.FieldIndex));
      switch (s.SummaryType) {
        case cstSum:
        case cstAvg:
          s.Value += v;
          break;
        case cstMin:
          if (v < s.Value) s.Value = v;
          break;
        case cstMax:
          if (v > s.Value) s.Value = v;
          break;
        default:
          break;
      }
    }
  }
  for (TTableSummary& s : fSummaries)
    if (s.SummaryType == cstAvg) s.Value /= count;
}
