// A device that offers many reads in one call (_IKavexOPCDeviceReads) and
// one that does not: update ticks, synchronous reads from the device and
// from the cache send the clients the same values, qualities, errors and
// times; only the calls the device sees differ.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/filetime.h"
#include "platform/text/utf.h"
#include "server/objects/testing/server_fixture.h"
#include "server/objects/testing/subscribers.h"

namespace kavex::server {
namespace {

using testing::DataCallbackSink;
using testing::ServerFixture;

std::string Show(const VARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      return "bstr:" + text::Utf16ToUtf8(com::BstrView(value.bstrVal));
    case VT_EMPTY:
      return "empty";
    case VT_R8:
      return "r8:" + std::to_string(value.dblVal);
    default:
      return std::to_string(value.vt) + ":" + std::to_string(value.lVal);
  }
}

class DeviceReadsServerTest : public ServerFixture {
 protected:
  // What the clients of one group received, as text, with the device
  // offering ReadItems or not.
  std::vector<std::string> Transcript(bool offer) {
    device_->OfferReads(offer);
    Declare(u"A.D", VT_BSTR, OPC_READABLE, com::Variant(u"text"));
    Declare(u"N.Text", VT_BSTR, OPC_READABLE, com::Variant(u"12"));
    std::vector<std::string> lines;
    // Times from the transcript's start: the clock goes on between two.
    FILETIME start{};
    GetSystemTimeAsFileTime(&start);
    auto time = [&](const FILETIME& t) {
      const uint64_t at = FileTimeToUInt64(t);
      return std::to_string(at == 0 ? 0 : at - FileTimeToUInt64(start));
    };
    com::ComPtr<CServer> server = NewServer();
    com::ComPtr<IOPCItemMgt> group = NewGroup(server.Get());
    std::vector<OPCHANDLE> handles;
    for (const testing::Added& added :
         AddItems(group.Get(), {u"A.B.C", u"A.D", u"W.Only", u"R.Failing"}))
      handles.push_back(added.result.hServer);
    handles.push_back(AddItems(group.Get(), {u"N.Text"}, VT_I4)[0].result.hServer);

    com::ComPtr<DataCallbackSink> sink;
    EXPECT_EQ(DataCallbackSink::CreateInstance(&sink), S_OK);
    com::ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(group.As(&container), S_OK);
    com::ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback,
                                             point.GetAddressOf()),
              S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink->GetUnknown(), &cookie), S_OK);
    sink->Clear();

    auto ticks = [&](const char* what, int n) {
      for (int i = 0; i < n; ++i) server->Tick();
      lines.push_back(std::string("tick ") + what);
      for (const testing::Callback& call : sink->calls()) {
        lines.push_back("  call q=" + std::to_string(call.master_quality) +
                        " e=" + std::to_string(call.master_error));
        for (const testing::CallbackItem& item : call.items)
          lines.push_back("  " + std::to_string(item.client) + " " +
                          Show(item.value) + " q=" +
                          std::to_string(item.quality) + " e=" +
                          std::to_string(item.error) + " t=" +
                          time(item.time));
      }
      sink->Clear();
    };
    com::ComPtr<IOPCSyncIO> io;
    EXPECT_EQ(group.As(&io), S_OK);
    auto read = [&](const char* what, OPCDATASOURCE source) {
      OPCITEMSTATE* states = nullptr;
      HRESULT* errors = nullptr;
      const HRESULT hr =
          io->Read(source, static_cast<DWORD>(handles.size()), handles.data(),
                   &states, &errors);
      lines.push_back(std::string("read ") + what + " " + std::to_string(hr));
      for (size_t i = 0; i < handles.size(); ++i) {
        lines.push_back("  " + std::to_string(states[i].hClient) + " " +
                        Show(states[i].vDataValue) + " q=" +
                        std::to_string(states[i].wQuality) + " e=" +
                        std::to_string(errors[i]) + " t=" +
                        time(states[i].ftTimeStamp));
        VariantClear(&states[i].vDataValue);
      }
      CoTaskMemFree(states);
      CoTaskMemFree(errors);
    };

    ticks("first", 1);
    clock_.Advance(1000);
    device_->SetValue(u"A.D", com::Variant(u"txet"));  // same length
    ticks("same length", 10);
    device_->SetValue(u"A.D", com::Variant(u"longer text"));
    device_->SetValue(u"N.Text", com::Variant(u"345"));
    ticks("other length", 10);
    ticks("unchanged", 10);
    device_->SetValue(u"A.D", com::Variant(u"short"));
    clock_.Advance(1000);
    read("device, other length", OPC_DS_DEVICE);
    read("cache", OPC_DS_CACHE);
    device_->SetValue(u"A.D", com::Variant(u"shorT"));
    device_->SetValue(u"N.Text", com::Variant(u"678"));
    clock_.Advance(1000);
    read("device, same length", OPC_DS_DEVICE);
    read("cache", OPC_DS_CACHE);
    ticks("after the reads", 10);
    device_->SetValue(u"N.Text", com::Variant(u"x"));  // no number
    read("device, no number", OPC_DS_DEVICE);
    ticks("no number", 10);

    io.Reset();
    point->Unadvise(cookie);
    point.Reset();
    container.Reset();
    group.Reset();
    server.Reset();
    return lines;
  }
};

TEST_F(DeviceReadsServerTest, ClientsGetTheSameWithOrWithoutManyReads) {
  const std::vector<std::string> one_by_one = Transcript(false);
  EXPECT_EQ(device_->batch_reads(), 0);
  const int reads = device_->reads();
  const std::vector<std::string> many = Transcript(true);
  EXPECT_GT(device_->batch_reads(), 0);
  // W.Only is not readable: neither way asks the device for it.
  EXPECT_EQ(device_->reads() - reads, reads);
  EXPECT_EQ(many, one_by_one);
  // What the transcripts hold is what the clients must see.
  auto has = [&](const std::string& line) {
    for (const std::string& l : one_by_one)
      if (l.find(line) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(has("bstr:txet q=192"));
  EXPECT_TRUE(has("bstr:longer text q=192"));
  EXPECT_TRUE(has("bstr:shorT q=192"));
  EXPECT_TRUE(has("3:678 q=192"));
  EXPECT_TRUE(has(" 3:345 q=192"));
  EXPECT_TRUE(has("q=0 e=-1073479674"));  // W.Only: OPC_E_BADRIGHTS
}

TEST_F(DeviceReadsServerTest, TicksAskTheDeviceABatchAtATime) {
  device_->OfferReads(true);
  std::vector<std::u16string> ids;
  for (int i = 0; i < 150; ++i) {
    ids.push_back(u"M." + text::Utf8ToUtf16(std::to_string(i)));
    Declare(ids.back(), VT_BSTR, OPC_READABLE,
            com::Variant(text::Utf8ToUtf16(std::to_string(1000 + i)).c_str()));
  }
  com::ComPtr<CServer> server = NewServer();
  com::ComPtr<IOPCItemMgt> group = NewGroup(server.Get());
  AddItems(group.Get(), ids);
  server->Tick();
  EXPECT_EQ(device_->batch_items(), 150);
  EXPECT_GE(device_->batch_reads(), 3);  // 64 items at most per call
  EXPECT_EQ(device_->reads(), 150);
  group.Reset();
  server.Reset();
}

}  // namespace
}  // namespace kavex::server
