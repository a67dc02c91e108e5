#include "platform/service/service_names.h"

#include <strings.h>

#include <cstring>

namespace kavex::service {
namespace {

struct NamedService {
  const char* name;
  const char* unit;
};
constexpr NamedService kServices[] = {
    {kServerServiceName, kServerUnitName},
};

constexpr char kUnitSuffix[] = ".service";
constexpr size_t kMaxUnitName = 255;  // systemd's limit, suffix included

bool EndsWith(const std::string& text, const char* suffix) {
  size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool ValidUnitCharacters(const std::string& name) {
  if (name.empty() || name[0] == '.' || name[0] == '-') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || std::strchr("-_.@:", c) != nullptr;
    if (!ok || c == '\0') return false;
  }
  return true;
}

}  // namespace

bool UnitForServiceName(const std::string& name, std::string* unit) {
  for (const NamedService& service : kServices) {
    if (strcasecmp(name.c_str(), service.name) == 0 &&
        name.size() == std::strlen(service.name)) {
      *unit = service.unit;
      return true;
    }
  }
  if (!ValidUnitCharacters(name)) return false;
  std::string candidate =
      EndsWith(name, kUnitSuffix) ? name : name + kUnitSuffix;
  // A bare ".service" has no name before the suffix.
  if (candidate.size() > kMaxUnitName ||
      candidate.size() == std::strlen(kUnitSuffix))
    return false;
  *unit = candidate;
  return true;
}

bool IsValidUnitName(const std::string& unit) {
  if (unit.size() > kMaxUnitName || !ValidUnitCharacters(unit)) return false;
  for (const char* suffix : {".service", ".socket", ".target"})
    if (EndsWith(unit, suffix) && unit.size() > std::strlen(suffix))
      return true;
  return false;
}

std::string ServiceNameForUnit(const std::string& unit) {
  for (const NamedService& service : kServices)
    if (unit == service.unit) return service.name;
  return unit;
}

bool DependencyForServiceName(const std::string& name, UnitDependency* dep) {
  if (strcasecmp(name.c_str(), "RPCSS") == 0 && name.size() == 5) {
    *dep = {"network.target", ""};
    return true;
  }
  for (const NamedService& service : kServices) {
    if (strcasecmp(name.c_str(), service.name) == 0 &&
        name.size() == std::strlen(service.name)) {
      *dep = {service.unit, service.unit};
      return true;
    }
  }
  return false;
}

}  // namespace kavex::service
