// The device under real threads, for the ThreadSanitizer build: readers go
// through CDevice::Read over every item of two switches while the receive
// thread applies frames (information areas included) and the timer thread
// ages the switches. Time is a FakeClock that only the frame thread moves.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_object.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace kavex::device {
namespace {

constexpr uint8_t kUpFull100 =
    kStatusLinkUp | kStatusEnabled | kStatusFullDuplex | kStatus100Mbit;
constexpr int kPorts = 6;
constexpr uint32_t kFrames = 3000;

std::vector<com::Bstr> ItemIds(CDevice* device) {
  com::Variant ids;
  std::vector<com::Bstr> result;
  if (device->get_ItemIDs(&ids) != S_OK) return result;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(ids.parray, 1, &lower);
  SafeArrayGetUBound(ids.parray, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR id = nullptr;
    if (SafeArrayGetElement(ids.parray, &i, &id) == S_OK) {
      result.emplace_back(com::BstrView(id));
      SysFreeString(id);
    }
  }
  return result;
}

// Every item keeps reading while the values under it change, and a port's
// counter never goes back (it reads 0 while its switch is offline): the
// frames carry rising counters.
TEST(DeviceRaceTest, ReadsRaceFramesAndTicks) {
  sync::FakeClock clock(100'000);
  auto table = std::make_shared<SwitchTable>(&clock);
  AdapterEntry adapter;
  adapter.ndis_name = "\\Device\\veth0";
  adapter.active = true;
  adapter.timeout_seconds = 2;
  adapter.switches.push_back(MakeSwitch("02.C4.7D.00.00.01", "SW1", 0, kPorts));
  adapter.switches.push_back(MakeSwitch("02.C4.7D.00.00.02", "SW2", 3, kPorts));
  table->Install(std::move(adapter), "Integer");
  com::ComPtr<CDevice> device;
  ASSERT_EQ(CDevice::CreateInstance(&device, table), S_OK);
  const std::vector<com::Bstr> ids = ItemIds(device.Get());
  ASSERT_EQ(ids.size(), 2u * (20 + 43 * kPorts));

  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::atomic<int> failed_reads{0};
  std::atomic<int> counter_went_back{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      com::Bstr counter(u"SW1.P1.rx_fcs_errors");
      LONG last_counter = 0;
      ++started;
      while (!done) {
        for (const com::Bstr& id : ids) {
          com::Variant value;
          if (device->Read(id.Get(), &value) != S_OK) ++failed_reads;
          com::Variant count;
          if (device->Read(counter.Get(), &count) != S_OK) {
            ++failed_reads;
          } else if (count.vt == VT_I4 && count.lVal != 0) {
            // 0 while the switch is offline; any other value is a frame's.
            if (count.lVal < last_counter) ++counter_went_back;
            last_counter = count.lVal;
          }
          ++reads;
        }
      }
    });
  }
  std::thread ticker([&] {
    ++started;
    while (!done) table->Tick();
  });

  // Frames only once every other thread is in its loop.
  while (started.load() < 3) std::this_thread::yield();
  const VeltoFrameBuilder::Mac macs[2] = {{0x02, 0xC4, 0x7D, 0, 0, 0x01},
                                          {0x02, 0xC4, 0x7D, 0, 0, 0x02}};
  for (uint32_t n = 1; n <= kFrames; ++n) {
    for (int s = 0; s < 2; ++s) {
      const std::vector<uint8_t> frame =
          VeltoFrameBuilder()
              .Source(macs[s])
              .Port(0, static_cast<int>(n % kPorts))
              .Status(kUpFull100)
              .Counter("rx_fcs_errors", n)
              .Counter("rx_unicast_frames", 1000 * n)
              .Info(3, 0x0A00A8C0 + n, 2, static_cast<uint8_t>(n),
                    "ring " + std::to_string(n))
              .Build();
      table->HandleFrame(frame.data(), frame.size());
    }
    clock.Advance(n % 500 == 0 ? 5000 : 400);  // now and then offline
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  ticker.join();

  EXPECT_EQ(failed_reads.load(), 0);
  EXPECT_EQ(counter_went_back.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace kavex::device
