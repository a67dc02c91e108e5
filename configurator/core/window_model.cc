#include "configurator/core/window_model.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "configurator/core/config_file.h"
#include "configurator/core/config_rules.h"
#include "configurator/core/configuration_text.h"
#include "configurator/core/live_statistics.h"
#include "configurator/core/obsolete_file.h"
#include "configurator/core/report_mode.h"
#include "device/velto_frame.h"
#include "platform/base/results.h"
#include "platform/file/file.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"
#include "platform/text/utf.h"

namespace kavex::configurator {
namespace {

constexpr char16_t kSwitchHint[] =
    u"Each switch that is not shown in the right side list must be mapped to "
    u"a switch model in the box below.";
constexpr char16_t kSlotsHint[] =
    u"Select slots configuration from the drop down lists below and press "
    u"'Map'.";
constexpr char16_t kCatalogMissing[] = u"Can not find \"switches.xml\" file.";
constexpr char16_t kCatalogMissingStatus[] =
    u"Can not find \"switches.xml\" file";
constexpr char16_t kCatalogInvalid[] = u"\"Switches.xml\" file is not valid.";
constexpr char16_t kNoActiveAdapter[] = u"No active adapter found.";
constexpr DWORD kAdapterChangeGraceMs = 1000;
constexpr DWORD kRestartPauseMs = 500;
// Names longer than any adapter's are not asked for.
constexpr DWORD kMaxAdapterNameBytes = 64 * 1024;

constexpr size_t kInfoVersionOffset = 14;
constexpr size_t kConfigTextOffset = 22;

MainWindowOptions WithDefaults(MainWindowOptions options) {
  if (options.driver == nullptr) options.driver = pkio::RealPacketDriver();
  if (!options.sleep) options.sleep = [](DWORD ms) { Sleep(ms); };
  if (options.application_name.empty())
    options.application_name = program_invocation_short_name;
  return options;
}

enum class NameQuery { kOk, kFailed, kNoBuffer };

// The enumeration's protocol: the size first, then the name into a buffer
// of that size.
template <class Query>
NameQuery QueryName(Query query, std::u16string* name) {
  DWORD size = 0;
  const DWORD first = query(nullptr, &size);
  if (first != 0 && first != ERROR_INSUFFICIENT_BUFFER) return NameQuery::kFailed;
  if (size == 0 || size > kMaxAdapterNameBytes) return NameQuery::kNoBuffer;
  std::string buffer(size, '\0');
  if (query(buffer.data(), &size) != 0 || size < 1) return NameQuery::kFailed;
  buffer.resize(strnlen(buffer.data(), std::min<size_t>(size, buffer.size())));
  *name = text::Utf8ToUtf16(buffer).substr(0, kMaxAdapterNameLength);
  return NameQuery::kOk;
}

}  // namespace

MainWindowModel::MainWindowModel(MainWindowOptions options)
    : options_(WithDefaults(std::move(options))),
      service_(options_.sleep),
      capture_(options_.driver, [this](const uint8_t* frame, size_t length) {
        HandleFrame(frame, length);
      }) {
  state_.model.model_box.visible = false;
  state_.switch_hint.text = kSwitchHint;
  state_.switch_hint.visible = false;
  state_.map_button.text = u"Map";
  state_.map_button.visible = false;
  state_.model.slot_hint.text = kSlotsHint;
  static constexpr const char16_t* kSlotLabels[kMaxSlots] = {
      u"Slot A", u"Slot B", u"Slot C", u"Slot D"};
  for (int i = 0; i < kMaxSlots; ++i)
    state_.model.slot_labels[i].text = kSlotLabels[i];
  state_.stop_server_button.text = u"Stop OPC Server";
  state_.stop_server_button.visible = false;
}

void MainWindowModel::SignalShutdown() {
  shutdown_signalled_.store(true, std::memory_order_release);
  if (shutdown_) SetEvent(shutdown_.get());
}

void MainWindowModel::ResetShutdown() {
  if (shutdown_) ResetEvent(shutdown_.get());
  shutdown_signalled_.store(false, std::memory_order_release);
}

MainWindowModel::~MainWindowModel() {
  stopping_ = true;
  SignalShutdown();
  capture_.Stop();
}

void MainWindowModel::Show(Lock* lock, const Messages& messages) {
  if (messages.empty()) return;
  lock->unlock();
  ShowMessages(messages);
  lock->lock();
}

int MainWindowModel::Ask(Lock* lock, const Message& question) {
  lock->unlock();
  const int answer = ShowMessage(question);
  lock->lock();
  return answer;
}

std::u16string MainWindowModel::ConfigurationPath() const {
  std::u16string path;
  ReadConfigurationPath(&path);
  return path;
}

MainWindowState MainWindowModel::state() const {
  Lock lock(mu_);
  return state_;
}

std::vector<ConfigAdapter> MainWindowModel::adapters() const {
  Lock lock(mu_);
  return adapters_;
}

std::u16string MainWindowModel::data_format() const {
  Lock lock(mu_);
  return data_format_;
}

std::u16string MainWindowModel::current_model() const {
  return current_model_ != nullptr ? current_model_->name : std::u16string();
}

// --- Start-up ------------------------------------------------------------

void MainWindowModel::Initialize(std::u16string_view command_line) {
  {
    Lock lock(mu_);
    data_format_ = u"String";
  }
  CheckObsoleteFile();
  LoadCatalog();
  EnumerateAdapters();

  Lock lock(mu_);
  if (data_format_.empty()) data_format_ = u"String";
  state_.string_format_checked = data_format_ == u"String";
  state_.integer_format_checked = !state_.string_format_checked;

  shutdown_.reset(CreateEventA(nullptr, TRUE, FALSE, kShutdownEventName));
  // A process has one "Shutdown"; one left signalled by an earlier window
  // must not stop this one's capture.
  ResetShutdown();

  const ReportRequest request = ParseCommandLine(command_line);
  report_mode_ = request.report;
  report_adapter_ = request.adapter;
  if (report_mode_) {
    state_.minimized = true;
    state_.report_timer_ms = kReportDelayMs;
  }

  state_.model.slot_hint.visible = false;
  for (int i = 0; i < kMaxSlots; ++i) {
    state_.model.slot_labels[i].visible = false;
    state_.model.slot_boxes[i].visible = false;
  }

  ComboControl& box = state_.adapter_box;
  const int named =
      report_mode_ ? box.FindExactIgnoringCase(report_adapter_) : -1;
  if (named >= 0) {
    box.Select(named);
  } else if (!box.empty()) {
    box.Select(0);
  }
  RunAdapterSelection(&lock);

  lock.unlock();
  const ServiceCheck check = service_.Check();
  lock.lock();
  service_check_ = check;
  state_.service_notice.text = ServiceNotice(check);
  state_.stop_server_button.visible = StopButtonShown(check);
  Changed();
}

void MainWindowModel::CheckObsoleteFile() {
  const std::u16string path = ConfigurationPath();
  Messages messages;
  std::u16string format;
  const ObsoleteCheck check =
      path.empty() ? ObsoleteCheck::kNotLoaded
                   : CheckObsoleteMappingFile(path, options_.application_name,
                                              &format, &messages);
  {
    Lock lock(mu_);
    if (check == ObsoleteCheck::kNotLoaded) {
      state_.status.text = kNoSwitchesMapped;
    } else {
      data_format_ = format;
    }
    Changed();
  }
  ShowMessages(messages);
}

void MainWindowModel::LoadCatalog() {
  const std::u16string path = ConfigurationPath();
  Lock lock(mu_);
  if (path.empty()) {
    state_.status.text = kNoSwitchesMapped;
    return;
  }
  state_.model.model_box.Clear();
  switch (LoadModelCatalog(CatalogPathFor(path), &catalog_)) {
    case CatalogStatus::kNotFound:
      state_.status.text = kCatalogMissingStatus;
      Changed();
      Show(&lock, {{kCatalogMissing, kViewCaption, MB_OK}});
      return;
    case CatalogStatus::kNotValid:
      state_.status.text = kCatalogInvalid;
      Changed();
      return;
    case CatalogStatus::kLoaded:
      break;
  }
  for (const CatalogModel& model : catalog_.models)
    state_.model.model_box.Add(model.name);
  // Shown, but no model is current until the box closes up.
  state_.model.model_box.Select(0);
  Changed();
}

void MainWindowModel::EnumerateAdapters() {
  pkio::PacketDriver* driver = options_.driver;
  const std::vector<std::u16string> models = catalog_.ModelNames();
  Lock lock(mu_);
  adapters_.clear();
  state_.adapter_box.Clear();
  const PKIO_HANDLE enumeration = driver->OpenAdapterEnum();
  if (enumeration == PKIO_INVALID_HANDLE) {
    state_.status.text = u"Could Not Open Mac Enumeration Handle";
    Changed();
    return;
  }
  bool first = true;
  for (PKIO_HANDLE entry = driver->GetFirstAdapter(enumeration);
       entry != PKIO_INVALID_HANDLE;
       entry = driver->GetNextAdapter(enumeration), first = false) {
    ConfigAdapter adapter;
    const NameQuery friendly = QueryName(
        [&](char* buffer, DWORD* size) {
          return driver->GetAdapterFriendlyName(entry, buffer, size);
        },
        &adapter.friendly_name);
    if (friendly != NameQuery::kOk)
      state_.status.text = u"Adapter Friendly Name Unknown (malloc failure)";
    const NameQuery ndis = QueryName(
        [&](char* buffer, DWORD* size) {
          return driver->GetAdapterNdisName(entry, buffer, size);
        },
        &adapter.ndis_name);
    if (ndis == NameQuery::kFailed)
      state_.status.text = u"Adapter Ndis Name Unknown";
    if (ndis == NameQuery::kNoBuffer)
      state_.status.text = u"Adapter Ndis Name Unknown (malloc failure)";
    driver->ReleaseAdapterEntry(entry);
    if (friendly != NameQuery::kOk || ndis != NameQuery::kOk) {
      if (!first) break;
      continue;
    }
    std::u16string format = data_format_;
    std::u16string status;
    if (LoadAdapterConfiguration(&adapter, models, &format, &status)) {
      data_format_ = format;
    } else {
      state_.status.text = status;
    }
    state_.adapter_box.Add(adapter.friendly_name);
    adapters_.push_back(std::move(adapter));
  }
  driver->CloseAdapterEnum(enumeration);
  Changed();
}

// --- Adapters and capture ------------------------------------------------------

void MainWindowModel::SelectAdapter(int index) {
  Lock lock(mu_);
  state_.adapter_box.Select(index);
  RunAdapterSelection(&lock);
}

void MainWindowModel::RunAdapterSelection(Lock* lock) {
  state_.status.text.clear();
  state_.timeout_command_enabled = false;
  current_adapter_ = nullptr;
  Changed();
  ComboControl& box = state_.adapter_box;
  const std::u16string selected = box.SelectedText();
  if (box.selection() < 0 || selected.empty()) {
    state_.status.text = kNothingSelected;
    return;
  }
  state_.timeout_command_enabled = true;
  box.SelectExact(selected);

  lock->unlock();
  StopCapture(/*with_grace=*/true);
  lock->lock();

  ConfigAdapter* target = nullptr;
  for (ConfigAdapter& adapter : adapters_) {
    // The first adapter of that name is the one; names may repeat.
    if (adapter.friendly_name == selected && target == nullptr) {
      target = &adapter;
      // Marked before capture starts, so that the first frames find it.
      adapter.active = true;
    } else {
      adapter.active = false;
    }
  }
  if (target == nullptr) return;
  state_.mapped.Clear();
  // The switches heard are those of this adapter from now on.
  discovery_.Clear();
  RebuildAddressIndex();
  const std::string ndis_name = text::Utf16ToUtf8(target->ndis_name);
  Changed();

  lock->unlock();
  std::u16string failure;
  const bool started = capture_.Start(ndis_name, &failure);
  lock->lock();
  if (started) {
    current_adapter_ = target;
  } else {
    target->active = false;
    state_.status.text = failure;
  }
  Changed();
}

void MainWindowModel::StopCapture(bool with_grace) {
  if (!capture_.running()) return;
  stopping_ = true;
  SignalShutdown();
  // Frames still on their way find the stopping flag set.
  if (with_grace) options_.sleep(kAdapterChangeGraceMs);
  capture_.Stop();
  ResetShutdown();
  stopping_ = false;
}

ConfigAdapter* MainWindowModel::ActiveAdapter() {
  for (ConfigAdapter& adapter : adapters_) {
    if (adapter.active) return &adapter;
  }
  return nullptr;
}

void MainWindowModel::RebuildAddressIndex() {
  address_index_.clear();
  const ConfigAdapter* adapter = ActiveAdapter();
  if (adapter == nullptr) return;
  for (size_t i = 0; i < adapter->switches.size(); ++i) {
    uint64_t key = 0;
    // Only the exact text form can equal a frame's source address.
    if (device::ParseAddressText(
            text::Utf16ToUtf8(adapter->switches[i].address), &key))
      address_index_.try_emplace(key, i);
  }
}

void MainWindowModel::RebuildMapped() {
  state_.mapped.Clear();
  const ConfigAdapter* adapter = ActiveAdapter();
  if (adapter == nullptr) return;
  for (const ConfigSwitch& sw : adapter->switches)
    state_.mapped.Add(sw.address + kAliasSeparator + sw.alias);
}

// --- Frames (capture thread) ---------------------------------------------------

void MainWindowModel::HandleFrame(const uint8_t* frame, size_t length) {
  // "Shutdown" as its flag says: a wait on the event, even one that does not
  // block, takes the process's wait lock and allocates.
  if (shutdown_signalled_.load(std::memory_order_acquire)) return;
  if (!device::IsVeltoFrame(frame, length)) return;
  if (stopping_.load(std::memory_order_relaxed)) return;

  std::string_view config_text;
  if (length > device::kEmptyInfoFrameSize &&
      device::LoadLittleEndian(frame + kInfoVersionOffset, 2) != 0) {
    const char* text = reinterpret_cast<const char*>(frame + kConfigTextOffset);
    config_text = std::string_view(text, strnlen(text, device::kConfigTextSize));
  }
  const uint8_t* mac = frame + device::kSourceAddressOffset;
  const uint64_t key = device::AddressKey(mac);

  Lock lock(mu_);
  if (!discovery_.Contains(key)) {
    if (!details_open_ || !shown_switch_->heard) {
      discovery_.Add(key, mac, config_text);
      AfterNewAddress(mac);
      Changed();
    }
  } else if (!details_open_) {
    discovery_.SetConfigText(key, config_text);
  }

  if (length < device::kMinVeltoFrameSize) return;
  if (ActiveAdapter() == nullptr) {
    if (state_.status.text != kNoActiveAdapter) {
      state_.status.text = kNoActiveAdapter;
      Changed();
    }
    return;
  }
  ConfigSwitch* sw = nullptr;
  if (details_open_) {
    if (shown_key_ == key) sw = shown_switch_;
  } else if (auto at = address_index_.find(key); at != address_index_.end()) {
    sw = &ActiveAdapter()->switches[at->second];
  }
  if (sw != nullptr) UpdateLiveStatistics(sw, frame, length, GetTickCount());
}

void MainWindowModel::AfterNewAddress(const uint8_t* mac) {
  if (!state_.mapped.empty() && !report_mode_) return;
  const std::u16string address = text::Utf8ToUtf16(device::AddressText(mac));
  ConfigSwitch* found = nullptr;
  if (ConfigAdapter* adapter = ActiveAdapter()) {
    for (ConfigSwitch& sw : adapter->switches) {
      sw.heard = false;
      if (sw.address == address) {
        found = &sw;
        break;
      }
    }
  }
  if (found != nullptr) state_.mapped.Add(address + kAliasSeparator + found->alias);
  state_.model.model_box.visible = true;
  state_.switch_hint.visible = true;
  state_.map_button.visible = true;
  if (found == nullptr || !report_mode_) RebuildMapped();
}

// --- Simple controls -------------------------------------------------------------

void MainWindowModel::SelectModel(int index) {
  Lock lock(mu_);
  state_.model.model_box.Select(index);
  RunModelSelection();
  Changed();
}

void MainWindowModel::RunModelSelection() {
  current_model_ = configurator::SelectModel(catalog_, &state_.model);
}

void MainWindowModel::SetModelText(std::u16string_view text) {
  Lock lock(mu_);
  state_.model.model_box.text = std::u16string(text);
  Changed();
}

void MainWindowModel::SelectSlot(int slot, int index) {
  if (slot < 0 || slot >= kMaxSlots) return;
  Lock lock(mu_);
  state_.model.slot_boxes[slot].Select(index);
  Messages messages;
  if (current_model_ != nullptr && current_model_->modular)
    ValidateSlots(*current_model_, slot, /*silent=*/false, &state_.model,
                  &messages);
  Changed();
  Show(&lock, messages);
}

void MainWindowModel::SelectDiscovered(int index) {
  Lock lock(mu_);
  state_.discovered.Select(index);
  Changed();
  if (state_.discovered.selection() < 0) return;
  const std::u16string address = state_.discovered.SelectedText();
  const std::u16string reported =
      ReportedText(discovery_.ConfigText(address));
  if (SelectReportedConfiguration(catalog_, reported, &state_.model,
                                  &current_model_)) {
    state_.status.text =
        u"Configuration For Switch '" + address + u"' Has Been Auto-Selected.";
  } else {
    state_.model.model_box.Select(0);
    RunModelSelection();
    state_.status.text = u"Configuration '" + reported + u"' For Switch '" +
                         address + u"' Is Not Recognized.";
  }
}

void MainWindowModel::SelectMapped(int index) {
  Lock lock(mu_);
  state_.mapped.Select(index);
  Changed();
}

void MainWindowModel::SetAliasText(std::u16string_view text) {
  Lock lock(mu_);
  state_.alias_edit.text = std::u16string(text.substr(0, kSwitchAliasLimit));
  Changed();
}

void MainWindowModel::SetDataFormat(std::u16string_view format) {
  Lock lock(mu_);
  const bool integer = format == u"Integer";
  data_format_ = integer ? u"Integer" : u"String";
  state_.string_format_checked = !integer;
  state_.integer_format_checked = integer;
  Changed();
}

void MainWindowModel::StopServer() {
  const bool stopped = service_.Stop();
  Lock lock(mu_);
  if (stopped) {
    state_.service_notice.text.clear();
    state_.stop_server_button.visible = false;
  }
  Changed();
}

std::u16string MainWindowModel::FileDialogDirectory() const {
  const std::u16string path = ConfigurationPath();
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string::npos) return std::u16string();
  return path.substr(0, slash == 0 ? 1 : slash);
}

