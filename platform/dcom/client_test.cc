// Our DCOM client against a DcomHost over real TCP: activation, described
// calls with interface pointers coming back, RemQueryInterface, RemRelease
// on close, pinging under an injected clock, callers on several threads,
// and the clear failures (refused logon, no server, unknown class).
#include "platform/dcom/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/com/enumerators.h"
#include "platform/com/guid.h"
#include "platform/com/task_memory.h"
#include "platform/dcom/host.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/rpc_test_support.h"
#include "platform/sync/clock.h"

namespace kavex::dcom {
namespace {

constexpr CLSID kLettersClsid =
    com::GuidLiteral("{3f1a9c27-64b8-4d05-a2e1-9b7c0d4e8f62}");

struct Letters {
  static HRESULT CreateInstance(REFIID iid, void** out) {
    com::ComPtr<IEnumString> e;
    HRESULT hr = com::CreateEnumString({u"alpha", u"beta", u"gamma"},
                                       e.GetAddressOf());
    return FAILED(hr) ? hr : e->QueryInterface(iid, out);
  }
};
const com::ClassEntry kClasses[] = {
    {&kLettersClsid, &com::CreateClassFactory<Letters>}};

// IEnumString::Next of up to `count` strings through the client.
std::vector<std::u16string> Next(DcomClient* client,
                                 const RemoteInterface& target, ULONG count,
                                 HRESULT* call = nullptr) {
  std::vector<LPOLESTR> elements(count, nullptr);
  ULONG fetched = 0;
  LPOLESTR* elements_pointer = elements.data();
  ULONG* fetched_pointer = &fetched;
  void* args[] = {&count, &elements_pointer, &fetched_pointer};
  HRESULT result = E_FAIL;
  HRESULT hr = client->Call(target, "Next", args, &result);
  if (call) *call = hr;
  std::vector<std::u16string> out;
  if (FAILED(hr) || FAILED(result)) return out;
  for (ULONG i = 0; i < fetched; ++i) {
    out.emplace_back(elements[i]);
    CoTaskMemFree(elements[i]);
  }
  return out;
}

class DcomClientTest : public ::testing::Test {
 protected:
  void SetUp() override { StartHost(); }
  void TearDown() override {
    host_.reset();
    sync::SetClockForTesting(nullptr);
  }

  void StartHost() {
    accounts_ = rpc::testing::TestAccounts();
    HostOptions options;
    options.activation_port = 0;
    options.object_port = 0;
    options.collect_interval_ms = 1000;
    host_ = std::make_unique<DcomHost>(options, kClasses, &accounts_);
    ASSERT_EQ(host_->Start(), ERROR_SUCCESS);
  }

  HRESULT Connect(DcomClient* client, const char16_t* password = u"secret") {
    credentials_ = rpc::testing::TestCredentials(password);
    return client->Connect("127.0.0.1", host_->activation_port(),
                           &credentials_);
  }

  RemoteInterface ActivateLetters(DcomClient* client) {
    std::vector<RemoteInterface> got;
    std::vector<HRESULT> results;
    const IID iid = IID_IEnumString;
    EXPECT_EQ(client->Activate(kLettersClsid, {&iid, 1}, &got, &results),
              S_OK);
    return got.empty() ? RemoteInterface{} : got[0];
  }

  // Outlives the host, whose collector may wait on it.
  sync::FakeClock clock_;
  rpc::AccountStore accounts_;
  rpc::NtlmClientCredentials credentials_;
  std::unique_ptr<DcomHost> host_;
};

TEST_F(DcomClientTest, ActivatesCallsQueriesAndReleasesOnClose) {
  DcomClientOptions options;
  options.timeout_ms = 20000;
  DcomClient client(options);
  ASSERT_EQ(Connect(&client), S_OK);
  std::vector<RemoteInterface> got;
  std::vector<HRESULT> results;
  const IID iids[] = {IID_IEnumString, IID_IOPCServer};
  ASSERT_EQ(client.Activate(kLettersClsid, iids, &got, &results), S_OK);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], E_NOINTERFACE);
  ASSERT_TRUE(got[0].valid());
  EXPECT_FALSE(got[1].valid());
  EXPECT_EQ(got[0].std.oxid, host_->exporter()->oxid());

