#pragma once
// Column summaries of a server-filled table (sum, minimum, maximum, count,
// average over the rows it shows), recalculated after posts and deletes.

#include <QString>

enum TSummaryType { cstNone, cstSum, cstMin, cstMax, cstCount, cstAvg };

struct TTableSummary {
  QString FieldName;
  int FieldIndex = -1;  // found at each recalculation; -1 when there is no such field
  TSummaryType SummaryType = cstNone;
  double Value = 0;
};
