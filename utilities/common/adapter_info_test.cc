// The adapter-information report, reception start and stop, loopback and
// protocol statistics, on a simulated adapter of the real library with
// single requests answered otherwise where a case needs it.
#include "utilities/common/adapter_info.h"
#include "utilities/common/testing/printed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/base/results.h"
#include "platform/pkio/testing/testing_support.h"
#include "simulator/testing/simulated_lan.h"

namespace kavex::utilities {
namespace {

// Requests the fake driver answers itself; everything else goes to the
// library.
std::set<NDIS_OID> g_failing;
std::map<NDIS_OID, std::vector<uint8_t>> g_answers;
std::set<DWORD> g_rejected_filters;
std::vector<DWORD> g_filters_set;

NDIS_STATUS Answer(PKIO_NDIS_REQUEST* r, const std::vector<uint8_t>& data) {
  if (r->InformationBufferLength < data.size()) {
    r->BytesNeeded = static_cast<DWORD>(data.size());
    return NDIS_STATUS_BUFFER_TOO_SHORT;
  }
  memcpy(r->InformationBuffer, data.data(), data.size());
  r->BytesTransferred = static_cast<DWORD>(data.size());
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS FakeRequest(PKIO_HANDLE adapter, PKIO_NDIS_REQUEST* r,
                        OVERLAPPED* overlapped, BOOL wait) {
  if (g_failing.count(r->Oid)) return NDIS_STATUS_NOT_SUPPORTED;
  if (r->RequestType == PKIO_NDIS_QUERY && g_answers.count(r->Oid)) {
    return Answer(r, g_answers[r->Oid]);
  }
  if (r->RequestType == PKIO_NDIS_SET &&
      r->Oid == OID_GEN_CURRENT_PACKET_FILTER) {
    DWORD filter;
    memcpy(&filter, r->InformationBuffer, 4);
    g_filters_set.push_back(filter);
    if (g_rejected_filters.count(filter)) return NDIS_STATUS_NOT_SUPPORTED;
  }
  return Pkio_MakeNdisRequest(adapter, r, overlapped, wait);
}

NDIS_STATUS FailingPrivateRequest(PKIO_HANDLE, PKIO_NDIS_REQUEST*, OVERLAPPED*,
                                  BOOL) {
  return NDIS_STATUS_FAILURE;
}

struct LoopbackCall {
  DWORD offset;
  DWORD length;
  BYTE first;
};
std::vector<LoopbackCall> g_loopback_calls;
BOOL FakeDisableLoopback(PKIO_HANDLE, DWORD offset, DWORD length,
                         const BYTE* address) {
  g_loopback_calls.push_back({offset, length, address[0]});
  return TRUE;
}

using testing::Printed;

class AdapterInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, "info", "switch 02.C4.7D.00.00.07");
    handle_ = Pkio_OpenAdapterA("\\Device\\Simulated\\info");
    ASSERT_NE(handle_, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
    record_.handle = handle_;
    api_ = RealPkio();
    api_.MakeNdisRequest = FakeRequest;
    g_failing.clear();
    g_answers.clear();
    g_rejected_filters.clear();
    g_filters_set.clear();
    g_loopback_calls.clear();
  }
  void TearDown() override { Pkio_CloseAdapter(handle_); }

  std::string Report(bool* ok) {
    return Printed([&](FILE* out) {
      *ok = ReportAdapterInformation(Request{api_, handle_}, &record_, out);
    });
  }

