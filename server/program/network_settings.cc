#include "server/program/network_settings.h"

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "platform/com/guid.h"
#include "platform/log/logger.h"
#include "platform/registry/registry.h"
#include "server/program/registration.h"

namespace kavex::server {
namespace {

constexpr size_t kMaxText = 256;

// REG_SZ data as text: up to its first NUL (stored with or without one).
bool Text(DWORD type, std::span<const uint8_t> data, std::string* text,
          std::string* why) {
  if (type != REG_SZ) {
    *why = "not a string (REG_SZ)";
    return false;
  }
  size_t length = 0;
  while (length < data.size() && data[length] != 0) ++length;
  if (length > kMaxText) {
    *why = "longer than " + std::to_string(kMaxText) + " characters";
    return false;
  }
  text->assign(reinterpret_cast<const char*>(data.data()), length);
  return true;
}

}  // namespace

bool ParseListenAddress(DWORD type, std::span<const uint8_t> data,
                        std::string* address, std::string* why) {
  std::string text;
  if (!Text(type, data, &text, why)) return false;
  in_addr parsed = {};
  // inet_pton takes exactly four decimal fields: no octal, hex or short
  // forms that would read as some other address than the one meant.
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
    *why = "\"" + text + "\" is not a dotted IPv4 address";
    return false;
  }
  char canonical[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &parsed, canonical, sizeof canonical);
  *address = canonical;
  return true;
}

bool ParseObjectPort(DWORD type, std::span<const uint8_t> data, uint16_t* port,
                     std::string* why) {
  uint64_t value = 0;
  if (type == REG_DWORD) {
    if (data.size() != 4) {
      *why = "a REG_DWORD of " + std::to_string(data.size()) + " bytes";
      return false;
    }
    uint32_t dword = 0;
    std::memcpy(&dword, data.data(), 4);
    value = dword;
  } else {
    std::string text;
    if (!Text(type, data, &text, why)) {
      *why = "neither a REG_DWORD nor a decimal string";
      return false;
    }
    if (text.empty() || text.size() > 5) {
      *why = "\"" + text + "\" is not a port number";
      return false;
    }
    for (char c : text) {
      if (c < '0' || c > '9') {
        *why = "\"" + text + "\" is not a port number";
        return false;
      }
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
  }
  if (value == 0 || value > 65535) {
    *why = std::to_string(value) + " is not a port from 1 to 65535";
    return false;
  }
  if (value == kActivationPort) {
    *why = "135 is the activation port itself";
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseAdvertisedAddress(DWORD type, std::span<const uint8_t> data,
                            std::string* address, std::string* why) {
  std::string text;
  if (!Text(type, data, &text, why)) return false;
  // A host name (letters, digits, '-' and '.') or a dotted address: what a
  // binding string can carry without quoting.
  bool ok = !text.empty() && text.size() <= 253 && text.front() != '.' &&
            text.front() != '-';
  for (char c : text) {
    ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                (c >= '0' && c <= '9') || c == '-' || c == '.');
  }
  if (!ok) {
    *why = "\"" + text + "\" is not a host name or address";
    return false;
  }
  *address = text;
  return true;
}

NetworkSettings ReadNetworkSettings() {
  NetworkSettings settings;
  HKEY key = nullptr;
  const std::string sub = "AppID\\" + com::GuidToString(APPID_KavexOPCServer);
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return settings;
  }
  // A value's type and bytes; false when it is absent (or unreadable, which
  // is logged).
  auto query = [&](const char* name, DWORD* type, std::vector<uint8_t>* data) {
    DWORD size = 0;
    LONG err = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (err == ERROR_FILE_NOT_FOUND) return false;
    if (err == ERROR_SUCCESS && size > 4096) err = ERROR_MORE_DATA;
    if (err == ERROR_SUCCESS) {
      data->resize(size);
      err = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
      data->resize(size);
    }
    if (err != ERROR_SUCCESS) {
      log::Logf(log::Level::kError, "network",
                "HKCR\\%s \"%s\" cannot be read (error %ld); using the "
                "default",
                sub.c_str(), name, static_cast<long>(err));
      return false;
    }
    return true;
  };
  auto refuse = [&](const char* name, const std::string& why,
                    const std::string& fallback) {
    log::Logf(log::Level::kError, "network",
              "HKCR\\%s \"%s\" refused: %s; using %s", sub.c_str(), name,
              why.c_str(), fallback.c_str());
  };
  DWORD type = 0;
  std::vector<uint8_t> data;
  std::string why;
  if (query(kListenAddressValue, &type, &data) &&
      !ParseListenAddress(type, data, &settings.listen_address, &why)) {
    settings.listen_address = kDefaultListenAddress;
    refuse(kListenAddressValue, why, settings.listen_address);
  }
  if (query(kObjectPortValue, &type, &data) &&
      !ParseObjectPort(type, data, &settings.object_port, &why)) {
    settings.object_port = kDefaultObjectPort;
    refuse(kObjectPortValue, why, std::to_string(kDefaultObjectPort));
  }
  if (query(kAdvertisedAddressValue, &type, &data) &&
      !ParseAdvertisedAddress(type, data, &settings.advertised_address, &why)) {
    settings.advertised_address.clear();
    refuse(kAdvertisedAddressValue, why, "the listen address");
  }
  RegCloseKey(key);
  return settings;
}

}  // namespace kavex::server
