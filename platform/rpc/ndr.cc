#include "platform/rpc/ndr.h"

#include <array>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/com/task_memory.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/wire.h"

namespace kavex::rpc {

using com::Correlation;
using com::Direction;
using com::MethodDescription;
using com::ParamDescription;
using com::PointerAttribute;
using com::StructDescription;
using com::TypeDescription;
using com::TypeKind;

const char* NdrStatusName(NdrStatus status) {
  switch (status) {
    case NdrStatus::kOk:
      return "ok";
    case NdrStatus::kBadStubData:
      return "bad stub data";
    case NdrStatus::kNoMemory:
      return "allocation budget exceeded";
    case NdrStatus::kUnsupported:
      return "type not marshalled";
    case NdrStatus::kBadValue:
      return "value cannot be marshalled";
  }
  return "?";
}

uint32_t FaultForNdrStatus(NdrStatus status) {
  switch (status) {
    case NdrStatus::kOk:
      return 0;
    case NdrStatus::kBadStubData:
      return kFaultBadStubData;
    case NdrStatus::kNoMemory:
      return kFaultRemoteNoMemory;
    case NdrStatus::kUnsupported:
      return kFaultUnsupportedType;
    case NdrStatus::kBadValue:
      return 0x000006F4;  // RPC_X_NULL_REF_POINTER
  }
  return kFaultBadStubData;
}

namespace {

// SAFEARRAY element kinds on the wire.
constexpr uint32_t kSfI1 = 16, kSfI2 = 2, kSfI4 = 3, kSfI8 = 20, kSfBstr = 8,
                   kSfVariant = 12;
constexpr uint32_t kMaxSafeArrayDims = 16;
constexpr uint32_t kNullBstrBytes = 0xFFFFFFFF;

bool IsRefParam(const TypeDescription* t) {
  return t->kind == TypeKind::kPointer && t->name &&
         std::strncmp(t->name, "REF", 3) == 0;
}

bool IsArray(const TypeDescription* t) {
  return t->kind == TypeKind::kConformantArray ||
         t->kind == TypeKind::kConformantVaryingArray;
}

// Scalars whose memory and wire forms are the same bytes, so arrays of
// them copy in one go.
bool IsFlat(const TypeDescription* t) {
  switch (t->kind) {
    case TypeKind::kByte:
    case TypeKind::kWord:
    case TypeKind::kShort:
    case TypeKind::kDword:
    case TypeKind::kLong:
    case TypeKind::kUlong:
    case TypeKind::kBool:
    case TypeKind::kHresult:
    case TypeKind::kLcid:
    case TypeKind::kVartype:
    case TypeKind::kFloat:
    case TypeKind::kDouble:
    case TypeKind::kGuid:
    case TypeKind::kFiletime:
      return true;
    default:
      return false;
  }
}

uint32_t WireAlign(const TypeDescription* t) {
  switch (t->kind) {
    case TypeKind::kEnum:
      return 2;
    case TypeKind::kStruct: {
      uint32_t a = 1;
      for (const auto& f : t->structure->fields) {
        a = std::max(a, WireAlign(f.type));
      }
      return a;
    }
    case TypeKind::kConformantArray:
    case TypeKind::kConformantVaryingArray:
      return std::max<uint32_t>(4, WireAlign(t->element));
    default: {
      uint32_t a = com::WireAlignment(t->kind);
      return a ? a : 4;  // pointers and the OLE wire forms
    }
  }
}

size_t MinWireSize(const TypeDescription* t) {
  switch (t->kind) {
    case TypeKind::kEnum:
      return 2;
    case TypeKind::kStruct: {
      size_t n = 0;
      for (const auto& f : t->structure->fields) n += MinWireSize(f.type);
      return n ? n : 1;
    }
    default: {
      uint32_t s = com::WireSize(t->kind);
      return s ? s : 4;
    }
  }
}

struct Scope {
  const StructDescription* structure = nullptr;
  const uint8_t* base = nullptr;
};

struct Frame {
  const MethodDescription* method;
  void* const* args;
};

bool ReadInteger(TypeKind kind, const void* p, int64_t* v) {
  switch (kind) {
    case TypeKind::kByte:
      *v = *static_cast<const uint8_t*>(p);
      return true;
    case TypeKind::kWord:
      *v = *static_cast<const uint16_t*>(p);
      return true;
    case TypeKind::kShort:
      *v = *static_cast<const int16_t*>(p);
      return true;
    case TypeKind::kDword:
    case TypeKind::kUlong:
      *v = *static_cast<const uint32_t*>(p);
      return true;
    case TypeKind::kLong:
      *v = *static_cast<const int32_t*>(p);
      return true;
    default:
      return false;
  }
}

// The value of a size_is / length_is / iid_is source: its type and where it
// lives.
bool Locate(const Correlation& c, const Frame& f, const Scope& s,
            const TypeDescription** type, const void** memory) {
  if (c.source == Correlation::Source::kParameter) {
    if (c.index >= f.method->params.size()) return false;
    *type = f.method->params[c.index].type;
    *memory = f.args[c.index];
    if (IsRefParam(*type)) {
      // A reference parameter's argument is the referent itself.
      *type = (*type)->element;
      return true;
    }
  } else if (c.source == Correlation::Source::kField) {
    if (!s.structure || c.index >= s.structure->fields.size()) return false;
    *type = s.structure->fields[c.index].type;
    *memory = s.base + s.structure->fields[c.index].offset;
  } else {
    return false;
  }
  if (c.dereference) {
    if ((*type)->kind != TypeKind::kPointer) return false;
    *memory = *static_cast<void* const*>(*memory);
    if (!*memory) return false;
    *type = (*type)->element;
  }
  return true;
}

bool Evaluate(const Correlation& c, const Frame& f, const Scope& s,
              int64_t* value) {
  const TypeDescription* type = nullptr;
  const void* memory = nullptr;
  if (!Locate(c, f, s, &type, &memory)) return false;
  int64_t v = 0;
  if (!ReadInteger(type->kind, memory, &v)) return false;
  *value = v + c.addend;
  return *value >= 0;
}

bool EvaluateIid(const TypeDescription* t, const Frame& f, const Scope& s,
                 IID* iid) {
  if (t->iid) {
    *iid = *t->iid;
    return true;
  }
  if (!t->iid_is.IsSet()) {
    *iid = IID_IUnknown;
    return true;
  }
  const TypeDescription* type = nullptr;
  const void* memory = nullptr;
  if (!Locate(t->iid_is, f, s, &type, &memory)) return false;
  if (type->kind == TypeKind::kPointer) {
    memory = *static_cast<void* const*>(memory);
    type = type->element;
    if (!memory) return false;
  }
  if (type->kind != TypeKind::kGuid) return false;
  std::memcpy(iid, memory, sizeof(IID));
  return true;
}

uint32_t SafeArrayKind(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return kSfI1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return kSfI2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return kSfI4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
      return kSfI8;
    case VT_BSTR:
      return kSfBstr;
    case VT_VARIANT:
      return kSfVariant;
    default:
      return 0;
  }
}

// Bytes of the union arm of a scalar VARIANT type; 0 for the others.
uint32_t ScalarVariantSize(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_VARIANT:
      return 0;
    default:
      return com::ElementSize(vt);
  }
}

