#include "server/objects/process_state.h"

#include <mutex>

#include "platform/com/activation.h"
#include "platform/sync/clock.h"

namespace kavex::server {
namespace {

struct ProcessState {
  std::mutex mu;
  com::ComPtr<IKavexOPCDevice> device;
  FILETIME start_time{};
};

// Never destroyed: the device lives until the process ends, and releasing
// it from a static destructor would run its module's code during exit.
ProcessState& State() {
  static auto* state = new ProcessState;
  return *state;
}

}  // namespace

HRESULT CreateProcessDevice() {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(u"KavexOPCDevice.Device", &clsid);
  if (FAILED(hr)) return hr;
  com::ComPtr<IKavexOPCDevice> device;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL,
                        IID_PPV_ARGS(device.GetAddressOf()));
  if (FAILED(hr)) return hr;
  if (!device) return E_POINTER;
  SetProcessDevice(device.Get());
  return S_OK;
}

com::ComPtr<IKavexOPCDevice> ProcessDevice() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().device;
}

void SetProcessDevice(IKavexOPCDevice* device) {
  com::ComPtr<IKavexOPCDevice> old;
  {
    std::lock_guard<std::mutex> lock(State().mu);
    old = std::move(State().device);
    State().device = device;
  }
  // `old` is released here, outside the lock.
}

FILETIME ServerStartTime() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().start_time;
}

void RecordServerStartTime() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  std::lock_guard<std::mutex> lock(State().mu);
  State().start_time = now;
}

}  // namespace kavex::server
