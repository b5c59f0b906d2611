#pragma once
// Clang thread-safety annotations; they expand to nothing under GCC. Mark what each lock guards
// (MS_GUARDED_BY) and what a function needs held (MS_REQUIRES), so the clang build checks it.

#if defined(__clang__)
#define MS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MS_THREAD_ANNOTATION(x)
#endif

#define MS_GUARDED_BY(x) MS_THREAD_ANNOTATION(guarded_by(x))
#define MS_PT_GUARDED_BY(x) MS_THREAD_ANNOTATION(pt_guarded_by(x))
#define MS_REQUIRES(...) MS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define MS_EXCLUDES(...) MS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
