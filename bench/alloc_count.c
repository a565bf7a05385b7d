/* Heap allocation counting for the benchmarks. malloc, calloc, realloc and
 * the aligned variants are interposed here, in the executable, so every call
 * the process makes (libqolog's and the C library's own) passes through
 * them before reaching the C library's allocator. Only calls made by a
 * thread between qbAllocCountStart and qbAllocCountStop are counted, each
 * thread for itself: the counting costs one thread-local test per call.
 * Under AddressSanitizer (QOLOG_BENCH_NO_ALLOC_HOOKS) the sanitizer owns
 * malloc: nothing is interposed and no count is available. */
#include <errno.h>
#include <stddef.h>

#include "alloc_count.h"

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *ptr, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void *ptr);

static __thread int t_counting;
static __thread unsigned long t_allocs;

void qbAllocCountStart(void) {
  t_allocs = 0;
  t_counting = 1;
}

unsigned long qbAllocCountStop(void) {
  t_counting = 0;
  return t_allocs;
}

#ifdef QOLOG_BENCH_NO_ALLOC_HOOKS

int qbAllocCountAvailable(void) { return 0; }

#else

int qbAllocCountAvailable(void) { return 1; }

void *malloc(size_t size) {
  if (t_counting) ++t_allocs;
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (t_counting) ++t_allocs;
  return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size) {
  if (t_counting) ++t_allocs;
  return __libc_realloc(ptr, size);
}

void free(void *ptr) { __libc_free(ptr); }

void *memalign(size_t alignment, size_t size) {
  if (t_counting) ++t_allocs;
  return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
  if (t_counting) ++t_allocs;
  return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
  if (alignment % sizeof(void *) != 0 ||
      (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  if (t_counting) ++t_allocs;
  void *p = __libc_memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

#endif /* QOLOG_BENCH_NO_ALLOC_HOOKS */
