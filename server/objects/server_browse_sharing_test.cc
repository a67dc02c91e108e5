// Server objects over the device's one item list read one browse tree; a
// server object whose list changes (its _IKavexOPCDeviceEvents) reads a
// copy of its own from then on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/safearray.h"
#include "platform/com/variant.h"
#include "server/objects/browse_tree.h"
#include "server/objects/server_object.h"
#include "server/objects/testing/server_fixture.h"

namespace kavex::server {
namespace {

using Names = std::vector<std::u16string>;

class ServerBrowseSharingTest : public testing::ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    BrowseSpace first;  // makes the tree every space starts with
    trees_ = BrowseTree::LiveCount();
  }

  size_t NewTrees() const { return BrowseTree::LiveCount() - trees_; }

  size_t trees_ = 0;
};

com::Variant List(const Names& ids) {
  com::Variant list;
  SAFEARRAY* array =
      SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(ids.size()));
  for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) {
    com::Bstr id(ids[i]);
    SafeArrayPutElement(array, &i, id.Get());
  }
  list.vt = VT_ARRAY | VT_BSTR;
  list.parray = array;
  return list;
}

// The names BrowseOPCItemIDs answers at the position, or {"<error>"}.
Names Browse(CServer* server, OPCBROWSETYPE type) {
  com::ComPtr<IEnumString> e;
  if (FAILED(
          server->BrowseOPCItemIDs(type, u"", VT_EMPTY, 0, e.GetAddressOf()))) {
    return {u"<error>"};
  }
  Names names;
  LPOLESTR batch[5];
  ULONG fetched = 0;
  HRESULT hr;
  do {
    hr = e->Next(5, batch, &fetched);
    for (ULONG i = 0; i < fetched; ++i) {
      names.emplace_back(batch[i]);
      CoTaskMemFree(batch[i]);
    }
  } while (hr == S_OK);
  return names;
}

std::u16string ItemId(CServer* server, const char16_t* name) {
  std::u16string data(name);
  LPWSTR id = nullptr;
  if (FAILED(server->GetItemID(data.data(), &id))) return u"<error>";
  std::u16string text(id);
  CoTaskMemFree(id);
  return text;
}

const Names kFlat = {u"A",       u"B", u"C",  u"D",   u"R",
                     u"Failing", u"W", u"I4", u"Only"};

TEST_F(ServerBrowseSharingTest, ServersOverTheDeviceListShareOneTree) {
  com::ComPtr<CServer> first = NewServer();
  EXPECT_EQ(NewTrees(), 1u);
  com::ComPtr<CServer> second = NewServer();
  com::ComPtr<CServer> third = NewServer();
  EXPECT_EQ(NewTrees(), 1u);
  EXPECT_EQ(Browse(third.Get(), OPC_FLAT), kFlat);

  // Positions stay each server's own.
  ASSERT_EQ(first->ChangeBrowsePosition(OPC_BROWSE_TO, u"A.B"), S_OK);
  ASSERT_EQ(second->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"W"), S_OK);
  EXPECT_EQ(ItemId(first.Get(), u"C"), u"A.B.C");
  EXPECT_EQ(Browse(second.Get(), OPC_LEAF), (Names{u"I4", u"Only"}));
  EXPECT_EQ(ItemId(third.Get(), u""), u"");

  // A server told that items went takes its own copy; the others keep the
  // tree as the device listed it.
  ASSERT_EQ(second->RemoveItemIDs(List({u"W.Only", u"A.B"})), S_OK);
  EXPECT_EQ(NewTrees(), 2u);
  EXPECT_EQ(Browse(second.Get(), OPC_LEAF), Names{u"I4"});
  ASSERT_EQ(second->ChangeBrowsePosition(OPC_BROWSE_TO, u"A"), S_OK);
  EXPECT_EQ(Browse(second.Get(), OPC_BRANCH), Names{});
  EXPECT_EQ(Browse(first.Get(), OPC_FLAT), Names{u"C"});
  EXPECT_EQ(Browse(third.Get(), OPC_FLAT), kFlat);

  // An item added to one server is not seen by the others.
  ASSERT_EQ(third->AddItemIDs(List({u"A.B.E"})), S_OK);
  EXPECT_EQ(NewTrees(), 3u);
  EXPECT_EQ(Browse(first.Get(), OPC_FLAT), Names{u"C"});
  ASSERT_EQ(third->ChangeBrowsePosition(OPC_BROWSE_TO, u"A.B"), S_OK);
  EXPECT_EQ(Browse(third.Get(), OPC_LEAF), (Names{u"C", u"E"}));

  // A refresh with the device's list shares the device's tree again.
  com::Variant ids;
  ASSERT_EQ(device_->get_ItemIDs(&ids), S_OK);
  ASSERT_EQ(second->RefreshItemIDs(ids), S_OK);
  EXPECT_EQ(NewTrees(), 2u);
  EXPECT_EQ(Browse(second.Get(), OPC_FLAT), kFlat);

  // The trees go with the servers: the cache keeps none alive. The third
  // server reads its copy, so the shared tree goes with the second.
  first.Reset();
  EXPECT_EQ(NewTrees(), 2u);
  second.Reset();
  EXPECT_EQ(NewTrees(), 1u);
  third.Reset();
  EXPECT_EQ(NewTrees(), 0u);
  EXPECT_EQ(BrowseTreeCache::Process().Size(), 0u);
}