// A referent whose representation comes later (embedded pointers) or now.
struct Deferred {
  enum What : uint8_t {
    kPointee,       // `type` is the pointer's element
    kString,        // [string] wide characters
    kBstr,          // FLAGGED_WORD_BLOB, for the BSTR at `target`
    kVariant,       // wireVARIANT, for the VARIANT at `target`
    kInterface,     // MInterfacePointer
    kSafeArray,     // the inner SAFEARRAY pointer and its wireSAFEARRAY
    kBstrElements,  // SAFEARR_BSTR's array
    kVariantElements,
    kScalarElements,
    kByref,  // what a VT_BYREF variant points at
  };
  What what;
  const TypeDescription* type = nullptr;
  void* target = nullptr;  // encoding: the value; decoding: where it goes
  Scope scope;
  IID iid = {};
  uint32_t count = 0;
  uint16_t vt = 0;
  bool in_array = false;  // decoding: owned by a SAFEARRAY
};

// ---------------------------------------------------------------------------
// Encoding

class Encoder {
 public:
  Encoder(std::vector<uint8_t>* out, Frame frame, ObjrefHook* hook)
      : w_(out, 0), frame_(frame), hook_(hook) {}

  NdrStatus status() const { return status_; }

  void Parameter(const ParamDescription& p, void* argument) {
    if (IsRefParam(p.type)) {
      void* referent = argument;
      Root(p.type, &referent);
    } else {
      Root(p.type, argument);
    }
  }

  void Result(HRESULT hr) {
    w_.Align(4);
    w_.U32(static_cast<uint32_t>(hr));
  }

 private:
  bool Fail(NdrStatus s) {
    if (status_ == NdrStatus::kOk) status_ = s;
    return false;
  }

  void Root(const TypeDescription* t, void* memory) {
    std::vector<Deferred> list;
    std::vector<Deferred>* saved = deferred_;
    deferred_ = &list;
    Value(t, memory, Scope{}, false);
    deferred_ = saved;
    for (Deferred& d : list) Pointee(d);
  }

  uint32_t NewReferent() { return 0x00020000 + 4 * referents_++; }

  // A pointer: its referent id (unless a top-level [ref]) and its referent,
  // now or after the enclosing construct.
  void Pointer(PointerAttribute attribute, const void* address, bool embedded,
               Deferred d) {
    if (status_ != NdrStatus::kOk) return;
    if (attribute == PointerAttribute::kRef ||
        attribute == PointerAttribute::kNone) {
      if (!address) {
        Fail(NdrStatus::kBadValue);
        return;
      }
      if (embedded) {
        w_.Align(4);
        w_.U32(NewReferent());
      }
    } else {
      w_.Align(4);
      if (!address) {
        w_.U32(0);
        return;
      }
      if (attribute == PointerAttribute::kPtr) {
        auto [it, fresh] = full_.try_emplace(address, 0);
        if (!fresh) {
          w_.U32(it->second);
          return;
        }
        it->second = NewReferent();
        w_.U32(it->second);
      } else {
        w_.U32(NewReferent());
      }
    }
    if (embedded) {
      deferred_->push_back(d);
    } else {
      Pointee(d);
    }
  }

  void Value(const TypeDescription* t, void* memory, const Scope& scope,
             bool embedded) {
    if (status_ != NdrStatus::kOk) return;
    if (IsFlat(t)) {
      uint32_t size = com::WireSize(t->kind);
      w_.Align(com::WireAlignment(t->kind));
      w_.Raw(memory, size);
      return;
    }
    switch (t->kind) {
      case TypeKind::kEnum: {
        int32_t v = 0;
        std::memcpy(&v, memory, 4);
        if (v < 0 || v > 0x7FFF) {
          Fail(NdrStatus::kBadValue);
          return;
        }
        w_.Align(2);
        w_.U16(static_cast<uint16_t>(v));
        return;
      }
      case TypeKind::kStruct:
        Struct(t, static_cast<uint8_t*>(memory));
        return;
      case TypeKind::kPointer: {
        void* p = *static_cast<void**>(memory);
        Deferred d{Deferred::kPointee, t->element, p, scope};
        Pointer(t->pointer, p, embedded, d);
        return;
      }
      case TypeKind::kWideString: {
        void* p = *static_cast<void**>(memory);
        Pointer(t->pointer, p, embedded, {Deferred::kString, t, p, scope});
        return;
      }
      case TypeKind::kBstr:
        // Even a null BSTR travels as a blob (of length 0xFFFFFFFF).
        Pointer(PointerAttribute::kUnique, memory, embedded,
                {Deferred::kBstr, t, memory, scope});
        return;
      case TypeKind::kVariant:
        Pointer(PointerAttribute::kUnique, memory, embedded,
                {Deferred::kVariant, t, memory, scope});
        return;
      case TypeKind::kInterface: {
        void* p = *static_cast<void**>(memory);
        Deferred d{Deferred::kInterface, t, p, scope};
        if (!EvaluateIid(t, frame_, scope, &d.iid)) {
          Fail(NdrStatus::kBadValue);
          return;
        }
        Pointer(t->pointer == PointerAttribute::kNone
                    ? PointerAttribute::kUnique
                    : t->pointer,
                p, embedded, d);
        return;
      }
      default:
        Fail(NdrStatus::kUnsupported);
        return;
    }
  }

  void Struct(const TypeDescription* t, uint8_t* memory) {
    const StructDescription* s = t->structure;
    if (!s->fields.empty() && IsArray(s->fields.back().type)) {
      Fail(NdrStatus::kUnsupported);  // conformant structures
      return;
    }
    w_.Align(WireAlign(t));
    Scope scope{s, memory};
    for (const auto& f : s->fields) {
      Value(f.type, memory + f.offset, scope, true);
    }
  }

  void Array(const TypeDescription* t, uint8_t* memory, const Scope& scope) {
    int64_t count = 0, length = 0;
    if (!Evaluate(t->size_is, frame_, scope, &count)) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    length = count;
    bool varying = t->kind == TypeKind::kConformantVaryingArray;
    if (varying && t->length_is.IsSet() &&
        !Evaluate(t->length_is, frame_, scope, &length)) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    if (length > count || count > 0xFFFFFFFFll) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    w_.Align(4);
    w_.U32(static_cast<uint32_t>(count));
    if (varying) {
      w_.U32(0);
      w_.U32(static_cast<uint32_t>(length));
    }
    const TypeDescription* e = t->element;
    size_t n = static_cast<size_t>(varying ? length : count);
    if (n == 0) return;
    if (!memory) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    if (IsFlat(e) && com::WireSize(e->kind) == e->memory_size) {
      w_.Align(com::WireAlignment(e->kind));
      w_.Raw(memory, n * e->memory_size);
      return;
    }
    for (size_t i = 0; i < n && status_ == NdrStatus::kOk; ++i) {
      Value(e, memory + i * e->memory_size, scope, true);
    }
  }

