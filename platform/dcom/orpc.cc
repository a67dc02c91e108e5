#include "platform/dcom/orpc.h"

namespace kavex::dcom {

namespace {

// More than any client sends; bounds the work a hostile array can cause.
constexpr uint32_t kMaxExtents = 64;

// ORPC_EXTENT_ARRAY behind a non-null pointer: size, reserved, a [unique]
// pointer to a conformant array of [unique] ORPC_EXTENT pointers, then the
// extents (conformance, id, size, bytes rounded up to 8).
bool SkipExtentArray(rpc::WireReader* r, uint32_t* count) {
  uint32_t size = 0, reserved = 0, array_ref = 0;
  if (!r->Align(4) || !r->U32(&size) || !r->U32(&reserved) ||
      !r->U32(&array_ref)) {
    return false;
  }
  *count = size;
  if (size > kMaxExtents) return r->Fail();
  if (array_ref == 0) return size == 0 || r->Fail();
  uint32_t max = 0;
  if (!r->U32(&max)) return false;
  // The array's length is the size rounded up to an even count.
  if (max != ((size + 1) & ~1u)) return r->Fail();
  uint32_t referents[kMaxExtents + 1];
  for (uint32_t i = 0; i < max; ++i) {
    if (!r->U32(&referents[i])) return false;
  }
  for (uint32_t i = 0; i < max; ++i) {
    if (referents[i] == 0) continue;
    uint32_t conformance = 0, data_size = 0;
    GUID id;
    if (!r->Align(4) || !r->U32(&conformance) || !r->Guid(&id) ||
        !r->U32(&data_size)) {
      return false;
    }
    if (conformance != ((data_size + 7) & ~7u) || conformance < data_size) {
      return r->Fail();
    }
    if (!r->Skip(conformance)) return false;
  }
  return true;
}

}  // namespace

bool ReadOrpcThis(rpc::WireReader* r, OrpcThis* orpc_this) {
  *orpc_this = {};
  uint32_t reserved = 0, extensions = 0;
  if (!r->Align(8) || !r->U16(&orpc_this->major) ||
      !r->U16(&orpc_this->minor) || !r->U32(&orpc_this->flags) ||
      !r->U32(&reserved) || !r->Guid(&orpc_this->causality) ||
      !r->U32(&extensions)) {
    return false;
  }
  if (orpc_this->major != kComVersionMajor) return r->Fail();
  if (extensions != 0 && !SkipExtentArray(r, &orpc_this->extension_count)) {
    return false;
  }
  return true;
}

void WriteOrpcThis(const OrpcThis& orpc_this, rpc::WireWriter* w) {
  w->Align(8);
  w->U16(orpc_this.major);
  w->U16(orpc_this.minor);
  w->U32(orpc_this.flags);
  w->U32(0);
  w->Guid(orpc_this.causality);
  w->U32(0);  // no extensions
}

void WriteOrpcThat(rpc::WireWriter* w) {
  w->Align(8);
  w->U32(0);
  w->U32(0);
}

bool ReadOrpcThat(rpc::WireReader* r) {
  uint32_t flags = 0, extensions = 0;
  if (!r->Align(8) || !r->U32(&flags) || !r->U32(&extensions)) return false;
  uint32_t count = 0;
  return extensions == 0 || SkipExtentArray(r, &count);
}

}  // namespace kavex::dcom
