// Client calls on many threads at once, racing pushed values and each
// other on one server object, for a bounded number of rounds: no torn
// value, no deadlock, and every object gone at the end. Run under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/enumerators.h"
#include "server/objects/testing/server_fixture.h"

namespace kavex::server {
namespace {

using testing::ReadEntry;
using testing::ServerFixture;
using testing::SyncRead;
using testing::SyncWrite;

constexpr int kRounds = 150;
constexpr int kItems = 16;

std::u16string ItemId(int i) {
  std::u16string id = u"S.I";
  for (char c : std::to_string(i)) id += static_cast<char16_t>(c);
  return id;
}

// Every value of a stress item is an I4 of at most 1000000, or a BSTR of
// digits (a written number) or "<n>:<n>" (a pushed one), so a torn or
// stale-freed value shows.
bool WellFormed(const VARIANT& v) {
  if (v.vt == VT_I4) return v.lVal >= 0 && v.lVal <= 1000000;
  if (v.vt != VT_BSTR) return false;
  const std::u16string_view text = com::BstrView(v.bstrVal);
  const size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos)
    return text.find_first_not_of(u"0123456789") == std::u16string_view::npos;
  return text.substr(0, colon) == text.substr(colon + 1);
}

com::Variant PairText(int n) {
  std::u16string text;
  for (char c : std::to_string(n)) text += static_cast<char16_t>(c);
  return com::Variant(text + u":" + text);
}

class ServerStressTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    for (int i = 0; i < kItems; ++i) {
      Declare(ItemId(i), i % 2 ? VT_I4 : VT_BSTR, OPC_READABLE | OPC_WRITEABLE,
              i % 2 ? com::Variant(LONG{i}) : PairText(i));
    }
  }

  // Add and remove the group's items over and over, reading them from the
  // cache and the device, writing them, flipping them active.
  void ItemChurn(IOPCItemMgt* group, int seed, std::atomic<int>* bad) {
    std::mt19937 random(seed);
    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::u16string> ids;
      for (int i = 0; i < 4; ++i) ids.push_back(ItemId(random() % kItems));
      std::vector<testing::Added> added = AddItems(group, ids);
      std::vector<OPCHANDLE> handles;
      for (const testing::Added& a : added)
        if (a.error == S_OK) handles.push_back(a.result.hServer);
      if (handles.empty()) continue;
      std::vector<ReadEntry> entries;
      const OPCDATASOURCE source = round % 3 ? OPC_DS_CACHE : OPC_DS_DEVICE;
      if (SUCCEEDED(SyncRead(group, source, handles, &entries))) {
        for (const ReadEntry& e : entries)
          if (e.error == S_OK && !WellFormed(e.value)) ++*bad;
      }
      std::vector<HRESULT> errors;
      std::vector<com::Variant> values;
      for (size_t i = 0; i < handles.size(); ++i)
        values.push_back(com::Variant(LONG(round)));
      SyncWrite(group, handles, values, &errors);
      HRESULT* out = nullptr;
      if (SUCCEEDED(group->SetActiveState(static_cast<DWORD>(handles.size()),
                                          handles.data(), round % 2, &out)))
        CoTaskMemFree(out);
      com::ComPtr<IUnknown> e;
      if (SUCCEEDED(group->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                            e.GetAddressOf())))
        e.Reset();
      if (SUCCEEDED(group->RemoveItems(static_cast<DWORD>(handles.size()),
                                       handles.data(), &out)))
        CoTaskMemFree(out);
    }
  }
};

