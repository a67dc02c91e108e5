// The time-out window ("Change Timeout Value"): the current adapter's switch
// time-out in seconds, which "OK" takes only from 20 to 1500. The change
// lives in memory until "Save && Close".
#ifndef KAVEX_CONFIGURATOR_CORE_TIMEOUT_WINDOW_H_
#define KAVEX_CONFIGURATOR_CORE_TIMEOUT_WINDOW_H_

#include <string>
#include <string_view>

#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"
#include "platform/base/types.h"

namespace kavex::configurator {

class MainWindowModel;

inline constexpr DWORD kMinTimeout = 20;
inline constexpr DWORD kMaxTimeout = 1500;
inline constexpr char16_t kSelectAdapterFirst[] =
    u"An adapter must be selected before changing Timeout Value";

struct TimeoutWindowState {
  TextControl value;      // 1085, digits only
  TextControl ok_button;  // enabled only for 20 to 1500
  bool closed = false;
};

class TimeoutWindow {
 public:
  // Made by MainWindowModel::OpenTimeoutWindow for its current adapter;
  // `main` must outlive it.
  TimeoutWindow(MainWindowModel* main, ConfigAdapter* adapter);
  TimeoutWindow(const TimeoutWindow&) = delete;
  TimeoutWindow& operator=(const TimeoutWindow&) = delete;

  const TimeoutWindowState& state() const { return state_; }
  // The edit changed; it takes digits only, as typed.
  void SetValueText(std::u16string_view text);
  // True when the value was taken; "OK" does nothing while disabled.
  bool Ok();
  void Cancel() { state_.closed = true; }

 private:
  // The edit's value; false when it holds none or one out of range.
  bool Value(DWORD* value) const;

  MainWindowModel* const main_;
  ConfigAdapter* const adapter_;
  TimeoutWindowState state_;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_TIMEOUT_WINDOW_H_
