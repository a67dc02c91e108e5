// The configurator's main window ("VeltoOPC") as a model: its controls as
// state, its operations as methods, its message boxes through the
// platform's handler. A view draws state() and forwards the operator's
// actions; it polls revision() (cheap, any thread) to learn that something
// changed, and calls OnReportTimer() when the report timer it was asked to
// start (state().report_timer_ms) fires. The ports, time-out and import
// windows are models of their own, opened by the operations that open them.
//
// Threads: every operation runs on the window thread. Frames arrive on the
// capture thread (the capture pump's receive thread) and update the
// discovered list, the mapped list and the live statistics of the mapped
// switches; all of that state is guarded by one lock, which no operation
// holds while a message box is up.
//
// The start-up sequence, in Initialize: data format "String"; the obsolete
// mapping file check; the model catalog; adapter enumeration, each adapter
// loading its part of the configuration file; the data format radios; the
// "Shutdown" event; the command line (report mode); the first adapter (or
// the one the report names) selected, which starts capture; the service
// check.
#ifndef KAVEX_CONFIGURATOR_CORE_WINDOW_MODEL_H_
#define KAVEX_CONFIGURATOR_CORE_WINDOW_MODEL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "configurator/core/capture.h"
#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"
#include "configurator/core/discovery.h"
#include "configurator/core/import_export.h"
#include "configurator/core/messages.h"
#include "configurator/core/model_catalog.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/service_control.h"
#include "configurator/core/slot_rules.h"
#include "configurator/core/timeout_window.h"
#include "platform/base/unique_handle.h"
#include "platform/base/types.h"
#include "platform/pkio/packet_driver.h"

namespace kavex::configurator {

inline constexpr char16_t kAliasSeparator[] = u"  -  ";
inline constexpr size_t kSwitchAliasLimit = 35;
inline constexpr size_t kMaxAdapterNameLength = 259;
inline constexpr DWORD kReportDelayMs = 7000;
inline constexpr char kShutdownEventName[] = "Shutdown";
inline constexpr char16_t kNothingSelected[] = u"Nothing is selected";
inline constexpr char16_t kTypeNewAlias[] = u"Type in a new alias name.";
inline constexpr char16_t kForbiddenAliasCharacters[] =
    u"'.', '-' and Spaces are not allowed in the alias name";

// Aliases of switches and ports may hold no space, "." or "-": the device
// names its items with them, joined by dots.
bool AliasHasForbiddenCharacter(std::u16string_view alias);

struct MainWindowState {
  ComboControl adapter_box{/*sorted=*/true};  // 1000
  TextControl status;                         // 1007
  ListControl discovered{/*sorted=*/true};    // 1006 "Current Switches"
  ListControl mapped{/*sorted=*/true};        // 1001 "address  -  alias"
  ModelControls model;                        // 1068, slots, 1080
  TextControl switch_hint;                    // 1079
  TextControl map_button;                     // 1069
  TextControl alias_edit;                     // 1003
  bool string_format_checked = true;          // 1020
  bool integer_format_checked = false;        // 1021
  TextControl service_notice;                 // 1016
  TextControl stop_server_button;             // 1017
  bool timeout_command_enabled = false;       // system menu 0x20
  bool minimized = false;                     // report mode
  DWORD report_timer_ms = 0;                  // timer 1; 0: none
  // Set once the window has ended, with IDOK or IDCANCEL.
  bool closed = false;
  int end_result = 0;
};

struct MainWindowOptions {
  // The driver library (tests pass a scripted one); must outlive the model.
  pkio::PacketDriver* driver = nullptr;
  // The window thread's pauses: the stop loop's waits, the grace before an
  // adapter is closed, the pause before the service is started again.
  // Default: Sleep on the installed clock.
  std::function<void(DWORD ms)> sleep;
  // The program's file name without its extension, the caption of some
  // boxes. Default: the running program's.
  std::string application_name;
  // Where "Report.txt" is written. Default: the current directory.
  std::string report_directory = ".";
};

class MainWindowModel {
 public:
  explicit MainWindowModel(MainWindowOptions options);
  // Stops capture if it still runs. Windows opened from the model must be
  // gone by then.
  ~MainWindowModel();
  MainWindowModel(const MainWindowModel&) = delete;
  MainWindowModel& operator=(const MainWindowModel&) = delete;

  // The start-up sequence; `command_line` as the program got it (see
  // report_mode.h for the report form).
  void Initialize(std::u16string_view command_line);

  // --- What the view draws -------------------------------------------------
  MainWindowState state() const;
  // Grows whenever state() changes.
  uint64_t revision() const { return revision_.load(std::memory_order_acquire); }
  // Called after every change of state(), on the thread that made it (the
  // window thread or the capture thread), with the model's lock held: it
  // must not call the model, only note or post that a redraw is due (a
  // view posts a queued call to its own thread). Set it before Initialize
  // and keep it valid until the model is destroyed; empty for none.
  void SetChangeCallback(std::function<void()> callback) {
    on_change_ = std::move(callback);
  }

