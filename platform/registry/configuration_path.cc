#include "platform/registry/configuration_path.h"

#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry/registry.h"

namespace kavex::registry {
namespace {

LONG Refuse(LONG error, std::string text, std::string* reason) {
  if (reason != nullptr) *reason = std::move(text);
  return error;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
  }
  return "not a string";
}

}  // namespace

LONG ReadConfigurationPath(size_t max_bytes, std::string* path,
                           std::string* reason) {
  path->clear();
  if (reason != nullptr) reason->clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return Refuse(ERROR_FILE_NOT_FOUND, "is missing (the key is not there)",
                  reason);
  }
  DWORD type = REG_NONE;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, kConfigurationValue, nullptr, &type,
                                 nullptr, &size);
  std::vector<char> data;
  if (status == ERROR_SUCCESS && size <= max_bytes) {
    // Read into a buffer of the caller's size, as it always has been: a
    // value that grew in between comes back ERROR_MORE_DATA.
    data.resize(max_bytes);
    size = static_cast<DWORD>(max_bytes);
    status = RegQueryValueExA(key, kConfigurationValue, nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
  }
  RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND)
    return Refuse(ERROR_FILE_NOT_FOUND, "is missing", reason);
  if (status == ERROR_SUCCESS && size > max_bytes) status = ERROR_MORE_DATA;
  if (status == ERROR_MORE_DATA) {
    return Refuse(ERROR_MORE_DATA,
                  "is " + std::to_string(size) + " bytes, more than the " +
                      std::to_string(max_bytes) + " it may have",
                  reason);
  }
  if (status != ERROR_SUCCESS) return Refuse(status, "cannot be read", reason);
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    return Refuse(ERROR_INVALID_DATA, std::string("is ") + TypeName(type),
                  reason);
  if (size == 0 || data[size - 1] != '\0')
    return Refuse(ERROR_INVALID_DATA, "does not end with a NUL", reason);
  const std::string_view text(data.data(), size - 1);
  if (text.empty()) return Refuse(ERROR_INVALID_DATA, "is empty", reason);
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    return Refuse(ERROR_INVALID_DATA,
                  "holds a NUL at byte " + std::to_string(nul) + " of " +
                      std::to_string(size),
                  reason);
  }
  path->assign(text);
  return ERROR_SUCCESS;
}

}  // namespace kavex::registry
