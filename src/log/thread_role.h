// Which of the system's threads the calling thread is, so that methods
// documented as main-, audio- or network-thread only can check their caller
// in debug builds:
//
//   void Thing::setVolume(float v) {
//     QUR_ASSERT_THREAD(::qur::ThreadRole::Main);
//     ...
//   }
//
// The owner of a thread declares its role once, from the thread itself
// (ThreadRoleScope for a stretch, setCurrentThreadRole for a thread's life).
// A thread that never declared one passes every check, so tests and helpers
// may call anything; the checks catch the mix-ups between declared threads.
// In release builds (NDEBUG) the macros compile to nothing.
#pragma once

namespace qur {

enum class ThreadRole : unsigned {
  Unknown = 0,
  Main,
  Audio,
  Network,
};

// Any thread, about itself. Reading is one thread-local load: fine on the
// audio thread.
ThreadRole currentThreadRole() noexcept;
void setCurrentThreadRole(ThreadRole role) noexcept;
const char* threadRoleName(ThreadRole role) noexcept;

// Declares the role for its lifetime and restores the previous one after.
class ThreadRoleScope {
 public:
  explicit ThreadRoleScope(ThreadRole role) noexcept : _previous(currentThreadRole()) {
    setCurrentThreadRole(role);
  }
  ~ThreadRoleScope() { setCurrentThreadRole(_previous); }
  ThreadRoleScope(const ThreadRoleScope&) = delete;
  ThreadRoleScope& operator=(const ThreadRoleScope&) = delete;

 private:
  ThreadRole _previous;
};

// Logs the mix-up and aborts: a broken invariant, as assert() would.
[[noreturn]] void threadRoleViolation(ThreadRole expected, bool expectedOther, const char* file,
                                      int line, const char* function) noexcept;

}  // namespace qur

#ifdef NDEBUG
#define QUR_ASSERT_THREAD(role) ((void)0)
#define QUR_ASSERT_NOT_THREAD(role) ((void)0)
#else
// The caller runs on `role`, or on a thread without a declared role.
#define QUR_ASSERT_THREAD(role)                                                \
  do {                                                                         \
    const ::qur::ThreadRole qurRole_ = ::qur::currentThreadRole();             \
    if (qurRole_ != ::qur::ThreadRole::Unknown && qurRole_ != (role))          \
      ::qur::threadRoleViolation((role), false, __FILE__, __LINE__, __func__); \
  } while (0)
// The caller does not run on `role` (for "any thread but the audio thread").
#define QUR_ASSERT_NOT_THREAD(role)                                           \
  do {                                                                        \
    if (::qur::currentThreadRole() == (role))                                 \
      ::qur::threadRoleViolation((role), true, __FILE__, __LINE__, __func__); \
  } while (0)
#endif
