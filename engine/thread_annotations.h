// Clang's thread-safety attributes, so that which lock guards what is
// checked by the compiler (the `tsa` preset builds with -Wthread-safety).
// Other compilers see nothing.
#pragma once

#include <mutex>

#if defined(__clang__) && !defined(_WIN32)
#define KORVEL_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KORVEL_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) KORVEL_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY KORVEL_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) KORVEL_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) KORVEL_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) KORVEL_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KORVEL_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KORVEL_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) KORVEL_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KORVEL_THREAD_ATTRIBUTE(no_thread_safety_analysis)
#define RETURN_CAPABILITY(x) KORVEL_THREAD_ATTRIBUTE(lock_returned(x))
// A helper outside the engine that runs under an engine's edit lock.
#define REQUIRES_EDITS(engine) REQUIRES((engine).EditMutex())

namespace korvel {

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

}  // namespace korvel
