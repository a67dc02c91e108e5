#include "device/device_runtime.h"

#include <atomic>
#include <mutex>

#include "device/capture.h"
#include "device/device_config.h"
#include "device/packet_driver.h"
#include "device/table_timer.h"
#include "platform/base/results.h"
#include "platform/log/logger.h"

namespace kavex::device {
namespace {

std::atomic<int> live_runtimes{0};

// Guards the shared runtime's start and its stop, so that a device created
// while the last one is still stopping opens the adapter only once the old
// capture has closed it.
// Recursive: a failed hand-over to the shared_ptr runs the deleter on the
// starting thread, which holds it already.
std::recursive_mutex& SharedMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

std::weak_ptr<DeviceRuntime>& SharedRuntime() {
  static std::weak_ptr<DeviceRuntime> runtime;
  return runtime;
}

}  // namespace

DeviceRuntime::DeviceRuntime(const RuntimeOptions& options)
    : options_(options) {
  if (options_.driver == nullptr) options_.driver = PkioDriver();
  live_runtimes.fetch_add(1);
  table_ = std::make_unique<SwitchTable>(options_.clock);
  SwitchTable* table = table_.get();
  capture_ = std::make_unique<CaptureAdapter>(
      options_.driver,
      [table](const uint8_t* frame, size_t length) {
        table->HandleFrame(frame, length);
      },
      options_.print);
  timer_ = std::make_unique<TableTimer>(table_.get());
}

DeviceRuntime::~DeviceRuntime() {
  // Timer first: it ages the table the receive thread writes. Both writers
  // are gone before the table itself is freed.
  timer_->Stop();
  capture_->Stop();
  live_runtimes.fetch_sub(1);
}

bool DeviceRuntime::Alive() { return live_runtimes.load() > 0; }

bool DeviceRuntime::StartUp() {
  AdapterEntry entry;
  std::string data_format;
  if (!SelectCaptureAdapter(options_.driver, &entry, &data_format)) {
    log::Log(log::Level::kWarning, "device",
             "no adapter to capture on: the configuration cannot be read, or "
             "no bound adapter is active in it");
    return false;
  }
  capture_->SetNdisName(entry.ndis_name);
  table_->Install(std::move(entry), std::move(data_format));
  if (!capture_->Start()) return false;
  // Its result is not checked: without the timer the values only stop
  // ageing, capture goes on.
  timer_->Start();
  return true;
}

HRESULT DeviceRuntime::Start(const RuntimeOptions& options,
                             std::unique_ptr<DeviceRuntime>* out) {
  if (out == nullptr) return E_POINTER;
  out->reset();
  std::unique_ptr<DeviceRuntime> runtime;
  try {
    runtime.reset(new DeviceRuntime(options));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (!runtime->StartUp()) return E_FAIL;
  *out = std::move(runtime);
  return S_OK;
}

HRESULT DeviceRuntime::Acquire(std::shared_ptr<DeviceRuntime>* out) {
  if (out == nullptr) return E_POINTER;
  out->reset();
  std::lock_guard<std::recursive_mutex> lock(SharedMutex());
  if (std::shared_ptr<DeviceRuntime> running = SharedRuntime().lock()) {
    *out = std::move(running);
    return S_OK;
  }
  std::unique_ptr<DeviceRuntime> started;
  const HRESULT hr = Start(RuntimeOptions(), &started);
  if (FAILED(hr)) return hr;
  try {
    // The last holder stops capture under the mutex.
    std::shared_ptr<DeviceRuntime> shared(
        started.release(), [](DeviceRuntime* runtime) {
          std::lock_guard<std::recursive_mutex> stopping(SharedMutex());
          std::unique_ptr<DeviceRuntime> owned(runtime);
        });
    SharedRuntime() = shared;
    *out = std::move(shared);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace kavex::device
