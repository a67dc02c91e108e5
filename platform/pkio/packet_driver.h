// The calls a capturing program makes into the driver library, behind one
// narrow interface so that tests can make any of them fail (see
// testing/scripted_packet_driver.h). RealPacketDriver forwards each call to
// the Pkio_* function of the same name unchanged, PostRead to the call behind
// Pkio_PacketReadEx (post_read.h).
#ifndef KAVEX_PLATFORM_PKIO_PACKET_DRIVER_H_
#define KAVEX_PLATFORM_PKIO_PACKET_DRIVER_H_

#include "platform/pkio/pkiolib.h"

namespace kavex::pkio {

class PacketDriver {
 public:
  virtual ~PacketDriver() = default;

  // Adapter enumeration.
  virtual PKIO_HANDLE OpenAdapterEnum() = 0;
  virtual BOOL CloseAdapterEnum(PKIO_HANDLE enumeration) = 0;
  virtual PKIO_HANDLE GetFirstAdapter(PKIO_HANDLE enumeration) = 0;
  virtual PKIO_HANDLE GetNextAdapter(PKIO_HANDLE enumeration) = 0;
  virtual BOOL ReleaseAdapterEntry(PKIO_HANDLE entry) = 0;
  virtual DWORD GetAdapterNdisName(PKIO_HANDLE entry, char* buffer,
                                   DWORD* size) = 0;
  virtual DWORD GetAdapterFriendlyName(PKIO_HANDLE entry, char* buffer,
                                       DWORD* size) = 0;

  // Capture.
  virtual PKIO_HANDLE OpenAdapter(const char* ndis_name) = 0;
  virtual BOOL CloseAdapter(PKIO_HANDLE adapter) = 0;
  virtual DWORD GetLastError() = 0;
  virtual BOOL IsWindows95() = 0;
  virtual BOOL SetBpfProgram(PKIO_HANDLE adapter, const void* program,
                             DWORD length_bytes) = 0;
  virtual BOOL SetTimestampResolution(PKIO_HANDLE adapter,
                                      DWORD resolution) = 0;
  virtual NDIS_STATUS MakeNdisRequest(PKIO_HANDLE adapter,
                                      PKIO_NDIS_REQUEST* request,
                                      OVERLAPPED* overlapped, BOOL wait) = 0;
  // Pkio_PacketReadEx, with the outcome returned: ERROR_IO_PENDING when
  // the read is posted, otherwise the error number (what Pkio_GetLastError
  // would give); nothing else need be asked per frame.
  virtual DWORD PostRead(PKIO_HANDLE adapter, PKIO_PACKET* packet,
                         OVERLAPPED* overlapped,
                         LPOVERLAPPED_COMPLETION_ROUTINE routine) = 0;
  virtual BOOL CancelPacketRead(PKIO_HANDLE adapter,
                                OVERLAPPED* overlapped) = 0;
};

// The driver library itself; stateless, lives for the whole process.
PacketDriver* RealPacketDriver();

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_PACKET_DRIVER_H_
