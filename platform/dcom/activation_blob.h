// The activation property blobs of IRemoteSCMActivator: what a client asks
// for (the class and the interfaces, from the InstantiationInfo property of
// an ActivationPropertiesIn OBJREF) and the ActivationPropertiesOut OBJREF
// that answers it (PropsOutInfo with the interface pointers, ScmReplyInfo
// with the OXID, its bindings and the IRemUnknown IPID).
//
// The blob comes from the network: its sizes, counts and offsets are
// checked against the bytes present; a malformed blob gives false.
#ifndef KAVEX_PLATFORM_DCOM_ACTIVATION_BLOB_H_
#define KAVEX_PLATFORM_DCOM_ACTIVATION_BLOB_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/base/types.h"
#include "platform/dcom/objref.h"

namespace kavex::dcom {

struct ActivationPropertiesIn {
  CLSID clsid = {};
  std::vector<IID> iids;
};

// Parses the OBJREF_CUSTOM bytes of an ActivationPropertiesIn.
bool ParseActivationPropertiesIn(std::span<const uint8_t> objref,
                                 ActivationPropertiesIn* in);

struct ActivationPropertiesOut {
  std::vector<IID> iids;
  std::vector<HRESULT> results;
  std::vector<std::vector<uint8_t>> objrefs;  // empty where results failed
  Oxid oxid = 0;
  DualStringArray bindings;
  Ipid rem_unknown = {};
};

// The OBJREF_CUSTOM bytes of an ActivationPropertiesOut.
std::vector<uint8_t> EncodeActivationPropertiesOut(
    const ActivationPropertiesOut& out);

// Builds an ActivationPropertiesIn as a client sends it (tests, our own
// client).
std::vector<uint8_t> EncodeActivationPropertiesIn(
    const ActivationPropertiesIn& in);

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_ACTIVATION_BLOB_H_
