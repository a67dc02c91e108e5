// The rules that turn a cached item into what its client gets, shared by
// synchronous reads (CGroup::Read and Write live in sync_io.cc) and the
// subscription and asynchronous paths: the value in the requested type,
// and the quality by the data source.
#ifndef KAVEX_SERVER_OBJECTS_SYNC_IO_H_
#define KAVEX_SERVER_OBJECTS_SYNC_IO_H_

#include "platform/com/bstr_block.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"
#include "server/objects/item_record.h"

namespace kavex::server {

// The cached value of `record` into `out` (which must be empty): converted
// to the requested type when one is set and differs; OPC_E_BADRIGHTS for
// an item that is not readable, or the conversion's failure, with `out`
// left empty. A VT_BSTR value's string is made in `texts` when given, a
// BSTR of its own otherwise. The caller holds the group's item-value lock.
HRESULT ClientValue(const ItemRecord& record, VARIANT* out,
                    com::BstrBlock* texts = nullptr);

// The cached quality; for a cache read, out of service (0x1C) unless both
// the item and its group are active. The caller holds the item-value lock.
WORD ClientQuality(const ItemRecord& record, bool group_active,
                   OPCDATASOURCE source);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_SYNC_IO_H_
