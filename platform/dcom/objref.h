// The wire forms DCOM names objects with: OBJREF (standard form only),
// STDOBJREF and DUALSTRINGARRAY, as they travel inside an
// MInterfacePointer's bytes or as NDR structures of the resolver calls.
//
// Decoding is of network input: every count is checked against the bytes
// present, and a malformed buffer gives false, never a read past its end.
#ifndef KAVEX_PLATFORM_DCOM_OBJREF_H_
#define KAVEX_PLATFORM_DCOM_OBJREF_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/types.h"
#include "platform/rpc/wire.h"

namespace kavex::dcom {

inline constexpr uint32_t kObjrefSignature = 0x574f454d;  // "MEOW"
inline constexpr uint32_t kObjrefStandard = 0x1;
inline constexpr uint32_t kObjrefHandler = 0x2;
inline constexpr uint32_t kObjrefCustom = 0x4;
inline constexpr uint32_t kObjrefExtended = 0x8;

// STDOBJREF flags: the client need not ping this object.
inline constexpr uint32_t kSorfNoPing = 0x1000;

inline constexpr uint16_t kTowerNcacnIpTcp = 0x0007;
inline constexpr uint16_t kAuthnWinNt = 0x000a;  // NTLM

using Oxid = uint64_t;
using Oid = uint64_t;
using Ipid = GUID;

struct StdObjref {
  uint32_t flags = 0;
  uint32_t public_refs = 0;
  Oxid oxid = 0;
  Oid oid = 0;
  Ipid ipid = {};
};

struct StringBinding {
  uint16_t tower_id = kTowerNcacnIpTcp;
  std::u16string network_address;  // "127.0.0.1[4135]"
};
struct SecurityBinding {
  uint16_t authn_service = kAuthnWinNt;
  uint16_t authz_service = 0xffff;  // none
  std::u16string principal_name;
};

// The addresses an exporter is reached at and how to authenticate to it.
struct DualStringArray {
  std::vector<StringBinding> strings;
  std::vector<SecurityBinding> security;
};

struct Objref {
  IID iid = {};
  StdObjref std;
  DualStringArray resolver_address;
};

// The 16-bit words of a DUALSTRINGARRAY's aStringArray (both lists, each
// ended by an empty entry) and the offset of the security list in words.
std::vector<uint16_t> DualStringArrayWords(const DualStringArray& array,
                                           uint16_t* security_offset);
// Parses the words back; false for a list that is not terminated, an
// offset outside the words, or a binding that runs past them.
bool ParseDualStringArrayWords(std::span<const uint16_t> words,
                               uint16_t security_offset,
                               DualStringArray* array);

// The raw form (wNumEntries, wSecurityOffset, words) inside an OBJREF.
void WriteDualStringArray(const DualStringArray& array, rpc::WireWriter* w);
bool ReadDualStringArray(rpc::WireReader* r, DualStringArray* array);

// The NDR form of a [unique] DUALSTRINGARRAY* in a resolver reply or
// request: referent id, conformance, then the structure. A null pointer
// reads as an empty array with *present false.
void WriteDualStringArrayPointer(const DualStringArray& array,
                                 rpc::WireWriter* w);
bool ReadDualStringArrayPointer(rpc::WireReader* r, DualStringArray* array,
                                bool* present);

void WriteStdObjref(const StdObjref& std, rpc::WireWriter* w);
bool ReadStdObjref(rpc::WireReader* r, StdObjref* std);

std::vector<uint8_t> EncodeObjref(const Objref& objref);
// Only the standard form is accepted: handler, custom and extended OBJREFs
// (which this system never hands out) give false, as does trailing garbage.
bool DecodeObjref(std::span<const uint8_t> bytes, Objref* objref);

// "127.0.0.1[4135]"
std::u16string TcpBindingAddress(const std::string& host, uint16_t port);

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_OBJREF_H_
