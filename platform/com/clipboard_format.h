// The process-wide clipboard-format registry: data formats by name, shared
// by every component of the process.
#ifndef KAVEX_PLATFORM_COM_CLIPBOARD_FORMAT_H_
#define KAVEX_PLATFORM_COM_CLIPBOARD_FORMAT_H_

#include "platform/base/types.h"

using CLIPFORMAT = WORD;

// The format number for `name`: the same for every registration of the name
// (compared without regard to ASCII case), from 0xC000 upward; 0 for a null
// or empty name or when the 16384 numbers are used up.
UINT RegisterClipboardFormatA(const char* name);
UINT RegisterClipboardFormatW(const WCHAR* name);
// Copies the registered name (as first registered) into `out`, truncated to
// max - 1 characters; returns the characters copied, 0 for an unknown format.
int GetClipboardFormatNameA(UINT format, char* out, int max);

#endif  // KAVEX_PLATFORM_COM_CLIPBOARD_FORMAT_H_
