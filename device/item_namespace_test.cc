#include "device/item_namespace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/item_id.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/base/results.h"
#include "platform/com/bstr.h"
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace kavex::device {
namespace {

constexpr VeltoFrameBuilder::Mac kMac = {0x02, 0xC4, 0x7D, 0x1A, 0x2B, 0x3C};
constexpr char kAddress[] = "02.C4.7D.1A.2B.3C";
constexpr uint8_t kEnabled = kStatusEnabled | kStatus100Mbit;
constexpr uint8_t kUpFull100 = kEnabled | kStatusLinkUp | kStatusFullDuplex;
constexpr uint8_t kUpHalf100 = kEnabled | kStatusLinkUp;

// A value as "<type>:<value>", so expectations read as one line each.
std::string Show(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
      return "EMPTY";
    case VT_BSTR:
      return "BSTR:" + text::Utf16ToUtf8(com::BstrView(value.bstrVal));
    case VT_I4:
      return "I4:" + std::to_string(value.lVal);
    case VT_UI1:
      return "UI1:" + std::to_string(value.bVal);
    case VT_UI2:
      return "UI2:" + std::to_string(value.uiVal);
    case VT_UI4:
      return "UI4:" + std::to_string(value.ulVal);
  }
  return "vt " + std::to_string(value.vt);
}

class ItemNamespaceTest : public ::testing::Test {
 protected:
  ItemNamespaceTest() { opc::RegisterOpcResultNames(); }

  void Install(std::vector<SwitchRecord> switches, std::string format,
               uint32_t timeout = 20) {
    AdapterEntry adapter;
    adapter.ndis_name = "\\Device\\veth0";
    adapter.active = true;
    adapter.timeout_seconds = timeout;
    adapter.switches = std::move(switches);
    table_.Install(std::move(adapter), std::move(format));
    items_ = std::make_unique<ItemNamespace>(table_);
  }
  void InstallOne(std::string format, uint32_t timeout = 20) {
    Install({MakeSwitch(kAddress, "SW1", 0, 8)}, std::move(format), timeout);
  }

  // A frame of port `number` (1 to 8) of the switch at kMac.
  static VeltoFrameBuilder Frame(int number, uint8_t status) {
    VeltoFrameBuilder builder;
    builder.Source(kMac).Port(0, number - 1).Status(status);
    return builder;
  }
  // Has the table take `frame`: outside the port's 2 s window, and past the
  // switch's first frame, which only opens its report cycle.
  void Accept(const VeltoFrameBuilder& builder) {
    const std::vector<uint8_t> frame = builder.Build();
    clock_.Advance(2001);
    FrameResult result = table_.HandleFrame(frame.data(), frame.size());
    if (result == FrameResult::kNoPortNumber)
      result = table_.HandleFrame(frame.data(), frame.size());
    ASSERT_EQ(result, FrameResult::kAccepted);
  }
  void Tick(int times = 1) {
    for (int i = 0; i < times; ++i) table_.Tick();
  }

  // The value read through both entries, the identifier as text and as
  // received (UTF-16), which must agree.
  std::string Read(std::string_view id) {
    const std::string as_text = ReadOnce(id);
    EXPECT_EQ(ReadOnce(text::Utf8ToUtf16(id)), as_text) << id;
    return as_text;
  }
  template <class Id>
  std::string ReadOnce(const Id& id) {
    com::Variant value;
    HRESULT hr = items_->Read(id, &value);
    if (FAILED(hr)) {
      EXPECT_EQ(value.vt, VT_EMPTY) << "written on failure";
      return HResultName(hr);
    }
    return Show(value);
  }

  sync::FakeClock clock_{100'000};
  SwitchTable table_{&clock_};
  std::unique_ptr<ItemNamespace> items_;
};

TEST_F(ItemNamespaceTest, ItemIdsListEveryItemInOrder) {
  InstallOne("String");
  std::vector<std::string> ids = items_->ItemIds();
  ASSERT_EQ(ids.size(), 354u);
  EXPECT_EQ(ids[0], "SW1.Last_Update");
  EXPECT_EQ(ids[4], "SW1.Status");
  EXPECT_EQ(ids[5], "SW1.ZRing.Version");
  EXPECT_EQ(ids[8], "SW1.ZRing.Member");
  EXPECT_EQ(ids[9], "SW1.IP_Address");
  EXPECT_EQ(ids[10], "SW1.P1.PortId");
  EXPECT_EQ(ids[10 + 6], "SW1.P1.tx_octets");
  EXPECT_EQ(ids[10 + 42], "SW1.P1.Last_Update");
  EXPECT_EQ(ids[10 + 43], "SW1.P2.PortId");
  EXPECT_EQ(ids.back(), "SW1.P8.Last_Update");

  Install(
      {MakeSwitch(kAddress, "SW1", 0, 8), MakeSwitch(kAddress, "SW2", 0, 2)},
      "Integer");
  ids = items_->ItemIds();
  ASSERT_EQ(ids.size(), 364u + 20 + 2 * 43);
  EXPECT_EQ(ids[4], "SW1.Status");
  EXPECT_EQ(ids[5], "SW1.MAC0");
  EXPECT_EQ(ids[10], "SW1.MAC5");
  EXPECT_EQ(ids[11], "SW1.ZRing.Version");
  EXPECT_EQ(ids[15], "SW1.IP0");
  EXPECT_EQ(ids[18], "SW1.IP3");
  EXPECT_EQ(ids[19], "SW1.IP_Address");
  EXPECT_EQ(ids[20], "SW1.P1.PortId");
  EXPECT_EQ(ids[364], "SW2.Last_Update");

  // Only "Integer" adds the byte items.
  Install({MakeSwitch(kAddress, "SW1", 0, 8)}, "integer");
  EXPECT_EQ(items_->ItemIds().size(), 354u);
}

TEST_F(ItemNamespaceTest, MalformedAndUnknownIdentifiers) {
  InstallOne("String");
  EXPECT_EQ(Read("SW1"), "E_FAIL");
  EXPECT_EQ(Read(".Speed"), "E_FAIL");
  EXPECT_EQ(Read(""), "E_FAIL");
  EXPECT_EQ(Read("..P1.Speed"), "E_FAIL");
  for (const char* id :
       {"SW1.Bogus", "SW9.Status", "sw1.Status", "SW1.P1.Bogus", "SW1.P9.Speed",
        "SW1.p1.Speed", "SW1.ZRing.Bogus", "SW1..Speed", "SW1.P1.Speed.",
        "SW1.P1.speed", "SW1.Status.x"}) {
    EXPECT_EQ(Read(id), "OPC_E_UNKNOWNITEMID") << id;
  }
  EXPECT_EQ(items_->Read("SW1.Status", nullptr), E_POINTER);
}

TEST_F(ItemNamespaceTest, StringPortWithoutFramesIsOfflineButCountsSeconds) {
  InstallOne("String");
  Tick(3);
  EXPECT_EQ(Read("SW1.Status"), "BSTR:Online");
  for (std::string_view name : kPortPropertyNames) {
    const std::string id = "SW1.P4." + std::string(name);
    EXPECT_EQ(Read(id), name == "Last_Update" ? "BSTR:2" : "BSTR:Offline")
        << id;
  }
  Tick();
  EXPECT_EQ(Read("SW1.P4.Last_Update"), "BSTR:3");
}

TEST_F(ItemNamespaceTest, StringPortRendering) {
  InstallOne("String");
  Accept(Frame(1, kUpFull100).Counter("rx_fcs_errors", 7));
  Accept(Frame(2, kUpHalf100));
  Accept(Frame(3, kEnabled).Counter("rx_fcs_errors", 5));
  Tick();
  EXPECT_EQ(Read("SW1.P1.PortId"), "BSTR:1");
  EXPECT_EQ(Read("SW1.P1.Alias"), "BSTR:P1");
  EXPECT_EQ(Read("SW1.P1.Speed"), "BSTR:100");
  EXPECT_EQ(Read("SW1.P1.Duplex"), "BSTR:Full");
  EXPECT_EQ(Read("SW1.P1.Link_Status"), "BSTR:Up");
  EXPECT_EQ(Read("SW1.P1.Port_Enable"), "BSTR:1");
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "BSTR:7");
  EXPECT_EQ(Read("SW1.P1.Usage"), "BSTR:0.00");
  EXPECT_EQ(Read("SW1.P1.Last_Update"), "BSTR:0");
  EXPECT_EQ(Read("SW1.P2.Duplex"), "BSTR:Half");
  // Link down: no speed or duplex, the counters still show.
  EXPECT_EQ(Read("SW1.P3.Speed"), "BSTR:N/A");
  EXPECT_EQ(Read("SW1.P3.Duplex"), "BSTR:N/A");
  EXPECT_EQ(Read("SW1.P3.Link_Status"), "BSTR:Down");
  EXPECT_EQ(Read("SW1.P3.rx_fcs_errors"), "BSTR:5");

  // Silent past the time-out: the switch goes offline; a link that was up
  // still shows its speed.
  Tick(21);
  EXPECT_EQ(Read("SW1.Status"), "BSTR:Offline");
  EXPECT_EQ(Read("SW1.P1.Speed"), "BSTR:100");
  EXPECT_EQ(Read("SW1.P1.Duplex"), "BSTR:Offline");
  EXPECT_EQ(Read("SW1.P1.Link_Status"), "BSTR:Offline");
  EXPECT_EQ(Read("SW1.P1.PortId"), "BSTR:Offline");
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "BSTR:Offline");
  EXPECT_EQ(Read("SW1.P1.Last_Update"), "BSTR:21");
  EXPECT_EQ(Read("SW1.P3.Speed"), "BSTR:Offline");

  // A frame brings the port back; the switch is online from the next tick.
  Accept(Frame(1, kUpFull100).Counter("rx_fcs_errors", 8));
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "BSTR:Offline");
  Tick();
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "BSTR:8");
}

