// EnumOPCItemAttributes: IEnumOPCItemAttributes over a snapshot of a
// group's items, taken when the client asked for the enumerator.
#ifndef KAVEX_SERVER_OBJECTS_ENUM_ITEM_ATTRIBUTES_H_
#define KAVEX_SERVER_OBJECTS_ENUM_ITEM_ATTRIBUTES_H_

#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/enumerators.h"
#include "platform/opc/opc_da.h"

inline constexpr CLSID CLSID_EnumOPCItemAttributes =
    kavex::com::GuidLiteral("{D10A688D-FC94-4A70-A0B5-BF1D66B2F43C}");

namespace kavex::server {

// What the enumerator hands out of one item (no access path, no blob, no
// engineering units).
struct ItemAttributes {
  std::u16string item_id;
  BOOL active = FALSE;
  OPCHANDLE client_handle = 0;
  OPCHANDLE server_handle = 0;
  DWORD access_rights = 0;
  VARTYPE requested_type = VT_EMPTY;
  VARTYPE canonical_type = VT_EMPTY;
};

class CEnumOPCItemAttributes
    : public com::ComObject<CEnumOPCItemAttributes, IEnumOPCItemAttributes> {
 public:
  CEnumOPCItemAttributes() : cursor_(std::vector<ItemAttributes>{}) {}
  explicit CEnumOPCItemAttributes(com::EnumCursor<ItemAttributes> cursor)
      : cursor_(std::move(cursor)) {}

  // An enumerator over `items`, positioned at the first.
  static HRESULT Create(std::vector<ItemAttributes> items,
                        IEnumOPCItemAttributes** out);

  // The next min(celt, remaining) items as one task-allocated array (null
  // when none) with task-allocated strings; S_FALSE when fewer than celt
  // remained. E_INVALIDARG for a null array pointer, or a null count with
  // celt of 2 or more.
  HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
               ULONG* pceltFetched) override;
  // Moves on by celt (at most to the end); S_OK.
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  // A new enumerator over the same items at the same position.
  HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

 private:
  std::mutex mu_;
  com::EnumCursor<ItemAttributes> cursor_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ENUM_ITEM_ATTRIBUTES_H_