  void Pointee(const Deferred& d) {
    if (status_ != NdrStatus::kOk) return;
    if (++depth_ > kMaxEncodeDepth) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    std::vector<Deferred> list;
    std::vector<Deferred>* saved = deferred_;
    deferred_ = &list;
    size_t variant_start = 0;
    switch (d.what) {
      case Deferred::kPointee:
        if (IsArray(d.type)) {
          Array(d.type, static_cast<uint8_t*>(d.target), d.scope);
        } else {
          Value(d.type, d.target, d.scope, false);
        }
        break;
      case Deferred::kString:
        WideString(static_cast<const char16_t*>(d.target));
        break;
      case Deferred::kBstr:
        BstrBlob(*static_cast<BSTR*>(d.target));
        break;
      case Deferred::kVariant:
        w_.Align(8);
        variant_start = w_.position();
        WireVariant(static_cast<const VARIANT*>(d.target));
        break;
      case Deferred::kInterface:
        InterfaceBlob(static_cast<IUnknown*>(d.target), d.iid);
        break;
      case Deferred::kSafeArray:
        WireSafeArray(static_cast<SAFEARRAY*>(d.target), d.vt);
        break;
      case Deferred::kBstrElements: {
        w_.Align(4);
        w_.U32(d.count);
        BSTR* elements = static_cast<BSTR*>(d.target);
        for (uint32_t i = 0; i < d.count; ++i) {
          Pointer(PointerAttribute::kUnique, &elements[i], true,
                  {Deferred::kBstr, nullptr, &elements[i], {}});
        }
        break;
      }
      case Deferred::kVariantElements: {
        w_.Align(4);
        w_.U32(d.count);
        VARIANT* elements = static_cast<VARIANT*>(d.target);
        for (uint32_t i = 0; i < d.count; ++i) {
          Pointer(PointerAttribute::kUnique, &elements[i], true,
                  {Deferred::kVariant, nullptr, &elements[i], {}});
        }
        break;
      }
      case Deferred::kScalarElements: {
        uint32_t size = ScalarVariantSize(d.vt);
        w_.Align(4);
        w_.U32(d.count);
        w_.Align(size);
        w_.Raw(d.target, static_cast<size_t>(d.count) * size);
        break;
      }
      case Deferred::kByref:
        ByrefReferent(d.target, d.vt);
        break;
    }
    deferred_ = saved;
    for (Deferred& x : list) Pointee(x);
    if (d.what == Deferred::kVariant && status_ == NdrStatus::kOk) {
      // clSize: the whole representation, referents included, in 8 bytes.
      w_.PatchU32(variant_start, static_cast<uint32_t>(
                                     (w_.position() - variant_start + 7) / 8));
    }
    --depth_;
  }

  void WideString(const char16_t* s) {
    size_t n = std::char_traits<char16_t>::length(s) + 1;
    w_.Align(4);
    w_.U32(static_cast<uint32_t>(n));
    w_.U32(0);
    w_.U32(static_cast<uint32_t>(n));
    w_.Raw(s, n * 2);
  }

  void BstrBlob(BSTR b) {
    w_.Align(4);
    if (!b) {
      w_.U32(0);
      w_.U32(kNullBstrBytes);
      w_.U32(0);
      return;
    }
    uint32_t bytes = SysStringByteLen(b);
    uint32_t chars = (bytes + 1) / 2;
    w_.U32(chars);
    w_.U32(bytes);
    w_.U32(chars);
    w_.Raw(b, static_cast<size_t>(chars) * 2);
  }

  void InterfaceBlob(IUnknown* object, const IID& iid) {
    if (!hook_) {
      Fail(NdrStatus::kUnsupported);
      return;
    }
    std::vector<uint8_t> objref;
    if (FAILED(hook_->Marshal(object, iid, &objref))) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    w_.Align(4);
    w_.U32(static_cast<uint32_t>(objref.size()));
    w_.U32(static_cast<uint32_t>(objref.size()));
    w_.Raw(objref.data(), objref.size());
  }

  void WireVariant(const VARIANT* v) {
    w_.U32(0);  // clSize, patched once the referents are written
    w_.U32(0);  // rpcReserved
    w_.U16(v->vt);
    w_.U16(0);
    w_.U16(0);
    w_.U16(0);
    w_.U32(v->vt);  // the union's discriminant
    VARTYPE base = v->vt & VT_TYPEMASK;
    if (v->vt & VT_ARRAY) {
      if (v->vt & VT_BYREF) {
        Fail(NdrStatus::kUnsupported);
        return;
      }
      Pointer(PointerAttribute::kUnique, v->parray, true,
              {Deferred::kSafeArray, nullptr, v->parray, {}, {}, 0, base});
      return;
    }
    if (v->vt & VT_BYREF) {
      if (!(ScalarVariantSize(base) || base == VT_BSTR || base == VT_VARIANT)) {
        Fail(NdrStatus::kUnsupported);
        return;
      }
      Pointer(PointerAttribute::kUnique, v->byref, true,
              {Deferred::kByref, nullptr, v->byref, {}, {}, 0, base});
      return;
    }
    if (uint32_t size = ScalarVariantSize(v->vt)) {
      w_.Align(size);
      w_.Raw(&v->llVal, size);
      return;
    }
    switch (v->vt) {
      case VT_EMPTY:
      case VT_NULL:
        return;
      case VT_BSTR:
        Pointer(PointerAttribute::kUnique, &v->bstrVal, true,
                {Deferred::kBstr, nullptr, const_cast<BSTR*>(&v->bstrVal), {}});
        return;
      case VT_UNKNOWN:
        Pointer(PointerAttribute::kUnique, v->punkVal, true,
                {Deferred::kInterface, nullptr, v->punkVal, {}, IID_IUnknown});
        return;
      default:
        Fail(NdrStatus::kUnsupported);
    }
  }

  void ByrefReferent(void* p, VARTYPE vt) {
    if (uint32_t size = ScalarVariantSize(vt)) {
      w_.Align(size);
      w_.Raw(p, size);
    } else if (vt == VT_BSTR) {
      // BSTR*: the wireBSTR pointer, its blob right after.
      Pointer(PointerAttribute::kUnique, p, false,
              {Deferred::kBstr, nullptr, p, {}});
    } else {
      Pointer(PointerAttribute::kUnique, p, false,
              {Deferred::kVariant, nullptr, p, {}});
    }
  }