TEST_F(ItemNamespaceTest, IntegerPortRendering) {
  InstallOne("Integer");
  Accept(Frame(1, kUpFull100).Counter("rx_fcs_errors", 7));
  Accept(Frame(3, kEnabled).Counter("rx_fcs_errors", 5));
  // Before the first tick the switch's status is 0: nothing but texts and
  // "Last_Update" shows.
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "I4:0");
  Tick();
  EXPECT_EQ(Read("SW1.P1.PortId"), "BSTR:1");
  EXPECT_EQ(Read("SW1.P1.Alias"), "BSTR:P1");
  EXPECT_EQ(Read("SW1.P1.Speed"), "UI2:100");
  EXPECT_EQ(Read("SW1.P1.Duplex"), "I4:1");
  EXPECT_EQ(Read("SW1.P1.Link_Status"), "I4:1");
  EXPECT_EQ(Read("SW1.P1.Port_Enable"), "I4:1");
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "I4:7");
  EXPECT_EQ(Read("SW1.P1.Usage"), "I4:0");
  // Link down: every counter and the speed read 0, "Last_Update" counts.
  EXPECT_EQ(Read("SW1.P3.rx_fcs_errors"), "I4:0");
  EXPECT_EQ(Read("SW1.P3.Port_Enable"), "I4:0");
  EXPECT_EQ(Read("SW1.P3.Speed"), "I4:0");
  Tick(2);
  EXPECT_EQ(Read("SW1.P3.Last_Update"), "I4:2");
  // A port without frames is stale.
  EXPECT_EQ(Read("SW1.P2.Link_Status"), "I4:0");
  EXPECT_EQ(Read("SW1.P2.PortId"), "BSTR:2");

  // Offline: the counters read 0, the speed of a link that was up stays.
  Tick(20);
  EXPECT_EQ(Read("SW1.Status"), "I4:0");
  EXPECT_EQ(Read("SW1.P1.rx_fcs_errors"), "I4:0");
  EXPECT_EQ(Read("SW1.P1.Speed"), "UI2:100");
  EXPECT_EQ(Read("SW1.P1.Last_Update"), "I4:22");
}

