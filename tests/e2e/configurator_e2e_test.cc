// The configurator on real capture, then the device on what it saved:
// velto-sim sends on one end of a veth pair in a network namespace made for
// the test; the main window model captures on the other end, hears the
// switches, auto-selects their models from the configuration texts their
// frames report, maps them, renames and hides as an operator would, and
// saves ("Save && Close"). The device plug-in, created by its ProgID as the
// server creates it, then loads that file and serves exactly that mapping:
// its items carry the aliases given, hidden ports are not among them, and
// reading them returns what velto-sim sent.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "configurator/core/counters_window.h"
#include "configurator/core/details_window.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/window_model.h"
#include "platform/base/results.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/safearray.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_error.h"
#include "platform/registry/configuration_path.h"
#include "platform/registry/registry.h"
#include "platform/service/testing_support.h"
#include "platform/text/utf.h"
#include "platform/ui/recording_message_box.h"
#include "server/contract/device_interfaces.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

using configurator::MainWindowModel;
using configurator::MainWindowOptions;
using configurator::MainWindowState;

// A fixed 8-port switch and a chassis with three four-port modules and two
// uplinks (14 ports); each reports the configuration text of its catalog
// model (velto-sim's default for its type): "KX-108", "KM-414(T4,T4,T4)".
// Port 4 of the first has no link.
constexpr char kScenario[] =
    "switch 02.C4.7D.00.00.01 type=1 ports=8 ip=10.1.2.3 down=4 cpu=0 "
    "errors=2;"
    "switch 02.C4.7D.00.00.02 type=4 ports=14 ip=10.1.2.4 ring=1 "
    "ringflags=13";
constexpr char16_t kFixed[] = u"02.C4.7D.00.00.01";
constexpr char16_t kChassis[] = u"02.C4.7D.00.00.02";

bool SendFrames(int count) {
  const std::string command = std::string(KAVEX_VELTO_SIM) +
                              " -i kvx0 -q --fast -c " +
                              std::to_string(count) + " -e '" + kScenario +
                              "'";
  return system(command.c_str()) == 0;
}

// Waits (bounded by tries: 60 s) until `done` holds, sending a burst of
// frames every half second meanwhile: frames that reach an adapter before
// its reads are posted are lost, so one burst is not enough to rely on.
// `round` runs once after each burst's half second (a window's timer).
template <class Done, class Round>
bool SendUntil(Done done, Round round) {
  for (int i = 0; i < 120 && !done(); ++i) {
    if (!SendFrames(2 * (8 + 14))) return false;
    for (int j = 0; j < 50 && !done(); ++j)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    round();
  }
  return done();
}
template <class Done>
bool SendUntil(Done done) {
  return SendUntil(done, [] {});
}

