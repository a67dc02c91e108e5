// Pkiolib: the raw-Ethernet driver library.
//
// Adapters are the machine's Ethernet interfaces, named "\Device\<ifname>",
// followed by the adapters of the frame sources declared in the registry
// (frame_source.h), e.g. the simulated Velto LANs of the simulator's module,
// named "\Device\Simulated\<name>" (simulator/simulated_adapters.h).
// Frames of an interface are received through a packet socket ring; the
// classic BPF program a caller sets is attached to it unchanged. Nothing is
// received until the adapter's packet filter (OID_GEN_CURRENT_PACKET_FILTER)
// is set to a non-zero value. An interface whose link goes down keeps its
// posted reads; capture goes on when the link, or an interface of the same
// name, is back (real_adapter.h).
//
// Asynchronous reads and sends complete by calling their completion routine
// on the thread that posted them, during that thread's alertable waits
// (WaitForSingleObjectEx, SleepEx, ... from platform/sync), in the order the
// frames arrived. After Pkio_CloseAdapter returns, no completion routine of
// that adapter runs any more, so the caller may free its read blocks. Read
// blocks and multi-packet buffers may sit at any address (packed arrays).
//
// Handles: adapter, enumeration and entry handles are numbered from ranges
// of their own, so a handle of the wrong kind fails with
// ERROR_INVALID_HANDLE instead of reaching another object.
//
// Errors: functions returning BOOL or a handle set the error number returned
// by Pkio_GetLastError (and GetLastError) when they fail; a posted read or
// send reports ERROR_IO_PENDING (997) that way. Pkio_GetLastErrorMessageA
// gives a readable reason for the last failure of the calling thread. An
// adapter that cannot be opened is also reported once through the log
// (platform/log, category "pkio") with its name and the reason.
#ifndef KAVEX_PLATFORM_PKIO_PKIOLIB_H_
#define KAVEX_PLATFORM_PKIO_PKIOLIB_H_

#include "platform/base/types.h"
#include "platform/pkio/ndis.h"
#include "platform/pkio/overlapped.h"

// Adapter, enumeration and entry handles. All bits set means "none".
using PKIO_HANDLE = LONG;
constexpr PKIO_HANDLE PKIO_INVALID_HANDLE = -1;

constexpr DWORD PKIO_MAX_FRAME_SIZE = 1514;

#pragma pack(push, 1)
// Header of every received frame, in single reads and in multi-packet
// buffers alike (24 bytes).
struct PKIO_PACKET_HEADER {
  // Per adapter, from 1, one more for every frame that passed the BPF
  // program; frames lost on the way (kernel drops, no read posted) use up
  // their numbers, so a gap counts lost frames.
  DWORD SequenceNumber;
  DWORD Reserved;  // 0
  // Receive time in counts of the timestamp frequency (see
  // PKIO_TIMESTAMP_INFO) since the adapter was opened.
  ULONGLONG Timestamp;
  DWORD FrameLength;     // length of the frame on the wire
  DWORD BytesDelivered;  // bytes of it in the buffer (at most the capacity)
};

// Read block of Pkio_PacketReadEx. The caller sets BufferCapacity (normally
// PKIO_MAX_FRAME_SIZE); the frame area starts at Data and may be declared
// larger or smaller than here when the caller allocates the block itself.
struct PKIO_PACKET {
  DWORD Status;  // 0 good; ERROR_OPERATION_ABORTED when the read was cancelled
  DWORD BufferCapacity;
  PKIO_PACKET_HEADER Header;
  BYTE Data[PKIO_MAX_FRAME_SIZE];
};

// Multi-packet read buffer of MPR_ReadPacketBufferEx. The caller sets
// BufferSize (bytes available at Data). On completion PacketCount records
// follow at Data: record i+1 starts (BytesDelivered of record i + 30) & ~3
// bytes after record i; each record is a PKIO_PACKET_HEADER followed by the
// frame at record offset 24.
struct MPR_PACKET_BUFFER {
  DWORD Status;  // 0 good
  DWORD PacketCount;
  DWORD BufferSize;
  DWORD BytesUsed;
  BYTE Data[4];
};
constexpr DWORD MPR_RECORD_FRAME_OFFSET = 24;
constexpr DWORD MprRecordStride(DWORD bytes_delivered) {
  return (bytes_delivered + 27 + 3) & ~DWORD{3};
}

