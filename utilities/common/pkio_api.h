// The driver library calls the utilities make, as one table of function
// pointers. The programs call the library only through a table, so that a
// test can replace single calls (a request that fails, a send that stays
// pending) and keep the real library for the rest.
#ifndef KAVEX_UTILITIES_COMMON_PKIO_API_H_
#define KAVEX_UTILITIES_COMMON_PKIO_API_H_

#include "platform/pkio/pkiolib.h"

namespace kavex::utilities {

struct PkioApi {
  // Adapter enumeration.
  decltype(&Pkio_OpenAdapterEnum) OpenAdapterEnum;
  decltype(&Pkio_CloseAdapterEnum) CloseAdapterEnum;
  decltype(&Pkio_GetFirstAdapter) GetFirstAdapter;
  decltype(&Pkio_GetNextAdapter) GetNextAdapter;
  decltype(&Pkio_ReleaseAdapterEntry) ReleaseAdapterEntry;
  decltype(&Pkio_GetAdapterNdisNameA) GetAdapterNdisNameA;
  decltype(&Pkio_GetOsVersionA) GetOsVersionA;
  decltype(&Pkio_GetPlatformNameA) GetPlatformNameA;

  // Single-packet adapters and requests.
  decltype(&Pkio_OpenAdapterA) OpenAdapterA;
  decltype(&Pkio_OpenProtocolDriver) OpenProtocolDriver;
  decltype(&Pkio_CloseAdapter) CloseAdapter;
  decltype(&Pkio_GetLastError) GetLastError;
  decltype(&Pkio_SetBPFProgram) SetBPFProgram;
  decltype(&Pkio_SetTimestampResolution) SetTimestampResolution;
  decltype(&Pkio_GetTimestampInformation) GetTimestampInformation;
  decltype(&Pkio_DisableLoopback) DisableLoopback;
  decltype(&Pkio_MakeNdisRequest) MakeNdisRequest;
  decltype(&Pkio_MakePrivateRequest) MakePrivateRequest;
  decltype(&Pkio_PacketReadEx) PacketReadEx;
  decltype(&Pkio_CancelPacketRead) CancelPacketRead;
  decltype(&Pkio_PacketSend) PacketSend;
  decltype(&Pkio_PacketSendEx) PacketSendEx;

  // Multi-packet reads.
  decltype(&MPR_OpenAdapterA) MprOpenAdapterA;
  decltype(&MPR_CloseAdapter) MprCloseAdapter;
  decltype(&MPR_SetReadTimeout) MprSetReadTimeout;
  decltype(&MPR_ReadPacketBufferEx) MprReadPacketBufferEx;

  decltype(&bpf_dump) BpfDump;
};

// Every entry pointing at libpkiolib.so's own function.
const PkioApi& RealPkio();

// One adapter request (Pkio_MakeNdisRequest) or protocol-driver request
// (Pkio_MakePrivateRequest) with a value buffer, waited for; event, when
// given, is the request's completion event. Returns the NDIS status. *size,
// when given, becomes the bytes written on success and the bytes needed with
// NDIS_STATUS_INVALID_LENGTH or NDIS_STATUS_BUFFER_TOO_SHORT.
struct Request {
  const PkioApi& api;
  PKIO_HANDLE adapter;
  HANDLE event = nullptr;

  NDIS_STATUS Query(NDIS_OID oid, void* buffer, DWORD length,
                    DWORD* size = nullptr) const;
  NDIS_STATUS Set(NDIS_OID oid, DWORD value) const;
  NDIS_STATUS QueryDriver(NDIS_OID oid, void* buffer, DWORD length,
                          DWORD* size = nullptr) const;
  // 4-byte queries: the value, or -1 when the query fails.
  LONG QueryValue(NDIS_OID oid) const;
  LONG QueryDriverValue(NDIS_OID oid) const;
};

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_PKIO_API_H_
