// The result codes of the platform calls: Win32 error numbers (the registry,
// the driver library, GetLastError) and HRESULTs (every component
// interface). Each code is listed once here, with its name, so that code,
// traces and tests share one table.
#ifndef KAVEX_PLATFORM_BASE_RESULTS_H_
#define KAVEX_PLATFORM_BASE_RESULTS_H_

#include <cstddef>

#include "platform/base/types.h"

// X(name, value)
#define KAVEX_WIN32_ERRORS(X)            \
  X(ERROR_SUCCESS, 0)                    \
  X(ERROR_INVALID_FUNCTION, 1)           \
  X(ERROR_FILE_NOT_FOUND, 2)             \
  X(ERROR_PATH_NOT_FOUND, 3)             \
  X(ERROR_TOO_MANY_OPEN_FILES, 4)        \
  X(ERROR_ACCESS_DENIED, 5)              \
  X(ERROR_INVALID_HANDLE, 6)             \
  X(ERROR_NOT_ENOUGH_MEMORY, 8)          \
  X(ERROR_INVALID_DATA, 13)              \
  X(ERROR_OUTOFMEMORY, 14)               \
  X(ERROR_NOT_SAME_DEVICE, 17)           \
  X(ERROR_NOT_READY, 21)                 \
  X(ERROR_GEN_FAILURE, 31)               \
  X(ERROR_LOCK_VIOLATION, 33)            \
  X(ERROR_NOT_SUPPORTED, 50)             \
  X(ERROR_DEV_NOT_EXIST, 55)             \
  X(ERROR_INVALID_PARAMETER, 87)         \
  X(ERROR_DISK_FULL, 112)                \
  X(ERROR_INSUFFICIENT_BUFFER, 122)      \
  X(ERROR_INVALID_NAME, 123)             \
  X(ERROR_BAD_PATHNAME, 161)             \
  X(ERROR_BUSY, 170)                     \
  X(ERROR_ALREADY_EXISTS, 183)           \
  X(ERROR_BAD_FILE_TYPE, 222)            \
  X(ERROR_FILE_TOO_LARGE, 223)           \
  X(ERROR_MORE_DATA, 234)                \
  X(ERROR_NO_MORE_ITEMS, 259)            \
  X(ERROR_OPERATION_ABORTED, 995)        \
  X(ERROR_IO_INCOMPLETE, 996)            \
  X(ERROR_IO_PENDING, 997)               \
  X(ERROR_BADDB, 1009)                   \
  X(ERROR_BADKEY, 1010)                  \
  X(ERROR_CANTREAD, 1012)                \
  X(ERROR_CANTWRITE, 1013)               \
  X(ERROR_KEY_DELETED, 1018)             \
  X(ERROR_INVALID_SERVICE_CONTROL, 1052) \
  X(ERROR_SERVICE_REQUEST_TIMEOUT, 1053) \
  X(ERROR_SERVICE_ALREADY_RUNNING, 1056) \
  X(ERROR_SERVICE_DISABLED, 1058)        \
  X(ERROR_SERVICE_DOES_NOT_EXIST, 1060)  \
  X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1061) \
  X(ERROR_SERVICE_NOT_ACTIVE, 1062)      \
  X(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 1063) \
  X(ERROR_DATABASE_DOES_NOT_EXIST, 1065) \
  X(ERROR_SERVICE_SPECIFIC_ERROR, 1066)  \
  X(ERROR_PROCESS_ABORTED, 1067)         \
  X(ERROR_SERVICE_MARKED_FOR_DELETE, 1072) \
  X(ERROR_SERVICE_EXISTS, 1073)          \
  X(ERROR_SERVICE_NOT_IN_EXE, 1083)      \
  X(ERROR_SHUTDOWN_IN_PROGRESS, 1115)    \
  X(ERROR_NOT_FOUND, 1168)               \
  X(ERROR_NO_SYSTEM_RESOURCES, 1450)     \
  X(ERROR_TIMEOUT, 1460)                 \
  X(RPC_S_UNKNOWN_IF, 1717)              \
  X(RPC_S_SERVER_UNAVAILABLE, 1722)      \
  X(RPC_S_SERVER_TOO_BUSY, 1723)         \
  X(RPC_S_PROTOCOL_ERROR, 1728)          \
  X(RPC_S_PROCNUM_OUT_OF_RANGE, 1745)    \
  X(RPC_X_BAD_STUB_DATA, 1783)           \
  X(OR_INVALID_OXID, 1910)               \
  X(OR_INVALID_OID, 1911)                \
  X(OR_INVALID_SET, 1912)                \
  X(ERROR_CANT_RESOLVE_FILENAME, 1921)

