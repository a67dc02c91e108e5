#include "server/objects/item_properties.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/filetime.h"
#include "platform/com/task_memory.h"
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "server/objects/trace_capture_for_test.h"

namespace kavex::server {
namespace {

// A device that answers from a script and records what it was asked.
class ScriptedDevice : public com::ComObject<ScriptedDevice, IKavexOPCDevice> {
 public:
  struct Item {
    VARTYPE type = VT_EMPTY;
    DWORD rights = 0;
    HRESULT read_result = S_OK;
    com::Variant value;
  };

  HRESULT get_ItemIDs(VARIANT*) override { return E_NOTIMPL; }
  HRESULT get_PathDelimiter(BSTR*) override { return E_NOTIMPL; }
  HRESULT GetItemProperties(BSTR id, USHORT* type, ULONG* rights) override {
    asked.emplace_back(com::BstrView(id));
    // A BSTR carries its length in front: a plain string passed as one
    // would show a wrong length here.
    if (id != nullptr &&
        SysStringLen(id) != std::char_traits<char16_t>::length(id))
      not_a_bstr = true;
    auto it = items.find(std::u16string(com::BstrView(id)));
    if (it == items.end()) return OPC_E_UNKNOWNITEMID;
    *type = it->second.type;
    *rights = it->second.rights;
    return S_OK;
  }
  HRESULT Read(BSTR id, VARIANT* value) override {
    ++reads;
    auto it = items.find(std::u16string(com::BstrView(id)));
    if (it == items.end()) return OPC_E_UNKNOWNITEMID;
    if (FAILED(it->second.read_result)) return it->second.read_result;
    return VariantCopy(value, &it->second.value);
  }
  HRESULT Write(BSTR, VARIANT) override { return E_NOTIMPL; }

  std::map<std::u16string, Item> items;
  std::vector<std::u16string> asked;
  bool not_a_bstr = false;
  int reads = 0;
};

class ItemPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ScriptedDevice::CreateInstance(&device_), S_OK);
    ScriptedDevice::Item speed;
    speed.type = VT_UI4;
    speed.rights = 1;
    speed.value = com::Variant(ULONG{100});
    device_->items[u"SW1.P1.Speed"] = speed;
    // Known to GetItemProperties, failing at Read, as the device does for
    // IDs that name nothing.
    ScriptedDevice::Item dead;
    dead.type = VT_BSTR;
    dead.rights = 1;
    dead.read_result = OPC_E_UNKNOWNITEMID;
    device_->items[u"SW1.Nothing"] = dead;
    sync::SetClockForTesting(&clock_);
  }
  void TearDown() override { sync::SetClockForTesting(nullptr); }

  struct Properties {
    HRESULT hr;
    std::vector<VARIANT> values;  // cleared by the caller via Free
    std::vector<HRESULT> errors;
  };
  Properties Get(std::u16string item, std::vector<DWORD> ids) {
    VARIANT* data = nullptr;
    HRESULT* errors = nullptr;
    Properties p;
    p.hr = GetItemProperties(device_.Get(), nullptr, item.data(),
                             static_cast<DWORD>(ids.size()), ids.data(), &data,
                             &errors);
    if (data != nullptr) {
      p.values.assign(data, data + ids.size());
      p.errors.assign(errors, errors + ids.size());
    }
    CoTaskMemFree(data);
    CoTaskMemFree(errors);
    return p;
  }
  static void Free(Properties* p) {
    for (VARIANT& v : p->values) VariantClear(&v);
  }

  sync::FakeClock clock_;
  com::ComPtr<ScriptedDevice> device_;
};

