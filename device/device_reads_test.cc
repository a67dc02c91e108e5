// _IKavexOPCDeviceReads::ReadItems against Read: every identifier of a site
// and hostile ones, in both data formats, into values that held nothing,
// strings of the answer's length, strings of other lengths and numbers.
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
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace kavex::device {
namespace {

// What a value holds, as one comparable text.
std::u16string Show(HRESULT hr, const VARIANT& value) {
  std::u16string shown = text::Utf8ToUtf16(std::to_string(hr)) + u"/" +
                         text::Utf8ToUtf16(std::to_string(value.vt)) + u":";
  if (value.vt == VT_BSTR) {
    shown += value.bstrVal == nullptr ? u"<null>"
                                      : std::u16string(com::BstrView(value.bstrVal));
  } else if (value.vt == VT_UI1) {
    shown += text::Utf8ToUtf16(std::to_string(value.bVal));
  } else if (value.vt == VT_UI2) {
    shown += text::Utf8ToUtf16(std::to_string(value.uiVal));
  } else if (value.vt != VT_EMPTY) {
    shown += text::Utf8ToUtf16(std::to_string(value.lVal));
  }
  return shown;
}

// How the values look before a ReadItems call.
enum class Before { kEmpty, kSameLength, kOtherLength, kNumber, kLastAnswers };

class DeviceReadsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    table_ = std::make_shared<SwitchTable>(&clock_);
    AdapterEntry adapter;
    adapter.ndis_name = "\\Device\\veth0";
    adapter.active = true;
    adapter.switches.push_back(MakeSwitch("02.C4.7D.00.00.01", "SW1", 0, 8));
    adapter.switches.push_back(MakeSwitch("02.C4.7D.00.00.02", "SW2", 0, 8));
    table_->Install(std::move(adapter), GetParam());
    ASSERT_EQ(CDevice::CreateInstance(&device_, table_), S_OK);
    ASSERT_EQ(device_->QueryInterface(
                  IID__IKavexOPCDeviceReads,
                  reinterpret_cast<void**>(reads_.GetAddressOf())),
              S_OK);

    com::Variant listed;
    ASSERT_EQ(device_->get_ItemIDs(&listed), S_OK);
    BSTR* elements = nullptr;
    ASSERT_EQ(SafeArrayAccessData(listed.parray,
                                  reinterpret_cast<void**>(&elements)),
              S_OK);
    for (ULONG i = 0; i < listed.parray->rgsabound[0].cElements; ++i)
      ids_.emplace_back(com::BstrView(elements[i]));
    SafeArrayUnaccessData(listed.parray);
    // Identifiers that name nothing, or are read alone.
    for (const char16_t* hostile :
         {u"SW1", u".Speed", u"..", u"SW1.", u"SW1.Bogus", u"SW1.P1.Bogus",
          u"SW9.P1.Speed", u"SW1..Speed", u"SW1.ZRing.Speed", u"SW1.P9.Alias",
          u"SW\u00e9.P1.Alias", u"SW1.P1.Speed.", u"SW1.P1.\u00e9", u""}) {
      ids_.emplace_back(hostile);
    }
    ids_.push_back(u"SW1.P1." + std::u16string(200, u'x'));
    for (const std::u16string& id : ids_) bstrs_.emplace_back(id);
    bstrs_.emplace_back();  // a null identifier
  }

  // Frames that give the ports different states: link up at 100 Mbit/s,
  // link down, enabled only; SW2 stays silent and goes offline.
  void Hear(uint64_t counter) {
    const uint8_t statuses[] = {
        kStatusLinkUp | kStatusEnabled | kStatusFullDuplex | kStatus100Mbit,
        kStatusEnabled, kStatusLinkUp | kStatusEnabled, 0};
    for (int round = 0; round < 2; ++round) {
      clock_.Advance(2001);
      for (int p = 0; p < 4; ++p) {
        auto frame = VeltoFrameBuilder()
                         .Source({0x02, 0xC4, 0x7D, 0x00, 0x00, 0x01})
                         .Port(0, p)
                         .Status(statuses[p])
                         .Counter("rx_fcs_errors", counter + p)
                         .Counter("tx_octets", counter * 1000 + p)
                         .Info(3, 0x0A00A8C0, 1, 0x0D, "T8")
                         .Build();
        table_->HandleFrame(frame.data(), frame.size());
      }
    }
    for (int t = 0; t < 25; ++t) table_->Tick();
  }

  std::vector<std::u16string> Expected() {
    std::vector<std::u16string> expected;
    for (com::Bstr& id : bstrs_) {
      VARIANT value;
      value.vt = VT_EMPTY;
      const HRESULT hr = device_->Read(id.Get(), &value);
      expected.push_back(Show(hr, value));
      VariantClear(&value);
    }
    return expected;
  }

  // ReadItems of every identifier in one call, the values prepared as
  // `before` says (kLastAnswers keeps what the previous call gave).
  std::vector<std::u16string> ReadItems(Before before) {
    const size_t count = bstrs_.size();
    values_.resize(count);
    std::vector<BSTR> ids;
    for (size_t i = 0; i < count; ++i) {
      ids.push_back(bstrs_[i].Get());
      VARIANT& value = values_[i];
      if (before == Before::kLastAnswers) continue;
      VariantClear(&value);
      const size_t length = i < expected_lengths_.size()
                                ? expected_lengths_[i]
                                : 3;
      switch (before) {
        case Before::kSameLength:
        case Before::kOtherLength: {
          const std::u16string filler(
              before == Before::kSameLength ? length : length + 1 + i % 3,
              u'#');
          value.vt = VT_BSTR;
          value.bstrVal = SysAllocStringLen(filler.data(),
                                            static_cast<UINT>(filler.size()));
          break;
        }
        case Before::kNumber:
          value.vt = VT_I4;
          value.lVal = 77;
          break;
        default:
          break;
      }
    }
    std::vector<HRESULT> results(count, E_UNEXPECTED);
    EXPECT_EQ(reads_->ReadItems(static_cast<DWORD>(count), ids.data(),
                                values_.data(), results.data()),
              S_OK);
    std::vector<std::u16string> shown;
    for (size_t i = 0; i < count; ++i) shown.push_back(Show(results[i], values_[i]));
    return shown;
  }

  // The text lengths of the answers, for strings of the same length.
  void NoteLengths() {
    expected_lengths_.clear();
    for (com::Bstr& id : bstrs_) {
      com::Variant value;
      device_->Read(id.Get(), &value);
      expected_lengths_.push_back(
          value.vt == VT_BSTR ? SysStringLen(value.bstrVal) : 2);
    }
  }

  void ExpectEveryPreparation(const char* when) {
    NoteLengths();
    const std::vector<std::u16string> expected = Expected();
    for (Before before : {Before::kEmpty, Before::kSameLength,
                          Before::kOtherLength, Before::kNumber}) {
      EXPECT_EQ(ReadItems(before), expected)
          << when << ", preparation " << static_cast<int>(before);
    }
  }

  sync::FakeClock clock_{100'000};
  std::shared_ptr<SwitchTable> table_;
  com::ComPtr<CDevice> device_;
  com::ComPtr<_IKavexOPCDeviceReads> reads_;
  std::vector<std::u16string> ids_;
  std::vector<com::Bstr> bstrs_;
  std::vector<com::Variant> values_;
  std::vector<size_t> expected_lengths_;
};

TEST_P(DeviceReadsTest, AnswersAsReadWhateverTheValuesHeld) {
  ExpectEveryPreparation("never heard");
  Hear(5);
  ExpectEveryPreparation("heard");
  // The answers of one call are the next call's values: texts that keep
  // their length are written over, others replaced.
  ReadItems(Before::kEmpty);
  Hear(123456);
  EXPECT_EQ(ReadItems(Before::kLastAnswers), Expected()) << "values changed";
  Hear(123457);
  EXPECT_EQ(ReadItems(Before::kLastAnswers), Expected()) << "same lengths";
}

TEST_P(DeviceReadsTest, NullArraysAndNoItems) {
  BSTR id = bstrs_[0].Get();
  VARIANT value;
  value.vt = VT_EMPTY;
  HRESULT result = S_OK;
  EXPECT_EQ(reads_->ReadItems(1, nullptr, &value, &result), E_POINTER);
  EXPECT_EQ(reads_->ReadItems(1, &id, nullptr, &result), E_POINTER);
  EXPECT_EQ(reads_->ReadItems(1, &id, &value, nullptr), E_POINTER);
  EXPECT_EQ(reads_->ReadItems(0, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(value.vt, VT_EMPTY);
}

INSTANTIATE_TEST_SUITE_P(Formats, DeviceReadsTest,
                         ::testing::Values("String", "Integer", "Other"));

// A reader reusing its values while frames change them sees whole texts:
// a counter of seven digits starting with 1, or "Offline".
TEST(DeviceReadsRaceTest, ReusedValuesShowWholeTexts) {
  sync::FakeClock clock(100'000);
  auto table = std::make_shared<SwitchTable>(&clock);
  AdapterEntry adapter;
  adapter.active = true;
  adapter.switches.push_back(MakeSwitch("02.C4.7D.00.00.01", "SW1", 0, 8));
  table->Install(std::move(adapter), "String");
  com::ComPtr<CDevice> device;
  ASSERT_EQ(CDevice::CreateInstance(&device, table), S_OK);

  std::atomic<bool> started{false}, stop{false};
  std::atomic<int> bad{0};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    com::Bstr counter(u"SW1.P1.rx_fcs_errors");
    std::vector<BSTR> ids(100, counter.Get());
    std::vector<VARIANT> values(100);
    for (VARIANT& value : values) value.vt = VT_EMPTY;
    std::vector<HRESULT> results(100);
    started = true;
    do {
      device->ReadItems(100, ids.data(), values.data(), results.data());
      for (size_t i = 0; i < values.size(); ++i) {
        const std::u16string_view text =
            values[i].vt == VT_BSTR ? com::BstrView(values[i].bstrVal) : u"";
        if (results[i] != S_OK ||
            (text != u"Offline" && (text.size() != 7 || text[0] != u'1')))
          ++bad;
      }
      ++reads;
    } while (!stop);
    for (VARIANT& value : values) VariantClear(&value);
  });
  while (!started) std::this_thread::yield();
  for (uint32_t n = 1; n <= 2000; ++n) {
    auto frame = VeltoFrameBuilder()
                     .Source({0x02, 0xC4, 0x7D, 0x00, 0x00, 0x01})
                     .Port(0, 0)
                     .Status(kStatusLinkUp | kStatusEnabled)
                     .Counter("rx_fcs_errors", 1000000 + n * 97)
                     .Build();
    clock.Advance(2001);
    table->HandleFrame(frame.data(), frame.size());
    if (n % 4 == 0) table->Tick();
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace kavex::device
