#include "device/device_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/testing/switch_table_fixtures.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"

namespace kavex::device {
namespace {

constexpr VeltoFrameBuilder::Mac kMac = {0x02, 0xC4, 0x7D, 0x00, 0x00, 0x01};
constexpr uint8_t kUpFull100 =
    kStatusLinkUp | kStatusEnabled | kStatusFullDuplex | kStatus100Mbit;

class EventSink : public com::ComObject<EventSink, _IKavexOPCDeviceEvents> {
 public:
  HRESULT Change(BSTR, VARIANT) override { return Called(); }
  HRESULT AddItemIDs(VARIANT) override { return Called(); }
  HRESULT RemoveItemIDs(VARIANT) override { return Called(); }
  HRESULT RefreshItemIDs(VARIANT) override { return Called(); }
  std::atomic<int> calls{0};

 private:
  HRESULT Called() {
    ++calls;
    return S_OK;
  }
};

class DeviceObjectTest : public ::testing::Test {
 protected:
  void Create(std::string format, int switches = 1) {
    auto table = std::make_shared<SwitchTable>(&clock_);
    AdapterEntry adapter;
    adapter.ndis_name = "\\Device\\veth0";
    adapter.active = true;
    for (int s = 0; s < switches; ++s) {
      char address[32];
      std::snprintf(address, sizeof address, "02.C4.7D.00.00.%02X", s + 1);
      adapter.switches.push_back(
          MakeSwitch(address, "SW" + std::to_string(s + 1), 0, 8));
    }
    table->Install(std::move(adapter), std::move(format));
    table_ = table;
    ASSERT_EQ(CDevice::CreateInstance(&device_, table_), S_OK);
  }

  // Read through the interface, as "<vt>:<text>" for texts.
  HRESULT Read(const char16_t* id, com::Variant* value) {
    com::Bstr bstr(id);
    return device_->Read(bstr.Get(), value);
  }

  sync::FakeClock clock_{100'000};
  std::shared_ptr<SwitchTable> table_;
  com::ComPtr<CDevice> device_;
};

TEST_F(DeviceObjectTest, ItemIdsAreABstrVectorFromZero) {
  Create("String", 2);
  com::Variant ids;
  ASSERT_EQ(device_->get_ItemIDs(&ids), S_OK);
  ASSERT_EQ(ids.vt, VT_ARRAY | VT_BSTR);
  ASSERT_EQ(SafeArrayGetDim(ids.parray), 1u);
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(ids.parray, 1, &lower);
  SafeArrayGetUBound(ids.parray, 1, &upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 2 * 354 - 1);
  BSTR* elements = nullptr;
  ASSERT_EQ(
      SafeArrayAccessData(ids.parray, reinterpret_cast<void**>(&elements)),
      S_OK);
  EXPECT_EQ(com::BstrView(elements[0]), u"SW1.Last_Update");
  EXPECT_EQ(com::BstrView(elements[354]), u"SW2.Last_Update");
  EXPECT_EQ(com::BstrView(elements[upper]), u"SW2.P8.Last_Update");
  SafeArrayUnaccessData(ids.parray);
  EXPECT_EQ(device_->get_ItemIDs(nullptr), E_POINTER);
}

TEST_F(DeviceObjectTest, PathDelimiterReplacesWhatTheOutputHeld) {
  Create("String");
  BSTR delimiter = SysAllocString(u"previous text");  // freed by the call
  ASSERT_EQ(device_->get_PathDelimiter(&delimiter), S_OK);
  EXPECT_EQ(com::BstrView(delimiter), u".");
  SysFreeString(delimiter);
  EXPECT_EQ(device_->get_PathDelimiter(nullptr), E_POINTER);
}

TEST_F(DeviceObjectTest, PropertiesReadsAndWritesThroughTheInterface) {
  Create("Integer");
  IKavexOPCDevice* device = device_.Get();
  com::Bstr alias(u"SW1.P1.Alias");
  USHORT type = 0;
  ULONG rights = 0;
  EXPECT_EQ(device->GetItemProperties(alias.Get(), &type, &rights), S_OK);
  EXPECT_EQ(type, VT_BSTR);
  EXPECT_EQ(rights, 1u);
  EXPECT_EQ(device->GetItemProperties(nullptr, &type, &rights), E_FAIL);

  com::Variant value;
  EXPECT_EQ(Read(u"SW1.P1.Alias", &value), S_OK);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(value.bstrVal), u"P1");
  com::Variant unknown;
  EXPECT_EQ(Read(u"SW\u00e9.P1.Alias", &unknown), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(device->Read(nullptr, &unknown), E_FAIL);
  EXPECT_EQ(device->Read(alias.Get(), nullptr), E_POINTER);

  com::Variant number(LONG{5});
  EXPECT_EQ(device->Write(alias.Get(), number), E_FAIL);
}

TEST_F(DeviceObjectTest, EventsPointAcceptsSubscribersAndNeverFires) {
  Create("String");
  com::ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(device_->QueryInterface(
                com::IidOf<IConnectionPointContainer>(),
                reinterpret_cast<void**>(container.GetAddressOf())),
            S_OK);
  com::ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(com::IidOf<_IKavexOPCDeviceEvents>(),
                                           point.GetAddressOf()),
            S_OK);
  com::ComPtr<IConnectionPoint> other;
  EXPECT_EQ(container->FindConnectionPoint(com::IidOf<IKavexOPCDevice>(),
                                           other.GetAddressOf()),
            CONNECT_E_NOCONNECTION);