TEST_F(ItemPropertiesTest, TheSixStandardPropertiesWithTheCanonicalType) {
  TraceCapture trace(kTraceDetail);
  const void* server = reinterpret_cast<const void*>(0x00C0FFEEull);
  std::u16string item = u"SW1.P1.Speed";
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(QueryAvailableProperties(device_.Get(), server, item.data(), &count,
                                     &ids, &descriptions, &types),
            S_OK);
  ASSERT_EQ(count, 6u);
  const char16_t* const kTexts[] = {
      u"Item Canonical DataType", u"Item Value",         u"Item Quality",
      u"Item Timestamp",          u"Item Access Rights", u"Server Scan Rate"};
  const VARTYPE kTypes[] = {VT_I2, VT_UI4, VT_I2, VT_DATE, VT_I4, VT_R4};
  for (DWORD i = 0; i < count; ++i) {
    EXPECT_EQ(ids[i], i + 1);
    EXPECT_EQ(std::u16string(descriptions[i]), kTexts[i]);
    EXPECT_EQ(types[i], kTypes[i]);
    CoTaskMemFree(descriptions[i]);
  }
  CoTaskMemFree(ids);
  CoTaskMemFree(descriptions);
  CoTaskMemFree(types);
  EXPECT_EQ(device_->asked, std::vector<std::u16string>{item});
  EXPECT_FALSE(device_->not_a_bstr);
  EXPECT_EQ(device_->reads, 0);
  EXPECT_EQ(
      trace.Lines(),
      (std::vector<std::string>{
          TraceCapture::Line(server, S_OK,
                             "CServer::QueryAvailableProperties: Get Item "
                             "Properties from Device for Item",
                             "SW1.P1.Speed"),
          TraceCapture::Line(server, S_OK,
                             "CServer::QueryAvailableProperties: Return "
                             "Standard OPC Properties"),
          TraceCapture::Line(server, S_OK,
                             "CServer::QueryAvailableProperties: Done"),
      }));
}

