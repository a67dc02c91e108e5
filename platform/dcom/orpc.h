// ORPCTHIS and ORPCTHAT: the implicit first [in] and first [out] parameter
// of every call on an object interface.
//
// The request's extensions (an error-info or activation extent some clients
// send) are checked and skipped: nothing in them changes what this server
// does. Every count is bounded by the bytes present.
#ifndef KAVEX_PLATFORM_DCOM_ORPC_H_
#define KAVEX_PLATFORM_DCOM_ORPC_H_

#include <cstdint>
#include <vector>

#include "platform/base/types.h"
#include "platform/rpc/wire.h"

namespace kavex::dcom {

// The protocol version this exporter speaks and accepts (5.7).
inline constexpr uint16_t kComVersionMajor = 5;
inline constexpr uint16_t kComVersionMinor = 7;

// ORPCTHIS flags.
inline constexpr uint32_t kOrpcfLocal = 0x1;

struct OrpcThis {
  uint16_t major = kComVersionMajor;
  uint16_t minor = kComVersionMinor;
  uint32_t flags = 0;
  GUID causality = {};
  uint32_t extension_count = 0;
};

// Reads an ORPCTHIS at the reader's position (NDR, 8-byte aligned from the
// start of the stub). False for truncated or inconsistent data and for a
// major version other than 5.
bool ReadOrpcThis(rpc::WireReader* r, OrpcThis* orpc_this);
void WriteOrpcThis(const OrpcThis& orpc_this, rpc::WireWriter* w);

// ORPCTHAT with no extensions: flags 0 and a null extension pointer.
void WriteOrpcThat(rpc::WireWriter* w);
bool ReadOrpcThat(rpc::WireReader* r);

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_ORPC_H_
