// Force-included into GoogleTest and the unit tests. The cross compiler's win32 thread model has no
// std::mutex or std::condition_variable, which GoogleTest's thread-safe build names; these are the
// same over Win32's slim reader/writer locks and condition variables.
#pragma once

#ifdef __cplusplus
#include <windows.h>

#include <condition_variable>
#include <mutex>

#if !defined(_GLIBCXX_HAS_GTHREADS)
namespace std {

class mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;
  void lock() { AcquireSRWLockExclusive(&lock_); }
  bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  PSRWLOCK native_handle() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class condition_variable {
 public:
  condition_variable() = default;
  condition_variable(const condition_variable&) = delete;
  condition_variable& operator=(const condition_variable&) = delete;
  void notify_one() { WakeConditionVariable(&cv_); }
  void notify_all() { WakeAllConditionVariable(&cv_); }
  void wait(unique_lock<mutex>& lock) {
    SleepConditionVariableSRW(&cv_, lock.mutex()->native_handle(), INFINITE, 0);
  }
  template <typename Predicate>
  void wait(unique_lock<mutex>& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }

 private:
  CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
};

}  // namespace std
#endif
#endif