TEST_F(ItemNamespaceTest, SwitchItemsInBothFormats) {
  for (const char* format : {"Integer", "String"}) {
    SCOPED_TRACE(format);
    InstallOne(format);
    const bool integer = format == std::string("Integer");
    EXPECT_EQ(Read("SW1.TotalPorts"), integer ? "UI4:0" : "BSTR:8");
    EXPECT_EQ(Read("SW1.Status"), integer ? "I4:0" : "BSTR:");
    EXPECT_EQ(Read("SW1.MAC0"), "UI1:0");
    EXPECT_EQ(Read("SW1.IP_Address"), "BSTR:0.0.0.0");

    // 192.168.0.10, first octet in the low byte.
    Accept(Frame(1, kUpFull100).Info(3, 0x0A00A8C0, 0, 0, "T8"));
    Tick(2);
    EXPECT_EQ(Read("SW1.MAC0"), "UI1:2");
    EXPECT_EQ(Read("SW1.MAC3"), "UI1:26");
    EXPECT_EQ(Read("SW1.MAC5"), "UI1:60");
    EXPECT_EQ(Read("SW1.IP0"), "UI1:192");
    EXPECT_EQ(Read("SW1.IP3"), "UI1:10");
    EXPECT_EQ(Read("SW1.IP_Address"), "BSTR:192.168.0.10");
    EXPECT_EQ(Read("SW1.MAC_Address"), "BSTR:02.C4.7D.1A.2B.3C");
    EXPECT_EQ(Read("SW1.Alias"), "BSTR:SW1");
    EXPECT_EQ(Read("SW1.TotalPorts"), integer ? "UI4:8" : "BSTR:8");
    EXPECT_EQ(Read("SW1.Status"), integer ? "I4:1" : "BSTR:Online");
    EXPECT_EQ(Read("SW1.Last_Update"), integer ? "I4:1" : "BSTR:1");

    // After 2000 silent seconds the text reads "Offline" while the value
    // keeps counting.
    Tick(2000);
    EXPECT_EQ(Read("SW1.Last_Update"), integer ? "I4:2001" : "BSTR:Offline");
    EXPECT_EQ(Read("SW1.Status"), integer ? "I4:0" : "BSTR:Offline");
  }
}

