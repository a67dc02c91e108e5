// Netroster: the binding list as the driver answers it, hostile answers,
// and the driver failing.
#include "utilities/netroster/netroster.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "utilities/common/testing/test_console.h"
#include "utilities/common/version.h"

namespace kavex::utilities {
namespace {

using testing::TestConsole;

// An answer of records {flags, index, offset} followed by the names.
std::vector<BYTE> Answer(const std::vector<std::pair<DWORD, std::string>>& list,
                         bool terminated = true) {
  const size_t records = list.size() + (terminated ? 1 : 0);
  std::vector<BYTE> answer(records * 12, 0);
  for (size_t i = 0; i < list.size(); ++i) {
    PKIO_BINDING_RECORD r{list[i].first, static_cast<DWORD>(i),
                          static_cast<DWORD>(answer.size())};
    memcpy(&answer[i * 12], &r, 12);
    answer.insert(answer.end(), list[i].second.begin(), list[i].second.end());
    answer.push_back(0);
  }
  return answer;
}

std::vector<BYTE> g_answer;
NDIS_STATUS g_status = NDIS_STATUS_SUCCESS;
NDIS_OID g_asked = 0;
DWORD g_length = 0;

NDIS_STATUS FakePrivateRequest(PKIO_HANDLE, PKIO_NDIS_REQUEST* r, OVERLAPPED*,
                               BOOL) {
  g_asked = r->Oid;
  g_length = r->InformationBufferLength;
  if (g_status != NDIS_STATUS_SUCCESS) return g_status;
  memcpy(r->InformationBuffer, g_answer.data(), g_answer.size());
  r->BytesTransferred = static_cast<DWORD>(g_answer.size());
  return NDIS_STATUS_SUCCESS;
}

std::string Roster(const PkioApi& api) {
  TestConsole console;
  std::string name = "netroster", ignored = "/whatever";
  char* argv[] = {name.data(), ignored.data(), nullptr};
  EXPECT_EQ(RunNetroster(api, console, 2, argv), 0);
  return console.Output();
}

const std::string kHeading = "Wirebay Bound Adapter List Utility V" +
                             VersionText() +
                             "\nLists the network adapters the packet driver "
                             "is bound to.\n Adapters Bound To PKIONDIS\n\n";

TEST(NetrosterTest, Flags3PrintsBothLinesAndFlags4None) {
  PkioApi api = RealPkio();
  api.MakePrivateRequest = FakePrivateRequest;
  g_status = NDIS_STATUS_SUCCESS;
  g_answer = Answer({{1, "\\Device\\kvx0"},
                     {3, "\\Device\\both"},
                     {4, "\\Device\\odd"},
                     {2, "\\Device\\Simulated\\plant"}});
  EXPECT_EQ(Roster(api), kHeading +
                             "System Binding: \"\\Device\\kvx0\"\n"
                             "System Binding: \"\\Device\\both\"\n"
                             "  User Binding: \"\\Device\\both\"\n"
                             "  User Binding: \"\\Device\\Simulated\\plant\"\n"
                             "        4 Adapter(s)\n");
  EXPECT_EQ(g_asked, 0xF0020104u);
  EXPECT_EQ(g_length, 8192u);
}

TEST(NetrosterTest, DriverErrorsCountNothing) {
  PkioApi api = RealPkio();
  api.MakePrivateRequest = FakePrivateRequest;
  g_status = NDIS_STATUS_BUFFER_TOO_SHORT;
  EXPECT_EQ(Roster(api), kHeading + "        0 Adapter(s)\n");
  g_status = NDIS_STATUS_SUCCESS;
  g_answer = Answer({});
  EXPECT_EQ(Roster(api), kHeading + "        0 Adapter(s)\n");

  api.OpenProtocolDriver = [] { return PKIO_INVALID_HANDLE; };
  EXPECT_EQ(Roster(api), kHeading.substr(0, kHeading.find(" Adapters")) +
                             "Could Not Open Protocol Driver\n");
}

TEST(BindingListTest, HostileAnswers) {
  // No closing record: the records there are, up to the end.
  std::vector<BYTE> open = Answer({{1, "a"}, {2, "b"}}, false);
  std::vector<Binding> b = ParseBindingList(open.data(), open.size());
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].name, "a");
  EXPECT_EQ(b[1].name, "b");
  // Cut in the middle of a record.
  EXPECT_EQ(ParseBindingList(open.data(), 20).size(), 1u);
  EXPECT_TRUE(ParseBindingList(open.data(), 11).empty());
  // A name offset past the answer, a name without its NUL.
  std::vector<BYTE> bad(28, 0);
  PKIO_BINDING_RECORD r1{1, 0, 5000}, r2{2, 1, 24};
  memcpy(&bad[0], &r1, 12);
  memcpy(&bad[12], &r2, 12);
  memcpy(&bad[24], "xyzw", 4);
  b = ParseBindingList(bad.data(), bad.size());
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].name, "");
  EXPECT_EQ(b[1].name, "xyzw");
  // A whole buffer of records that never end.
  std::vector<BYTE> full(8192, 0x01);
  b = ParseBindingList(full.data(), full.size());
  EXPECT_EQ(b.size(), 8192u / 12);
  EXPECT_TRUE(ParseBindingList(nullptr, 0).empty());
}

}  // namespace
}  // namespace kavex::utilities
