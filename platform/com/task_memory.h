// The task allocator: memory handed across a component boundary (arrays and
// strings returned to a client) comes from here and the receiver frees it
// with CoTaskMemFree, whichever module allocated it.
#ifndef KAVEX_PLATFORM_COM_TASK_MEMORY_H_
#define KAVEX_PLATFORM_COM_TASK_MEMORY_H_

#include <cstddef>

// Null when out of memory; a zero-byte request still gives a unique block.
void* CoTaskMemAlloc(size_t cb);
// As realloc: null `pv` allocates; on failure null and `pv` stays valid.
// A zero size frees `pv` and returns null.
void* CoTaskMemRealloc(void* pv, size_t cb);
void CoTaskMemFree(void* pv);  // null is fine

#endif  // KAVEX_PLATFORM_COM_TASK_MEMORY_H_