bool SetString(const char* path, const char* name, const std::string& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG status = RegSetValueExA(
      key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
      static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int IndexOf(const std::vector<std::u16string>& items,
            std::u16string_view prefix) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].compare(0, prefix.size(), prefix) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

// The configurator's half: maps what it hears and saves to `config_path`
// (the registry names it); `adapter` is the friendly name it captured on.
void MapAndSave(const std::string& config_path, std::u16string* adapter) {
  service::testing::TempDir service_dir;
  service::testing::ScopedBackendFactory service_backend(
      service::testing::FakeFactory(service_dir.path()));
  ui::RecordingMessageBoxHandler boxes;
  MainWindowOptions options;
  options.application_name = "veltoopc";
  options.report_directory = std::filesystem::path(config_path).parent_path();
  MainWindowModel model(options);
  model.Initialize(u"");

  // The driver lists the pair by interface name and driver, "kvx0 (veth)"
  // and "kvx1 (veth)"; the first is selected at start-up, the operator
  // chooses the other.
  MainWindowState state = model.state();
  const int kvx1 = IndexOf(state.adapter_box.items(), u"kvx1");
  ASSERT_GE(kvx1, 0);
  *adapter = state.adapter_box.item(static_cast<size_t>(kvx1));
  model.SelectAdapter(kvx1);
  ASSERT_TRUE(model.capturing()) << text::Utf16ToUtf8(model.state().status.text);
  ASSERT_TRUE(SendUntil([&] {
    const MainWindowState s = model.state();
    return s.discovered.FindExact(kFixed) >= 0 &&
           s.discovered.FindExact(kChassis) >= 0;
  }));
  state = model.state();
  EXPECT_EQ(state.discovered.items(),
            (std::vector<std::u16string>{kFixed, kChassis}));
  EXPECT_TRUE(state.map_button.visible);
  EXPECT_TRUE(state.mapped.empty());  // nothing mapped on this adapter yet

  // Each model is auto-selected from what the switch reported.
  model.SelectDiscovered(state.discovered.FindExact(kFixed));
  EXPECT_EQ(model.current_model(), u"KX-108");
  EXPECT_EQ(model.state().status.text,
            u"Configuration For Switch '02.C4.7D.00.00.01' Has Been "
            u"Auto-Selected.");
  model.Map();
  model.SelectDiscovered(model.state().discovered.FindExact(kChassis));
  EXPECT_EQ(model.current_model(), u"KM-414");
  state = model.state();
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(state.model.slot_boxes[slot].text, u"4 x 10/100BASE-TX")
        << "slot " << slot;
  }
  model.Map();
  EXPECT_TRUE(boxes.boxes().empty());
  state = model.state();
  ASSERT_EQ(state.mapped.items(),
            (std::vector<std::u16string>{
                u"02.C4.7D.00.00.01  -  KX108_000001",
                u"02.C4.7D.00.00.02  -  KM414(T4,T4,T4)_000002"}));

  // The operator names the fixed switch and two of its ports, and hides
  // port 8.
  model.SelectMapped(0);
  model.SetAliasText(u"Packing");
  model.Rename();
  state = model.state();
  model.SelectMapped(state.mapped.FindExact(u"02.C4.7D.00.00.01  -  Packing"));
  {
    std::unique_ptr<configurator::PortsWindow> ports =
        model.OpenSwitchDetails();
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->state().switch_alias.text, u"Packing");
    auto select = [&](std::u16string_view line) {
      const int index = ports->state().ports.FindExact(line);
      ASSERT_GE(index, 0) << text::Utf16ToUtf8(line);
      ports->SelectPort(index);
    };
    select(u"P1");
    ports->SetAliasText(u"Infeed");
    ports->RenamePort();
    select(u"P2");
    ports->SetAliasText(u"Sealer");
    ports->RenamePort();
    select(u"P8");
    ports->SetHidePort(true);
    EXPECT_EQ(ports->state().ports.items(),
              (std::vector<std::u16string>{u"Infeed", u"Sealer", u"P3", u"P4",
                                           u"P5", u"P6", u"P7",
                                           u">>>HIDDEN  - P8"}));
    // The live views follow the frames still arriving for this switch.
    ports->OnTimer();
    std::unique_ptr<configurator::SwitchDetailsWindow> details =
        ports->OpenSwitchView();
    ASSERT_NE(details, nullptr);
    // Its timer ticks once per burst: a tick counts a second of silence.
    ASSERT_TRUE(SendUntil(
        [&] {
          const configurator::SwitchDetailsState& s = details->state();
          return s.ring.ip_address.visible && s.link.size() == 7 &&
                 s.link.item(0) == u"Up" && s.link.item(3) == u"Down";
        },
        [&] { details->OnTimer(); }));
    const configurator::SwitchDetailsState& shown = details->state();
    EXPECT_EQ(shown.alias.text, u"Packing");
    EXPECT_EQ(shown.ring.ip_address.text, u"10.1.2.3");
    EXPECT_EQ(shown.ports.items(),
              (std::vector<std::u16string>{u"Infeed", u"Sealer", u"P3", u"P4",
                                           u"P5", u"P6", u"P7"}));
    EXPECT_EQ(shown.speed.item(0), u"100");
    EXPECT_EQ(shown.duplex.item(0), u"Full");
    EXPECT_EQ(shown.speed.item(3), u"N/A");
  }
  EXPECT_TRUE(boxes.boxes().empty());

  ASSERT_TRUE(model.SaveAndClose())
      << text::Utf16ToUtf8(model.state().status.text);
  EXPECT_EQ(model.state().end_result, IDOK);
  EXPECT_FALSE(model.capturing());
}

std::set<std::string> ItemIds(IKavexOPCDevice* device) {
  com::Variant ids;
  std::set<std::string> result;
  if (device->get_ItemIDs(&ids) != S_OK) return result;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(ids.parray, 1, &lower);
  SafeArrayGetUBound(ids.parray, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR id = nullptr;
    if (SafeArrayGetElement(ids.parray, &i, &id) == S_OK) {
      result.insert(text::Utf16ToUtf8(com::BstrView(id)));
      SysFreeString(id);
    }
  }
  return result;
}

