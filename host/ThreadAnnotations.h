#pragma once

// Clang's thread-safety analysis (-Wthread-safety): which lock guards which
// data, checked at compile time. Other compilers see nothing.
#if defined(__clang__)
#define QENO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QENO_THREAD_ANNOTATION(x)
#endif

#define QENO_CAPABILITY(name) QENO_THREAD_ANNOTATION(capability(name))
#define QENO_SCOPED_CAPABILITY QENO_THREAD_ANNOTATION(scoped_lockable)
#define QENO_GUARDED_BY(lock) QENO_THREAD_ANNOTATION(guarded_by(lock))
#define QENO_REQUIRES(...) QENO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QENO_ACQUIRE(...) QENO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QENO_RELEASE(...) QENO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QENO_EXCLUDES(...) QENO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// For the few reads the analysis cannot follow; each use says why it is safe.
#define QENO_NO_THREAD_SAFETY_ANALYSIS QENO_THREAD_ANNOTATION(no_thread_safety_analysis)