  void WireSafeArray(SAFEARRAY* psa, VARTYPE vt) {
    // The SAFEARRAY itself is a second unique pointer, its structure next.
    w_.Align(4);
    w_.U32(NewReferent());
    uint32_t kind = SafeArrayKind(vt);
    if (!kind || psa->cDims == 0 || psa->cbElements != com::ElementSize(vt)) {
      Fail(NdrStatus::kUnsupported);
      return;
    }
    uint64_t total = 1;
    for (USHORT i = 0; i < psa->cDims; ++i)
      total *= psa->rgsabound[i].cElements;
    if (total > 0xFFFFFFFFu) {
      Fail(NdrStatus::kBadValue);
      return;
    }
    uint32_t count = static_cast<uint32_t>(total);
    w_.U32(psa->cDims);  // conformance of rgsabound
    w_.U16(psa->cDims);
    w_.U16(psa->fFeatures &
           (FADF_HAVEVARTYPE | FADF_BSTR | FADF_VARIANT | FADF_UNKNOWN |
            FADF_DISPATCH | FADF_HAVEIID | FADF_RECORD));
    w_.U32(psa->cbElements);
    w_.U32(0);  // cLocks
    w_.U32(kind);
    w_.U32(kind);  // the union's discriminant
    w_.U32(count);
    Deferred::What what = kind == kSfBstr      ? Deferred::kBstrElements
                          : kind == kSfVariant ? Deferred::kVariantElements
                                               : Deferred::kScalarElements;
    Pointer(PointerAttribute::kRef, psa->pvData ? psa->pvData : psa, true,
            {what, nullptr, psa->pvData, {}, {}, count, vt});
    for (USHORT i = 0; i < psa->cDims; ++i) {
      w_.U32(psa->rgsabound[i].cElements);
      w_.U32(static_cast<uint32_t>(psa->rgsabound[i].lLbound));
    }
  }

  static constexpr int kMaxEncodeDepth = 64;
  WireWriter w_;
  Frame frame_;
  ObjrefHook* hook_;
  NdrStatus status_ = NdrStatus::kOk;
  std::vector<Deferred>* deferred_ = nullptr;
  std::unordered_map<const void*, uint32_t> full_;
  uint32_t referents_ = 0;
  int depth_ = 0;
};

// ---------------------------------------------------------------------------
// Decoding

struct Owned {
  enum Kind : uint8_t { kTaskMemory, kBstr, kSafeArray, kUnknown } kind;
  void* p;
};

void FreeOwned(std::vector<Owned>* owned) {
  for (auto it = owned->rbegin(); it != owned->rend(); ++it) {
    switch (it->kind) {
      case Owned::kTaskMemory:
        CoTaskMemFree(it->p);
        break;
      case Owned::kBstr:
        SysFreeString(static_cast<BSTR>(it->p));
        break;
      case Owned::kSafeArray:
        SafeArrayDestroy(static_cast<SAFEARRAY*>(it->p));
        break;
      case Owned::kUnknown:
        static_cast<IUnknown*>(it->p)->Release();
        break;
    }
  }
  owned->clear();
}

class Decoder {
 public:
  Decoder(std::span<const uint8_t> stub, size_t offset, Frame frame,
          ObjrefHook* hook, const NdrLimits& limits, std::vector<Owned>* owned)
      : r_(stub), frame_(frame), hook_(hook), limits_(limits), owned_(owned) {
    if (!r_.Skip(offset)) status_ = NdrStatus::kBadStubData;
  }

  NdrStatus status() const { return status_; }

  // A top-level [in] parameter into the frame's storage.
  void Parameter(size_t index, void* storage) {
    current_param_ = index;
    Root(frame_.method->params[index].type, storage, nullptr);
  }

  // A top-level [out] parameter into the caller's memory (`target`, where
  // the caller's pointer points).
  void OutParameter(size_t index, void* target) {
    current_param_ = index;
    const TypeDescription* t = frame_.method->params[index].type;
    if (t->kind != TypeKind::kPointer) {
      Fail(NdrStatus::kUnsupported);
      return;
    }
    Root(t->element, nullptr, target);
  }

  bool Result(HRESULT* hr) {
    uint32_t v = 0;
    if (!r_.Align(4) || !r_.U32(&v)) return Fail(NdrStatus::kBadStubData);
    *hr = static_cast<HRESULT>(v);
    return true;
  }

  // The size_is and length_is checks that named a later parameter.
  bool FinishChecks() {
    current_param_ = frame_.method->params.size();
    for (const Check& c : checks_) {
      int64_t v = 0;
      if (!Evaluate(c.correlation, frame_, Scope{}, &v) ||
          static_cast<uint64_t>(v) != c.value) {
        return Fail(NdrStatus::kBadStubData);
      }
    }
    return status_ == NdrStatus::kOk;
  }

 private:
  struct Check {
    Correlation correlation;
    uint64_t value;
  };

  bool Fail(NdrStatus s) {
    if (status_ == NdrStatus::kOk) status_ = s;
    r_.Fail();
    return false;
  }
  bool Ok() const { return status_ == NdrStatus::kOk; }

  void Own(Owned::Kind kind, void* p) {
    if (array_owned_ == 0) owned_->push_back({kind, p});
  }

  void* Allocate(size_t bytes) {
    if (bytes > limits_.max_allocation - allocated_) {
      Fail(NdrStatus::kNoMemory);
      return nullptr;
    }
    allocated_ += bytes;
    void* p = CoTaskMemAlloc(bytes ? bytes : 1);
    if (!p) {
      Fail(NdrStatus::kNoMemory);
      return nullptr;
    }
    std::memset(p, 0, bytes ? bytes : 1);
    owned_->push_back({Owned::kTaskMemory, p});
    return p;
  }

  // `storage` receives the value (top-level [in]); or, for the pointee of a
  // top-level [out] reference, `existing` is where it goes.
  void Root(const TypeDescription* t, void* storage, void* existing) {
    std::vector<Deferred> list;
    std::vector<Deferred>* saved = deferred_;
    deferred_ = &list;
    if (existing) {
      if (IsArray(t)) {
        Array(t, nullptr, existing, Scope{});
      } else {
        Value(t, existing, Scope{}, false);
      }
    } else {
      Value(t, storage, Scope{}, false);
    }
    deferred_ = saved;
    for (Deferred& d : list) Pointee(d);
  }

  // Reads a referent id; false (and *present false) for null. Top-level
  // [ref] pointers have none.
  bool Pointer(PointerAttribute attribute, bool embedded, void** slot,
               bool* present, uint32_t* id) {
    *present = false;
    *id = 0;
    if ((attribute == PointerAttribute::kRef ||
         attribute == PointerAttribute::kNone) &&
        !embedded) {
      *present = true;
      return true;
    }
    if (!r_.Align(4) || !r_.U32(id)) return Fail(NdrStatus::kBadStubData);
    if (*id == 0) {
      if (attribute == PointerAttribute::kRef) {
        return Fail(NdrStatus::kBadStubData);
      }
      if (slot) *slot = nullptr;
      return true;
    }
    if (attribute == PointerAttribute::kPtr && slot) {
      // A full pointer seen before aliases the referent decoded then.
      auto it = full_.find(*id);
      if (it != full_.end()) {
        *slot = it->second;
        return true;
      }
    }
    *present = true;
    return true;
  }

  void Later(const Deferred& d, bool embedded) {
    if (embedded) {
      deferred_->push_back(d);
      deferred_->back().in_array = array_owned_ > 0;
    } else {
      Deferred copy = d;
      copy.in_array = array_owned_ > 0;
      Pointee(copy);
    }
  }

