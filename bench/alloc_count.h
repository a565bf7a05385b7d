/* Per-thread heap allocation counter of the benchmark binary. */
#ifndef QOLOG_BENCH_ALLOC_COUNT_H_
#define QOLOG_BENCH_ALLOC_COUNT_H_

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when allocations are counted at all (not under a sanitizer). */
int qbAllocCountAvailable(void);
/* Starts counting the calling thread's allocations from zero. */
void qbAllocCountStart(void);
/* Stops counting and returns the calling thread's count since the start. */
unsigned long qbAllocCountStop(void);

#ifdef __cplusplus
}
#endif

#endif /* QOLOG_BENCH_ALLOC_COUNT_H_ */