TEST_F(ServerStressTest, ClientsRacingPushedValuesAndEachOther) {
  com::ComPtr<CServer> server = NewServer();
  com::ComPtr<IOPCItemMgt> shared = NewGroup(server.Get(), u"shared");
  ASSERT_TRUE(shared);
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;

  // Three clients share one group.
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ItemChurn(shared.Get(), t, &bad);
      CoUninitialize();
    });
  }
  // Two make and drop groups of their own, some while still holding them.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      std::mt19937 random(100 + t);
      for (int round = 0; round < kRounds; ++round) {
        OPCHANDLE handle = 0;
        com::ComPtr<IOPCItemMgt> group =
            NewGroup(server.Get(), u"", round % 2, &handle);
        if (!group) continue;
        AddItems(group.Get(), {ItemId(random() % kItems), ItemId(1)});
        com::ComPtr<IOPCGroupStateMgt> state;
        group.As(&state);
        if (round % 5 == 0) {
          com::ComPtr<IUnknown> clone;
          if (state->CloneGroup(u"", IID_IUnknown, clone.GetAddressOf()) ==
              S_OK) {
            com::ComPtr<IOPCGroupStateMgt> clone_state;
            clone.As(&clone_state);
            DWORD rate, lcid;
            BOOL active;
            LPWSTR name = nullptr;
            LONG bias;
            FLOAT deadband;
            OPCHANDLE client, clone_handle;
            if (clone_state->GetState(&rate, &active, &name, &bias, &deadband,
                                      &lcid, &client, &clone_handle) == S_OK) {
              CoTaskMemFree(name);
              server->RemoveGroup(clone_handle, FALSE);
            }
          }
        }
        if (round % 3 == 0) {
          std::u16string name = u"named";
          name += static_cast<char16_t>(u'0' + t);
          state->SetName(name.c_str());
        }
        if (round % 2) {
          state.Reset();
          group.Reset();
        }
        server->RemoveGroup(handle, FALSE);
      }
      CoUninitialize();
    });
  }
  // One walks the groups while they come and go.
  threads.emplace_back([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (!done) {
      com::ComPtr<IUnknown> unknown;
      if (SUCCEEDED(server->CreateGroupEnumerator(
              OPC_ENUM_ALL, IID_IEnumUnknown, unknown.GetAddressOf()))) {
        com::ComPtr<IEnumUnknown> e;
        unknown.As(&e);
        IUnknown* group = nullptr;
        while (e->Next(1, &group, nullptr) == S_OK) group->Release();
      }
      // The names too: the server's group lock, then each group's state,
      // while groups are renamed.
      if (SUCCEEDED(server->CreateGroupEnumerator(
              OPC_ENUM_ALL, IID_IEnumString,
              unknown.ReleaseAndGetAddressOf()))) {
        com::ComPtr<IEnumString> e;
        unknown.As(&e);
        LPOLESTR name = nullptr;
        while (e->Next(1, &name, nullptr) == S_OK) CoTaskMemFree(name);
      }
      OPCSERVERSTATUS* status = nullptr;
      if (server->GetStatus(&status) == S_OK) {
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
      }
      com::ComPtr<IUnknown> found;
      server->GetGroupByName(u"shared", IID_IUnknown, found.GetAddressOf());
    }
    CoUninitialize();
  });
  // The device pushes values meanwhile.
  std::thread pusher([&] {
    int n = 0;
    while (!done) {
      const int i = n % kItems;
      device_->FireChange(ItemId(i),
                          i % 2 ? com::Variant(LONG{n % 1000}) : PairText(n));
      ++n;
    }
  });

  for (size_t t = 0; t < threads.size() - 1; ++t) threads[t].join();
  done = true;
  threads.back().join();
  pusher.join();
  EXPECT_EQ(bad, 0);

  // What is left of the shared group reads whole values.
  std::vector<testing::Added> added =
      AddItems(shared.Get(), {ItemId(0), ItemId(1)});
  std::vector<ReadEntry> entries;
  ASSERT_EQ(
      SyncRead(shared.Get(), OPC_DS_CACHE,
               {added[0].result.hServer, added[1].result.hServer}, &entries),
      S_OK);
  for (const ReadEntry& e : entries) EXPECT_TRUE(WellFormed(e.value));
  shared.Reset();
  server.Reset();
}

// The client lets go of everything in the middle of its calls: the server
// first, on one thread, while others still call its groups.
TEST_F(ServerStressTest, ClientDropsEveryReferenceMidSequence) {
  for (int round = 0; round < 20; ++round) {
    com::ComPtr<CServer> server = NewServer();
    std::vector<com::ComPtr<IOPCItemMgt>> groups;
    for (int g = 0; g < 3; ++g) {
      groups.push_back(NewGroup(server.Get()));
      AddItems(groups.back().Get(), {ItemId(g), ItemId(g + 1)});
    }
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int g = 0; g < 3; ++g) {
      threads.emplace_back([&, g] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (int i = 0; i < 20; ++i) {
          std::vector<ReadEntry> entries;
          if (SUCCEEDED(
                  SyncRead(groups[g].Get(), OPC_DS_DEVICE, {0, 1}, &entries))) {
            for (const ReadEntry& e : entries)
              if (e.error == S_OK && !WellFormed(e.value)) ++bad;
          }
          AddItems(groups[g].Get(), {ItemId(i % kItems)});
          device_->FireChange(ItemId(g), PairText(i));
        }
        groups[g].Reset();
        CoUninitialize();
      });
    }
    server.Reset();
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(CServer::InstanceCount(), 0);
    EXPECT_EQ(CGroup::InstanceCount(), 0);
  }
}

}  // namespace
}  // namespace kavex::server
