#include "platform/com/interface_description.h"

namespace kavex::com {

const char* TypeKindName(TypeKind kind) {
  switch (kind) {
    case TypeKind::kByte:
      return "BYTE";
    case TypeKind::kWord:
      return "WORD";
    case TypeKind::kShort:
      return "SHORT";
    case TypeKind::kDword:
      return "DWORD";
    case TypeKind::kLong:
      return "LONG";
    case TypeKind::kUlong:
      return "ULONG";
    case TypeKind::kBool:
      return "BOOL";
    case TypeKind::kHresult:
      return "HRESULT";
    case TypeKind::kLcid:
      return "LCID";
    case TypeKind::kVartype:
      return "VARTYPE";
    case TypeKind::kFloat:
      return "FLOAT";
    case TypeKind::kDouble:
      return "DOUBLE";
    case TypeKind::kEnum:
      return "enum";
    case TypeKind::kGuid:
      return "GUID";
    case TypeKind::kFiletime:
      return "FILETIME";
    case TypeKind::kWideString:
      return "wide string";
    case TypeKind::kBstr:
      return "BSTR";
    case TypeKind::kVariant:
      return "VARIANT";
    case TypeKind::kClipFormat:
      return "CLIPFORMAT";
    case TypeKind::kStgMedium:
      return "STGMEDIUM";
    case TypeKind::kFlagStgMedium:
      return "FLAG_STGMEDIUM";
    case TypeKind::kStruct:
      return "structure";
    case TypeKind::kPointer:
      return "pointer";
    case TypeKind::kConformantArray:
      return "conformant array";
    case TypeKind::kConformantVaryingArray:
      return "conformant varying array";
    case TypeKind::kInterface:
      return "interface pointer";
  }
  return "unknown";
}

uint32_t WireSize(TypeKind kind) {
  switch (kind) {
    case TypeKind::kByte:
      return 1;
    case TypeKind::kWord:
    case TypeKind::kShort:
    case TypeKind::kVartype:
    case TypeKind::kEnum:
      return 2;
    case TypeKind::kDword:
    case TypeKind::kLong:
    case TypeKind::kUlong:
    case TypeKind::kBool:
    case TypeKind::kHresult:
    case TypeKind::kLcid:
    case TypeKind::kFloat:
      return 4;
    case TypeKind::kDouble:
    case TypeKind::kFiletime:
      return 8;
    case TypeKind::kGuid:
      return 16;
    default:
      return 0;
  }
}

uint32_t WireAlignment(TypeKind kind) {
  switch (kind) {
    case TypeKind::kFiletime:
    case TypeKind::kGuid:
      return 4;  // structures of DWORDs and smaller
    default:
      return WireSize(kind);
  }
}

bool IsIntegerKind(TypeKind kind) {
  switch (kind) {
    case TypeKind::kByte:
    case TypeKind::kWord:
    case TypeKind::kShort:
    case TypeKind::kDword:
    case TypeKind::kLong:
    case TypeKind::kUlong:
      return true;
    default:
      return false;
  }
}

int StructDescription::FieldIndex(std::string_view field) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (field == fields[i].name) return static_cast<int>(i);
  return -1;
}

int MethodDescription::ParamIndex(std::string_view param) const {
  for (size_t i = 0; i < params.size(); ++i)
    if (param == params[i].name) return static_cast<int>(i);
  return -1;
}

uint16_t InterfaceDescription::MethodCount() const {
  uint16_t inherited = base != nullptr ? base->MethodCount() : 0;
  return static_cast<uint16_t>(inherited + methods.size());
}

const MethodDescription* InterfaceDescription::Method(uint16_t opnum) const {
  for (const InterfaceDescription* i = this; i != nullptr; i = i->base) {
    uint16_t first = i->base != nullptr ? i->base->MethodCount() : 0;
    if (opnum >= first) {
      size_t index = opnum - first;
      return index < i->methods.size() ? &i->methods[index] : nullptr;
    }
  }
  return nullptr;
}

const MethodDescription* InterfaceDescription::FindMethod(
    std::string_view method) const {
  for (const InterfaceDescription* i = this; i != nullptr; i = i->base)
    for (const MethodDescription& m : i->methods)
      if (method == m.name) return &m;
  return nullptr;
}

const InterfaceDescription* FindInterface(const DescriptionTable& table,
                                          REFIID iid) {
  for (const InterfaceDescription* i : table.interfaces)
    if (i->iid == iid) return i;
  return nullptr;
}

const InterfaceDescription* FindInterface(const DescriptionTable& table,
                                          std::string_view name) {
  for (const InterfaceDescription* i : table.interfaces)
    if (name == i->name) return i;
  return nullptr;
}

const StructDescription* FindStruct(const DescriptionTable& table,
                                    std::string_view name) {
  for (const StructDescription* s : table.structs)
    if (name == s->name) return s;
  return nullptr;
}

}  // namespace kavex::com
