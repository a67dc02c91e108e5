// NDR 2.0 marshalling driven by the interface descriptions
// (platform/com/interface_description.h): no code of its own per method.
//
// The server side decodes a method's [in] parameters from the request's stub
// data into a call frame, invokes the in-process object through the
// description's invoker, and encodes the [out] parameters and the HRESULT
// into the response's stub data. The client side does the reverse with the
// caller's own arguments.
//
// Wire rules (NDR 2.0, little-endian): primitives aligned to their size;
// enums as 16 bits; [ref] pointers at the top level have no referent id;
// embedded pointers (in structures and arrays) have their referent after
// the outermost structure or array holding them, in order, each referent
// followed by its own; conformances before conformant arrays; [string]
// wide strings as conformant varying arrays with the terminator; full
// pointers share referents by id. OLE types in their MS-OAUT wire forms:
// BSTR as FLAGGED_WORD_BLOB, VARIANT as wireVARIANT, SAFEARRAY as
// wireSAFEARRAY; interface pointers as MInterfacePointer, whose OBJREF the
// ObjrefHook turns into objects and back.
//
// Memory as an in-process caller sees it: what the server decodes for [in]
// parameters belongs to the frame and is freed with it; what a method hands
// out through [out] parameters comes from the task allocator (BSTRs from
// SysAllocString, arrays from SafeArrayCreate) and the frame frees it after
// encoding, releasing interface pointers. What the client decodes belongs
// to the caller, to be freed with CoTaskMemFree as after an in-process call.
//
// Everything read from the network is checked: counts against the bytes
// left and against the correlated parameters or fields, offsets and
// lengths against maxima, allocations against a budget, nesting against a
// depth limit. A violation gives NdrStatus::kBadStubData (fault
// RPC_X_BAD_STUB_DATA) and frees whatever was decoded so far.
#ifndef KAVEX_PLATFORM_RPC_NDR_H_
#define KAVEX_PLATFORM_RPC_NDR_H_

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/base/results.h"
#include "platform/base/types.h"
#include "platform/com/interface_description.h"

struct IUnknown;

namespace kavex::rpc {

// Interface pointers on the wire: DCOM marshals objects as OBJREFs.
class ObjrefHook {
 public:
  virtual ~ObjrefHook() = default;
  // An object to hand out (never null): the OBJREF bytes that stand for it.
  // The hook takes the references it needs; the caller keeps its own.
  virtual HRESULT Marshal(IUnknown* object, REFIID iid,
                          std::vector<uint8_t>* objref) = 0;
  // OBJREF bytes received: an interface pointer for `iid` with one
  // reference for the caller.
  virtual HRESULT Unmarshal(std::span<const uint8_t> objref, REFIID iid,
                            IUnknown** object) = 0;
};

enum class NdrStatus {
  kOk,
  kBadStubData,  // malformed or inconsistent data from the network
  kNoMemory,     // beyond the allocation budget, or out of memory
  kUnsupported,  // a type this engine does not marshal (STGMEDIUM, ...)
  kBadValue,     // a value that cannot go on the wire (null [ref], enum range)
};
const char* NdrStatusName(NdrStatus status);
// The fault status a server answers for a failed stub.
uint32_t FaultForNdrStatus(NdrStatus status);

struct NdrLimits {
  size_t max_depth = 24;             // nested pointers, structures, variants
  size_t max_allocation = 64 << 20;  // bytes a decode may allocate
};

// One call on the server side.
class ServerCall {
 public:
  ServerCall(const com::MethodDescription* method, ObjrefHook* hook,
             NdrLimits limits = {});
  ~ServerCall();  // frees [in] data and what [out] parameters still hold
  ServerCall(const ServerCall&) = delete;
  ServerCall& operator=(const ServerCall&) = delete;

  // Decodes the [in] parameters from stub[offset..] (bytes after them are
  // ignored; alignment counts from the start of `stub`, so a header such as
  // ORPCTHIS may come first) and readies the [out] parameters: zeroed, and
  // caller-allocated arrays sized.
  NdrStatus DecodeIn(std::span<const uint8_t> stub, size_t offset = 0);
  // Calls the method on the object (the interface's pointer as void*).
  HRESULT Invoke(void* interface_pointer);
  // Appends the [out] parameters and the result to *stub (alignment
  // counting from its start); frees what they held. On failure *stub is as
  // it was.
  NdrStatus EncodeOut(std::vector<uint8_t>* stub);

  // The frame, as the description's invoker takes it.
  void* const* arguments() const;
  HRESULT result() const { return result_; }
  void set_result(HRESULT result) { result_ = result; }

  struct State;

 private:
  const com::MethodDescription* method_;
  ObjrefHook* hook_;
  NdrLimits limits_;
  std::unique_ptr<State> state_;
  HRESULT result_ = E_UNEXPECTED;
};

// The client side: `arguments` as for the description's invoker (what an
// in-process caller passes, each pointing at the parameter's value). The
// [in] parameters are appended to *stub, aligned from its start.
NdrStatus EncodeRequest(const com::MethodDescription* method,
                        void* const* arguments, ObjrefHook* hook,
                        std::vector<uint8_t>* stub);
// Fills the caller's [out] parameters and *result. On failure nothing
// stays allocated and the [out] pointers the caller gave are left zeroed.
NdrStatus DecodeResponse(const com::MethodDescription* method,
                         void* const* arguments, ObjrefHook* hook,
                         std::span<const uint8_t> stub, size_t offset,
                         HRESULT* result, NdrLimits limits = {});

// The whole server stub of a described method: decodes stub[offset..],
// calls the method on `interface_pointer` (the object's pointer for the
// description's IID), and appends the reply to *out. Returns 0, or the fault
// status to answer (unknown opnum: kFaultOpRangeError; bad data:
// kFaultBadStubData; ...), with *out then as it was.
uint32_t InvokeDescribedMethod(const com::InterfaceDescription& interface,
                               void* interface_pointer, uint16_t opnum,
                               std::span<const uint8_t> stub, size_t offset,
                               ObjrefHook* hook, std::vector<uint8_t>* out);

// Frees what a value of `type` at `memory` owns (not the memory itself):
// task-allocated pointees, strings, BSTRs, variants, interface
// references. Counts come from the frame's correlations.
void FreeOwnedMemory(const com::MethodDescription* method,
                     void* const* arguments, const com::TypeDescription* type,
                     void* memory);

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_NDR_H_
