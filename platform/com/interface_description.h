// Machine-readable descriptions of COM interfaces: for every method, in
// vtable order, its opnum and each parameter's direction and wire type, so a
// network endpoint can encode and decode (NDR) and dispatch any call without
// code of its own per method.
//
// Design: each set of interfaces is written once, in an interface file of
// ours (a small subset of MIDL's syntax: platform/com/com_interfaces.idl,
// platform/opc/opc_da.idl, platform/opc/opc_common.idl). At build time
// platform/com/gen_interfaces.py turns a file into
//   - a header with the C++ declarations (structs deriving from IUnknown with
//     pure virtual methods, structures, enumerations, constants), unless the
//     file says an interface or structure is declared_in a header already;
//   - a table of descriptions of the same interfaces and structures.
// Declarations and descriptions thus come from one text and cannot disagree.
// For the interfaces declared by hand elsewhere, the generated table checks
// at compile time that every described method exists with exactly the
// described C++ parameter types (its invoker calls it through a member
// function pointer of that type) and that every described field has its
// type; tests read those headers and check that every declared method and
// field is described, in order.
//
// A description is the wire (remote) form of a method: where the
// in-process form differs (IEnumXxx::Next may take a null count, IAdviseSink
// returns void, IDataObject::SetData sends a FLAG_STGMEDIUM), the
// description says what travels. Opnums count IUnknown's three methods.
//
// Every description is a constant (no initialisation at run time).
#ifndef KAVEX_PLATFORM_COM_INTERFACE_DESCRIPTION_H_
#define KAVEX_PLATFORM_COM_INTERFACE_DESCRIPTION_H_

#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "platform/base/results.h"
#include "platform/base/types.h"

namespace kavex::com {

enum class TypeKind : uint8_t {
  // Scalars, NDR primitives of the widths in WireSize().
  kByte,
  kWord,
  kShort,
  kDword,
  kLong,
  kUlong,
  kBool,
  kHresult,
  kLcid,
  kVartype,
  kFloat,
  kDouble,
  // An enumeration: 4 bytes in memory, 2 on the wire (NDR enum16).
  kEnum,
  kGuid,      // GUID, IID, CLSID, CATID
  kFiletime,  // two DWORDs
  // A [string] WCHAR pointer: a NUL-terminated UTF-16 conformant varying
  // array behind a pointer with the node's `pointer` attribute.
  kWideString,
  // OLE types with wire forms of their own (MS-OAUT, MS-DCOM): BSTR,
  // VARIANT, CLIPFORMAT, STGMEDIUM (also as ASYNC_STGMEDIUM) and the
  // FLAG_STGMEDIUM that IDataObject::SetData sends.
  kBstr,
  kVariant,
  kClipFormat,
  kStgMedium,
  kFlagStgMedium,
  kStruct,   // `structure` describes the fields
  kPointer,  // to `element`, with the `pointer` attribute
  // Arrays sit behind a pointer (or end a structure); `element` is the
  // element type, `size_is` the element count, `length_is` the count sent.
  kConformantArray,
  kConformantVaryingArray,
  // An interface pointer (marshalled as an OBJREF): of the fixed `iid`, or
  // of the IID that the parameter named by `iid_is` holds.
  kInterface,
};

// Name of the kind for messages ("kConformantArray" -> "conformant array").
const char* TypeKindName(TypeKind kind);
// Bytes and alignment of a fixed-size kind in NDR; 0 for the others.
uint32_t WireSize(TypeKind kind);
uint32_t WireAlignment(TypeKind kind);
// True for the scalar kinds that can count elements (size_is, length_is).
bool IsIntegerKind(TypeKind kind);

enum class PointerAttribute : uint8_t {
  kNone,    // not a pointer
  kRef,     // never null, no referent id on the wire
  kUnique,  // may be null, no aliasing
  kPtr,     // full pointer: may be null, may alias
};

enum class Direction : uint8_t { kIn = 1, kOut = 2, kInOut = 3 };

inline bool IsIn(Direction d) { return (static_cast<int>(d) & 1) != 0; }
inline bool IsOut(Direction d) { return (static_cast<int>(d) & 2) != 0; }

// Where the count of an array (or the IID of an interface) comes from: a
// parameter of the method or a field of the enclosing structure, read
// through its pointer when `dereference` is set, plus `addend`.
struct Correlation {
  enum class Source : uint8_t { kNone, kParameter, kField };
  Source source = Source::kNone;
  uint8_t index = 0;
  bool dereference = false;
  int32_t addend = 0;