  void Value(const TypeDescription* t, void* memory, const Scope& scope,
             bool embedded) {
    if (!Ok()) return;
    if (IsFlat(t)) {
      if (!r_.Align(com::WireAlignment(t->kind)) ||
          !r_.Copy(memory, com::WireSize(t->kind))) {
        Fail(NdrStatus::kBadStubData);
      }
      return;
    }
    switch (t->kind) {
      case TypeKind::kEnum: {
        uint16_t v = 0;
        if (!r_.Align(2) || !r_.U16(&v)) {
          Fail(NdrStatus::kBadStubData);
          return;
        }
        int32_t wide = v;
        std::memcpy(memory, &wide, 4);
        return;
      }
      case TypeKind::kStruct:
        Struct(t, static_cast<uint8_t*>(memory));
        return;
      case TypeKind::kPointer:
      case TypeKind::kWideString:
      case TypeKind::kInterface: {
        void** slot = static_cast<void**>(memory);
        bool present = false;
        uint32_t id = 0;
        PointerAttribute attribute = t->pointer;
        if (t->kind == TypeKind::kInterface &&
            attribute == PointerAttribute::kNone) {
          attribute = PointerAttribute::kUnique;
        }
        if (!Pointer(attribute, embedded, slot, &present, &id) || !present) {
          return;
        }
        Deferred d{t->kind == TypeKind::kPointer      ? Deferred::kPointee
                   : t->kind == TypeKind::kWideString ? Deferred::kString
                                                      : Deferred::kInterface,
                   t->kind == TypeKind::kPointer ? t->element : t, slot, scope};
        d.count = id;
        if (t->kind == TypeKind::kInterface &&
            !EvaluateIid(t, frame_, scope, &d.iid)) {
          Fail(NdrStatus::kBadStubData);
          return;
        }
        if (attribute == PointerAttribute::kPtr) d.vt = 1;  // remember it
        Later(d, embedded);
        return;
      }
      case TypeKind::kBstr: {
        bool present = false;
        uint32_t id = 0;
        BSTR* slot = static_cast<BSTR*>(memory);
        if (!Pointer(PointerAttribute::kUnique, embedded, nullptr, &present,
                     &id)) {
          return;
        }
        *slot = nullptr;
        if (present) Later({Deferred::kBstr, t, slot, scope}, embedded);
        return;
      }
      case TypeKind::kVariant: {
        bool present = false;
        uint32_t id = 0;
        VARIANT* v = static_cast<VARIANT*>(memory);
        v->vt = VT_EMPTY;
        if (!Pointer(PointerAttribute::kUnique, embedded, nullptr, &present,
                     &id)) {
          return;
        }
        if (present) Later({Deferred::kVariant, t, v, scope}, embedded);
        return;
      }
      default:
        Fail(NdrStatus::kUnsupported);
    }
  }

  void Struct(const TypeDescription* t, uint8_t* memory) {
    const StructDescription* s = t->structure;
    if (!s->fields.empty() && IsArray(s->fields.back().type)) {
      Fail(NdrStatus::kUnsupported);  // conformant structures
      return;
    }
    if (++depth_ > limits_.max_depth) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (!r_.Align(WireAlign(t))) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    Scope scope{s, memory};
    for (const auto& f : s->fields) {
      Value(f.type, memory + f.offset, scope, true);
      if (!Ok()) break;
    }
    --depth_;
  }

  // Checks a count read from the wire against its correlation, now or once
  // the parameter it names has been decoded.
  bool Correlate(const Correlation& c, const Scope& scope, uint64_t value) {
    if (!c.IsSet()) return true;
    if (c.source == Correlation::Source::kParameter &&
        c.index >= current_param_) {
      checks_.push_back({c, value});
      return true;
    }
    int64_t expected = 0;
    if (!Evaluate(c, frame_, scope, &expected) ||
        static_cast<uint64_t>(expected) != value) {
      return Fail(NdrStatus::kBadStubData);
    }
    return true;
  }

  // A conformant (varying) array: into `existing` memory the caller
  // allocated, or into a new block stored at *slot.
  void Array(const TypeDescription* t, void** slot, void* existing,
             const Scope& scope) {
    uint32_t max = 0, offset = 0, actual = 0;
    bool varying = t->kind == TypeKind::kConformantVaryingArray;
    if (!r_.Align(4) || !r_.U32(&max)) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    actual = max;
    if (varying && (!r_.U32(&offset) || !r_.U32(&actual))) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (offset != 0 || actual > max) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (!Correlate(t->size_is, scope, max) ||
        (varying && !Correlate(t->length_is, scope, actual))) {
      return;
    }
    const TypeDescription* e = t->element;
    size_t stride = e->memory_size;
    // More elements than bytes left cannot be genuine.
    if (actual > r_.remaining() / MinWireSize(e)) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    uint8_t* memory = static_cast<uint8_t*>(existing);
    if (!memory) {
      if (stride != 0 && max > limits_.max_allocation / stride) {
        Fail(NdrStatus::kNoMemory);
        return;
      }
      memory = static_cast<uint8_t*>(Allocate(size_t{max} * stride));
      if (!memory) return;
      *slot = memory;
    }
    if (actual == 0) return;
    if (IsFlat(e) && com::WireSize(e->kind) == stride) {
      if (!r_.Align(com::WireAlignment(e->kind)) ||
          !r_.Copy(memory, size_t{actual} * stride)) {
        Fail(NdrStatus::kBadStubData);
      }
      return;
    }
    for (uint32_t i = 0; i < actual && Ok(); ++i) {
      Value(e, memory + i * stride, scope, true);
    }
  }

  void Pointee(const Deferred& d) {
    if (!Ok()) return;
    if (++depth_ > limits_.max_depth) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (d.in_array) ++array_owned_;
    std::vector<Deferred> list;
    std::vector<Deferred>* saved = deferred_;
    deferred_ = &list;
    switch (d.what) {
      case Deferred::kPointee: {
        void** slot = static_cast<void**>(d.target);
        if (IsArray(d.type)) {
          Array(d.type, slot, nullptr, d.scope);
        } else {
          void* p = Allocate(std::max<uint32_t>(d.type->memory_size, 8));
          if (p) {
            *slot = p;
            Value(d.type, p, d.scope, false);
          }
        }
        if (d.vt == 1 && Ok()) full_[d.count] = *slot;
        break;
      }
      case Deferred::kString:
        WideString(static_cast<char16_t**>(d.target));
        if (d.vt == 1 && Ok()) full_[d.count] = *static_cast<void**>(d.target);
        break;
      case Deferred::kBstr:
        BstrBlob(static_cast<BSTR*>(d.target));
        break;
      case Deferred::kVariant:
        WireVariant(static_cast<VARIANT*>(d.target));
        break;
      case Deferred::kInterface:
        InterfaceBlob(static_cast<IUnknown**>(d.target), d.iid);
        break;
      case Deferred::kSafeArray:
        WireSafeArray(static_cast<VARIANT*>(d.target), d.vt);
        break;
      case Deferred::kBstrElements:
      case Deferred::kVariantElements:
      case Deferred::kScalarElements:
        SafeArrayElements(d);
        break;
      case Deferred::kByref:
        ByrefReferent(static_cast<VARIANT*>(d.target), d.vt);
        break;
    }
    deferred_ = saved;
    for (Deferred& x : list) Pointee(x);
    if (d.in_array) --array_owned_;
    --depth_;
  }

