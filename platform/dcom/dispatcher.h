// The DCOM services behind a listener: activation (IActivation and
// IRemoteSCMActivator::RemoteCreateInstance), the OXID
// resolver (IObjectExporter), IRemUnknown/IRemUnknown2 and the ORPC calls
// on exported objects, which the NDR engine's described stubs run.
//
// One DcomDispatcher serves both the activation port and the object port
// (a client may call any of them on either). Activation creates an object
// of a class in the class table, as CoCreateInstance would, and exports the
// interfaces asked for.
//
// Faults: an unknown IPID gives RPC_E_INVALID_OBJECT (as the fault status),
// a malformed request RPC_X_BAD_STUB_DATA, an unknown opnum
// nca_s_op_rng_error; a call handing the server one of the client's own
// objects (a callback sink) fails with E_NOTIMPL, since calls back to the
// client are not made yet; an [out] interface the exporter cannot hand out
// fails with its reason (E_NOINTERFACE).
#ifndef KAVEX_PLATFORM_DCOM_DISPATCHER_H_
#define KAVEX_PLATFORM_DCOM_DISPATCHER_H_

#include <span>

#include "platform/com/class_factory.h"
#include "platform/dcom/exporter.h"
#include "platform/rpc/dispatcher.h"

namespace kavex::dcom {

// The interfaces' syntax ids (all version 0.0).
extern const rpc::SyntaxId kIActivation;
extern const rpc::SyntaxId kIObjectExporter;
extern const rpc::SyntaxId kIRemoteSCMActivator;
extern const rpc::SyntaxId kIRemUnknown;
extern const rpc::SyntaxId kIRemUnknown2;

class DcomDispatcher : public rpc::Dispatcher {
 public:
  // Both must outlive the dispatcher.
  DcomDispatcher(std::span<const com::ClassEntry> classes,
                 ObjectExporter* exporter);

  bool SupportsInterface(const rpc::SyntaxId& interface) const override;
  // Windows answers ServerAlive2 without a logon; everything else needs one.
  bool AllowsAnonymous(const rpc::SyntaxId& interface) const override;
  void Dispatch(const rpc::CallRequest& call,
                rpc::CallResponse* response) override;

  // The activation of one class for a list of interfaces: the object's
  // OBJREFs' STDOBJREFs and per-interface results. Fails as a whole
  // (REGDB_E_CLASSNOTREG, the factory's error) or per interface
  // (E_NOINTERFACE). Shared by every activation interface.
  HRESULT Activate(REFCLSID clsid, std::span<const IID> iids,
                   std::vector<std::vector<uint8_t>>* objrefs,
                   std::vector<HRESULT>* results);

 private:
  void RemoteActivation(const rpc::CallRequest& call,
                        rpc::CallResponse* response);
  void RemoteCreateInstance(const rpc::CallRequest& call,
                            rpc::CallResponse* response);
  void ObjectExporterCall(const rpc::CallRequest& call,
                          rpc::CallResponse* response);
  void RemUnknownCall(const rpc::CallRequest& call,
                      rpc::CallResponse* response);
  void ObjectCall(const rpc::CallRequest& call, rpc::CallResponse* response);

  std::span<const com::ClassEntry> classes_;
  ObjectExporter* exporter_;
};

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_DISPATCHER_H_
