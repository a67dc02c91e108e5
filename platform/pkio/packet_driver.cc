#include "platform/pkio/packet_driver.h"

#include "platform/pkio/post_read.h"

namespace kavex::pkio {
namespace {

class PkioPacketDriver : public PacketDriver {
 public:
  PKIO_HANDLE OpenAdapterEnum() override { return Pkio_OpenAdapterEnum(); }
  BOOL CloseAdapterEnum(PKIO_HANDLE enumeration) override {
    return Pkio_CloseAdapterEnum(enumeration);
  }
  PKIO_HANDLE GetFirstAdapter(PKIO_HANDLE enumeration) override {
    return Pkio_GetFirstAdapter(enumeration);
  }
  PKIO_HANDLE GetNextAdapter(PKIO_HANDLE enumeration) override {
    return Pkio_GetNextAdapter(enumeration);
  }
  BOOL ReleaseAdapterEntry(PKIO_HANDLE entry) override {
    return Pkio_ReleaseAdapterEntry(entry);
  }
  DWORD GetAdapterNdisName(PKIO_HANDLE entry, char* buffer,
                           DWORD* size) override {
    return Pkio_GetAdapterNdisNameA(entry, buffer, size);
  }
  DWORD GetAdapterFriendlyName(PKIO_HANDLE entry, char* buffer,
                               DWORD* size) override {
    return Pkio_GetAdapterFriendlyNameA(entry, buffer, size);
  }
  PKIO_HANDLE OpenAdapter(const char* ndis_name) override {
    return Pkio_OpenAdapterA(ndis_name);
  }
  BOOL CloseAdapter(PKIO_HANDLE adapter) override {
    return Pkio_CloseAdapter(adapter);
  }
  DWORD GetLastError() override { return Pkio_GetLastError(); }
  BOOL IsWindows95() override { return Pkio_IsWindows95(); }
  BOOL SetBpfProgram(PKIO_HANDLE adapter, const void* program,
                     DWORD length_bytes) override {
    return Pkio_SetBPFProgram(adapter, program, length_bytes);
  }
  BOOL SetTimestampResolution(PKIO_HANDLE adapter, DWORD resolution) override {
    return Pkio_SetTimestampResolution(adapter, resolution);
  }
  NDIS_STATUS MakeNdisRequest(PKIO_HANDLE adapter, PKIO_NDIS_REQUEST* request,
                              OVERLAPPED* overlapped, BOOL wait) override {
    return Pkio_MakeNdisRequest(adapter, request, overlapped, wait);
  }
  DWORD PostRead(PKIO_HANDLE adapter, PKIO_PACKET* packet,
                 OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine) override {
    return PostPacketRead(adapter, packet, overlapped, routine);
  }
  BOOL CancelPacketRead(PKIO_HANDLE adapter, OVERLAPPED* overlapped) override {
    return Pkio_CancelPacketRead(adapter, overlapped);
  }
};

}  // namespace

PacketDriver* RealPacketDriver() {
  // Stateless, so it may live until the very end of the process.
  static PkioPacketDriver driver;
  return &driver;
}

}  // namespace kavex::pkio
