// The per-thread last error of the platform calls (ERROR_* numbers).
#ifndef KAVEX_PLATFORM_SYNC_LAST_ERROR_H_
#define KAVEX_PLATFORM_SYNC_LAST_ERROR_H_

#include "platform/base/types.h"

DWORD GetLastError();
void SetLastError(DWORD error);

#endif  // KAVEX_PLATFORM_SYNC_LAST_ERROR_H_
