#include "platform/com/task_memory.h"

#include <cstdlib>

void* CoTaskMemAlloc(size_t cb) { return std::malloc(cb ? cb : 1); }

void* CoTaskMemRealloc(void* pv, size_t cb) {
  if (cb == 0 && pv) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb ? cb : 1);
}

void CoTaskMemFree(void* pv) { std::free(pv); }
