// The OPC DA 1.0 streams a group sends through IDataObject advise sinks,
// each in one zero-filled global memory block, little-endian:
//
//   group header (20 bytes): dwSize, dwItemCount, hClientGroup,
//     dwTransactionID, hrStatus;
//   data: one item header per item (20 bytes with the time: hClient,
//     dwValueOffset, wQuality, wReserved, ftTimeStampItem; 12 without),
//     then each value in header order: its 16-byte VARIANT, and for a
//     string its byte count (4 bytes, terminator excluded) and its UTF-16
//     characters with the terminator;
//   write completion: one {hClient, dwError} pair (8 bytes) per item.
//
// A streamed VARIANT never carries a pointer of this process: the BSTR
// pointer of a string, and the payload of any other pointer-carrying type,
// is written as zero (the receiver reads the string that follows).
#ifndef KAVEX_SERVER_OBJECTS_STREAM_WRITER_H_
#define KAVEX_SERVER_OBJECTS_STREAM_WRITER_H_

#include "platform/com/clipboard_format.h"
#include "platform/com/global_memory.h"
#include "platform/opc/opc_da.h"

namespace kavex::server {

// The three stream formats, registered once for the process on first use.
struct StreamFormats {
  CLIPFORMAT data_time;       // "OPCSTMFORMATDATATIME"
  CLIPFORMAT data;            // "OPCSTMFORMATDATA"
  CLIPFORMAT write_complete;  // "OPCSTMFORMATWRITECOMPLETE"
};
const StreamFormats& RegisteredStreamFormats();

// Bytes a value takes in the value area: 16, or 2 * length + 22 for a
// string.
size_t StreamValueSize(const VARIANT& value);

// A data stream of `count` items (with or without their times); null when
// memory runs out or the size does not fit 32 bits.
HGLOBAL BuildDataStream(bool with_time, OPCHANDLE client_group,
                        DWORD transaction, DWORD count,
                        const OPCHANDLE* handles, const VARIANT* values,
                        const WORD* qualities, const FILETIME* times);

// A write-completion stream; hrStatus is S_FALSE when an entry failed.
HGLOBAL BuildWriteCompleteStream(OPCHANDLE client_group, DWORD transaction,
                                 DWORD count, const OPCHANDLE* handles,
                                 const HRESULT* errors);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_STREAM_WRITER_H_