TEST_F(ItemNamespaceTest, RingItemsWithoutInformationArea) {
  InstallOne("String");
  Accept(Frame(1, kUpFull100));
  Tick();
  EXPECT_EQ(Read("SW1.ZRing.Version"), "BSTR:0");
  EXPECT_EQ(Read("SW1.ZRing.Manager"), "BSTR:N/A");
  EXPECT_EQ(Read("SW1.ZRing.State"), "BSTR:N/A");
  EXPECT_EQ(Read("SW1.ZRing.Member"), "BSTR:N/A");
  Tick(21);
  EXPECT_EQ(Read("SW1.ZRing.Version"), "BSTR:0");
  EXPECT_EQ(Read("SW1.ZRing.State"), "BSTR:Offline");

  InstallOne("Integer");
  Accept(Frame(1, kUpFull100));
  Tick();
  for (const char* name : {"Version", "Manager", "State", "Member"})
    EXPECT_EQ(Read(std::string("SW1.ZRing.") + name), "UI1:0") << name;
}

TEST_F(ItemNamespaceTest, RingItemsFromTheRingFlags) {
  struct Case {
    uint8_t flags;
    const char* text;     // Manager / State / Member with "String"
    const char* numbers;  // the same with "Integer"
  };
  const Case cases[] = {
      {0x0D, "Yes/Ok/No", "1/3/0"},
      {0x01, "Yes/Fault/No", "1/0/0"},
      {0x05, "Yes/Partial Fault (low port rx error)/No", "1/1/0"},
      {0x0B, "Yes/Partial Fault (high port rx error)/Yes", "1/2/1"},
      {0x0E, "No/Not Manager/Yes", "0/4/1"},
  };
  auto ring = [this](bool integer) {
    std::string shown;
    for (const char* name : {"Manager", "State", "Member"}) {
      std::string value = Read(std::string("SW1.ZRing.") + name);
      shown += (shown.empty() ? "" : "/") + value.substr(value.find(':') + 1);
      EXPECT_EQ(value.substr(0, 4), integer ? "UI1:" : "BSTR");
    }
    return shown;
  };
  for (const char* format : {"String", "Integer"}) {
    const bool integer = format == std::string("Integer");
    InstallOne(format);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << format << " flags " << int{c.flags});
      Accept(Frame(1, kUpFull100).Info(3, 0, 2, c.flags, ""));
      Tick();
      EXPECT_EQ(Read("SW1.ZRing.Version"), integer ? "UI1:2" : "BSTR:2");
      EXPECT_EQ(ring(integer), integer ? c.numbers : c.text);
    }
    Tick(21);  // offline
    EXPECT_EQ(Read("SW1.ZRing.Version"), integer ? "UI1:2" : "BSTR:2");
    EXPECT_EQ(ring(integer), integer ? "0/0/0" : "Offline/Offline/Offline");
  }
}

