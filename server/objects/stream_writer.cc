#include "server/objects/stream_writer.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/com/bstr.h"
#include "platform/com/variant.h"

namespace kavex::server {
namespace {

constexpr size_t kGroupHeaderSize = 20;
constexpr size_t kTimeHeaderSize = 20;
constexpr size_t kPlainHeaderSize = 12;
constexpr size_t kVariantSize = 16;
constexpr size_t kWriteEntrySize = 8;

static_assert(sizeof(OPCGROUPHEADER) == kGroupHeaderSize);
static_assert(sizeof(OPCITEMHEADER2) == kPlainHeaderSize);
static_assert(sizeof(OPCITEMHEADERWRITE) == kWriteEntrySize);

void Put32(uint8_t* at, uint32_t v) { std::memcpy(at, &v, 4); }
void Put16(uint8_t* at, uint16_t v) { std::memcpy(at, &v, 2); }

// A type whose VARIANT payload is a pointer into this process.
bool CarriesPointer(VARTYPE vt) {
  if ((vt & (VT_ARRAY | VT_BYREF)) != 0) return true;
  switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_RECORD:
      return true;
    default:
      return false;
  }
}

// Allocates the block and its group header; null on failure.
HGLOBAL NewBlock(uint64_t size, DWORD count, OPCHANDLE client_group,
                 DWORD transaction, HRESULT status, uint8_t** data) {
  if (size > std::numeric_limits<uint32_t>::max()) return nullptr;
  HGLOBAL block = GlobalAlloc(GHND, static_cast<size_t>(size));
  if (block == nullptr) return nullptr;
  auto* p = static_cast<uint8_t*>(GlobalLock(block));
  if (p == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  Put32(p + 0, static_cast<uint32_t>(size));
  Put32(p + 4, count);
  Put32(p + 8, client_group);
  Put32(p + 12, transaction);
  Put32(p + 16, static_cast<uint32_t>(status));
  *data = p;
  return block;
}

}  // namespace

const StreamFormats& RegisteredStreamFormats() {
  static const StreamFormats formats{
      static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME")),
      static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATA")),
      static_cast<CLIPFORMAT>(
          RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE"))};
  return formats;
}

size_t StreamValueSize(const VARIANT& value) {
  if (value.vt != VT_BSTR) return kVariantSize;
  return kVariantSize + 4 + 2 * size_t{SysStringLen(value.bstrVal)} + 2;
}

HGLOBAL BuildDataStream(bool with_time, OPCHANDLE client_group,
                        DWORD transaction, DWORD count,
                        const OPCHANDLE* handles, const VARIANT* values,
                        const WORD* qualities, const FILETIME* times) {
  const size_t header = with_time ? kTimeHeaderSize : kPlainHeaderSize;
  uint64_t size = kGroupHeaderSize + uint64_t{header} * count;
  for (DWORD i = 0; i < count; ++i) size += StreamValueSize(values[i]);
  uint8_t* p = nullptr;
  HGLOBAL block = NewBlock(size, count, client_group, transaction, S_OK, &p);
  if (block == nullptr) return nullptr;
  size_t value_at = kGroupHeaderSize + header * count;
  for (DWORD i = 0; i < count; ++i) {
    uint8_t* h = p + kGroupHeaderSize + header * i;
    Put32(h + 0, handles[i]);
    Put32(h + 4, static_cast<uint32_t>(value_at));
    Put16(h + 8, qualities[i]);
    if (with_time) {
      Put32(h + 12, times[i].dwLowDateTime);
      Put32(h + 16, times[i].dwHighDateTime);
    }
    const VARIANT& value = values[i];
    uint8_t* v = p + value_at;
    std::memcpy(v, &value, kVariantSize);
    if (CarriesPointer(value.vt)) std::memset(v + 8, 0, 8);
    value_at += kVariantSize;
    if (value.vt == VT_BSTR) {
      const UINT length = SysStringLen(value.bstrVal);
      Put32(p + value_at, 2 * length);
      value_at += 4;
      if (length != 0) std::memcpy(p + value_at, value.bstrVal, 2 * length);
      value_at += 2 * size_t{length} + 2;  // the terminator is already zero
    }
  }
  GlobalUnlock(block);
  return block;
}

HGLOBAL BuildWriteCompleteStream(OPCHANDLE client_group, DWORD transaction,
                                 DWORD count, const OPCHANDLE* handles,
                                 const HRESULT* errors) {
  HRESULT status = S_OK;
  for (DWORD i = 0; i < count; ++i)
    if (FAILED(errors[i])) status = S_FALSE;
  uint8_t* p = nullptr;
  HGLOBAL block = NewBlock(kGroupHeaderSize + uint64_t{kWriteEntrySize} * count,
                           count, client_group, transaction, status, &p);
  if (block == nullptr) return nullptr;
  for (DWORD i = 0; i < count; ++i) {
    Put32(p + kGroupHeaderSize + kWriteEntrySize * i, handles[i]);
    Put32(p + kGroupHeaderSize + kWriteEntrySize * i + 4,
          static_cast<uint32_t>(errors[i]));
  }
  GlobalUnlock(block);
  return block;
}

}  // namespace kavex::server
