#include "device/device_config.h"

#include <cctype>
#include <vector>

#include "device/capture.h"  // kMaxNdisNameLength
#include "device/packet_driver.h"
#include "platform/com/bstr.h"
#include "platform/text/utf.h"
#include "platform/com/variant.h"
#include "platform/registry/registry.h"
#include "xmldoc/xdomlib.h"

namespace kavex::device {
namespace {

// The text of attribute `name`; "" when it is absent.
std::string AttributeText(xmldoc::CXNode& node, const char16_t* name) {
  com::Bstr text;
  text.Attach(node.GetAttribute(name).Text());
  return text.ToUtf8();
}

// Attribute `name` converted to an unsigned integer type; 0 when it is
// absent or does not convert.
uint32_t AttributeUnsigned(xmldoc::CXNode& node, const char16_t* name,
                           VARTYPE vt) {
  xmldoc::CXNode attribute = node.GetAttribute(name);
  if (!attribute.Valid()) return 0;
  VARIANT value = attribute.Value(vt);
  uint32_t result = 0;
  if (value.vt == VT_UI4) result = value.ulVal;
  if (value.vt == VT_UI1) result = value.bVal;
  VariantClear(&value);
  return result;
}

// The configuration of one enabled Port element; false for a disabled one.
bool ReadPort(xmldoc::CXNode& node, PortRecord* port) {
  if (AttributeText(node, u"Disabled") == "Yes") return false;
  port->number_text = AttributeText(node, u"Number");
  port->number = ParsePortNumber(port->number_text);
  port->alias = AttributeText(node, u"Alias");
  return true;
}

SwitchRecord ReadSwitch(xmldoc::CXNode& node) {
  SwitchRecord record;
  record.address = AttributeText(node, u"Address");
  record.alias = AttributeText(node, u"Alias");
  record.model = AttributeText(node, u"Model");
  record.type_code =
      static_cast<uint8_t>(AttributeUnsigned(node, u"Type", VT_UI1));
  xmldoc::CXNodeList ports = node.SelectNodes(u"Port");
  const LONG count = ports.Length();
  for (LONG i = 0; i < count; ++i) {
    xmldoc::CXNode port_node = ports.Item(i);
    PortRecord port;
    if (ReadPort(port_node, &port)) record.ports.push_back(std::move(port));
  }
  record.live.total_ports = static_cast<uint32_t>(record.ports.size());
  return record;
}

}  // namespace

bool ReadConfigurationPath(std::string* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  char data[kMaxConfigurationPathBytes];
  DWORD type = REG_NONE;
  DWORD size = sizeof(data);
  const LONG status = RegQueryValueExA(key, kConfigurationValue, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return false;  // ERROR_MORE_DATA: too long
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  if (size == 0 || size > sizeof(data) || data[size - 1] != '\0') return false;
  path->assign(data);  // up to the first NUL
  return true;
}

uint8_t ParsePortNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Unsigned arithmetic wraps where a plain conversion would overflow; the
  // low byte comes out the same either way.
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<uint8_t>(value & 0xFF);
}

bool LoadConfigurationFile(const std::string& path, AdapterEntry* entry,
                           std::string* data_format) {
  xmldoc::CXDocument document;
  const std::u16string wide_path = text::Utf8ToUtf16(path);
  document.Load(wide_path.c_str());
  if (!document.Valid()) return false;

  xmldoc::CXNode root = document.SelectSingleNode(u"ROOT");
  *data_format = AttributeText(root, u"DataFormat");

  xmldoc::CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  const LONG count = adapters.Length();
  for (LONG i = 0; i < count; ++i) {
    xmldoc::CXNode adapter = adapters.Item(i);
    const std::string name = AttributeText(adapter, u"Name");
    if (name.find('\\') == std::string::npos || name != entry->ndis_name) {
      continue;
    }
    // The first matching element decides, whatever it holds.
    if (AttributeText(adapter, u"Active") != "Yes") {
      entry->active = false;
      return true;
    }
    uint32_t timeout = AttributeUnsigned(adapter, u"Timeout", VT_UI4);
    entry->timeout_seconds = timeout == 0 ? kDefaultTimeoutSeconds : timeout;
    xmldoc::CXNodeList switches = adapter.SelectNodes(u"SWITCH");
    const LONG switch_count = switches.Length();
    for (LONG s = 0; s < switch_count; ++s) {
      xmldoc::CXNode switch_node = switches.Item(s);
      entry->switches.push_back(ReadSwitch(switch_node));
      entry->active = true;
    }
    return true;
  }
  return true;
}

bool LoadConfiguration(AdapterEntry* entry, std::string* data_format) {
  std::string path;
  return ReadConfigurationPath(&path) &&
         LoadConfigurationFile(path, entry, data_format);
}

namespace {

// The NDIS name of an enumeration entry; false on any failure or an empty
// name.
bool EntryNdisName(PacketDriver* driver, PKIO_HANDLE entry, std::string* name) {
  DWORD size = 0;
  DWORD status = driver->GetAdapterNdisName(entry, nullptr, &size);
  if ((status != 0 &&
       status != static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) ||
      size == 0) {
    return false;
  }
  std::vector<char> buffer(size + 1, '\0');
  status = driver->GetAdapterNdisName(entry, buffer.data(), &size);
  if (status != 0 || size < 1) return false;
  name->assign(buffer.data());  // up to the NUL, never past the buffer
  return !name->empty();
}

}  // namespace

bool SelectCaptureAdapter(PacketDriver* driver, AdapterEntry* entry,
                          std::string* data_format) {
  const PKIO_HANDLE enumeration = driver->OpenAdapterEnum();
  if (enumeration == PKIO_INVALID_HANDLE) return false;
  bool selected = false;
  PKIO_HANDLE adapter = driver->GetFirstAdapter(enumeration);
  while (adapter != PKIO_INVALID_HANDLE) {
    std::string name;
    const bool named = EntryNdisName(driver, adapter, &name);
    driver->ReleaseAdapterEntry(adapter);
    if (named) {
      AdapterEntry candidate;
      candidate.ndis_name = name.substr(0, kMaxNdisNameLength);
      if (!LoadConfiguration(&candidate, data_format)) break;
      if (candidate.active) {
        *entry = std::move(candidate);
        selected = true;
        break;
      }
    }
    adapter = driver->GetNextAdapter(enumeration);
  }
  driver->CloseAdapterEnum(enumeration);
  return selected;
}

}  // namespace kavex::device