TEST_F(ItemNamespaceTest, PortAliasedZRingKeepsItsPortItems) {
  SwitchRecord record = MakeSwitch(kAddress, "SW1", 0, 0);
  record.ports.push_back(MakePort(1, "ZRing"));
  record.ports.push_back(MakePort(2, "P2"));
  Install({std::move(record)}, "Integer");
  Accept(Frame(1, kUpFull100).Counter("rx_fcs_errors", 4));
  Tick();
  EXPECT_EQ(Read("SW1.ZRing.Version"), "UI1:0");
  EXPECT_EQ(Read("SW1.ZRing.Member"), "UI1:0");
  EXPECT_EQ(Read("SW1.ZRing.Alias"), "BSTR:ZRing");
  EXPECT_EQ(Read("SW1.ZRing.Speed"), "UI2:100");
  EXPECT_EQ(Read("SW1.ZRing.rx_fcs_errors"), "I4:4");
}

TEST_F(ItemNamespaceTest, OtherDataFormatServesNoPortItems) {
  InstallOne("Hex");
  Accept(Frame(1, kUpFull100).Info(3, 0, 1, 0x0D, ""));
  Tick();
  EXPECT_EQ(Read("SW1.P1.Speed"), "OPC_E_UNKNOWNITEMID");
  EXPECT_EQ(Read("SW1.P1.PortId"), "OPC_E_UNKNOWNITEMID");
  EXPECT_EQ(Read("SW1.Status"), "BSTR:Online");
  EXPECT_EQ(Read("SW1.TotalPorts"), "BSTR:8");
  EXPECT_EQ(Read("SW1.ZRing.State"), "BSTR:Ok");
  EXPECT_EQ(Read("SW1.MAC1"), "UI1:196");
}

TEST_F(ItemNamespaceTest, ItemProperties) {
  struct Case {
    const char* id;
    VARTYPE integer_type;
  };
  const Case cases[] = {
      {"SW1.Alias", VT_BSTR},
      {"SW1.MAC_Address", VT_BSTR},
      {"SW1.IP_Address", VT_BSTR},
      {"SW1.Status", VT_I4},
      {"SW1.MAC0", VT_I4},
      {"SW1.Bogus", VT_I4},
      {"SW1.P1.Alias", VT_BSTR},
      {"SW1.P1.PortId", VT_I4},
      {"SW1.P1.MAC_Address", VT_I4},
      {"SW1.ZRing.State", VT_I4},
      {"Nowhere.P7.Whatever", VT_I4},
      {"SW1..Alias", VT_BSTR},
  };
  for (const char* format : {"Integer", "String", "Other"}) {
    InstallOne(format);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << format << " " << c.id);
      VARTYPE type = 0xFFFF;
      DWORD rights = 0;
      ASSERT_EQ(items_->GetItemProperties(c.id, &type, &rights), S_OK);
      EXPECT_EQ(rights, 1u);
      const VARTYPE expected = format == std::string("Integer") ? c.integer_type
                               : format == std::string("String") ? VT_BSTR
                                                                 : 0xFFFF;
      EXPECT_EQ(type, expected);
    }
    VARTYPE type;
    DWORD rights;
    EXPECT_EQ(items_->GetItemProperties("SW1", &type, &rights), E_FAIL);
    EXPECT_EQ(items_->GetItemProperties(".Status", &type, &rights), E_FAIL);
    EXPECT_EQ(items_->GetItemProperties("SW1.Status", nullptr, &rights),
              E_POINTER);
    EXPECT_EQ(items_->GetItemProperties("SW1.Status", &type, nullptr),
              E_POINTER);
  }
}

