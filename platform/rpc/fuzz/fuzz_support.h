// Shared by the fuzz harnesses and their seed writer.
#ifndef KAVEX_PLATFORM_RPC_FUZZ_FUZZ_SUPPORT_H_
#define KAVEX_PLATFORM_RPC_FUZZ_FUZZ_SUPPORT_H_

#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/interface_description.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/ndr.h"

namespace kavex::rpc::fuzz {

// Every described method that can be called across the wire, in table
// order; an NDR input starts with the index of its method.
inline const std::vector<const com::MethodDescription*>& Methods() {
  static const std::vector<const com::MethodDescription*> methods = [] {
    std::vector<const com::MethodDescription*> all;
    for (const com::DescriptionTable* table : opc::DescriptionTables()) {
      for (const com::InterfaceDescription* iface : table->interfaces) {
        for (const com::MethodDescription& m : iface->methods) {
          if (m.invoke) all.push_back(&m);
        }
      }
    }
    return all;
  }();
  return methods;
}

class Dummy : public com::ComObject<Dummy, IUnknown> {};

// Stands for DCOM: any OBJREF of up to 64 bytes becomes a fresh object.
class DummyHook : public ObjrefHook {
 public:
  HRESULT Marshal(IUnknown*, REFIID, std::vector<uint8_t>* objref) override {
    objref->assign(8, 0x4D);
    return S_OK;
  }
  HRESULT Unmarshal(std::span<const uint8_t> objref, REFIID,
                    IUnknown** object) override {
    if (objref.size() > 64) return E_INVALIDARG;
    com::ComPtr<Dummy> dummy;
    HRESULT hr = Dummy::CreateInstance(&dummy);
    if (SUCCEEDED(hr)) *object = dummy.Detach();
    return hr;
  }
};

}  // namespace kavex::rpc::fuzz

#endif  // KAVEX_PLATFORM_RPC_FUZZ_FUZZ_SUPPORT_H_