// --- Closing ---------------------------------------------------------------------------

void MainWindowModel::Close(bool restart_service) {
  stopping_ = true;
  SignalShutdown();
  capture_.Stop();
  if (restart_service) {
    options_.sleep(kRestartPauseMs);
    service_.RestartAndRelease();
  } else {
    service_.Release();
  }
  Lock lock(mu_);
  adapters_.clear();
  address_index_.clear();
  current_adapter_ = nullptr;
  current_model_ = nullptr;
  catalog_ = ModelCatalog();
  state_.closed = true;
  state_.report_timer_ms = 0;
  Changed();
}

bool MainWindowModel::SaveAndClose() {
  stopping_ = true;
  SignalShutdown();
  capture_.Stop();
  Lock lock(mu_);
  std::u16string status;
  const bool saved = SaveConfiguration(adapters_, data_format_, &status);
  state_.status.text = status;
  Changed();
  if (!saved && status != kNoSwitchesMapped) {
    // The mapping would be lost: the window stays, and captures again.
    ResetShutdown();
    stopping_ = false;
    ConfigAdapter* adapter = current_adapter_;
    if (adapter == nullptr) return false;
    const std::string ndis_name = text::Utf16ToUtf8(adapter->ndis_name);
    lock.unlock();
    std::u16string failure;
    const bool started = capture_.Start(ndis_name, &failure);
    lock.lock();
    if (!started) adapter->active = false;
    return false;
  }
  lock.unlock();
  Close(/*restart_service=*/true);
  Lock relock(mu_);
  state_.end_result = IDOK;
  return true;
}