TEST_F(ItemNamespaceTest, DuplicateAndDottedAliases) {
  SwitchRecord first = MakeSwitch("02.C4.7D.00.00.01", "SW1", 0, 2);
  SwitchRecord second = MakeSwitch("02.C4.7D.00.00.02", "SW1", 0, 0);
  second.ports.push_back(MakePort(5, "P2"));
  second.ports.push_back(MakePort(6, "P3"));
  second.ports.push_back(MakePort(7, "P3"));
  SwitchRecord dotted = MakeSwitch("02.C4.7D.00.00.03", "Dot.ted", 0, 1);
  SwitchRecord dotted_port = MakeSwitch("02.C4.7D.00.00.04", "SW2", 0, 0);
  dotted_port.ports.push_back(MakePort(1, "a.b"));
  Install({first, second, dotted, dotted_port}, "Integer");

  EXPECT_EQ(Read("SW1.MAC_Address"), "BSTR:02.C4.7D.00.00.01");
  EXPECT_EQ(Read("SW1.P2.PortId"), "BSTR:2");
  // The first switch called SW1 has no P3: the next one's first P3 answers.
  EXPECT_EQ(Read("SW1.P3.PortId"), "BSTR:6");
  // Listed, but a dot in an alias makes it unreachable.
  std::vector<std::string> ids = items_->ItemIds();
  EXPECT_NE(std::find(ids.begin(), ids.end(), "Dot.ted.P1.PortId"), ids.end());
  EXPECT_EQ(Read("Dot.ted.P1.PortId"), "OPC_E_UNKNOWNITEMID");
  EXPECT_EQ(Read("Dot.ted.Alias"), "OPC_E_UNKNOWNITEMID");
  EXPECT_EQ(Read("SW2.a.b.PortId"), "OPC_E_UNKNOWNITEMID");
}

