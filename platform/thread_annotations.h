// Clang's thread-safety annotations: which lock guards a field, which locks a function needs
// held or free, which functions take and drop a lock. `-Wthread-safety` checks them at compile
// time; every other compiler sees empty macros, so they cost nothing there.
// Any thread; compile-time only.
#pragma once

#if defined(__clang__)
#define THREAD_ANNOTATION_ATTRIBUTE__(x) __attribute__((x))
#else
#define THREAD_ANNOTATION_ATTRIBUTE__(x) // no-op
#endif

// A type that is a lock (platform::Mutex).
#ifndef CAPABILITY
#define CAPABILITY(x) THREAD_ANNOTATION_ATTRIBUTE__(capability(x))
#endif

// A type whose objects hold a lock for their lifetime (platform::MutexLock).
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY THREAD_ANNOTATION_ATTRIBUTE__(scoped_lockable)
#endif

// The field is read and written only with the lock held.
#ifndef GUARDED_BY
#define GUARDED_BY(x) THREAD_ANNOTATION_ATTRIBUTE__(guarded_by(x))
#endif

// What the pointer field points to is read and written only with the lock held.
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) THREAD_ANNOTATION_ATTRIBUTE__(pt_guarded_by(x))
#endif

// The caller holds the lock(s).
#ifndef REQUIRES
#define REQUIRES(...) THREAD_ANNOTATION_ATTRIBUTE__(requires_capability(__VA_ARGS__))
#endif

// The caller does not hold the lock(s): the function takes them itself.
#ifndef EXCLUDES
#define EXCLUDES(...) THREAD_ANNOTATION_ATTRIBUTE__(locks_excluded(__VA_ARGS__))
#endif

// The function takes the lock(s) and returns holding them.
#ifndef ACQUIRE
#define ACQUIRE(...) THREAD_ANNOTATION_ATTRIBUTE__(acquire_capability(__VA_ARGS__))
#endif

// The function drops the lock(s), which the caller held.
#ifndef RELEASE
#define RELEASE(...) THREAD_ANNOTATION_ATTRIBUTE__(release_capability(__VA_ARGS__))
#endif

// The function checks at run time that the lock is held (nothing is checked at compile time).
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION_ATTRIBUTE__(assert_capability(x))
#endif

// The function is left unchecked; say why wherever it is used.
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION_ATTRIBUTE__(no_thread_safety_analysis)
#endif
