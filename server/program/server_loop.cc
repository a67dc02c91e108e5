#include "server/program/server_loop.h"

#include <vector>

#include "platform/base/results.h"
#include "platform/com/activation.h"
#include "platform/com/clipboard_format.h"
#include "platform/com/com_object.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"
#include "server/objects/process_state.h"
#include "server/objects/server_module.h"
#include "server/objects/trace_log.h"
#include "server/program/lifetime_monitor.h"
#include "server/program/network_host.h"

namespace kavex::server {
namespace {

// The quit message's stand-in: a manual-reset event the loop waits on.
HANDLE QuitEvent() {
  static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

}  // namespace

void QuitServerLoop() { SetEvent(QuitEvent()); }

void ResetServerLoopForTesting() { ResetEvent(QuitEvent()); }

HRESULT RunServerLoop(const ServerLoopOptions& options) {
  SetTraceLevel(0);
  ReadTraceLevel();
  RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
  RegisterClipboardFormatA("OPCSTMFORMATDATA");
  RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE");
  // Process-wide call security: every caller the network host logs on
  // (NTLM against the accounts file) may call, at the connect level; the
  // host enforces that itself (network_host.h), in both modes.
  RecordServerStartTime();

  HRESULT hr =
      options.create_device ? options.create_device() : CreateProcessDevice();
  if (FAILED(hr)) return hr;

  std::vector<DWORD> cookies;
  hr = RegisterServerClassObjects(
      CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookies);
  if (FAILED(hr)) {
    SetProcessDevice(nullptr);
    return hr;
  }

  ProgramNetwork network;
  LifetimeMonitor monitor({
      .lock_count =
          [&options, &network] {
            long local = options.lock_count ? options.lock_count()
                                            : com::ModuleLockCount();
            return local + static_cast<long>(network.exported_objects());
          },
      .suspend = [] { CoSuspendClassObjects(); },
      .resume = [] { CoResumeClassObjects(); },
      .quit = [] { QuitServerLoop(); },
  });
  if (!options.service_mode && !monitor.Start()) {
    RevokeServerClassObjects(&cookies);
    SetProcessDevice(nullptr);
    return E_FAIL;
  }
  hr = CoResumeClassObjects();
  if (FAILED(hr)) {
    monitor.Stop();
    RevokeServerClassObjects(&cookies);
    SetProcessDevice(nullptr);
    return hr;
  }

  if (options.serve_network) {
    hr = network.Start(options.network_settings ? options.network_settings()
                                                : ReadNetworkSettings());
    if (FAILED(hr)) {
      monitor.Stop();
      RevokeServerClassObjects(&cookies);
      SetProcessDevice(nullptr);
      return hr;
    }
    if (options.on_listening) {
      options.on_listening(network.activation_port(), network.object_port());
    }
  }

  if (options.on_serving) options.on_serving();
  WaitForSingleObject(QuitEvent(), INFINITE);

  // The monitor looks at the network's count, so it goes first; stopping
  // the network then releases what remote clients still held.
  monitor.Stop();
  network.Stop();
  RevokeServerClassObjects(&cookies);
  // The device stays until the process ends; releasing it here, after the
  // last class object is gone, stops its threads before the process's
  // static state goes.
  SetProcessDevice(nullptr);
  return S_OK;
}

}  // namespace kavex::server