  PKIO_HANDLE handle_ = PKIO_INVALID_HANDLE;
  PkioApi api_;
  AdapterRecord record_;
};

TEST_F(AdapterInfoTest, ReportOfASimulatedAdapter) {
  bool ok = false;
  EXPECT_EQ(Report(&ok),
            "Adapter Information:\n\n"
            "Description    : Kavex simulated Velto LAN \"info\"\n"
            "Adapter Medium : 802.3\n"
            "Adapter Address: 02.00.00.00.00.42\n");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(record_.address_known);
  EXPECT_EQ(record_.medium, 0u);
  EXPECT_EQ(record_.address[5], 0x42);
  EXPECT_EQ(record_.description, "Kavex simulated Velto LAN \"info\"");
}

TEST_F(AdapterInfoTest, DescriptionsAreCompacted) {
  std::string spaced = "Fast   Ethernet \t\t Adapter";
  g_answers[OID_GEN_VENDOR_DESCRIPTION] =
      std::vector<uint8_t>(spaced.begin(), spaced.end() + 1);
  bool ok = false;
  EXPECT_NE(Report(&ok).find("Description    : Fast Ethernet Adapter\n"),
            std::string::npos);

  // 300 characters, no NUL: at most 80 kept, nothing read past the answer.
  g_answers[OID_GEN_VENDOR_DESCRIPTION] = std::vector<uint8_t>(256, 'x');
  Report(&ok);
  EXPECT_EQ(record_.description, std::string(80, 'x'));

  g_failing = {OID_GEN_VENDOR_DESCRIPTION};
  EXPECT_NE(Report(&ok).find("Description    : Unknown\n"), std::string::npos);
  EXPECT_TRUE(ok);
}

TEST(CompactDescriptionTest, Table) {
  struct Case {
    std::string text;
    std::string compact;
  };
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"  lead", " lead"},
      {"a    b\t\tc  ", "a b c "},
      {std::string("cut\0here", 8), "cut"},
      {std::string(100, 'y'), std::string(80, 'y')},
      {"a" + std::string(200, ' ') + "b", "a b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompactDescription(c.text.data(), c.text.size()), c.compact)
        << c.text;
  }
}

TEST_F(AdapterInfoTest, MediumAndAddressFailuresFailTheReport) {
  bool ok = true;
  g_failing = {OID_GEN_MEDIA_IN_USE};
  EXPECT_EQ(Report(&ok),
            "Adapter Information:\n\n"
            "Description    : Kavex simulated Velto LAN \"info\"\n");
  EXPECT_FALSE(ok);
  g_failing = {OID_802_3_CURRENT_ADDRESS};
  EXPECT_EQ(Report(&ok),
            "Adapter Information:\n\n"
            "Description    : Kavex simulated Velto LAN \"info\"\n"
            "Adapter Medium : 802.3\n");
  EXPECT_FALSE(ok);
}

TEST_F(AdapterInfoTest, OtherMedia) {
  bool ok = false;
  // LocalTalk: its own address object, a one-byte node address.
  g_answers[OID_GEN_MEDIA_IN_USE] = {4, 0, 0, 0};
  g_answers[0x05010102] = {0x99, 0, 0, 0, 0, 0};
  EXPECT_NE(Report(&ok).find("Adapter Medium : LocalTalk\n"
                             "Adapter Address: 99\n"),
            std::string::npos);
  EXPECT_TRUE(ok);
  // A code beyond the table prints no medium line.
  g_answers[OID_GEN_MEDIA_IN_USE] = {20, 0, 0, 0};
  const std::string text = Report(&ok);
  EXPECT_EQ(text.find("Adapter Medium"), std::string::npos);
  EXPECT_NE(text.find("Adapter Address: 02.00.00.00.00.42\n"),
            std::string::npos);
}

TEST(MediumTest, NamesAndAddressObjects) {
  EXPECT_STREQ(MediumName(0), "802.3");
  EXPECT_STREQ(MediumName(5), "Dix");
  EXPECT_STREQ(MediumName(7), "Arcnet (878.2)");
  EXPECT_STREQ(MediumName(13), "1394");
  EXPECT_EQ(MediumName(14), nullptr);
  const std::map<DWORD, NDIS_OID> oids = {
      {0, 0x01010102}, {1, 0x02010102}, {2, 0x03010102}, {3, 0x04010102},
      {4, 0x05010102}, {5, 0x01010102}, {6, 0x06010102}, {7, 0x06010102},
      {8, 0x08010105}, {9, 0x0901010C}, {13, 0x01010102}};
  for (const auto& [medium, oid] : oids) {
    EXPECT_EQ(CurrentAddressOid(medium), oid) << medium;
  }
}

