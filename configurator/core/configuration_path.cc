#include "configurator/core/configuration_path.h"

#include "platform/text/utf.h"
#include "platform/registry/registry.h"

namespace kavex::configurator {

bool ReadConfigurationPath(std::u16string* path) {
  path->clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return false;
  BYTE buffer[255];
  DWORD size = sizeof buffer;
  DWORD type = REG_NONE;
  LONG status =
      RegQueryValueExA(key, kConfigurationValue, nullptr, &type, buffer, &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  std::string_view text(reinterpret_cast<const char*>(buffer), size);
  text = text.substr(0, text.find('\0'));  // stored with or without its NUL
  if (text.empty()) return false;
  *path = text::Utf8ToUtf16(text);
  return true;
}

}  // namespace kavex::configurator
