// The registry: HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT, stored as one text
// file per hive ("HKLM.reg", "HKCR.reg") under $KAVEX_REGISTRY_ROOT (default
// /etc/kavex-opc/registry). See hive.h for the file format.
//
// Every call sees the current file: a hive is re-read whenever the file
// changed on disk, and every change is written at once (under an exclusive
// file lock, by an atomic rename), so several processes may read and write
// the same hives. Calls return ERROR_* numbers (platform/base/results.h);
// a damaged hive file gives ERROR_BADDB and is never overwritten, a failed
// write leaves the file as it was. The root must be a directory that only
// its owner, root or the caller, can write (file::CheckPrivateDirectory):
// any other is refused with ERROR_ACCESS_DENIED and an error in the log that
// names the directory and the fix.
//
// Keys and value names are case-insensitive (ASCII letters) and
// case-preserving. Access masks and options are accepted and not checked.
// REG_SZ and REG_EXPAND_SZ data written with an A function is 8-bit text,
// with a W function UTF-16; each is converted when read with the other form.
// Other types are kept as bytes.
#ifndef KAVEX_PLATFORM_REGISTRY_REGISTRY_H_
#define KAVEX_PLATFORM_REGISTRY_REGISTRY_H_

#include "platform/base/results.h"
#include "platform/base/types.h"

using HKEY = struct RegistryKey*;
using PHKEY = HKEY*;
extern HKEY const HKEY_LOCAL_MACHINE;
extern HKEY const HKEY_CLASSES_ROOT;

using REGSAM = DWORD;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// A null or empty sub opens the key itself again (a new handle). A missing
// key gives ERROR_FILE_NOT_FOUND; a sub starting with '\' or with an empty
// component gives ERROR_BAD_PATHNAME.
LONG RegOpenKeyExA(HKEY key, const char* sub, DWORD options, REGSAM sam,
                   HKEY* out);
LONG RegOpenKeyExW(HKEY key, const char16_t* sub, DWORD options, REGSAM sam,
                   HKEY* out);

// Creates the key and any missing parents; disposition (may be null) tells
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. Key names may not hold
// control characters.
LONG RegCreateKeyExA(HKEY key, const char* sub, DWORD reserved, char* cls,
                     DWORD options, REGSAM sam, void* security, HKEY* out,
                     DWORD* disposition);
LONG RegCreateKeyExW(HKEY key, const char16_t* sub, DWORD reserved,
                     char16_t* cls, DWORD options, REGSAM sam, void* security,
                     HKEY* out, DWORD* disposition);

// name null or "" = the key's default value. data null: only *type and the
// size in *cb. *cb too small: ERROR_MORE_DATA with the needed size in *cb.
// String data is returned as stored, with its NUL only if it was stored with
// one; nothing is added.
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* cb);
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* cb);

// Stores exactly cb bytes (for strings: include the NUL in cb, as callers
// do). REG_DWORD needs cb == 4.
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                    const BYTE* data, DWORD cb);
LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type,
                    const BYTE* data, DWORD cb);

LONG RegDeleteValueA(HKEY key, const char* name);
LONG RegDeleteValueW(HKEY key, const char16_t* name);

// Fails with ERROR_ACCESS_DENIED when the key has subkeys.
LONG RegDeleteKeyA(HKEY key, const char* sub);
LONG RegDeleteKeyW(HKEY key, const char16_t* sub);

// Deletes sub with everything below it; a null sub deletes the values and
// subkeys of key and keeps key itself.
LONG RegDeleteTreeA(HKEY key, const char* sub);
LONG RegDeleteTreeW(HKEY key, const char16_t* sub);

// Subkeys in case-insensitive alphabetical order. *cch_name: buffer size in
// characters (with the NUL) on input, name length (without it) on output;
// ERROR_MORE_DATA if it does not fit, ERROR_NO_MORE_ITEMS past the end.
// cls, cch_class and last_write may be null (class is always empty).
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cch_name,
                   DWORD* reserved, char* cls, DWORD* cch_class,
                   FILETIME* last_write);
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* cch_name,
                   DWORD* reserved, char16_t* cls, DWORD* cch_class,
                   FILETIME* last_write);

// Values in the order they were first set. Name as in RegEnumKeyEx; type,
// data and cb as in RegQueryValueEx (all three may be null).
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* cch_name,
                   DWORD* reserved, DWORD* type, BYTE* data, DWORD* cb);
LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* cch_name,
                   DWORD* reserved, DWORD* type, BYTE* data, DWORD* cb);

// Counts and the longest names (characters, without NUL); any may be null.
LONG RegQueryInfoKeyA(HKEY key, DWORD* subkeys, DWORD* max_subkey_len,
                      DWORD* values, DWORD* max_value_name_len,
                      DWORD* max_value_len);

// Closing HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT is a harmless no-op.
LONG RegCloseKey(HKEY key);

#endif  // KAVEX_PLATFORM_REGISTRY_REGISTRY_H_