// The indexes must answer exactly as walking the switches and ports in list
// order does, whatever the aliases repeat.
TEST_F(ItemNamespaceTest, IndexedReadsMatchTheListOrderWalk) {
  const std::vector<std::string> switch_aliases = {"A", "B", "C"};
  const std::vector<std::string> port_aliases = {"p", "q", "ZRing", ""};
  std::mt19937 random(6);
  std::vector<SwitchRecord> switches;
  for (int s = 0; s < 40; ++s) {
    char address[32];
    std::snprintf(address, sizeof address, "02.C4.7D.00.00.%02X", s);
    SwitchRecord record = MakeSwitch(
        address, switch_aliases[random() % switch_aliases.size()], 0, 0);
    const int ports = random() % 4;
    for (int p = 0; p < ports; ++p) {
      PortRecord port =
          MakePort(p + 1, port_aliases[random() % port_aliases.size()]);
      port.number_text = std::to_string(s * 10 + p);  // tells ports apart
      record.ports.push_back(std::move(port));
    }
    switches.push_back(std::move(record));
  }
  Install(switches, "Integer");

  auto walk = [&](const std::string& a, const std::string& b,
                  const std::string& c) -> std::string {
    if (a.empty()) return "E_FAIL";
    const bool ring_name =
        c == "Version" || c == "Manager" || c == "State" || c == "Member";
    if (b == "ZRing") {
      for (const SwitchRecord& record : switches)
        if (record.alias == a && ring_name) return "UI1:0";
    } else if (b.empty()) {
      for (const SwitchRecord& record : switches)
        if (record.alias == a && c == "MAC_Address")
          return "BSTR:" + record.address;
      return "OPC_E_UNKNOWNITEMID";
    }
    for (const SwitchRecord& record : switches) {
      if (record.alias != a) continue;
      for (const PortRecord& port : record.ports)
        if (port.alias == b && c == "PortId") return "BSTR:" + port.number_text;
    }
    return "OPC_E_UNKNOWNITEMID";
  };

  int checked = 0;
  for (std::string a : {"A", "B", "C", "D", ""}) {
    for (std::string b : {"p", "q", "ZRing", "", "r"}) {
      for (std::string c : {"PortId", "Version", "MAC_Address", "Bogus"}) {
        const std::string id = a + "." + b + "." + c;
        EXPECT_EQ(Read(id), walk(a, b, c)) << id;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 100);
}

// Every port of a large site is found through the hashed index, with
// aliases of every length, and texts that differ from a port's by a split,
// a character or a length are not.
TEST_F(ItemNamespaceTest, EveryPortOfALargeSiteIsFound) {
  std::vector<SwitchRecord> switches;
  auto alias = [](const std::string& stem, int i) {
    // Up to 40 characters and more, some of them beyond ASCII.
    std::string text = stem + std::to_string(i);
    text.resize(std::max<size_t>(text.size(), i % 41), 'x');
    if (i % 7 == 0) text.append("\xC3\xA9");  // U+00E9
    return text;
  };
  for (int s = 0; s < 300; ++s) {
    char address[32];
    std::snprintf(address, sizeof address, "02.C4.7D.00.%02X.%02X", s >> 8,
                  s & 0xFF);
    SwitchRecord record = MakeSwitch(address, alias("S", s), 0, 0);
    for (int p = 0; p < 12; ++p) {
      PortRecord port = MakePort(p + 1, alias("P", s * 12 + p));
      port.number_text = std::to_string(s * 100 + p);
      record.ports.push_back(std::move(port));
    }
    switches.push_back(std::move(record));
  }
  Install(switches, "Integer");

  for (const SwitchRecord& record : switches) {
    for (const PortRecord& port : record.ports) {
      const std::string a = record.alias;
      const std::string p = port.alias;
      ASSERT_EQ(Read(a + "." + p + ".PortId"), "BSTR:" + port.number_text)
          << a << "." << p;
      EXPECT_EQ(Read(a + "." + p + ".Alias"), "BSTR:" + p);
      // The same characters split elsewhere, one more or one less, one
      // changed.
      EXPECT_EQ(Read(a + p.substr(0, 1) + "." + p.substr(1) + ".PortId"),
                "OPC_E_UNKNOWNITEMID");
      EXPECT_EQ(Read(a + "." + p + "x.PortId"), "OPC_E_UNKNOWNITEMID");
      EXPECT_EQ(Read(a + "." + p.substr(0, p.size() - 1) + ".PortId"),
                "OPC_E_UNKNOWNITEMID");
      std::string changed = p;
      changed.front() ^= 0x01;
      EXPECT_EQ(Read(a + "." + changed + ".PortId"), "OPC_E_UNKNOWNITEMID");
    }
  }
  // Property names are exact too.
  const std::string port = switches[5].alias + "." + switches[5].ports[3].alias;
  for (std::string_view name : kPortPropertyNames) {
    std::string wrong(name);
    wrong.back() ^= 0x20;
    EXPECT_EQ(Read(port + "." + wrong), "OPC_E_UNKNOWNITEMID") << wrong;
    EXPECT_EQ(Read(port + "." + std::string(name) + "s"),
              "OPC_E_UNKNOWNITEMID");
    EXPECT_NE(Read(port + "." + std::string(name)), "OPC_E_UNKNOWNITEMID");
  }
}

// An identifier that is not well-formed UTF-16 reads as the text it
// narrows to: a lone surrogate becomes U+FFFD, which an alias may hold.
TEST_F(ItemNamespaceTest, MalformedUtf16ReadsAsItsText) {
  Install({MakeSwitch(kAddress,
                      "S\xEF\xBF\xBD"
                      "1",
                      0, 2)},
          "Integer");
  std::u16string id = u"S?1.P2.PortId";
  id[1] = char16_t{0xD800};
  ASSERT_EQ(ItemIdText(std::u16string_view(id)).View(),
            "S\xEF\xBF\xBD"
            "1.P2.PortId");
  com::Variant value;
  ASSERT_EQ(items_->Read(std::u16string_view(id), &value), S_OK);
  EXPECT_EQ(Show(value), "BSTR:2");
}

}  // namespace
}  // namespace kavex::device
