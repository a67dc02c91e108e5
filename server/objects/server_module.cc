#include "server/objects/server_module.h"

#include "platform/com/activation.h"
#include "server/contract/device_interfaces.h"
#include "server/objects/enum_item_attributes.h"
#include "server/objects/group_object.h"
#include "server/objects/server_callback.h"
#include "server/objects/server_object.h"

namespace kavex::server {
namespace {

// Class objects of a program do not keep it running by existing.
template <class T>
HRESULT CreateProgramClassFactory(REFIID iid, void** out) {
  return com::ClassFactory<T, /*kLocksModule=*/false>::CreateInstance(iid, out);
}

const ServerClass kServerClasses[] = {
    {{&CLSID_Server, CreateProgramClassFactory<CServer>},
     "Server Class",
     "KavexOPCServer.Server.1",
     "KavexOPCServer.Server"},
    {{&CLSID_Group, CreateProgramClassFactory<CGroup>},
     "Group Class",
     "KavexOPCServer.Group.1",
     "KavexOPCServer.Group"},
    {{&CLSID_ServerCallback, CreateProgramClassFactory<CServerCallback>},
     "ServerCallback Class",
     "KavexOPCServer.ServerCallback.1",
     "KavexOPCServer.ServerCallback"},
    {{&CLSID_EnumOPCItemAttributes,
      CreateProgramClassFactory<CEnumOPCItemAttributes>},
     "EnumOPCItemAttributes Class",
     "KavexOPCServer.EnumOPCItemAttribut.1",
     "KavexOPCServer.EnumOPCItemAttributes"},
};

}  // namespace

std::span<const ServerClass> ServerClasses() { return kServerClasses; }

HRESULT RegisterServerClassObjects(DWORD clsctx, DWORD flags,
                                   std::vector<DWORD>* cookies) {
  if (cookies == nullptr) return E_INVALIDARG;
  std::vector<DWORD> registered;
  for (const ServerClass& c : kServerClasses) {
    com::ComPtr<IUnknown> factory;
    HRESULT hr = c.entry.create_factory(
        IID_IUnknown, reinterpret_cast<void**>(factory.GetAddressOf()));
    DWORD cookie = 0;
    if (SUCCEEDED(hr))
      hr = CoRegisterClassObject(*c.entry.clsid, factory.Get(), clsctx, flags,
                                 &cookie);
    if (FAILED(hr)) {
      RevokeServerClassObjects(&registered);
      return hr;
    }
    registered.push_back(cookie);
  }
  cookies->insert(cookies->end(), registered.begin(), registered.end());
  return S_OK;
}

void RevokeServerClassObjects(std::vector<DWORD>* cookies) {
  for (DWORD cookie : *cookies) CoRevokeClassObject(cookie);
  cookies->clear();
}

}  // namespace kavex::server
