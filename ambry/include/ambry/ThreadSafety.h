// Lock annotations that clang's -Wthread-safety checks (no effect elsewhere).
//
//   CMutex m_lock;
//   int m_count TSL_GUARDED_BY(m_lock);
//   void TouchLocked() TSL_REQUIRES(m_lock);
//
// Every CMutex is recursive, so a function that needs a lock may still take it again;
// the annotations state which lock guards what, and the clang build checks the uses.
#pragma once

#if defined(__clang__)
#define TSL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TSL_THREAD_ANNOTATION(x)
#endif

#define TSL_CAPABILITY(name) TSL_THREAD_ANNOTATION(capability(name))
#define TSL_SCOPED_CAPABILITY TSL_THREAD_ANNOTATION(scoped_lockable)
#define TSL_GUARDED_BY(lock) TSL_THREAD_ANNOTATION(guarded_by(lock))
#define TSL_PT_GUARDED_BY(lock) TSL_THREAD_ANNOTATION(pt_guarded_by(lock))
#define TSL_REQUIRES(...) TSL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TSL_EXCLUDES(...) TSL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TSL_ACQUIRE(...) TSL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TSL_RELEASE(...) TSL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TSL_TRY_ACQUIRE(...) TSL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TSL_ASSERT_CAPABILITY(lock) TSL_THREAD_ANNOTATION(assert_capability(lock))
#define TSL_RETURN_CAPABILITY(lock) TSL_THREAD_ANNOTATION(lock_returned(lock))
// For the few places whose locking the analysis cannot follow (a lock taken in one
// function and released in another); each use says why in a comment.
#define TSL_NO_THREAD_SAFETY_ANALYSIS TSL_THREAD_ANNOTATION(no_thread_safety_analysis)
