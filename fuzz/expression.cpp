// The expression tokenizer over any text (a from clause, a filter, a user
// field expression): tokens and their positions must stay inside the text.
#include "backoffice/ExpressionParser.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString text = QString::fromUtf8(fuzz::bytesOf(data, size));
  TExpressionParser p;
  p.SetCaseSensitive(size > 0 && (data[0] & 1));
  try {
    p.parse(text);
    for (int i = 0; i < p.count(); ++i) {
      const QString e = p.getExpression(i);
      const int first = p.getStartPos(i), last = p.getEndPos(i);
      if (first < 1 || last < first - 1 || last > text.size()) __builtin_trap();
      (void)p.indexOf(e);
    }
  } catch (const Exception&) {
  }
  return 0;
}