  // --- Operator actions ------------------------------------------------------
  // The adapter box closed up on entry `index` (-1: none).
  void SelectAdapter(int index);
  // The model box closed up on entry `index`; typing in it.
  void SelectModel(int index);
  void SetModelText(std::u16string_view text);
  // Slot box `slot` (0 to 3) closed up on entry `index`.
  void SelectSlot(int slot, int index);
  // An entry of the discovered list chosen: auto-selection of its model.
  void SelectDiscovered(int index);
  void SelectMapped(int index);
  // Edit 1003 holds at most 35 characters, as typed.
  void SetAliasText(std::u16string_view text);
  void SetDataFormat(std::u16string_view format);  // "String" or "Integer"

  void Map();
  void UnMap();
  void Rename();
  // "Switch Details" or a double click in the mapped list: the ports
  // window of the selected switch, or null (and a message) when none is.
  // Closing it is destroying it.
  std::unique_ptr<PortsWindow> OpenSwitchDetails();
  // "Change Timeout Value...": null (and a message) without an adapter.
  std::unique_ptr<TimeoutWindow> OpenTimeoutWindow();
  // Export to `path` (the save dialog's choice). False, with the reason in
  // the status line, when the file cannot be written.
  bool Export(const std::u16string& path);
  // Import from `path` (the open dialog's choice): the Select Adapter window.
  std::unique_ptr<ImportWindow> OpenImportWindow(const std::u16string& path);
  // The file dialogs' initial directory: the configuration file's, or ""
  // (the current directory) when its path is not known.
  std::u16string FileDialogDirectory() const;
  void StopServer();

  // "Save && Close": true when the window closed. A configuration file
  // that cannot be written keeps the window open, capturing again, with
  // the reason in the status line.
  bool SaveAndClose();
  void CloseWithoutSaving();
  // Report mode: writes "Report.txt" and closes the window.
  void OnReportTimer();

  // --- For the windows it opens and for tests ---------------------------------
  std::vector<ConfigAdapter> adapters() const;
  std::u16string data_format() const;
  bool report_mode() const { return report_mode_; }
  // The current catalog model's name; "" when there is none.
  std::u16string current_model() const;
  // How the service check at start-up ended.
  ServiceCheck service_check() const { return service_check_; }
  bool capturing() const { return capture_.running(); }
  const Capture& capture() const { return capture_; }

  // A frame as the capture thread gets it (the capture sink).
  void HandleFrame(const uint8_t* frame, size_t length);

 private:
  friend class ImportWindow;
  friend class PortsWindow;
  friend class TimeoutWindow;
  friend class SwitchDetailsWindow;
  friend class PortCountersWindow;

  using Lock = std::unique_lock<std::mutex>;

  void Changed() {
    revision_.fetch_add(1, std::memory_order_acq_rel);
    if (on_change_) on_change_();
  }
  // Shows the boxes with the lock let go, then takes it again.
  void Show(Lock* lock, const Messages& messages);
  int Ask(Lock* lock, const Message& question);

  void CheckObsoleteFile();
  void LoadCatalog();
  void EnumerateAdapters();
  void RunAdapterSelection(Lock* lock);
  void StopCapture(bool with_grace);
  ConfigAdapter* ActiveAdapter();
  void RebuildMapped();
  void RebuildAddressIndex();
  void AfterNewAddress(const uint8_t* mac);
  void RunModelSelection();
  void Close(bool restart_service);
  std::u16string ConfigurationPath() const;

  const MainWindowOptions options_;
  std::string application_name_;

  // Guards everything below that frames touch: state_ (the lists and the
  // status line above all), the adapters, their switches and the switches'
  // live fields, discovery_, address_index_ and the shown switch. The
  // adapters are never added or removed between Initialize and closing,
  // and a switch is never removed while the ports window is open.
  mutable std::mutex mu_;
  MainWindowState state_;
  std::vector<ConfigAdapter> adapters_;
  Discovery discovery_{&state_.discovered};
  // The active adapter's switches by address: the first of each address.
  std::unordered_map<uint64_t, size_t> address_index_;
  std::u16string data_format_ = u"String";
  bool details_open_ = false;
  ConfigSwitch* shown_switch_ = nullptr;
  uint64_t shown_key_ = 0;  // its address as a device::AddressKey

  // Window thread only.
  ModelCatalog catalog_;
  const CatalogModel* current_model_ = nullptr;
  ConfigAdapter* current_adapter_ = nullptr;  // the active one, once capturing
  bool report_mode_ = false;
  std::u16string report_adapter_;
  ServiceCheck service_check_ = ServiceCheck::kNotFound;
  ServiceControl service_;

  std::atomic<uint64_t> revision_{0};
  std::function<void()> on_change_;
  // Frames are ignored while capture is being stopped.
  std::atomic<bool> stopping_{false};
  UniqueHandle shutdown_;  // "Shutdown", manual reset
  // Whether "Shutdown" is signalled, for the frames to test cheaply; set and
  // cleared with the event by SignalShutdown and ResetShutdown.
  std::atomic<bool> shutdown_signalled_{false};
  void SignalShutdown();
  void ResetShutdown();
  Capture capture_;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_WINDOW_MODEL_H_
