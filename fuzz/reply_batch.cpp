// Reply batches as a server sends them after a request: header, error text,
// per request its results and tables (the tables land in real datasets).
#include "backoffice/JTransport.h"
#include "fuzz/FuzzTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::MemTable a, b;
  {
    fuzz::PairedTransport t;
    try {
      t.clearBatch();
      t.addRequest(1).addTable(&a);
      TRequest& second = t.addRequest(2);
      second.addParam(WireValue(QStringLiteral("x")));
      second.addTable(&b);
      t.sendBatch();
      t.peer().reply(fuzz::bytesOf(data, size));
      TRequestBatchPtr reply = t.recvBatch(1);
      for (int i = 0; i < reply->count(); ++i)
        for (int k = 0; k < reply->request(i).resultParamCount(); ++k)
          (void)reply->request(i).resultParam(k).debugText();
    } catch (const Exception&) {
    }
  }
  // Whatever the reply left in the tables must save and load.
  for (plat::MemTable* m : {&a, &b}) {
    if (!m->Active()) continue;
    plat::MemTable copy;
    copy.LoadFromBytes(m->SaveToBytes());
  }
  return 0;
}