// X(name, value)
#define KAVEX_HRESULTS(X)                   \
  X(S_OK, 0x00000000)                       \
  X(S_FALSE, 0x00000001)                    \
  X(E_NOTIMPL, 0x80004001)                  \
  X(E_NOINTERFACE, 0x80004002)              \
  X(E_POINTER, 0x80004003)                  \
  X(E_ABORT, 0x80004004)                    \
  X(E_FAIL, 0x80004005)                     \
  X(E_UNEXPECTED, 0x8000FFFF)               \
  X(E_ACCESSDENIED, 0x80070005)             \
  X(E_HANDLE, 0x80070006)                   \
  X(E_OUTOFMEMORY, 0x8007000E)              \
  X(E_INVALIDARG, 0x80070057)               \
  X(DISP_E_UNKNOWNINTERFACE, 0x80020001)    \
  X(DISP_E_MEMBERNOTFOUND, 0x80020003)      \
  X(DISP_E_PARAMNOTFOUND, 0x80020004)       \
  X(DISP_E_TYPEMISMATCH, 0x80020005)        \
  X(DISP_E_UNKNOWNNAME, 0x80020006)         \
  X(DISP_E_NONAMEDARGS, 0x80020007)         \
  X(DISP_E_BADVARTYPE, 0x80020008)          \
  X(DISP_E_EXCEPTION, 0x80020009)           \
  X(DISP_E_OVERFLOW, 0x8002000A)            \
  X(DISP_E_BADINDEX, 0x8002000B)            \
  X(DISP_E_UNKNOWNLCID, 0x8002000C)         \
  X(DISP_E_ARRAYISLOCKED, 0x8002000D)       \
  X(DISP_E_BADPARAMCOUNT, 0x8002000E)       \
  X(DISP_E_PARAMNOTOPTIONAL, 0x8002000F)    \
  X(DISP_E_BADCALLEE, 0x80020010)           \
  X(DISP_E_NOTACOLLECTION, 0x80020011)      \
  X(DISP_E_DIVBYZERO, 0x80020012)           \
  X(TYPE_E_LIBNOTREGISTERED, 0x8002801D)    \
  X(DV_E_FORMATETC, 0x80040064)             \
  X(DV_E_TYMED, 0x80040069)                 \
  X(OLE_E_ADVISENOTSUPPORTED, 0x80040003)   \
  X(CLASS_E_NOAGGREGATION, 0x80040110)      \
  X(CLASS_E_CLASSNOTAVAILABLE, 0x80040111)  \
  X(REGDB_E_READREGDB, 0x80040150)          \
  X(REGDB_E_WRITEREGDB, 0x80040151)         \
  X(REGDB_E_CLASSNOTREG, 0x80040154)        \
  X(REGDB_E_IIDNOTREG, 0x80040155)          \
  X(CONNECT_E_NOCONNECTION, 0x80040200)     \
  X(CONNECT_E_ADVISELIMIT, 0x80040201)      \
  X(CONNECT_E_CANNOTCONNECT, 0x80040202)    \
  X(CONNECT_E_OVERRIDDEN, 0x80040203)       \
  X(SELFREG_E_TYPELIB, 0x80040210)          \
  X(SELFREG_E_CLASS, 0x80040211)            \
  X(CO_E_NOTINITIALIZED, 0x800401F0)        \
  X(CO_E_ALREADYINITIALIZED, 0x800401F1)    \
  X(CO_E_CLASSSTRING, 0x800401F3)           \
  X(CO_E_DLLNOTFOUND, 0x800401F8)           \
  X(CO_E_ERRORINDLL, 0x800401F9)            \
  X(CO_E_OBJNOTREG, 0x800401FB)             \
  X(CO_E_OBJNOTCONNECTED, 0x800401FD)       \
  X(CO_E_SERVER_STOPPING, 0x80004028)       \
  X(RPC_E_CHANGED_MODE, 0x80010106)         \
  X(RPC_E_INVALID_OBJECT, 0x80010114)       \
  X(STG_E_MEDIUMFULL, 0x80030070)

#define KAVEX_DECLARE_WIN32_ERROR(name, value) constexpr LONG name = value;
KAVEX_WIN32_ERRORS(KAVEX_DECLARE_WIN32_ERROR)
#undef KAVEX_DECLARE_WIN32_ERROR

#define KAVEX_DECLARE_RESULT(name, value) \
  constexpr HRESULT name = static_cast<HRESULT>(value##u);
KAVEX_HRESULTS(KAVEX_DECLARE_RESULT)

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT MAKE_HRESULT(uint32_t sev, uint32_t fac, uint32_t code) {
  return static_cast<HRESULT>((sev << 31) | (fac << 16) | code);
}
constexpr uint32_t HRESULT_CODE(HRESULT hr) { return hr & 0xFFFF; }
constexpr uint32_t HRESULT_FACILITY(HRESULT hr) { return (hr >> 16) & 0x1FFF; }
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t err) {
  return err == 0 ? 0
                  : static_cast<HRESULT>((err & 0xFFFF) | (7u << 16) |
                                         0x80000000u);
}

namespace kavex {

// Name of a result code ("E_FAIL"), or its value as "0x80004005" when it is
// not in any registered table. Never returns null; an unknown code's text
// stays valid until the thread asks again.
const char* HResultName(HRESULT hr);
// Name of a Win32 error ("ERROR_ACCESS_DENIED"), or its number as "1234".
const char* Win32ErrorName(DWORD error);

// Libraries above (the OPC codes) add their table of HRESULT names once at
// start-up; registering the same table again does nothing.
struct ResultName {
  HRESULT code;
  const char* name;
};
void RegisterResultNames(const ResultName* table, size_t count);

}  // namespace kavex

#endif  // KAVEX_PLATFORM_BASE_RESULTS_H_