  void WideString(char16_t** slot) {
    uint32_t max = 0, offset = 0, actual = 0;
    if (!r_.Align(4) || !r_.U32(&max) || !r_.U32(&offset) || !r_.U32(&actual) ||
        offset != 0 || actual > max || actual > r_.remaining() / 2) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    auto* s = static_cast<char16_t*>(Allocate((size_t{actual} + 1) * 2));
    if (!s) return;
    r_.Copy(s, size_t{actual} * 2);
    s[actual] = 0;  // terminated even when the sender left it out
    *slot = s;
  }

  void BstrBlob(BSTR* slot) {
    uint32_t max = 0, bytes = 0, chars = 0;
    if (!r_.Align(4) || !r_.U32(&max) || !r_.U32(&bytes) || !r_.U32(&chars) ||
        max != chars) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (bytes == kNullBstrBytes) {
      if (chars != 0) Fail(NdrStatus::kBadStubData);
      *slot = nullptr;
      return;
    }
    if (bytes > size_t{chars} * 2 || size_t{chars} * 2 - bytes > 1 ||
        chars > r_.remaining() / 2) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (bytes > limits_.max_allocation - allocated_) {
      Fail(NdrStatus::kNoMemory);
      return;
    }
    allocated_ += bytes;
    std::span<const uint8_t> data;
    r_.Bytes(size_t{chars} * 2, &data);
    BSTR b = SysAllocStringByteLen(reinterpret_cast<const char*>(data.data()),
                                   bytes);
    if (!b) {
      Fail(NdrStatus::kNoMemory);
      return;
    }
    Own(Owned::kBstr, b);
    *slot = b;
  }

  void InterfaceBlob(IUnknown** slot, const IID& iid) {
    uint32_t max = 0, size = 0;
    std::span<const uint8_t> objref;
    if (!r_.Align(4) || !r_.U32(&max) || !r_.U32(&size) || max != size ||
        !r_.Bytes(size, &objref)) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (!hook_) {
      Fail(NdrStatus::kUnsupported);
      return;
    }
    IUnknown* object = nullptr;
    if (FAILED(hook_->Unmarshal(objref, iid, &object)) || !object) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    Own(Owned::kUnknown, object);
    *slot = object;
  }

  void WireVariant(VARIANT* v) {
    uint32_t size = 0, reserved = 0, discriminant = 0;
    uint16_t vt = 0, r1 = 0, r2 = 0, r3 = 0;
    if (!r_.Align(8) || !r_.U32(&size) || !r_.U32(&reserved) || !r_.U16(&vt) ||
        !r_.U16(&r1) || !r_.U16(&r2) || !r_.U16(&r3) ||
        !r_.U32(&discriminant) || discriminant != vt) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    VariantInit(v);
    VARTYPE base = vt & VT_TYPEMASK;
    if (vt & VT_ARRAY) {
      bool present = false;
      uint32_t id = 0;
      if ((vt & VT_BYREF) || !SafeArrayKind(base)) {
        Fail(NdrStatus::kBadStubData);
        return;
      }
      if (!Pointer(PointerAttribute::kUnique, true, nullptr, &present, &id)) {
        return;
      }
      v->vt = vt;
      v->parray = nullptr;
      if (present) {
        Deferred d{Deferred::kSafeArray, nullptr, v, {}};
        d.vt = base;
        Later(d, true);
      }
      return;
    }
    if (vt & VT_BYREF) {
      bool present = false;
      uint32_t id = 0;
      if (array_owned_ > 0 || (vt & ~(VT_BYREF | VT_TYPEMASK)) ||
          !(ScalarVariantSize(base) || base == VT_BSTR || base == VT_VARIANT)) {
        Fail(NdrStatus::kBadStubData);
        return;
      }
      if (!Pointer(PointerAttribute::kUnique, true, nullptr, &present, &id) ||
          !present) {
        Fail(NdrStatus::kBadStubData);
        return;
      }
      v->vt = vt;
      v->byref = nullptr;
      Deferred d{Deferred::kByref, nullptr, v, {}};
      d.vt = base;
      Later(d, true);
      return;
    }
    if (uint32_t bytes = ScalarVariantSize(vt)) {
      if (!r_.Align(bytes) || !r_.Copy(&v->llVal, bytes)) {
        Fail(NdrStatus::kBadStubData);
        return;
      }
      v->vt = vt;
      return;
    }
    switch (vt) {
      case VT_EMPTY:
      case VT_NULL:
        v->vt = vt;
        return;
      case VT_BSTR: {
        bool present = false;
        uint32_t id = 0;
        if (!Pointer(PointerAttribute::kUnique, true, nullptr, &present, &id)) {
          return;
        }
        v->vt = VT_BSTR;
        v->bstrVal = nullptr;
        if (present) Later({Deferred::kBstr, nullptr, &v->bstrVal, {}}, true);
        return;
      }
      case VT_UNKNOWN: {
        bool present = false;
        uint32_t id = 0;
        if (!Pointer(PointerAttribute::kUnique, true, nullptr, &present, &id)) {
          return;
        }
        v->vt = VT_UNKNOWN;
        v->punkVal = nullptr;
        if (present) {
          Deferred d{Deferred::kInterface, nullptr, &v->punkVal, {}};
          d.iid = IID_IUnknown;
          Later(d, true);
        }
        return;
      }
      default:
        Fail(NdrStatus::kBadStubData);
    }
  }

  void ByrefReferent(VARIANT* v, VARTYPE base) {
    void* p = Allocate(sizeof(VARIANT));
    if (!p) return;
    v->byref = p;
    if (uint32_t size = ScalarVariantSize(base)) {
      if (!r_.Align(size) || !r_.Copy(p, size)) Fail(NdrStatus::kBadStubData);
      return;
    }
    bool present = false;
    uint32_t id = 0;
    if (!Pointer(PointerAttribute::kUnique, false, nullptr, &present, &id)) {
      return;
    }
    if (base == VT_BSTR) {
      if (present) Pointee({Deferred::kBstr, nullptr, p, {}});
    } else {
      if (!present) {
        Fail(NdrStatus::kBadStubData);
        return;
      }
      Pointee({Deferred::kVariant, nullptr, p, {}});
    }
  }