  EXPECT_EQ(Next(&client, got[0], 2),
            (std::vector<std::u16string>{u"alpha", u"beta"}));

  // Clone hands back an interface pointer: another object on the server,
  // at the same position.
  IEnumString* clone = nullptr;
  IEnumString** clone_pointer = &clone;
  void* args[] = {&clone_pointer};
  HRESULT result = E_FAIL;
  ASSERT_EQ(client.Call(got[0], "Clone", args, &result), S_OK);
  ASSERT_EQ(result, S_OK);
  RemoteInterface cloned;
  ASSERT_EQ(RemoteInterfaceOf(clone, &cloned), S_OK);
  clone->Release();
  EXPECT_EQ(cloned.iid, IID_IEnumString);
  EXPECT_NE(cloned.std.ipid, got[0].std.ipid);
  EXPECT_EQ(host_->exporter()->object_count(), 2u);
  EXPECT_EQ(Next(&client, cloned, 5), (std::vector<std::u16string>{u"gamma"}));
  EXPECT_EQ(Next(&client, got[0], 5), (std::vector<std::u16string>{u"gamma"}));

  // RemQueryInterface: the same interface again, one the object lacks.
  RemoteInterface again;
  ASSERT_EQ(client.QueryInterface(got[0], IID_IEnumString, &again), S_OK);
  EXPECT_EQ(again.std.ipid, got[0].std.ipid);
  RemoteInterface none;
  EXPECT_EQ(client.QueryInterface(got[0], IID_IOPCServer, &none),
            E_NOINTERFACE);
  EXPECT_FALSE(none.valid());
  // A method the interface does not have, and an unknown IPID.
  EXPECT_EQ(client.Call(got[0], "Frobnicate", args, &result), E_NOTIMPL);
  RemoteInterface stale = got[0];
  stale.std.ipid.Data1 ^= 0x55;
  HRESULT call = S_OK;
  EXPECT_TRUE(Next(&client, stale, 1, &call).empty());
  EXPECT_EQ(call, RPC_E_INVALID_OBJECT);

  // Releasing the clone frees it; closing releases the rest.
  EXPECT_EQ(client.held_interfaces(), 2u);
  EXPECT_EQ(client.Release(cloned), S_OK);
  EXPECT_EQ(client.Release(cloned), S_FALSE);  // nothing held any more
  EXPECT_EQ(host_->exporter()->object_count(), 1u);
  client.Close();
  EXPECT_EQ(client.held_interfaces(), 0u);
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
  client.Close();
}

