#pragma once
// Happens-before marks for ThreadSanitizer. Qt comes uninstrumented from the
// distribution, so TSan cannot see the locks inside Qt's event queue that
// order what a thread did before it posted work to another thread's loop
// before what that loop does when it runs the work. Where our code relies on
// such a hand-over it says so with these marks. In a build without TSan they
// compile to nothing.

#if defined(__SANITIZE_THREAD__)
#define VEKTA_TSAN_ACTIVE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEKTA_TSAN_ACTIVE 1
#endif
#endif

#ifdef VEKTA_TSAN_ACTIVE
extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
#endif

namespace plat {

// Everything this thread did so far happens before whatever a thread does
// after a later tsanAcquire on the same address.
inline void tsanRelease([[maybe_unused]] const void* addr) {
#ifdef VEKTA_TSAN_ACTIVE
  __tsan_release(const_cast<void*>(addr));
#endif
}

inline void tsanAcquire([[maybe_unused]] const void* addr) {
#ifdef VEKTA_TSAN_ACTIVE
  __tsan_acquire(const_cast<void*>(addr));
#endif
}

}  // namespace plat