  void WireSafeArray(VARIANT* v, VARTYPE vt) {
    uint32_t inner = 0, conformance = 0, cb = 0, locks = 0, kind = 0,
             discriminant = 0, size = 0, data_id = 0;
    uint16_t dims = 0, features = 0;
    if (!r_.Align(4) || !r_.U32(&inner) || inner == 0 ||
        !r_.U32(&conformance) || !r_.U16(&dims) || !r_.U16(&features) ||
        !r_.U32(&cb) || !r_.U32(&locks) || !r_.U32(&kind) ||
        !r_.U32(&discriminant) || !r_.U32(&size) || !r_.U32(&data_id)) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (dims == 0 || dims > kMaxSafeArrayDims || conformance != dims ||
        kind != discriminant || kind != SafeArrayKind(vt) ||
        cb != com::ElementSize(vt) || data_id == 0) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    // rgsabound as it lies in memory (the last dimension first).
    SAFEARRAYBOUND wire[kMaxSafeArrayDims];
    uint64_t total = 1;
    for (uint16_t i = 0; i < dims; ++i) {
      uint32_t elements = 0, lower = 0;
      if (!r_.U32(&elements) || !r_.U32(&lower)) {
        Fail(NdrStatus::kBadStubData);
        return;
      }
      wire[i] = {elements, static_cast<LONG>(lower)};
      total *= elements;
      if (total > limits_.max_allocation) {
        Fail(NdrStatus::kNoMemory);
        return;
      }
    }
    if (total != size || total * cb > limits_.max_allocation - allocated_) {
      Fail(total != size ? NdrStatus::kBadStubData : NdrStatus::kNoMemory);
      return;
    }
    allocated_ += total * cb;
    SAFEARRAYBOUND creation[kMaxSafeArrayDims];
    for (uint16_t i = 0; i < dims; ++i) creation[i] = wire[dims - 1 - i];
    SAFEARRAY* psa = SafeArrayCreate(vt, dims, creation);
    if (!psa) {
      Fail(NdrStatus::kNoMemory);
      return;
    }
    Own(Owned::kSafeArray, psa);
    v->parray = psa;
    Deferred d{kind == kSfBstr      ? Deferred::kBstrElements
               : kind == kSfVariant ? Deferred::kVariantElements
                                    : Deferred::kScalarElements,
               nullptr,
               psa->pvData,
               {}};
    d.count = size;
    d.vt = vt;
    deferred_->push_back(d);
    // The elements belong to the array: SafeArrayDestroy frees them.
    deferred_->back().in_array = true;
  }

  void SafeArrayElements(const Deferred& d) {
    uint32_t count = 0;
    if (!r_.Align(4) || !r_.U32(&count) || count != d.count) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    if (d.what == Deferred::kScalarElements) {
      uint32_t size = ScalarVariantSize(d.vt);
      if (!r_.Align(size) || !r_.Copy(d.target, size_t{count} * size)) {
        Fail(NdrStatus::kBadStubData);
      }
      return;
    }
    if (count > r_.remaining() / 4) {
      Fail(NdrStatus::kBadStubData);
      return;
    }
    for (uint32_t i = 0; i < count && Ok(); ++i) {
      bool present = false;
      uint32_t id = 0;
      if (!Pointer(PointerAttribute::kUnique, true, nullptr, &present, &id)) {
        return;
      }
      if (!present) continue;  // a null BSTR, or an empty VARIANT
      if (d.what == Deferred::kBstrElements) {
        Later({Deferred::kBstr, nullptr, static_cast<BSTR*>(d.target) + i, {}},
              true);
      } else {
        Later({Deferred::kVariant,
               nullptr,
               static_cast<VARIANT*>(d.target) + i,
               {}},
              true);
      }
    }
  }

  WireReader r_;
  Frame frame_;
  ObjrefHook* hook_;
  NdrLimits limits_;
  std::vector<Owned>* owned_;
  NdrStatus status_ = NdrStatus::kOk;
  std::vector<Deferred>* deferred_ = nullptr;
  std::unordered_map<uint32_t, void*> full_;
  std::vector<Check> checks_;
  size_t current_param_ = 0;
  size_t allocated_ = 0;
  size_t depth_ = 0;
  int array_owned_ = 0;
};

// ---------------------------------------------------------------------------
// Freeing what [out] parameters hold