TEST_F(DcomClientTest, FailuresAreReportedClearly) {
  {
    DcomClient client;
    ASSERT_EQ(Connect(&client, u"wrong"), S_OK);  // refused at the first call
    std::vector<RemoteInterface> got;
    std::vector<HRESULT> results;
    const IID iid = IID_IEnumString;
    EXPECT_EQ(client.Activate(kLettersClsid, {&iid, 1}, &got, &results),
              E_ACCESSDENIED);
    EXPECT_TRUE(got.empty());
  }
  {
    DcomClient client;
    ASSERT_EQ(Connect(&client), S_OK);
    std::vector<RemoteInterface> got;
    std::vector<HRESULT> results;
    const IID iid = IID_IEnumString;
    EXPECT_EQ(client.Activate(GUID{9, 9, 9, {}}, {&iid, 1}, &got, &results),
              REGDB_E_CLASSNOTREG);
    const IID unserved = IID_IOPCServer;
    EXPECT_EQ(client.Activate(kLettersClsid, {&unserved, 1}, &got, &results),
              E_NOINTERFACE);
    EXPECT_EQ(client.Activate(kLettersClsid, {}, &got, &results),
              E_INVALIDARG);
  }
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
  {
    // No server on the port (the host's, once stopped).
    uint16_t port = host_->activation_port();
    host_->Stop();
    DcomClient client;
    credentials_ = rpc::testing::TestCredentials();
    EXPECT_EQ(client.Connect("127.0.0.1", port, &credentials_),
              HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(client.Connect("plc.example", port, &credentials_),
              E_INVALIDARG);
    std::vector<RemoteInterface> got;
    std::vector<HRESULT> results;
    const IID iid = IID_IEnumString;
    EXPECT_EQ(client.Activate(kLettersClsid, {&iid, 1}, &got, &results),
              HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
  }
  IUnknown* local = nullptr;
  ASSERT_EQ(com::CreateEnumString({}, reinterpret_cast<IEnumString**>(&local)),
            S_OK);
  RemoteInterface remote;
  EXPECT_EQ(RemoteInterfaceOf(local, &remote), E_INVALIDARG);
  EXPECT_EQ(RemoteInterfaceOf(nullptr, &remote), E_INVALIDARG);
  local->Release();
}

TEST_F(DcomClientTest, PingsKeepTheObjectsOfAPingingClientAlive) {
  sync::FakeClock& clock = clock_;
  sync::SetClockForTesting(&clock);
  host_->Stop();  // the host's collector waits on the installed clock
  StartHost();

  DcomClient pinging;  // every 120 s, as Windows clients do
  DcomClientOptions silent_options;
  silent_options.ping_interval_ms = 0;
  DcomClient silent(silent_options);
  ASSERT_EQ(Connect(&pinging), S_OK);
  ASSERT_EQ(Connect(&silent), S_OK);
  RemoteInterface kept = ActivateLetters(&pinging);
  RemoteInterface dropped = ActivateLetters(&silent);
  ASSERT_TRUE(kept.valid() && dropped.valid());
  EXPECT_EQ(host_->exporter()->object_count(), 2u);

  // Five ping periods of the injected clock, each ending in a ping the
  // server answered.
  for (uint64_t want = 1; want <= 5; ++want) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pinging.pings_answered() < want &&
           std::chrono::steady_clock::now() < deadline) {
      clock.Advance(1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(pinging.pings_answered(), want);
  }
  EXPECT_NE(pinging.ping_set(), 0u);
  // The silent client's object went after three periods; the pinged one
  // still answers.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (host_->exporter()->object_count() != 1 &&
         std::chrono::steady_clock::now() < deadline) {
    clock.Advance(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(host_->exporter()->object_count(), 1u);
  EXPECT_EQ(Next(&pinging, kept, 1), (std::vector<std::u16string>{u"alpha"}));
  HRESULT call = S_OK;
  EXPECT_TRUE(Next(&silent, dropped, 1, &call).empty());
  EXPECT_EQ(call, RPC_E_INVALID_OBJECT);
  pinging.Close();
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
  silent.Close();
}

TEST_F(DcomClientTest, CallersOnSeveralThreadsShareOneClient) {
  DcomClientOptions options;
  options.timeout_ms = 30000;
  DcomClient client(options);
  ASSERT_EQ(Connect(&client), S_OK);
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<RemoteInterface> objects;
  for (int i = 0; i < kThreads; ++i) objects.push_back(ActivateLetters(&client));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Each thread has an object of its own: Next, then Reset through a
        // query of the same interface, so every round reads "alpha".
        if (Next(&client, objects[t], 1) !=
            std::vector<std::u16string>{u"alpha"}) {
          ++wrong;
        }
        void* no_args[] = {nullptr};
        HRESULT result = E_FAIL;
        if (client.Call(objects[t], "Reset", no_args, &result) != S_OK ||
            result != S_OK) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(host_->exporter()->object_count(), size_t{kThreads});
  client.Close();
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
}

}  // namespace
}  // namespace kavex::dcom
