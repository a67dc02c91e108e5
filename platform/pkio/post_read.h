// Posting a read for the library's own capture code (the capture pump): the
// call behind Pkio_PacketReadEx, which returns the outcome instead of
// leaving it in the thread's last error. A posted read is the usual case,
// once per frame, and the last error is thread-local storage of a shared
// library: setting it and reading it back costs more than the rest of the
// post.
#ifndef KAVEX_PLATFORM_PKIO_POST_READ_H_
#define KAVEX_PLATFORM_PKIO_POST_READ_H_

#include "platform/pkio/pkiolib.h"

namespace kavex::pkio {

// As Pkio_PacketReadEx; returns ERROR_IO_PENDING when the read is posted
// (the last error is then left as it was), otherwise the error number,
// which is also the last error, with its reason.
DWORD PostPacketRead(PKIO_HANDLE adapter, PKIO_PACKET* packet,
                     OVERLAPPED* overlapped,
                     LPOVERLAPPED_COMPLETION_ROUTINE routine);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_POST_READ_H_