  bool IsSet() const { return source != Source::kNone; }
};

struct StructDescription;

struct TypeDescription {
  TypeKind kind;
  // As the interface file spells it: "OPCHANDLE", "OPCITEMDEF", "LPWSTR".
  const char* name;
  PointerAttribute pointer = PointerAttribute::kNone;
  const TypeDescription* element = nullptr;
  Correlation size_is = {};
  Correlation length_is = {};
  Correlation iid_is = {};
  const IID* iid = nullptr;
  const StructDescription* structure = nullptr;
  // The in-process object: sizeof and alignof (pointers 8 bytes); 0 for
  // arrays, whose element gives the stride.
  uint32_t memory_size = 0;
  uint32_t memory_alignment = 0;
};

struct FieldDescription {
  const char* name;
  const TypeDescription* type;
  uint32_t offset;  // offsetof in the C++ structure
  uint32_t size;    // sizeof the member (an ending array has one element)
};

struct StructDescription {
  const char* name;
  std::span<const FieldDescription> fields;
  uint32_t size;
  uint32_t alignment;

  // Index of the field, or -1.
  int FieldIndex(std::string_view field) const;
};

struct ParamDescription {
  const char* name;
  Direction direction;
  const TypeDescription* type;
};

// Calls the method on `interface_pointer` (the pointer QueryInterface gave
// for the interface's IID, as void*). arguments[i] points at a value of the
// i-th parameter's C++ type (at the IID itself for a REFIID). A method that
// returns void in process answers S_OK.
using MethodInvoker = HRESULT (*)(void* interface_pointer,
                                  void* const* arguments);

struct MethodDescription {
  const char* name;
  uint16_t opnum;
  // The result on the wire: HRESULT, or ULONG for AddRef and Release.
  const TypeDescription* result;
  // True when the C++ method returns void (the wire form still answers an
  // HRESULT).
  bool returns_void_in_process = false;
  std::span<const ParamDescription> params = {};
  // Null for AddRef and Release, which are never called across the wire.
  MethodInvoker invoke = nullptr;

  int ParamIndex(std::string_view param) const;
};

struct InterfaceDescription {
  const char* name;
  IID iid;
  const InterfaceDescription* base;  // null for IUnknown
  // The interface's own methods, in vtable order, after the base's.
  std::span<const MethodDescription> methods;

  // Methods including the base's: the opnums are 0 to MethodCount() - 1.
  uint16_t MethodCount() const;
  // The method with this opnum, from this interface or a base; null when
  // there is none.
  const MethodDescription* Method(uint16_t opnum) const;
  // By name, the interface's own methods first, then the bases'.
  const MethodDescription* FindMethod(std::string_view method) const;
};

// The descriptions one interface file yields.
struct DescriptionTable {
  std::span<const InterfaceDescription* const> interfaces;
  std::span<const StructDescription* const> structs;
};

// Null when the table has no such interface or structure.
const InterfaceDescription* FindInterface(const DescriptionTable& table,
                                          REFIID iid);
const InterfaceDescription* FindInterface(const DescriptionTable& table,
                                          std::string_view name);
const StructDescription* FindStruct(const DescriptionTable& table,
                                    std::string_view name);

// What a generated invoker passes for a parameter of C++ type T: the value
// `argument` points at (a reference for reference parameters).
template <class T>
constexpr decltype(auto) InvokeArgument(void* argument) {
  return *static_cast<std::remove_reference_t<T>*>(argument);
}

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_INTERFACE_DESCRIPTION_H_
