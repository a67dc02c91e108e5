// The adapters the library offers, in enumeration order: every frame
// source's adapters in turn (the machine's Ethernet interfaces by interface
// index first, see frame_source.h).
#ifndef KAVEX_PLATFORM_PKIO_ADAPTER_LIST_H_
#define KAVEX_PLATFORM_PKIO_ADAPTER_LIST_H_

#include <string>
#include <vector>

#include "platform/base/types.h"

namespace kavex::pkio {

inline constexpr char kNdisPrefix[] = "\\Device\\";

struct AdapterInfo {
  std::string ndis_name;
  std::string friendly_name;
  DWORD binding_flags = 0;  // PKIO_BINDING_SYSTEM or PKIO_BINDING_USER
};

// Friendly names tell adapters apart for the operator: one that repeats an
// earlier adapter's name gets its NDIS name added in brackets.
std::vector<AdapterInfo> EnumerateAdapters();

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_ADAPTER_LIST_H_