// Reader threads browse the shared tree through three servers while a
// fourth server over it takes item-list events and servers over the same
// list are made and released: every answer is the device's tree.
TEST_F(ServerBrowseSharingTest, ConcurrentBrowsingWhileAnotherServerChanges) {
  std::vector<com::ComPtr<CServer>> readers_servers;
  for (int i = 0; i < 3; ++i) readers_servers.push_back(NewServer());
  com::ComPtr<CServer> changing = NewServer();
  ASSERT_EQ(NewTrees(), 1u);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> rounds{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      CServer* server = readers_servers[r].Get();
      while (!stop) {
        if (server->ChangeBrowsePosition(OPC_BROWSE_TO, u"") != S_OK) ++bad;
        if (Browse(server, OPC_FLAT) != kFlat) ++bad;
        if (server->ChangeBrowsePosition(OPC_BROWSE_TO, u"A.B") != S_OK) ++bad;
        if (ItemId(server, u"C") != u"A.B.C") ++bad;
        if (server->ChangeBrowsePosition(OPC_BROWSE_UP, u"") != S_OK) ++bad;
        if (Browse(server, OPC_LEAF) != Names{u"D"}) ++bad;
        ++rounds;
      }
    });
  }
  std::thread newcomer([&] {
    while (!stop) {
      com::ComPtr<CServer> server;
      if (CServer::CreateInstance(&server) != S_OK) {
        ++bad;
        continue;
      }
      server->SetThreadTicksForTesting(false);
      if (Browse(server.Get(), OPC_FLAT) != kFlat) ++bad;
    }
  });
  com::Variant ids;
  ASSERT_EQ(device_->get_ItemIDs(&ids), S_OK);
  for (int i = 0; i < 200; ++i) {
    if (changing->RemoveItemIDs(List({u"A", u"W.I4"})) != S_OK) ++bad;
    if (changing->AddItemIDs(List({u"A.X.Y", u"Z"})) != S_OK) ++bad;
    if (Browse(changing.Get(), OPC_BRANCH) != (Names{u"A", u"R", u"W"})) ++bad;
    if (changing->RefreshItemIDs(ids) != S_OK) ++bad;
  }
  // Every reader has been through its round a few times at least (a bound
  // on the wait only so that a hang fails instead of blocking).
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (rounds.load() < 30 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_GE(rounds.load(), 30);
  stop = true;
  for (std::thread& t : readers) t.join();
  newcomer.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Browse(changing.Get(), OPC_FLAT), kFlat);
  EXPECT_EQ(NewTrees(), 1u);
}

}  // namespace
}  // namespace kavex::server
