// The descriptions of the OPC interfaces a network endpoint serves, and of
// the COM interfaces OPC clients call beside them.
//
// The OPC DA 1.0/2.0 and OPC Common declarations (platform/opc/opc_da.h,
// platform/opc/opc_common.h) and their descriptions are generated at build
// time from platform/opc/opc_da.idl and opc_common.idl, interface files of
// ours written from the OPC Foundation's published interface definitions;
// platform/com/interface_description.h gives the design and the vocabulary.
#ifndef KAVEX_PLATFORM_OPC_OPC_DESCRIPTIONS_H_
#define KAVEX_PLATFORM_OPC_OPC_DESCRIPTIONS_H_

#include <span>
#include <string_view>

#include "platform/com/com_interfaces.h"
#include "platform/com/interface_description.h"
#include "platform/opc/opc_common.h"
#include "platform/opc/opc_da.h"

namespace kavex::opc {

// The OPC DA table, the OPC Common table and the COM table, in that order.
std::span<const com::DescriptionTable* const> DescriptionTables();

// The description of an interface (or structure) from any of those tables;
// null for one that none of them describes.
const com::InterfaceDescription* FindInterfaceDescription(REFIID iid);
const com::InterfaceDescription* FindInterfaceDescription(
    std::string_view name);
const com::StructDescription* FindStructDescription(std::string_view name);

}  // namespace kavex::opc

#endif  // KAVEX_PLATFORM_OPC_OPC_DESCRIPTIONS_H_
