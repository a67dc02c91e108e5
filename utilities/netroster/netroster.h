// Netroster: lists the adapters the protocol driver is bound to, as the
// driver reports them.
#ifndef KAVEX_UTILITIES_NETROSTER_NETROSTER_H_
#define KAVEX_UTILITIES_NETROSTER_NETROSTER_H_

#include <cstddef>
#include <string>
#include <vector>

#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"

namespace kavex::utilities {

constexpr DWORD kBindingListSize = 8192;

struct Binding {
  DWORD flags;       // PKIO_BINDING_SYSTEM, PKIO_BINDING_USER
  std::string name;  // the NDIS name at the record's offset
};

// The records of a binding list answer of size bytes: 12-byte records up
// to the first one whose flags are 0. A record cut off by the end of the
// answer ends the list; a name runs to its NUL or the end of the answer,
// and an offset outside the answer gives an empty name.
std::vector<Binding> ParseBindingList(const BYTE* answer, size_t size);

// The whole program; returns its exit code (always 0).
int RunNetroster(const PkioApi& api, Console& console, int argc, char** argv);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_NETROSTER_NETROSTER_H_