TEST_F(AdapterInfoTest, ReceptionFilters) {
  struct Case {
    DWORD medium;
    std::set<DWORD> rejected;
    std::vector<DWORD> tried;
    bool started;
  };
  const Case cases[] = {
      {0, {}, {0x21}, true},
      {1, {}, {0x21}, true},
      {5, {0x21}, {0x21, 0x80}, true},
      {0, {0x21, 0x80}, {0x21, 0x80, 0x01}, true},
      {0, {0x21, 0x80, 0x01}, {0x21, 0x80, 0x01}, false},
      {4, {}, {0x09}, true},
      {4, {0x09}, {0x09}, false},
      {2, {}, {}, false},
  };
  for (const Case& c : cases) {
    g_rejected_filters = c.rejected;
    g_filters_set.clear();
    record_.medium = c.medium;
    record_.packets.Add(5);
    EXPECT_EQ(StartReception(Request{api_, handle_}, &record_), c.started)
        << c.medium;
    EXPECT_EQ(g_filters_set, c.tried) << c.medium;
    EXPECT_EQ(record_.packets.get(), 0u);
  }
  g_filters_set.clear();
  StopReception(Request{api_, handle_});
  EXPECT_EQ(g_filters_set, std::vector<DWORD>{0});
}

TEST_F(AdapterInfoTest, LoopbackByMedium) {
  api_.DisableLoopback = FakeDisableLoopback;
  record_.address[0] = 0x77;
  for (DWORD medium : {0u, 5u, 1u, 4u, 2u}) {
    record_.medium = medium;
    DisableLoopback(api_, record_);
  }
  ASSERT_EQ(g_loopback_calls.size(), 3u);
  EXPECT_EQ(g_loopback_calls[0].offset, 6u);
  EXPECT_EQ(g_loopback_calls[1].offset, 6u);
  EXPECT_EQ(g_loopback_calls[2].offset, 8u);
  for (const LoopbackCall& call : g_loopback_calls) {
    EXPECT_EQ(call.length, 6u);
    EXPECT_EQ(call.first, 0x77);
  }
}

TEST_F(AdapterInfoTest, ProtocolStatistics) {
  ProtocolStatistics s = QueryProtocolStatistics(Request{api_, handle_});
  EXPECT_EQ(s.driver_description, "Kavex Pkiolib packet driver (AF_PACKET)");
  EXPECT_EQ(s.rx_missed_kernel, 0);
  EXPECT_EQ(s.rx_missed_user, 0);
  EXPECT_EQ(s.received, 0);
  EXPECT_EQ(s.sent, 0);
  EXPECT_EQ(s.tx_missed_kernel, 0);

  api_.MakePrivateRequest = FailingPrivateRequest;
  s = QueryProtocolStatistics(Request{api_, handle_});
  EXPECT_EQ(s.driver_description, "Unknown");
  EXPECT_EQ(s.rx_missed_kernel, -1);
  EXPECT_EQ(s.rx_missed_user, -1);
  EXPECT_EQ(s.received, -1);
  EXPECT_EQ(s.sent, -1);
  EXPECT_EQ(s.tx_missed_kernel, -1);
}

TEST(PrivilegeHintTest, OnlyForAccessDenied) {
  const std::string hint =
      Printed([](FILE* out) { PrintPrivilegeHint(ERROR_ACCESS_DENIED, out); });
  EXPECT_NE(hint.find("CAP_NET_RAW"), std::string::npos);
  EXPECT_EQ(std::count(hint.begin(), hint.end(), '\n'), 1);
  EXPECT_EQ(
      Printed([](FILE* out) { PrintPrivilegeHint(ERROR_FILE_NOT_FOUND, out); }),
      "");
}

}  // namespace
}  // namespace kavex::utilities
