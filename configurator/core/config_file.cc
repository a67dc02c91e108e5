#include "configurator/core/config_file.h"

#include <string>

#include "configurator/core/config_rules.h"
#include "configurator/core/xml_attributes.h"
#include "platform/registry/configuration_path.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace kavex::configurator {
namespace {

std::u16string Decimal(uint64_t value) {
  std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

const char16_t* YesNo(bool value) { return value ? u"Yes" : u"No"; }


// Builds elements and attributes in order, noting whether every step
// worked, so that an incomplete tree is never saved.
class TreeBuilder {
 public:
  xmldoc::CXNode Add(xmldoc::CXNode& parent, const char16_t* name) {
    xmldoc::CXNode node = parent.AddNode(name, document_);
    complete_ = complete_ && node.Valid();
    return node;
  }
  void Set(xmldoc::CXNode& node, const char16_t* name,
           std::u16string_view value) {
    std::u16string text(value);
    complete_ = complete_ && node.SetAttribute(name, text.c_str()).Valid();
  }

  xmldoc::CXDocument& document() { return document_; }
  bool complete() const { return complete_ && document_.Valid(); }

 private:
  xmldoc::CXDocument document_;
  bool complete_ = true;
};

xmldoc::CXDocument Build(const std::vector<ConfigAdapter>& adapters,
                         std::u16string_view data_format,
                         std::u16string_view last_modified, bool with_timeout,
                         bool* complete) {
  TreeBuilder b;
  xmldoc::CXNode root = b.Add(b.document(), u"ROOT");
  b.Set(root, u"LastModified", last_modified);
  b.Set(root, u"Copyright", kConfigurationCopyright);
  b.Set(root, u"Version", kConfigurationVersion);
  b.Set(root, u"DataFormat", data_format);
  for (const ConfigAdapter& adapter : adapters) {
    xmldoc::CXNode a = b.Add(root, u"ADAPTER");
    b.Set(a, u"Name", adapter.ndis_name);
    b.Set(a, u"Description", adapter.friendly_name);
    b.Set(a, u"Active", YesNo(adapter.active));
    if (with_timeout) b.Set(a, u"Timeout", Decimal(adapter.timeout));
    for (const ConfigSwitch& sw : adapter.switches) {
      xmldoc::CXNode s = b.Add(a, u"SWITCH");
      b.Set(s, u"Model", sw.model);
      b.Set(s, u"Address", sw.address);
      b.Set(s, u"Alias", sw.alias);
      b.Set(s, u"Type", Decimal(sw.type));
      for (const ConfigPort& port : sw.ports) {
        xmldoc::CXNode p = b.Add(s, u"Port");
        b.Set(p, u"Number", Decimal(port.number));
        b.Set(p, u"Alias", port.alias);
        b.Set(p, u"Disabled", YesNo(port.hidden));
        b.Set(p, u"Exists", YesNo(port.exists));
      }
    }
  }
  *complete = b.complete();
  return b.document();
}


}  // namespace

bool ReadConfigurationPath(std::u16string* path) {
  std::string text;
  if (registry::ReadConfigurationPath(kMaxConfigurationPathBytes, &text) !=
      ERROR_SUCCESS) {
    path->clear();
    return false;
  }
  *path = text::Utf8ToUtf16(text);
  return true;
}

xmldoc::CXDocument BuildConfigurationDocument(
    const std::vector<ConfigAdapter>& adapters, std::u16string_view data_format,
    std::u16string_view last_modified, bool with_timeout) {
  bool complete = false;
  return Build(adapters, data_format, last_modified, with_timeout, &complete);
}

HRESULT SaveConfigurationFile(const std::u16string& path,
                              const std::vector<ConfigAdapter>& adapters,
                              std::u16string_view data_format,
                              const SYSTEMTIME& local_time, bool with_timeout,
                              std::u16string* error_text) {
  error_text->clear();
  bool complete = false;
  xmldoc::CXDocument document =
      Build(adapters, data_format, FormatLastModified(local_time), with_timeout,
            &complete);
  if (!complete) {
    *error_text = u"Xdomlib: Cannot Add Node";
    return E_OUTOFMEMORY;
  }
  document.Save(path.c_str());
  if (document.ErrorCode() != 0) {
    *error_text = document.ErrorDescription();
    return FAILED(document.ErrorCode()) ? document.ErrorCode() : E_FAIL;
  }
  return S_OK;
}

bool SaveConfiguration(const std::vector<ConfigAdapter>& adapters,
                       std::u16string_view data_format,
                       std::u16string* status) {
  status->clear();
  std::u16string path;
  if (!ReadConfigurationPath(&path)) {
    *status = kNoSwitchesMapped;
    return false;
  }
  return SUCCEEDED(SaveConfigurationFile(path, adapters, data_format,
                                         LocalTimeNow(),
                                         /*with_timeout=*/true, status));
}

ConfigSwitch ReadConfigSwitch(xmldoc::CXNode& switch_node,
                              const std::vector<std::u16string>& models) {
  ConfigSwitch sw;
  sw.address = AttributeText(switch_node, u"Address");
  sw.alias = AttributeText(switch_node, u"Alias");
  sw.model = AttributeText(switch_node, u"Model");
  sw.type = AttributeByte(switch_node, u"Type");
  if (sw.model.empty()) sw.model = ModelFromAlias(sw.alias, models);
  sw.runtime_type = sw.type;
  xmldoc::CXNodeList ports = switch_node.SelectNodes(u"Port");
  for (xmldoc::CXNode p = ports.FirstNode(); p.Valid(); p = ports.NextNode()) {
    ConfigPort port;
    port.number = ParsePortNumber(AttributeText(p, u"Number"));
    port.alias = AttributeText(p, u"Alias");
    port.hidden = AttributeYes(p, u"Disabled");
    port.exists = AttributeYes(p, u"Exists");
    sw.ports.push_back(std::move(port));
  }
  return sw;
}

bool LoadAdapterConfigurationFile(const std::u16string& path,
                                  ConfigAdapter* adapter,
                                  const std::vector<std::u16string>& models,
                                  std::u16string* data_format) {
  xmldoc::CXDocument document;
  document.Load(path.c_str());
  if (!document.Valid()) return false;

  xmldoc::CXNode root = document.SelectSingleNode(u"ROOT");
  *data_format = AttributeText(root, u"DataFormat");
  if (data_format->empty()) *data_format = u"String";

  xmldoc::CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  for (xmldoc::CXNode a = adapters.FirstNode(); a.Valid();
       a = adapters.NextNode()) {
    if (!AdapterNameMatches(AttributeText(a, u"Name"), adapter->ndis_name))
      continue;
    DWORD timeout = AttributeDword(a, u"Timeout");
    adapter->timeout = timeout == 0 ? kDefaultSwitchTimeout : timeout;
    xmldoc::CXNodeList switches = a.SelectNodes(u"SWITCH");
    for (xmldoc::CXNode s = switches.FirstNode(); s.Valid();
         s = switches.NextNode())
      adapter->switches.push_back(ReadConfigSwitch(s, models));
    break;  // only the first matching ADAPTER counts
  }
  return true;
}

bool LoadAdapterConfiguration(ConfigAdapter* adapter,
                              const std::vector<std::u16string>& models,
                              std::u16string* data_format,
                              std::u16string* status) {
  status->clear();
  std::u16string path;
  if (!ReadConfigurationPath(&path) ||
      !LoadAdapterConfigurationFile(path, adapter, models, data_format)) {
    *status = kNoSwitchesMapped;
    return false;
  }
  return true;
}

}  // namespace kavex::configurator
