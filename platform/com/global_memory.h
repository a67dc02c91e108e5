// Global memory blocks: the HGLOBAL a data object hands to an advise sink.
// Handles are checked, so a stale or foreign handle gives an error, never a
// crash; blocks are always zero-filled.
#ifndef KAVEX_PLATFORM_COM_GLOBAL_MEMORY_H_
#define KAVEX_PLATFORM_COM_GLOBAL_MEMORY_H_

#include <cstddef>

#include "platform/base/types.h"

using HGLOBAL = struct GlobalBlock*;

constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;
constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// Null when out of memory. The flags are accepted for their Win32 meaning
// but every block is a zero-filled handle-based block.
HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
// The block's data, valid until the matching GlobalUnlock; null for a bad
// handle or an empty block.
void* GlobalLock(HGLOBAL block);
// TRUE while the block is still locked; FALSE once unlocked (or when it was
// not locked at all).
BOOL GlobalUnlock(HGLOBAL block);
size_t GlobalSize(HGLOBAL block);  // 0 for a bad handle
// Null on success, the handle when it is not a live block.
HGLOBAL GlobalFree(HGLOBAL block);
// Resizes an unlocked block (new bytes are zero); returns the block, or null
// when it is locked, bad, or memory runs out (the block is then unchanged).
HGLOBAL GlobalReAlloc(HGLOBAL block, size_t bytes, UINT flags);

#endif  // KAVEX_PLATFORM_COM_GLOBAL_MEMORY_H_