void MainWindowModel::CloseWithoutSaving() {
  Close(/*restart_service=*/true);
  Lock lock(mu_);
  state_.end_result = IDCANCEL;
}

void MainWindowModel::OnReportTimer() {
  Lock lock(mu_);
  if (!report_mode_ || state_.closed) return;
  std::vector<std::pair<std::u16string, std::u16string>> lines;
  const ConfigAdapter* adapter = ActiveAdapter();
  for (const std::u16string& address : state_.discovered.items()) {
    if (adapter == nullptr) break;
    for (const ConfigSwitch& sw : adapter->switches) {
      if (sw.address == address) {
        lines.emplace_back(address, sw.alias);
        break;
      }
    }
  }
  const SYSTEMTIME now = LocalTimeNow();
  const std::string path =
      options_.report_directory + "/" + kReportFileName;
  const DWORD error = file::ReplaceFile(path, ReportText(now, lines));
  if (error != ERROR_SUCCESS) {
    // Said rather than silently lost: the window closes all the same.
    state_.status.text = u"Could not write \"" +
                         text::Utf8ToUtf16(kReportFileName) + u"\": " +
                         text::Utf8ToUtf16(Win32ErrorName(error));
  }
  state_.report_timer_ms = 0;
  Changed();
  lock.unlock();
  Close(/*restart_service=*/false);
  Lock relock(mu_);
  state_.end_result = IDCANCEL;
}

}  // namespace kavex::configurator