TEST_F(ItemPropertiesTest, AnUnknownItemFailsEveryCallAsAWhole) {
  TraceCapture trace(kTraceError);
  std::u16string item = u"NoSuch.Item";
  DWORD count = 99;
  DWORD* ids = reinterpret_cast<DWORD*>(0x1);  // stale values a client left
  LPWSTR* descriptions = reinterpret_cast<LPWSTR*>(0x1);
  VARTYPE* types = reinterpret_cast<VARTYPE*>(0x1);
  EXPECT_EQ(QueryAvailableProperties(device_.Get(), nullptr, item.data(),
                                     &count, &ids, &descriptions, &types),
            OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ids, nullptr);
  EXPECT_EQ(descriptions, nullptr);
  EXPECT_EQ(types, nullptr);

  DWORD wanted[] = {1, 2};
  VARIANT* data = reinterpret_cast<VARIANT*>(0x1);
  HRESULT* errors = reinterpret_cast<HRESULT*>(0x1);
  EXPECT_EQ(GetItemProperties(device_.Get(), nullptr, item.data(), 2, wanted,
                              &data, &errors),
            OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(errors, nullptr);
  LPWSTR* new_ids = reinterpret_cast<LPWSTR*>(0x1);
  errors = reinterpret_cast<HRESULT*>(0x1);
  EXPECT_EQ(LookupItemIDs(device_.Get(), nullptr, item.data(), 2, wanted,
                          &new_ids, &errors),
            OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(new_ids, nullptr);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(device_->reads, 0);
  EXPECT_EQ(trace.Lines(),
            (std::vector<std::string>{
                TraceCapture::Line(nullptr, OPC_E_UNKNOWNITEMID,
                                   "CServer::QueryAvailableProperties: Error"),
                TraceCapture::Line(nullptr, OPC_E_UNKNOWNITEMID,
                                   "CServer::GetItemProperties: Error"),
                TraceCapture::Line(nullptr, OPC_E_UNKNOWNITEMID,
                                   "CServer::LookupItemIDs: Error"),
            }));
}

TEST_F(ItemPropertiesTest, NullOutputsAndZeroCountsAreInvalidArguments) {
  std::u16string item = u"SW1.P1.Speed";
  DWORD count;
  DWORD* ids;
  LPWSTR* texts;
  VARTYPE* types;
  IKavexOPCDevice* d = device_.Get();
  LPWSTR id = item.data();
  EXPECT_EQ(
      QueryAvailableProperties(d, nullptr, id, nullptr, &ids, &texts, &types),
      E_INVALIDARG);
  EXPECT_EQ(ids, nullptr);
  EXPECT_EQ(
      QueryAvailableProperties(d, nullptr, id, &count, nullptr, &texts, &types),
      E_INVALIDARG);
  EXPECT_EQ(texts, nullptr);
  EXPECT_EQ(
      QueryAvailableProperties(d, nullptr, id, &count, &ids, nullptr, &types),
      E_INVALIDARG);
  EXPECT_EQ(types, nullptr);
  EXPECT_EQ(
      QueryAvailableProperties(d, nullptr, id, &count, &ids, &texts, nullptr),
      E_INVALIDARG);
  EXPECT_EQ(count, 0u);

  DWORD wanted[] = {1};
  VARIANT* data;
  HRESULT* errors;
  LPWSTR* new_ids;
  EXPECT_EQ(GetItemProperties(d, nullptr, id, 0, wanted, &data, &errors),
            E_INVALIDARG);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(GetItemProperties(d, nullptr, id, 1, nullptr, &data, &errors),
            E_INVALIDARG);
  EXPECT_EQ(GetItemProperties(d, nullptr, id, 1, wanted, nullptr, &errors),
            E_INVALIDARG);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(GetItemProperties(d, nullptr, id, 1, wanted, &data, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(LookupItemIDs(d, nullptr, id, 0, wanted, &new_ids, &errors),
            E_INVALIDARG);
  EXPECT_EQ(new_ids, nullptr);
  EXPECT_EQ(LookupItemIDs(d, nullptr, id, 1, nullptr, &new_ids, &errors),
            E_INVALIDARG);
  EXPECT_EQ(LookupItemIDs(d, nullptr, id, 1, wanted, nullptr, &errors),
            E_INVALIDARG);
  EXPECT_EQ(LookupItemIDs(d, nullptr, id, 1, wanted, &new_ids, nullptr),
            E_INVALIDARG);
  EXPECT_TRUE(device_->asked.empty());

  TraceCapture trace(kTraceError);
  EXPECT_EQ(GetItemProperties(d, nullptr, id, 0, wanted, &data, &errors),
            E_INVALIDARG);
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{
                               "03/07/2026 09:05:04.021: [Error: 0x80070057] "
                               "CServer::GetItemProperties: Error\n"});
}

// A count too large for the arrays is refused before the client's
// property IDs (here a single one) are read.
TEST_F(ItemPropertiesTest, HugeCountsAreOutOfMemory) {
  std::u16string item = u"SW1.P1.Speed";
  DWORD wanted[] = {1};
  VARIANT* data = reinterpret_cast<VARIANT*>(1);
  HRESULT* errors = reinterpret_cast<HRESULT*>(1);
  LPWSTR* new_ids = reinterpret_cast<LPWSTR*>(1);
  EXPECT_EQ(GetItemProperties(device_.Get(), nullptr, item.data(), 0xFFFFFFFF,
                              wanted, &data, &errors),
            E_OUTOFMEMORY);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(LookupItemIDs(device_.Get(), nullptr, item.data(), 0x80000000,
                          wanted, &new_ids, &errors),
            E_OUTOFMEMORY);
  EXPECT_EQ(new_ids, nullptr);
  EXPECT_EQ(device_->reads, 0);
}

TEST_F(ItemPropertiesTest, AnUnknownPropertyIdFailsItsEntryOnly) {
  Properties p = Get(u"SW1.P1.Speed", {1, 7});
  EXPECT_EQ(p.hr, S_FALSE);
  ASSERT_EQ(p.errors.size(), 2u);
  EXPECT_EQ(p.errors[0], S_OK);
  EXPECT_EQ(p.errors[1], OPC_E_INVALID_PID);
  EXPECT_EQ(p.values[0].vt, VT_I2);
  EXPECT_EQ(p.values[0].iVal, VT_UI4);
  EXPECT_EQ(p.values[1].vt, VT_EMPTY);
  Free(&p);

  p = Get(u"SW1.P1.Speed", {0, 6, 0xFFFFFFFF});
  EXPECT_EQ(p.hr, S_FALSE);
  EXPECT_EQ(p.errors,
            (std::vector<HRESULT>{OPC_E_INVALID_PID, S_OK, OPC_E_INVALID_PID}));
  Free(&p);
}

TEST_F(ItemPropertiesTest, ValuesOfEveryPropertyInRequestOrder) {
  clock_.SetFileTime(133500000000000000ULL);  // some day in 2024
  Properties p = Get(u"SW1.P1.Speed", {6, 5, 4, 3, 2, 1, 2});
  EXPECT_EQ(p.hr, S_OK);
  EXPECT_EQ(p.errors, std::vector<HRESULT>(7, S_OK));
  EXPECT_EQ(p.values[0].vt, VT_R4);
  EXPECT_EQ(p.values[0].fltVal, 100.0f);
  EXPECT_EQ(p.values[1].vt, VT_I4);
  EXPECT_EQ(p.values[1].lVal, 1);
  EXPECT_EQ(p.values[2].vt, VT_DATE);
  FILETIME now{static_cast<DWORD>(133500000000000000ULL),
               static_cast<DWORD>(133500000000000000ULL >> 32)};
  DATE expected = 0;
  ASSERT_TRUE(FileTimeToVariantTime(&now, &expected));
  EXPECT_EQ(p.values[2].date, expected);
  EXPECT_EQ(p.values[3].vt, VT_I2);
  EXPECT_EQ(p.values[3].iVal, 0xC0);
  EXPECT_EQ(p.values[4].vt, VT_UI4);
  EXPECT_EQ(p.values[4].ulVal, 100u);
  EXPECT_EQ(p.values[5].iVal, VT_UI4);
  EXPECT_EQ(p.values[6].ulVal, 100u);
  EXPECT_EQ(device_->reads, 3);  // each value and the quality read afresh
  Free(&p);
}

TEST_F(ItemPropertiesTest, AFailingReadFailsTheValueButNotTheQuality) {
  Properties p = Get(u"SW1.Nothing", {2, 3, 1});
  EXPECT_EQ(p.hr, S_FALSE);
  EXPECT_EQ(p.errors, (std::vector<HRESULT>{OPC_E_UNKNOWNITEMID, S_OK, S_OK}));
  EXPECT_EQ(p.values[0].vt, VT_EMPTY);
  EXPECT_EQ(p.values[1].vt, VT_I2);
  EXPECT_EQ(p.values[1].iVal, 0x00);
  EXPECT_EQ(p.values[2].iVal, VT_BSTR);
  Free(&p);

  // A clock past what a DATE holds (year 9999) fails the timestamp entry.
  clock_.SetFileTime(0x7FFF000000000000ULL);
  p = Get(u"SW1.P1.Speed", {4});
  EXPECT_EQ(p.hr, S_FALSE);
  EXPECT_EQ(p.errors, std::vector<HRESULT>{E_FAIL});
  EXPECT_EQ(p.values[0].vt, VT_EMPTY);
}

TEST_F(ItemPropertiesTest, NoPropertyMapsToAnotherItem) {
  TraceCapture trace(kTraceDetail);
  std::u16string item = u"SW1.P1.Speed";
  DWORD wanted[] = {1, 2, 9};
  LPWSTR* new_ids = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(LookupItemIDs(device_.Get(), nullptr, item.data(), 3, wanted,
                          &new_ids, &errors),
            S_FALSE);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(new_ids[i], nullptr);
    EXPECT_EQ(errors[i], OPC_E_INVALID_PID);
  }
  CoTaskMemFree(new_ids);
  CoTaskMemFree(errors);
  EXPECT_EQ(
      trace.Lines(),
      (std::vector<std::string>{
          TraceCapture::Line(
              nullptr, S_OK,
              "CServer::LookupItemIDs: Get Item Properties from Device for "
              "Item",
              "SW1.P1.Speed"),
          TraceCapture::Line(
              nullptr, S_OK,
              "CServer::LookupItemIDs: Return Requested ItemIDs"),
          TraceCapture::Line(nullptr, S_OK, "CServer::LookupItemIDs: Done"),
      }));
}

std::u16string ErrorText(HRESULT code, LCID locale = 0) {
  LPWSTR text = nullptr;
  if (GetErrorString(nullptr, code, locale, &text) != S_OK) return u"<failed>";
  std::u16string copy(text);
  CoTaskMemFree(text);
  return copy;
}

TEST_F(ItemPropertiesTest, ErrorStrings) {
  for (const opc::OpcResultText& entry : opc::OpcResultTexts())
    EXPECT_EQ(ErrorText(entry.code), entry.text) << std::hex << entry.code;
  EXPECT_EQ(ErrorText(OPC_S_UNSUPPORTEDRATE),
            u"The server does not support the requested data rate but will "
            u"use the closest available rate.");
  EXPECT_EQ(ErrorText(OPC_E_INVALIDFILTER), u"The filter string was not valid");
  EXPECT_EQ(ErrorText(OPC_E_INVALID_PID, 0x407),
            u"The server does not recognise the passed property ID.");
  for (HRESULT other : {E_FAIL, static_cast<HRESULT>(0xC0040002), E_INVALIDARG,
                        S_OK, S_FALSE, static_cast<HRESULT>(0xC0040204)})
    EXPECT_EQ(ErrorText(other, 1033), u"General error.") << std::hex << other;

  TraceCapture trace(kTraceDone);
  EXPECT_EQ(GetErrorString(nullptr, E_FAIL, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(ErrorText(OPC_E_RANGE), u"The value was out of range.");
  EXPECT_EQ(
      trace.Lines(),
      (std::vector<std::string>{
          TraceCapture::Line(nullptr, E_INVALIDARG,
                             "CServer::GetErrorString: Error"),
          TraceCapture::Line(nullptr, S_OK, "CServer::GetErrorString: Done"),
      }));
}

}  // namespace
}  // namespace kavex::server
