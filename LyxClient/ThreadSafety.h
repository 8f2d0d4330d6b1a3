// ThreadSafety: the engine's lock types, annotated so that Clang's thread-safety analysis
// (-Wthread-safety) checks at every build which lock guards which member and which
// function needs which lock held. Other compilers see plain locks.
//
// RecursiveMutex and Mutex own one Boost mutex each; ScopedLock holds one for a scope and
// may release and retake it inside that scope. The locks stay recursive where the engine's
// locks always were, but the analysis does not model recursion: code that already holds a
// lock calls a helper that LYX_REQUIRES it instead of taking it again.
// Condition waits need the Boost mutex itself (Native); only the few wait wrappers use it,
// each marked LYX_NO_THREAD_SAFETY_ANALYSIS with its reason.
// The header is installed with the library: its macros carry the LYX_ prefix and its types
// live in namespace lyx, so a program with annotation macros or lock types of its own can
// include it.
#pragma once

#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>

#if defined(__clang__)
#define LYX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LYX_THREAD_ANNOTATION(x)
#endif

#define LYX_CAPABILITY(x) LYX_THREAD_ANNOTATION(capability(x))
#define LYX_SCOPED_CAPABILITY LYX_THREAD_ANNOTATION(scoped_lockable)
#define LYX_GUARDED_BY(x) LYX_THREAD_ANNOTATION(guarded_by(x))
#define LYX_PT_GUARDED_BY(x) LYX_THREAD_ANNOTATION(pt_guarded_by(x))
#define LYX_ACQUIRED_BEFORE(...) LYX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define LYX_ACQUIRED_AFTER(...) LYX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define LYX_REQUIRES(...) LYX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define LYX_EXCLUDES(...) LYX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LYX_ACQUIRE(...) LYX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define LYX_RELEASE(...) LYX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define LYX_RETURN_CAPABILITY(x) LYX_THREAD_ANNOTATION(lock_returned(x))
#define LYX_NO_THREAD_SAFETY_ANALYSIS LYX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace lyx {

// A lock over a Boost mutex: Lock/Unlock, and the lower-case pair for the standard lock
// adaptors.
template <class NativeMutex> class LYX_CAPABILITY("mutex") BasicMutex {
public:
    void Lock() LYX_ACQUIRE() { m_mutex.lock(); }
    void Unlock() LYX_RELEASE() { m_mutex.unlock(); }
    void lock() LYX_ACQUIRE() { m_mutex.lock(); }
    void unlock() LYX_RELEASE() { m_mutex.unlock(); }
    // For condition waits only (see the file comment).
    NativeMutex& Native() { return m_mutex; }

private:
    NativeMutex m_mutex;
};

typedef BasicMutex<boost::recursive_mutex> RecursiveMutex;
typedef BasicMutex<boost::mutex> Mutex; // not recursive

// Holds a lock from construction to the end of the scope; Unlock and Lock let a scope
// release it for a while (for example around a call that must run without it).
template <class M> class LYX_SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(M& mutex) LYX_ACQUIRE(mutex) : m_mutex(mutex), m_bLocked(true) {
        m_mutex.Lock();
    }
    ~ScopedLock() LYX_RELEASE() {
        if (m_bLocked) {
            m_mutex.Unlock();
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    void Unlock() LYX_RELEASE() {
        m_mutex.Unlock();
        m_bLocked = false;
    }
    void Lock() LYX_ACQUIRE() {
        m_mutex.Lock();
        m_bLocked = true;
    }

private:
    M& m_mutex;
    bool m_bLocked;
};

typedef ScopedLock<RecursiveMutex> RecursiveGuard;
typedef ScopedLock<Mutex> MutexGuard;

} // namespace lyx
