#include "configurator/core/timeout_window.h"

#include <mutex>

#include "configurator/core/window_model.h"

namespace kavex::configurator {

std::unique_ptr<TimeoutWindow> MainWindowModel::OpenTimeoutWindow() {
  Lock lock(mu_);
  if (current_adapter_ == nullptr) {
    Show(&lock, {{kSelectAdapterFirst, options_.application_name, MB_OK}});
    return nullptr;
  }
  ConfigAdapter* adapter = current_adapter_;
  // The window takes the lock itself to read the value.
  lock.unlock();
  return std::make_unique<TimeoutWindow>(this, adapter);
}

TimeoutWindow::TimeoutWindow(MainWindowModel* main, ConfigAdapter* adapter)
    : main_(main), adapter_(adapter) {
  state_.ok_button.text = u"OK";
  std::lock_guard<std::mutex> lock(main_->mu_);
  const std::string value = std::to_string(adapter_->timeout);
  SetValueText(std::u16string(value.begin(), value.end()));
}

void TimeoutWindow::SetValueText(std::u16string_view text) {
  std::u16string digits;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') digits += c;
  }
  state_.value.text = digits;
  DWORD value = 0;
  state_.ok_button.enabled = Value(&value);
}

bool TimeoutWindow::Value(DWORD* value) const {
  const std::u16string& text = state_.value.text;
  if (text.empty() || text.size() > 9) return false;
  DWORD number = 0;
  for (char16_t c : text) number = number * 10 + static_cast<DWORD>(c - u'0');
  *value = number;
  return number >= kMinTimeout && number <= kMaxTimeout;
}

bool TimeoutWindow::Ok() {
  DWORD value = 0;
  if (!state_.ok_button.enabled || !Value(&value)) return false;
  std::lock_guard<std::mutex> lock(main_->mu_);
  adapter_->timeout = value;
  main_->Changed();
  state_.closed = true;
  return true;
}

}  // namespace kavex::configurator
