// A pool for the memory of id sets: with CALDERWICK_BITMAP_POOL=1 the bitmap
// library allocates through it instead of the C heap.
//
// Id sets are made and dropped on every query and every write, on whichever
// thread runs it. Through the C heap, each thread's blocks land in that
// thread's arena and are freed back into the arena of the thread that made
// them; the arenas keep what they got back, scattered between live blocks,
// and the process grows with every thread that ever took part. The pool
// keeps blocks of one size together in 64 KB spans shared by all threads and
// gives a span's pages back to the system once none of its blocks is in use,
// so the resident size follows the live id sets. Blocks above 16 KB (large
// directories and id arrays) still come from the C heap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace calderwick::bitmap_memory {

// Points the bitmap library at the pool when the environment variable
// CALDERWICK_BITMAP_POOL is 1 (otherwise it stays on the C heap). Called
// before the first id set is made (IdSet does it); only the first call acts.
void install();
// Whether the library allocates from the pool.
bool installed();

// What the pool holds, for tests and benchmarks.
struct Stats {
  size_t blocks_in_use = 0;    // handed out and not freed
  size_t bytes_in_use = 0;     // their block sizes
  size_t spans_in_use = 0;     // spans holding at least one live block
  size_t spans_kept = 0;       // empty spans kept in place for reuse (still resident)
  size_t spans_released = 0;   // empty spans whose pages went back to the system
  size_t large_in_use = 0;     // blocks above the largest class, from the C heap
};
Stats stats();

// The pool's own entry points (what the library is pointed at).
void* allocate(size_t size);
void* allocate_zeroed(size_t count, size_t size);
void* reallocate(void* p, size_t size);
void* allocate_aligned(size_t alignment, size_t size);
void release(void* p);

}  // namespace calderwick::bitmap_memory