// Pkio_GetTimestampInformation. Frequency sits at byte offset 10.
struct PKIO_TIMESTAMP_INFO {
  DWORD Size;       // sizeof(PKIO_TIMESTAMP_INFO)
  WORD Version;     // 1
  WORD Resolution;  // as set by Pkio_SetTimestampResolution
  WORD Reserved;
  ULONGLONG Frequency;  // timestamp counts per second
  FILETIME OpenTime;    // UTC time of timestamp 0 (when the adapter opened)
};

// Pkio_MakeNdisRequest / Pkio_MakePrivateRequest.
struct PKIO_NDIS_REQUEST {
  DWORD RequestType;  // PKIO_NDIS_QUERY or PKIO_NDIS_SET
  NDIS_OID Oid;
  void* InformationBuffer;
  DWORD InformationBufferLength;
  DWORD BytesTransferred;  // written by a query, read by a set
  DWORD BytesNeeded;  // set with NDIS_STATUS_INVALID_LENGTH / BUFFER_TOO_SHORT
};

// OID_PKIO_BINDING_LIST answer: 12-byte records ended by one with Flags 0;
// NameOffset is the byte offset of a NUL-terminated NDIS name from the start
// of the buffer.
struct PKIO_BINDING_RECORD {
  // PKIO_BINDING_SYSTEM (interfaces), PKIO_BINDING_USER (other sources)
  DWORD Flags;
  DWORD Index;  // position in the adapter enumeration
  DWORD NameOffset;
};
constexpr DWORD PKIO_BINDING_SYSTEM = 1;
constexpr DWORD PKIO_BINDING_USER = 2;

// Operating-system version record (ordinal 64's argument).
struct PKIO_OS_VERSION {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;  // 2: the NT family
  char szCSDVersion[128];
};
#pragma pack(pop)

// Classic BPF program, 8-byte instructions (little-endian fields).
struct bpf_insn {
  WORD code;
  BYTE jt;
  BYTE jf;
  DWORD k;
};
struct bpf_program {
  UINT bf_len;  // instructions
  bpf_insn* bf_insns;
};

