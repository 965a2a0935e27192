#pragma once
// Tells the server-filled tables that keep a raw pointer to an object (their
// transport) that the object is being destroyed, so that no table is left
// with a dangling pointer: each drops it and then reports "Property JClient
// is not defined" instead of using freed memory.
//
// The object holds one as a member; tables add and remove themselves as they
// take and leave it. Tables of several threads may share one transport's
// notifier, so its list is guarded.

#include <mutex>
#include <vector>

class TJTable;

class TFreeNotifier {
 public:
  explicit TFreeNotifier(const void* owner) : owner_(owner) {}
  ~TFreeNotifier();
  TFreeNotifier(const TFreeNotifier&) = delete;
  TFreeNotifier& operator=(const TFreeNotifier&) = delete;

  void add(TJTable* table);
  void remove(TJTable* table);

 private:
  const void* owner_;
  std::mutex mutex_;
  std::vector<TJTable*> tables_;
};
