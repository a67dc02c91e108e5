// The configuration-file load on arbitrary bytes: the input is written to
// a file and loaded for adapter "\Device\eth0"; a loaded active adapter is
// installed in a switch table and every item it lists is read. Checked: no
// loaded alias is longer than the device takes, and every listed item
// reads when all aliases can be addressed (an empty alias, or one with a
// dot, is listed but names nothing) and the data format is "Integer" or
// "String" (in any other, port items name nothing).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/device_config.h"
#include "device/item_namespace.h"
#include "device/switch_table.h"
#include "platform/base/results.h"
#include "platform/com/variant.h"
#include "platform/log/logger.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

const std::string& InputPath() {
  static const std::string path = [] {
    char name[] = "/tmp/kavex-fuzz-config-XXXXXX";
    const char* made = mkdtemp(name);
    if (!made) std::abort();
    return std::string(made) + "/Kavex OPC.xml";
  }();
  return path;
}

bool Addressable(const std::string& alias) {
  return !alias.empty() && alias.find('.') == std::string::npos;
}

bool AliasFits(const std::string& alias) {
  return kavex::text::Utf8ToUtf16(alias).size() <=
         kavex::device::kMaxAliasCharacters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace device = kavex::device;
  static bool quiet = (kavex::log::SetSink({}), true);
  (void)quiet;
  FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  device::AdapterEntry entry;
  entry.ndis_name = "\\Device\\eth0";
  std::string data_format;
  if (!device::LoadConfigurationFile(InputPath(), &entry, &data_format)) {
    return 0;
  }
  bool addressable = true;
  for (const device::SwitchRecord& record : entry.switches) {
    Check(AliasFits(record.alias), "a loaded switch alias fits");
    addressable &= Addressable(record.alias);
    for (const device::PortRecord& port : record.ports) {
      Check(AliasFits(port.alias), "a loaded port alias fits");
      addressable &= Addressable(port.alias);
    }
  }
  if (!entry.active) return 0;
  addressable &= data_format == "Integer" || data_format == "String";
  kavex::sync::FakeClock clock(1000);
  device::SwitchTable table(&clock);
  table.Install(std::move(entry), data_format);
  table.Tick();
  device::ItemNamespace items(table);
  size_t read = 0;
  for (const std::string& id : items.ItemIds()) {
    if (++read > 4096) break;  // a big file costs time, not coverage
    kavex::com::Variant value;
    const HRESULT hr = items.Read(id, &value);
    Check(hr == S_OK || !addressable, "a listed item reads");
  }
  return 0;
}