extern "C" {

// --- Adapter enumeration (exported by ordinal as noted) -------------------
PKIO_HANDLE Pkio_OpenAdapterEnum();                         // ordinal 50
BOOL Pkio_CloseAdapterEnum(PKIO_HANDLE enumeration);        // ordinal 51
PKIO_HANDLE Pkio_GetFirstAdapter(PKIO_HANDLE enumeration);  // ordinal 52
PKIO_HANDLE Pkio_GetNextAdapter(PKIO_HANDLE enumeration);   // ordinal 53
BOOL Pkio_ReleaseAdapterEntry(PKIO_HANDLE entry);           // ordinal 54
// Ordinals 55 and 57: with a null buffer or one too small, returns
// ERROR_INSUFFICIENT_BUFFER (122) and sets *size to the bytes needed (NUL
// included); otherwise copies the NUL-terminated name, returns 0 and sets
// *size to the bytes written (NUL included).
DWORD Pkio_GetAdapterFriendlyNameA(PKIO_HANDLE entry, char* buffer,
                                   DWORD* size);  // ordinal 55
DWORD Pkio_GetAdapterNdisNameA(PKIO_HANDLE entry, char* buffer,
                               DWORD* size);  // ordinal 57
// Fills the record from the running system; TRUE on success.
BOOL Pkio_GetOsVersionA(PKIO_OS_VERSION* version);
// Printable platform description for a version record (ordinal 64).
const char* Pkio_GetPlatformNameA(const PKIO_OS_VERSION* version);

// --- Adapters --------------------------------------------------------------
PKIO_HANDLE Pkio_OpenAdapterA(const char* ndis_name);
// Handle for private requests only (OID_PKIO_*); close with Pkio_CloseAdapter.
PKIO_HANDLE Pkio_OpenProtocolDriver();
BOOL Pkio_CloseAdapter(PKIO_HANDLE adapter);
DWORD Pkio_GetLastError();
const char* Pkio_GetLastErrorMessageA();
BOOL Pkio_IsWindows95();  // FALSE
BOOL Pkio_IsWindowsNT();  // TRUE

// length_bytes = 8 x instructions; null and 0 remove the program.
BOOL Pkio_SetBPFProgram(PKIO_HANDLE adapter, const void* program,
                        DWORD length_bytes);
BOOL Pkio_SetTimestampResolution(PKIO_HANDLE adapter, DWORD resolution);
BOOL Pkio_GetTimestampInformation(PKIO_HANDLE adapter,
                                  PKIO_TIMESTAMP_INFO* info);
// Drops received frames whose bytes [offset, offset + length) equal address.
BOOL Pkio_DisableLoopback(PKIO_HANDLE adapter, DWORD offset, DWORD length,
                          const BYTE* address);

// Returns the request's NDIS status (0 = success); completes at once and
// signals overlapped->hEvent when given. wait is accepted for compatibility.
NDIS_STATUS Pkio_MakeNdisRequest(PKIO_HANDLE adapter,
                                 PKIO_NDIS_REQUEST* request,
                                 OVERLAPPED* overlapped, BOOL wait);
NDIS_STATUS Pkio_MakePrivateRequest(PKIO_HANDLE adapter,
                                    PKIO_NDIS_REQUEST* request,
                                    OVERLAPPED* overlapped, BOOL wait);

// Posts one read. Returns FALSE with error 997 when posted (the usual case);
// other errors (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER,
// ERROR_NO_SYSTEM_RESOURCES when too many reads are outstanding) mean it was
// not. flags is reserved (0).
BOOL Pkio_PacketReadEx(PKIO_HANDLE adapter, PKIO_PACKET* packet, DWORD flags,
                       OVERLAPPED* overlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine);
// Cancels the posted read (or multi-packet read) with this overlapped block,
// or every read of the adapter when overlapped is null; cancelled reads
// complete with ERROR_OPERATION_ABORTED. FALSE when none was found.
BOOL Pkio_CancelPacketRead(PKIO_HANDLE adapter, OVERLAPPED* overlapped);

// Sends at once: TRUE when sent (overlapped->hEvent, if any, is signalled).
BOOL Pkio_PacketSend(PKIO_HANDLE adapter, const void* frame, DWORD length,
                     OVERLAPPED* overlapped);
// Sends at once and queues routine to the calling thread; returns FALSE with
// error 997 in that case, FALSE with another error when the send failed
// (the routine then does not run).
BOOL Pkio_PacketSendEx(PKIO_HANDLE adapter, const void* frame, DWORD length,
                       OVERLAPPED* overlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine);

// --- Multi-packet reads ----------------------------------------------------
PKIO_HANDLE MPR_OpenAdapterA(const char* ndis_name);
BOOL MPR_CloseAdapter(PKIO_HANDLE adapter);
// A buffer holding at least one frame completes when the next frame does not
// fit or when timeout_ms (measured with the installed clock) passed since its
// first frame. Default 10 ms.
BOOL MPR_SetReadTimeout(PKIO_HANDLE adapter, DWORD timeout_ms);
// As Pkio_PacketReadEx; the routine gets (status, BytesUsed, overlapped).
BOOL MPR_ReadPacketBufferEx(PKIO_HANDLE adapter, MPR_PACKET_BUFFER* buffer,
                            OVERLAPPED* overlapped,
                            LPOVERLAPPED_COMPLETION_ROUTINE routine);

// Prints a program to standard output: level 1 readable instructions, 2 a C
// array fragment, 3 decimal numbers (count first).
void bpf_dump(const bpf_program* program, int level);

}  // extern "C"

#endif  // KAVEX_PLATFORM_PKIO_PKIOLIB_H_