// The ports named in the item list: the middle of A.P.name items, for the
// switch alias A, in order.
std::set<std::string> PortsOf(const std::set<std::string>& ids,
                              const std::string& alias) {
  std::set<std::string> ports;
  const std::string prefix = alias + ".";
  for (const std::string& id : ids) {
    if (id.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t dot = id.find('.', prefix.size());
    if (dot == std::string::npos) continue;
    const std::string port = id.substr(prefix.size(), dot - prefix.size());
    if (port != "ZRing") ports.insert(port);
  }
  return ports;
}

HRESULT ReadResult(IKavexOPCDevice* device, const std::string& id) {
  com::Bstr item = com::Bstr::FromUtf8(id);
  com::Variant value;
  return device->Read(item.Get(), &value);
}

std::string Read(IKavexOPCDevice* device, const std::string& id) {
  com::Bstr item = com::Bstr::FromUtf8(id);
  com::Variant value;
  const HRESULT hr = device->Read(item.Get(), &value);
  if (FAILED(hr)) return HResultName(hr);
  if (value.vt != VT_BSTR) return "(not a text)";
  return text::Utf16ToUtf8(com::BstrView(value.bstrVal));
}

void ServeSaved(const std::string& config_path) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  void* module = dlopen(KAVEX_DEVICE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto register_server =
      reinterpret_cast<LPFNREGISTERSERVER>(dlsym(module, "DllRegisterServer"));
  ASSERT_NE(register_server, nullptr);
  ASSERT_EQ(register_server(), S_OK);
  dlclose(module);

  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"KavexOPCDevice.Device", &clsid), S_OK);
  com::ComPtr<IKavexOPCDevice> device;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL,
                             com::IidOf<IKavexOPCDevice>(),
                             reinterpret_cast<void**>(device.GetAddressOf())),
            S_OK)
      << ReadText(config_path);
  IKavexOPCDevice* d = device.Get();

  // The item list is the saved mapping: the aliases as given, port 8 of
  // "Packing" hidden, the chassis's module ports named by slot.
  const std::set<std::string> ids = ItemIds(d);
  EXPECT_EQ(PortsOf(ids, "Packing"),
            (std::set<std::string>{"Infeed", "P3", "P4", "P5", "P6", "P7",
                                   "Sealer"}));
  EXPECT_EQ(PortsOf(ids, "KM414(T4,T4,T4)_000002"),
            (std::set<std::string>{"A1", "A2", "A3", "A4", "B1", "B2", "B3",
                                   "B4", "C1", "C2", "C3", "C4", "G1", "G2"}));
  EXPECT_EQ(ids.count("Packing.Status"), 1u);
  EXPECT_EQ(ids.count("KX108_000001.Status"), 0u);  // renamed
  EXPECT_EQ(ReadResult(d, "Packing.P8.Link_Status"), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(ReadResult(d, "Packing.P1.Link_Status"), OPC_E_UNKNOWNITEMID);

  // The device hears the same switches on the same adapter.
  ASSERT_TRUE(SendUntil([&] {
    return Read(d, "Packing.Status") == "Online" &&
           Read(d, "Packing.P7.rx_octets") != "Offline" &&
           Read(d, "KM414(T4,T4,T4)_000002.G2.rx_octets") != "Offline";
  }));
  EXPECT_EQ(Read(d, "Packing.IP_Address"), "10.1.2.3");
  EXPECT_EQ(Read(d, "Packing.MAC_Address"), "02.C4.7D.00.00.01");
  EXPECT_EQ(Read(d, "Packing.Infeed.Link_Status"), "Up");
  EXPECT_EQ(Read(d, "Packing.Sealer.Speed"), "100");
  EXPECT_EQ(Read(d, "Packing.P4.Link_Status"), "Down");
  EXPECT_NE(Read(d, "Packing.Infeed.rx_fcs_errors"), "0");
  const std::string chassis = "KM414(T4,T4,T4)_000002.";
  EXPECT_EQ(Read(d, chassis + "IP_Address"), "10.1.2.4");
  EXPECT_EQ(Read(d, chassis + "ZRing.State"), "Ok");
  for (const char* port : {"A1", "B4", "C1", "G1", "G2"}) {
    EXPECT_EQ(Read(d, chassis + port + ".Link_Status"), "Up") << port;
  }
  EXPECT_EQ(Read(d, chassis + "G1.Speed"), "1000");

  device.Reset();
  CoFreeUnusedLibraries();
  CoUninitialize();
}

void ConfiguratorBody() {
  const std::string root = getenv("KAVEX_REGISTRY_ROOT");
  const std::string site = root + "/site";
  std::filesystem::create_directory(site);
  const std::string config_path = site + "/Kavex OPC.xml";
  ASSERT_TRUE(SetString(registry::kConfigurationKey,
                        registry::kConfigurationValue, config_path));
  // The catalog lies beside the configuration, as installed.
  std::filesystem::copy_file(KAVEX_SHIPPED_CATALOG, site + "/Switches.xml");

  std::u16string adapter;
  MapAndSave(config_path, &adapter);
  if (::testing::Test::HasFailure()) return;
  const std::string saved = ReadText(config_path);
  EXPECT_NE(saved.find("Name=\"\\Device\\kvx1\" Description=\"" +
                       text::Utf16ToUtf8(adapter) + "\" Active=\"Yes\""),
            std::string::npos)
      << saved;
  ServeSaved(config_path);
}

TEST(ConfiguratorE2ETest, MappingSavedFromLiveFramesIsWhatTheDeviceServes) {
  com::ScopedRegistryRootForTest root;  // removed by this process afterwards
  InPrivateNetwork(ConfiguratorBody);
}

}  // namespace
}  // namespace kavex::e2e