void FreeValue(const Frame& f, const TypeDescription* t, void* memory,
               const Scope& scope) {
  switch (t->kind) {
    case TypeKind::kPointer: {
      void*& p = *static_cast<void**>(memory);
      if (!p) return;
      const TypeDescription* e = t->element;
      if (IsArray(e)) {
        int64_t count = 0;
        if (Evaluate(e->size_is, f, scope, &count)) {
          for (int64_t i = 0; i < count; ++i) {
            FreeValue(f, e->element,
                      static_cast<uint8_t*>(p) + i * e->element->memory_size,
                      scope);
          }
        }
      } else {
        FreeValue(f, e, p, scope);
      }
      CoTaskMemFree(p);
      p = nullptr;
      return;
    }
    case TypeKind::kWideString: {
      void*& p = *static_cast<void**>(memory);
      CoTaskMemFree(p);
      p = nullptr;
      return;
    }
    case TypeKind::kBstr: {
      BSTR& b = *static_cast<BSTR*>(memory);
      SysFreeString(b);
      b = nullptr;
      return;
    }
    case TypeKind::kVariant:
      VariantClear(static_cast<VARIANT*>(memory));
      return;
    case TypeKind::kInterface: {
      IUnknown*& p = *static_cast<IUnknown**>(memory);
      if (p) p->Release();
      p = nullptr;
      return;
    }
    case TypeKind::kStruct: {
      const StructDescription* s = t->structure;
      auto* base = static_cast<uint8_t*>(memory);
      for (const auto& field : s->fields) {
        if (!IsArray(field.type)) {
          FreeValue(f, field.type, base + field.offset, Scope{s, base});
        }
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace

void FreeOwnedMemory(const MethodDescription* method, void* const* arguments,
                     const TypeDescription* type, void* memory) {
  FreeValue(Frame{method, arguments}, type, memory, Scope{});
}

// ---------------------------------------------------------------------------
// The server side

struct ServerCall::State {
  std::vector<std::array<uint64_t, 2>> storage;
  std::vector<void*> args;
  std::vector<Owned> owned;  // what the [in] decode allocated
  struct OutSlot {
    size_t param;
    void* memory;  // task memory, zeroed, owned by the frame
  };
  std::vector<OutSlot> out_slots;
  bool out_freed = false;
};

ServerCall::ServerCall(const MethodDescription* method, ObjrefHook* hook,
                       NdrLimits limits)
    : method_(method),
      hook_(hook),
      limits_(limits),
      state_(std::make_unique<State>()) {
  size_t n = method->params.size();
  state_->storage.assign(n, {0, 0});
  state_->args.resize(n);
  for (size_t i = 0; i < n; ++i) state_->args[i] = &state_->storage[i];
}

namespace {

void FreeOutSlots(const MethodDescription* method, void* const* args,
                  ServerCall::State* state) {
  if (state->out_freed) return;
  state->out_freed = true;
  Frame frame{method, args};
  for (auto& slot : state->out_slots) {
    const TypeDescription* e = method->params[slot.param].type->element;
    if (IsArray(e)) {
      int64_t count = 0;
      if (Evaluate(e->size_is, frame, Scope{}, &count)) {
        for (int64_t i = 0; i < count; ++i) {
          FreeValue(
              frame, e->element,
              static_cast<uint8_t*>(slot.memory) + i * e->element->memory_size,
              Scope{});
        }
      }
    } else {
      FreeValue(frame, e, slot.memory, Scope{});
    }
  }
  for (auto& slot : state->out_slots) CoTaskMemFree(slot.memory);
  state->out_slots.clear();
}

}  // namespace

ServerCall::~ServerCall() {
  FreeOutSlots(method_, state_->args.data(), state_.get());
  FreeOwned(&state_->owned);
}

void* const* ServerCall::arguments() const { return state_->args.data(); }

NdrStatus ServerCall::DecodeIn(std::span<const uint8_t> stub, size_t offset) {
  State& s = *state_;
  Frame frame{method_, s.args.data()};
  Decoder decoder(stub, offset, frame, hook_, limits_, &s.owned);
  for (size_t i = 0; i < method_->params.size(); ++i) {
    const ParamDescription& p = method_->params[i];
    if (!com::IsIn(p.direction)) continue;
    // An [in, out] value that owns memory would be freed by both the
    // object and the frame: only plain values travel both ways here.
    if (p.direction == Direction::kInOut &&
        !(p.type->kind == TypeKind::kPointer && IsFlat(p.type->element))) {
      return NdrStatus::kUnsupported;
    }
    decoder.Parameter(i, &s.storage[i]);
    if (decoder.status() != NdrStatus::kOk) break;
    if (IsRefParam(p.type)) {
      // The invoker takes the referent itself for a reference parameter.
      s.args[i] = *reinterpret_cast<void**>(&s.storage[i]);
    }
  }
  if (decoder.status() == NdrStatus::kOk) decoder.FinishChecks();
  NdrStatus status = decoder.status();
  if (status != NdrStatus::kOk) {
    FreeOwned(&s.owned);
    return status;
  }
  // The [out]-only parameters point at zeroed memory of the frame's.
  for (size_t i = 0; i < method_->params.size(); ++i) {
    const ParamDescription& p = method_->params[i];
    if (com::IsIn(p.direction)) continue;
    if (p.type->kind != TypeKind::kPointer) return NdrStatus::kUnsupported;
    const TypeDescription* e = p.type->element;
    size_t bytes = std::max<uint32_t>(e->memory_size, 8);
    if (IsArray(e)) {
      int64_t count = 0;
      if (!Evaluate(e->size_is, frame, Scope{}, &count)) {
        return NdrStatus::kBadStubData;
      }
      size_t stride = e->element->memory_size;
      if (stride &&
          static_cast<uint64_t>(count) > limits_.max_allocation / stride) {
        return NdrStatus::kNoMemory;
      }
      bytes = static_cast<size_t>(count) * stride;
    }
    void* memory = CoTaskMemAlloc(bytes ? bytes : 1);
    if (!memory) return NdrStatus::kNoMemory;
    std::memset(memory, 0, bytes ? bytes : 1);
    s.out_slots.push_back({i, memory});
    *reinterpret_cast<void**>(&s.storage[i]) = memory;
  }
  return NdrStatus::kOk;
}

HRESULT ServerCall::Invoke(void* interface_pointer) {
  result_ = method_->invoke ? method_->invoke(interface_pointer, arguments())
                            : E_NOTIMPL;
  return result_;
}

NdrStatus ServerCall::EncodeOut(std::vector<uint8_t>* stub) {
  State& s = *state_;
  Frame frame{method_, s.args.data()};
  size_t start = stub->size();
  Encoder encoder(stub, frame, hook_);
  for (size_t i = 0; i < method_->params.size(); ++i) {
    const ParamDescription& p = method_->params[i];
    if (!com::IsOut(p.direction)) continue;
    encoder.Parameter(p, s.args[i]);
    if (encoder.status() != NdrStatus::kOk) break;
  }
  encoder.Result(result_);
  FreeOutSlots(method_, s.args.data(), &s);
  if (encoder.status() != NdrStatus::kOk) stub->resize(start);
  return encoder.status();
}

// ---------------------------------------------------------------------------
// The client side

NdrStatus EncodeRequest(const MethodDescription* method, void* const* arguments,
                        ObjrefHook* hook, std::vector<uint8_t>* stub) {
  Frame frame{method, arguments};
  Encoder encoder(stub, frame, hook);
  for (size_t i = 0; i < method->params.size(); ++i) {
    const ParamDescription& p = method->params[i];
    if (!com::IsIn(p.direction)) continue;
    encoder.Parameter(p, arguments[i]);
    if (encoder.status() != NdrStatus::kOk) break;
  }
  return encoder.status();
}

NdrStatus DecodeResponse(const MethodDescription* method,
                         void* const* arguments, ObjrefHook* hook,
                         std::span<const uint8_t> stub, size_t offset,
                         HRESULT* result, NdrLimits limits) {
  Frame frame{method, arguments};
  std::vector<Owned> owned;
  Decoder decoder(stub, offset, frame, hook, limits, &owned);
  for (size_t i = 0; i < method->params.size(); ++i) {
    const ParamDescription& p = method->params[i];
    if (!com::IsOut(p.direction)) continue;
    void* target = *static_cast<void* const*>(arguments[i]);
    if (!target) {
      FreeOwned(&owned);
      return NdrStatus::kBadValue;
    }
    decoder.OutParameter(i, target);
    if (decoder.status() != NdrStatus::kOk) break;
  }
  if (decoder.status() == NdrStatus::kOk && decoder.Result(result)) {
    decoder.FinishChecks();
  }
  NdrStatus status = decoder.status();
  if (status == NdrStatus::kOk) return status;
  FreeOwned(&owned);
  // Leave no pointer to what was just freed in the caller's [out]s.
  for (size_t i = 0; i < method->params.size(); ++i) {
    const ParamDescription& p = method->params[i];
    if (!com::IsOut(p.direction) || p.type->kind != TypeKind::kPointer)
      continue;
    void* target = *static_cast<void* const*>(arguments[i]);
    const TypeDescription* e = p.type->element;
    if (target && !IsArray(e)) std::memset(target, 0, e->memory_size);
  }
  return status;
}

uint32_t InvokeDescribedMethod(const com::InterfaceDescription& interface,
                               void* interface_pointer, uint16_t opnum,
                               std::span<const uint8_t> stub, size_t offset,
                               ObjrefHook* hook, std::vector<uint8_t>* out) {
  const MethodDescription* method = interface.Method(opnum);
  // AddRef and Release (no invoker) are never called across the wire.
  if (!method || !method->invoke) return kFaultOpRangeError;
  ServerCall call(method, hook);
  NdrStatus status = call.DecodeIn(stub, offset);
  if (status != NdrStatus::kOk) return FaultForNdrStatus(status);
  call.Invoke(interface_pointer);
  status = call.EncodeOut(out);
  return FaultForNdrStatus(status);
}

}  // namespace kavex::rpc