  com::ComPtr<EventSink> sink;
  ASSERT_EQ(EventSink::CreateInstance(&sink), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(sink->GetUnknown(), &cookie), S_OK);
  EXPECT_NE(cookie, 0u);

  com::Variant value;
  EXPECT_EQ(Read(u"SW1.Status", &value), S_OK);
  EXPECT_EQ(sink->calls.load(), 0);

  // Releasing the device lets go of its subscribers.
  point.Reset();
  container.Reset();
  device_.Reset();
  EXPECT_EQ(CDevice::InstanceCount(), 0);
  sink.Reset();
  EXPECT_EQ(EventSink::InstanceCount(), 0);
}

// Reads from several threads while frames and ticks change the values: a
// read shows a whole value, never a half-replaced one.
TEST_F(DeviceObjectTest, ConcurrentReadsSeeWholeValues) {
  Create("String");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<long> reads{0};
  std::atomic<int> readers_started{0};

  std::thread writer([&] {
    // Frames only once every reader is in its loop, so that reads and
    // frames overlap even on a loaded machine.
    while (readers_started.load() < 3) std::this_thread::yield();
    for (uint32_t n = 1; n <= 2000; ++n) {
      auto frame = VeltoFrameBuilder()
                       .Source(kMac)
                       .Port(0, 0)
                       .Status(kUpFull100)
                       .Counter("rx_fcs_errors", 1000000 + n)
                       .Build();
      clock_.Advance(2001);
      table_->HandleFrame(frame.data(), frame.size());
      if (n % 4 == 0) table_->Tick();
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      com::Bstr counter(u"SW1.P1.rx_fcs_errors");
      com::Bstr speed(u"SW1.P1.Speed");
      ++readers_started;
      do {
        com::Variant value;
        if (device_->Read(counter.Get(), &value) != S_OK ||
            value.vt != VT_BSTR) {
          ++bad;
          continue;
        }
        std::u16string_view text = com::BstrView(value.bstrVal);
        if (text != u"Offline" && (text.size() != 7 || text[0] != u'1')) ++bad;
        com::Variant speed_value;
        if (device_->Read(speed.Get(), &speed_value) != S_OK ||
            (com::BstrView(speed_value.bstrVal) != u"100" &&
             com::BstrView(speed_value.bstrVal) != u"N/A" &&
             com::BstrView(speed_value.bstrVal) != u"Offline"))
          ++bad;
        ++reads;
      } while (!stop);
    });
  }
  writer.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
  com::Variant last;
  ASSERT_EQ(Read(u"SW1.P1.rx_fcs_errors", &last), S_OK);
  EXPECT_EQ(com::BstrView(last.bstrVal), u"1002000");
}

}  // namespace
}  // namespace kavex::device
