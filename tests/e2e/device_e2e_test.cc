// The device on real capture: velto-sim sends on one end of a veth pair in a
// network namespace made for the test, the device, created by its ProgID as
// the server creates it, captures on the other end, and Read returns what
// was sent.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/capture.h"
#include "device/device_runtime.h"
#include "device/port_properties.h"
#include "device/switch_table.h"
#include "device/testing/table_reads.h"
#include "platform/base/results.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/variant.h"
#include "platform/registry/registry.h"
#include "platform/sync/clock.h"
#include "server/contract/device_interfaces.h"
#include "simulator/generator.h"
#include "simulator/scenario.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

// One 8-port switch; port 4 has no link, the ring is managed and whole.
constexpr char kStatement[] =
    "switch 02.C4.7D.00.00.01 type=1 ports=8 ip=10.1.2.3 ring=2 "
    "ringflags=13 down=4 cpu=0 load=30 errors=3";
constexpr int kPorts = 8;
// The first report cycle only closes the switch's cycle lock; the second
// is taken whole.
constexpr int kFramesSent = 2 * kPorts;

std::string Configuration() {
  std::string xml =
      "<?xml version=\"1.0\"?><ROOT DataFormat=\"String\"><ADAPTER "
      "Name=\"\\Device\\kvx1\" Active=\"Yes\" Timeout=\"20\"><SWITCH "
      "Address=\"02.C4.7D.00.00.01\" Alias=\"SW1\" Model=\"T8\" Type=\"1\">";
  for (int n = 1; n <= kPorts; ++n) {
    xml += "<Port Number=\"" + std::to_string(n) + "\" Alias=\"P" +
           std::to_string(n) + "\"/>";
  }
  return xml + "</SWITCH></ADAPTER></ROOT>";
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

// What the device must show: the same frames through a table of its own.
class Expected {
 public:
  Expected() : table_(&clock_) {
    simulator::Scenario scenario;
    std::string error;
    EXPECT_TRUE(simulator::ParseScenario(kStatement, &scenario, &error))
        << error;
    device::AdapterEntry entry;
    entry.ndis_name = "\\Device\\kvx1";
    entry.active = true;
    device::SwitchRecord record;
    record.address = "02.C4.7D.00.00.01";
    record.alias = "SW1";
    record.type_code = 1;
    for (int n = 1; n <= kPorts; ++n) {
      device::PortRecord port;
      port.number = static_cast<uint8_t>(n);
      port.number_text = std::to_string(n);
      port.alias = "P" + std::to_string(n);
      record.ports.push_back(port);
    }
    entry.switches.push_back(std::move(record));
    table_.Install(std::move(entry), "String");
    simulator::Generator generator(scenario);
    for (int i = 0; i < kFramesSent; ++i) {
      const std::vector<uint8_t>* frame = generator.NextFrame();
      table_.HandleFrame(frame->data(), frame->size());
    }
  }
  std::string PortText(int port, int property) const {
    return device::PortTextOf(table_, 0, port, property);
  }

 private:
  sync::FakeClock clock_{100'000};
  device::SwitchTable table_;
};

std::string Read(IKavexOPCDevice* device, const std::string& id) {
  com::Bstr item = com::Bstr::FromUtf8(id);
  com::Variant value;
  const HRESULT hr = device->Read(item.Get(), &value);
  if (FAILED(hr)) return HResultName(hr);
  if (value.vt != VT_BSTR) return "(not a text)";
  return text::Utf16ToUtf8(com::BstrView(value.bstrVal));
}

void DeviceBody() {
  ASSERT_TRUE(
      SetString("SOFTWARE\\Kavex OPC", "Configuration File",
                std::string(getenv("KAVEX_REGISTRY_ROOT")) + "/config.xml"));
  std::ofstream(std::string(getenv("KAVEX_REGISTRY_ROOT")) + "/config.xml")
      << Configuration();

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
            S_OK);
  IKavexOPCDevice* d = device.Get();
  EXPECT_EQ(Read(d, "SW1.P1.tx_octets"), "Offline");  // nothing heard yet

  // The receive thread posts its reads right after start; frames that find
  // none posted would be lost, so give it a moment before sending.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string command =
      std::string(KAVEX_VELTO_SIM) + " -i kvx0 -q --fast -c " +
      std::to_string(kFramesSent) + " -e '" + kStatement + "'";
  ASSERT_EQ(system(command.c_str()), 0) << command;

  // Bounded by tries: the frames are on their way through the kernel.
  // The status text appears with the timer's first tick, a second after
  // start.
  for (int i = 0; i < 500 && (Read(d, "SW1.P8.rx_octets") == "Offline" ||
                              Read(d, "SW1.Status").empty());
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const Expected expected;
  EXPECT_EQ(Read(d, "SW1.Status"), "Online");
  EXPECT_EQ(Read(d, "SW1.IP_Address"), "10.1.2.3");
  EXPECT_EQ(Read(d, "SW1.MAC_Address"), "02.C4.7D.00.00.01");
  EXPECT_EQ(Read(d, "SW1.ZRing.Version"), "2");
  EXPECT_EQ(Read(d, "SW1.ZRing.Manager"), "Yes");
  EXPECT_EQ(Read(d, "SW1.ZRing.State"), "Ok");
  EXPECT_EQ(Read(d, "SW1.ZRing.Member"), "No");
  for (int n = 1; n <= kPorts; ++n) {
    const std::string port = "SW1.P" + std::to_string(n) + ".";
    const bool up = n != 4;
    EXPECT_EQ(Read(d, port + "Link_Status"), up ? "Up" : "Down") << port;
    EXPECT_EQ(Read(d, port + "Speed"), up ? "100" : "N/A") << port;
    EXPECT_EQ(Read(d, port + "Duplex"), up ? "Full" : "N/A") << port;
    // Every counter as sent (the device publishes the low 32 bits).
    for (int c = device::kFirstCounterProperty;
         c < device::kFirstCounterProperty + 35; ++c) {
      const std::string name(device::kPortPropertyNames[c]);
      EXPECT_EQ(Read(d, port + name), expected.PortText(n - 1, c))
          << port << name;
    }
  }
  EXPECT_NE(Read(d, "SW1.P1.tx_octets"), "0");
  EXPECT_NE(Read(d, "SW1.P1.rx_fcs_errors"), "0");

  // Releasing the device stops capture; then the module may go.
  device.Reset();
  CoFreeUnusedLibraries();
  CoUninitialize();
}

TEST(DeviceE2ETest, ReadReturnsWhatVeltoSimSent) {
  com::ScopedRegistryRootForTest root;  // removed by this process afterwards
  InPrivateNetwork(DeviceBody);
}

// The device's running state on kvx1 while its link goes away: the switch
// goes "Offline" after its time-out like any silent switch, and comes back
// with the first frames once an interface of that name is there again.
void LinkLossBody() {
  const std::string root = getenv("KAVEX_REGISTRY_ROOT");
  std::string xml = Configuration();
  const std::string timeout = "Timeout=\"20\"";
  xml.replace(xml.find(timeout), timeout.size(), "Timeout=\"2\"");
  std::ofstream(root + "/config.xml") << xml;
  ASSERT_TRUE(SetString("SOFTWARE\\Kavex OPC", "Configuration File",
                        root + "/config.xml"));
  std::string printed;
  device::RuntimeOptions options;
  options.print = [&printed](const std::string& text) { printed += text; };
  std::unique_ptr<device::DeviceRuntime> runtime;
  ASSERT_EQ(device::DeviceRuntime::Start(options, &runtime), S_OK);
  const device::SwitchTable& table = runtime->table();
  auto status = [&] { return device::SwitchTextOf(table, 0, device::kSwitchStatusSlot); };
  // Bounded by tries: 30 s, or `tries` times 10 ms.
  auto wait_for = [&](const char* text, int tries = 3000) {
    for (int i = 0; i < tries && status() != text; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status() == text;
  };
  auto send = [](const char* count) {
    const std::string command = std::string(KAVEX_VELTO_SIM) +
                                " -i kvx0 -q --fast -c " + count + " -e '" +
                                kStatement + "'";
    return system(command.c_str()) == 0;
  };
  for (int i = 0; i < 3000 && runtime->capture().posted_reads() <
                                  device::kReceiveDescriptorCount;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(send("16"));
  ASSERT_TRUE(wait_for("Online"));

  ASSERT_EQ(system("ip link del kvx0"), 0);  // kvx1 goes with it
  ASSERT_TRUE(wait_for("Offline"));
  ASSERT_EQ(system("ip link add name kvx0 type veth peer name kvx1 && "
                   "ip link set kvx0 up && ip link set kvx1 up"),
            0);
  // Frames sent before the adapter is bound again are lost; send until the
  // switch is heard (bounded by tries).
  for (int i = 0; i < 100 && status() != "Online"; ++i) {
    ASSERT_TRUE(send("16"));
    wait_for("Online", 50);
  }
  EXPECT_EQ(status(), "Online");
  EXPECT_EQ(runtime->capture().posted_reads(), device::kReceiveDescriptorCount);
  EXPECT_EQ(printed, "");  // no read failed
  runtime.reset();
}

TEST(DeviceE2ETest, SwitchGoesOfflineWithTheLinkAndComesBackWithIt) {
  com::ScopedRegistryRootForTest root;
  InPrivateNetwork(LinkLossBody);
}

}  // namespace
}  // namespace kavex::e2e
