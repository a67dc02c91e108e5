#include "device/device_config.h"

#include <cctype>
#include <string_view>
#include <utility>
#include <vector>

#include "device/capture.h"  // kMaxNdisNameLength
#include "device/packet_driver.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/log/logger.h"
#include "platform/registry/configuration_path.h"
#include "platform/text/utf.h"
#include "xmldoc/xdomlib.h"

namespace kavex::device {
namespace {

constexpr char kLogCategory[] = "device";

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

// At most 40 bytes of a configured text, for a log line: a refused value
// may be megabytes long.
std::string Excerpt(std::string_view text) {
  constexpr size_t kShown = 40;
  if (text.size() <= kShown) return std::string(text);
  size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;  // not inside a UTF-8 sequence
  return std::string(text.substr(0, cut)) + "...";
}

// Reads the SWITCH and Port elements of one file; a refusal names the file
// and the element.
class ElementReader {
 public:
  explicit ElementReader(const std::string& path) : path_(path) {}

  // SWITCH element `index` (from 0) of its ADAPTER, with its enabled ports.
  bool ReadSwitch(xmldoc::CXNode& node, LONG index, SwitchRecord* record) {
    record->address = AttributeText(node, u"Address");
    record->model = AttributeText(node, u"Model");
    record->type_code =
        static_cast<uint8_t>(AttributeUnsigned(node, u"Type", VT_UI1));
    const std::string element = "SWITCH " + std::to_string(index + 1) +
                                " (Address \"" + Excerpt(record->address) +
                                "\")";
    if (!ReadAlias(node, element, &record->alias)) return false;
    // The switch's total ports stay 0 until its first accepted frame; the
    // "TotalPorts" text shows the configured count from the start.
    xmldoc::CXNodeList ports = node.SelectNodes(u"Port");
    const LONG count = ports.Length();
    for (LONG i = 0; i < count; ++i) {
      xmldoc::CXNode port_node = ports.Item(i);
      if (AttributeText(port_node, u"Disabled") == "Yes") continue;
      PortRecord port;
      port.number_text = AttributeText(port_node, u"Number");
      port.number = ParsePortNumber(port.number_text);
      const std::string port_element =
          "Port " + std::to_string(i + 1) + " (Number \"" +
          Excerpt(port.number_text) + "\") of " + element;
      if (!ReadAlias(port_node, port_element, &port.alias)) return false;
      record->ports.push_back(std::move(port));
    }
    return true;
  }

 private:
  // The "Alias" of `node`; false, logged, when it is too long to be used.
  bool ReadAlias(xmldoc::CXNode& node, const std::string& element,
                 std::string* alias) {
    com::Bstr text;
    text.Attach(node.GetAttribute(u"Alias").Text());
    const size_t length = text.View().size();
    if (length > kMaxAliasCharacters) {
      log::Logf(log::Level::kError, kLogCategory,
                "configuration file '%s': %s has an alias of %zu characters "
                "(\"%s\"), more than the %zu an alias may have; the "
                "configuration is not loaded",
                path_.c_str(), element.c_str(), length,
                Excerpt(text.ToUtf8()).c_str(), kMaxAliasCharacters);
      return false;
    }
    *alias = text.ToUtf8();
    return true;
  }

  const std::string& path_;
};

}  // namespace

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
  if (!document.Valid()) {
    log::Logf(log::Level::kError, kLogCategory,
              "the configuration is not loaded: %s",
              text::Utf16ToUtf8(document.ErrorDescription()).c_str());
    return false;
  }

  xmldoc::CXNode root = document.SelectSingleNode(u"ROOT");
  *data_format = AttributeText(root, u"DataFormat");

  ElementReader reader(path);
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
      SwitchRecord record;
      if (!reader.ReadSwitch(switch_node, s, &record)) {
        entry->active = false;
        entry->switches.clear();
        return false;
      }
      entry->switches.push_back(std::move(record));
      entry->active = true;
    }
    return true;
  }
  return true;
}

bool LoadConfiguration(AdapterEntry* entry, std::string* data_format) {
  std::string path, reason;
  if (registry::ReadConfigurationPath(kMaxConfigurationPathBytes, &path,
                                      &reason) != ERROR_SUCCESS) {
    log::Logf(log::Level::kError, kLogCategory,
              "\"%s\" under HKEY_LOCAL_MACHINE\\%s %s: the configuration is "
              "not loaded",
              registry::kConfigurationValue, registry::kConfigurationKey,
              reason.c_str());
    return false;
  }
  return LoadConfigurationFile(path, entry, data_format);
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
