/* Counts calls to the C allocator. Loaded with LD_PRELOAD by bench/run.py to check
 * that a call of an orvel_core function allocates nothing beyond its result. */
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

unsigned long long bench_malloc_calls = 0;

void *malloc(size_t n) { ++bench_malloc_calls; return __libc_malloc(n); }
void *calloc(size_t k, size_t n) { ++bench_malloc_calls; return __libc_calloc(k, n); }
void *realloc(void *p, size_t n) { ++bench_malloc_calls; return __libc_realloc(p, n); }
