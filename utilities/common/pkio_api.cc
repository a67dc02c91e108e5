#include "utilities/common/pkio_api.h"

namespace kavex::utilities {
namespace {

using RequestFunction = decltype(&Pkio_MakeNdisRequest);

NDIS_STATUS Make(RequestFunction make, PKIO_HANDLE adapter, HANDLE event,
                 DWORD type, NDIS_OID oid, void* buffer, DWORD length,
                 DWORD* size) {
  PKIO_NDIS_REQUEST request{};
  request.RequestType = type;
  request.Oid = oid;
  request.InformationBuffer = buffer;
  request.InformationBufferLength = length;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  NDIS_STATUS status = make(adapter, &request, &overlapped, TRUE);
  if (size != nullptr) {
    if (status == NDIS_STATUS_SUCCESS) {
      *size = request.BytesTransferred;
    } else if (status == NDIS_STATUS_INVALID_LENGTH ||
               status == NDIS_STATUS_BUFFER_TOO_SHORT) {
      *size = request.BytesNeeded;
    }
  }
  return status;
}

}  // namespace

const PkioApi& RealPkio() {
  static const PkioApi api{
      Pkio_OpenAdapterEnum,
      Pkio_CloseAdapterEnum,
      Pkio_GetFirstAdapter,
      Pkio_GetNextAdapter,
      Pkio_ReleaseAdapterEntry,
      Pkio_GetAdapterNdisNameA,
      Pkio_GetOsVersionA,
      Pkio_GetPlatformNameA,
      Pkio_OpenAdapterA,
      Pkio_OpenProtocolDriver,
      Pkio_CloseAdapter,
      Pkio_GetLastError,
      Pkio_SetBPFProgram,
      Pkio_SetTimestampResolution,
      Pkio_GetTimestampInformation,
      Pkio_DisableLoopback,
      Pkio_MakeNdisRequest,
      Pkio_MakePrivateRequest,
      Pkio_PacketReadEx,
      Pkio_CancelPacketRead,
      Pkio_PacketSend,
      Pkio_PacketSendEx,
      MPR_OpenAdapterA,
      MPR_CloseAdapter,
      MPR_SetReadTimeout,
      MPR_ReadPacketBufferEx,
      bpf_dump,
  };
  return api;
}

NDIS_STATUS Request::Query(NDIS_OID oid, void* buffer, DWORD length,
                           DWORD* size) const {
  return Make(api.MakeNdisRequest, adapter, event, PKIO_NDIS_QUERY, oid, buffer,
              length, size);
}

NDIS_STATUS Request::Set(NDIS_OID oid, DWORD value) const {
  return Make(api.MakeNdisRequest, adapter, event, PKIO_NDIS_SET, oid, &value,
              sizeof value, nullptr);
}

NDIS_STATUS Request::QueryDriver(NDIS_OID oid, void* buffer, DWORD length,
                                 DWORD* size) const {
  return Make(api.MakePrivateRequest, adapter, event, PKIO_NDIS_QUERY, oid,
              buffer, length, size);
}

LONG Request::QueryValue(NDIS_OID oid) const {
  LONG value = -1;
  if (Query(oid, &value, sizeof value) != NDIS_STATUS_SUCCESS) value = -1;
  return value;
}

LONG Request::QueryDriverValue(NDIS_OID oid) const {
  LONG value = -1;
  if (QueryDriver(oid, &value, sizeof value) != NDIS_STATUS_SUCCESS) {
    value = -1;
  }
  return value;
}

}  // namespace kavex::utilities
