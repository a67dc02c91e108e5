// The device's process-wide running state: configuration, switch table,
// capture on the active adapter, timer thread.
//
// Every device object holds the one running instance through a shared_ptr.
// When the last holder lets go, capture stops: the stop flag is set, the
// posted reads are cancelled, the receive and timer threads are joined and
// the adapter is closed. Only then may the module be unloaded, which is why
// the module asks Alive() before it agrees to go.
#ifndef KAVEX_DEVICE_DEVICE_RUNTIME_H_
#define KAVEX_DEVICE_DEVICE_RUNTIME_H_

#include <functional>
#include <memory>
#include <string>

#include "device/switch_table.h"
#include "platform/base/types.h"

namespace kavex::sync {
class Clock;
}  // namespace kavex::sync

namespace kavex::pkio {
class PacketDriver;
}  // namespace kavex::pkio

namespace kavex::device {

class CaptureAdapter;
class TableTimer;

// What start-up works with. The defaults are the production ones.
struct RuntimeOptions {
  pkio::PacketDriver* driver = nullptr;  // null: the driver library
  sync::Clock* clock = nullptr;  // the table's tick; null: installed clock
  // Receive-path diagnostics ("Read Error: ..."); null: standard output.
  std::function<void(const std::string&)> print;
};

class DeviceRuntime {
 public:
  // Returns the running runtime, starting it on first use (device start-up:
  // adapter selection + configuration, capture, timer). Every holder shares
  // one instance; when the last shared_ptr goes, capture stops (stop flag,
  // posted reads cancelled, receive and timer threads joined, adapter closed).
  // A failed start-up shows its message boxes and returns E_FAIL.
  static HRESULT Acquire(std::shared_ptr<DeviceRuntime>* out);

  // One runtime of its own, not shared: for tests and tools that inject the
  // driver, the clock or the diagnostics sink. E_FAIL as Acquire.
  static HRESULT Start(const RuntimeOptions& options,
                       std::unique_ptr<DeviceRuntime>* out);

  // True while any runtime exists, also while one is still stopping.
  static bool Alive();

  DeviceRuntime(const DeviceRuntime&) = delete;
  DeviceRuntime& operator=(const DeviceRuntime&) = delete;
  ~DeviceRuntime();

  const SwitchTable& table() const { return *table_; }
  const CaptureAdapter& capture() const { return *capture_; }

 private:
  explicit DeviceRuntime(const RuntimeOptions& options);
  bool StartUp();

  RuntimeOptions options_;
  std::unique_ptr<SwitchTable> table_;
  std::unique_ptr<CaptureAdapter> capture_;
  std::unique_ptr<TableTimer> timer_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_DEVICE_RUNTIME_H_
