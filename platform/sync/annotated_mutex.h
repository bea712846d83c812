#pragma once
// A mutex that clang's thread-safety analysis understands, and the
// annotations that name what it guards. Built with the thread-safety preset
// (-Wthread-safety), the compiler checks that every field marked
// FYB_GUARDED_BY is touched only with its lock held, and that every function
// marked FYB_REQUIRES is called so. Other compilers see plain attributes-free
// code.

#include <mutex>

#if defined(__clang__)
#define FYB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FYB_THREAD_ANNOTATION(x)
#endif

#define FYB_CAPABILITY(name) FYB_THREAD_ANNOTATION(capability(name))
#define FYB_SCOPED_CAPABILITY FYB_THREAD_ANNOTATION(scoped_lockable)
#define FYB_GUARDED_BY(x) FYB_THREAD_ANNOTATION(guarded_by(x))
#define FYB_REQUIRES(...) FYB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define FYB_REQUIRES_SHARED(...) FYB_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define FYB_EXCLUDES(...) FYB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define FYB_ACQUIRE(...) FYB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define FYB_RELEASE(...) FYB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define FYB_ASSERT_CAPABILITY(x) FYB_THREAD_ANNOTATION(assert_capability(x))
#define FYB_NO_THREAD_SAFETY_ANALYSIS FYB_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace fybootp {

class FYB_CAPABILITY("mutex") Mutex {
public:
    void lock() FYB_ACQUIRE() { m_mutex.lock(); }
    void unlock() FYB_RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Holds a Mutex for the scope: what std::lock_guard does, visible to the
// analysis.
class FYB_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) FYB_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() FYB_RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

// A role rather than a lock: "this code runs on the thread that alone
// changes some fields". That thread changes them under their mutex, so it
// may read them without it; any other thread needs the mutex. Functions
// that read such a field without its lock are marked
// FYB_REQUIRES_SHARED(role), and the entry points of that thread declare
// the role with AssertHeld.
class FYB_CAPABILITY("role") ThreadRole {
public:
    void AssertHeld() const FYB_ASSERT_CAPABILITY(this) {}
};

}  // namespace fybootp
