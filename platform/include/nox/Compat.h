// Compiler attributes shared by the nox headers.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// printf-style checking; for a member function `this` counts as argument 1.
#define NOX_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define NOX_PRINTF(fmt, first)
#endif

// Clang's thread-safety analysis; empty for other compilers.
#if defined(__clang__)
#define NOX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NOX_THREAD_ANNOTATION(x)
#endif
#define NOX_CAPABILITY(x) NOX_THREAD_ANNOTATION(capability(x))
#define NOX_SCOPED_CAPABILITY NOX_THREAD_ANNOTATION(scoped_lockable)
#define NOX_GUARDED_BY(x) NOX_THREAD_ANNOTATION(guarded_by(x))
#define NOX_ACQUIRE(...) NOX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define NOX_RELEASE(...) NOX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that reads guarded data on purpose without the lock (it says why).
#define NOX_NO_LOCK_NEEDED NOX_THREAD_ANNOTATION(no_thread_safety_analysis)
