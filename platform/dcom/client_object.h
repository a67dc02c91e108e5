// What our DCOM client holds for an interface of a remote object: its IID
// and STDOBJREF (the IPID calls go to, the OID pings keep alive). Where the
// NDR engine hands out an interface pointer (an [out] IUnknown** of a
// method), the client gives it a RemoteObject, a plain in-process object
// that only carries that identity; RemoteInterfaceOf reads it back.
#ifndef KAVEX_PLATFORM_DCOM_CLIENT_OBJECT_H_
#define KAVEX_PLATFORM_DCOM_CLIENT_OBJECT_H_

#include "platform/com/com_object.h"
#include "platform/com/guid.h"
#include "platform/dcom/objref.h"

namespace kavex::dcom {

struct RemoteInterface {
  IID iid = {};
  StdObjref std;
  // False for the empty entries of a failed activation or query.
  bool valid() const { return std.ipid != GUID{}; }
};

// The in-process face of a RemoteInterface; it makes no calls itself.
struct IRemoteInterfaceHolder : IUnknown {
  virtual const RemoteInterface& remote() const = 0;
};
KAVEX_DECLARE_IID(IRemoteInterfaceHolder,
                  "{7c1e5a34-92d0-4b8f-a6e3-0d5f2b9c4e71}");

class RemoteObject
    : public com::ComObject<RemoteObject, IRemoteInterfaceHolder> {
 public:
  const RemoteInterface& remote() const override { return remote_; }
  void set_remote(const RemoteInterface& remote) { remote_ = remote; }

 private:
  RemoteInterface remote_;
};

// The identity behind an interface pointer our client handed out: S_OK
// and *out, or E_INVALIDARG for null or any other object.
HRESULT RemoteInterfaceOf(IUnknown* pointer, RemoteInterface* out);

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_CLIENT_OBJECT_H_
