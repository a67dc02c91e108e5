#include "platform/opc/opc_descriptions.h"

namespace kavex::opc {
namespace {

constexpr const com::DescriptionTable* kTables[] = {
    &kOpcDaDescriptions, &kOpcCommonDescriptions, &com::kComDescriptions};

}  // namespace

std::span<const com::DescriptionTable* const> DescriptionTables() {
  return kTables;
}

const com::InterfaceDescription* FindInterfaceDescription(REFIID iid) {
  for (const com::DescriptionTable* table : kTables)
    if (const com::InterfaceDescription* found =
            com::FindInterface(*table, iid))
      return found;
  return nullptr;
}

const com::InterfaceDescription* FindInterfaceDescription(
    std::string_view name) {
  for (const com::DescriptionTable* table : kTables)
    if (const com::InterfaceDescription* found =
            com::FindInterface(*table, name))
      return found;
  return nullptr;
}

const com::StructDescription* FindStructDescription(std::string_view name) {
  for (const com::DescriptionTable* table : kTables)
    if (const com::StructDescription* found = com::FindStruct(*table, name))
      return found;
  return nullptr;
}

}  // namespace kavex::opc
