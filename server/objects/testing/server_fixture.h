// Test fixture piece: a private registry, a scripted device as the
// process's device, a fake clock, COM initialised, and helpers to make server
// objects, groups and items. Every object the test made must be gone at its
// end.
#ifndef KAVEX_SERVER_OBJECTS_TESTING_SERVER_FIXTURE_H_
#define KAVEX_SERVER_OBJECTS_TESTING_SERVER_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/task_memory.h"
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "server/objects/enum_item_attributes.h"
#include "server/objects/group_object.h"
#include "server/objects/process_state.h"
#include "server/objects/server_callback.h"
#include "server/objects/server_object.h"
#include "server/objects/testing/error_info.h"
#include "server/objects/testing/scripted_device.h"

namespace kavex::server::testing {

// What AddItems answered for one item.
struct Added {
  HRESULT error;
  OPCITEMRESULT result;
};

class ServerFixture : public ::testing::Test {
 protected:
  static constexpr uint64_t kStartFileTime = 133'000'000'000'000'000ULL;

  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(ScriptedDevice::CreateInstance(&device_), S_OK);
    // A small tree: A.B.C, A.D, and three typed items.
    Declare(u"A.B.C", VT_I4, OPC_READABLE, com::Variant(LONG{7}));
    Declare(u"A.D", VT_BSTR, OPC_READABLE, com::Variant(u"text"));
    Declare(u"W.I4", VT_I4, OPC_READABLE | OPC_WRITEABLE,
            com::Variant(LONG{5}));
    Declare(u"W.Only", VT_I4, OPC_WRITEABLE, com::Variant(LONG{1}));
    Declare(u"R.Failing", VT_R8, OPC_READABLE, com::Variant(1.5));
    device_->SetReadResult(u"R.Failing", E_ACCESSDENIED);
    SetProcessDevice(device_.Get());
  }

  void TearDown() override {
    SetProcessDevice(nullptr);
    device_.Reset();
    EXPECT_EQ(CServer::InstanceCount(), 0);
    EXPECT_EQ(CGroup::InstanceCount(), 0);
    EXPECT_EQ(CServerCallback::InstanceCount(), 0);
    EXPECT_EQ(CEnumOPCItemAttributes::InstanceCount(), 0);
    EXPECT_EQ(ScriptedDevice::InstanceCount(), 0);
    SetErrorInfo(0, nullptr);
    CoUninitialize();
    sync::SetClockForTesting(nullptr);
  }

  void Declare(const std::u16string& id, VARTYPE type, DWORD rights,
               const com::Variant& value) {
    ScriptedDevice::Item item;
    item.type = type;
    item.rights = rights;
    item.value = value;
    device_->SetItem(id, std::move(item));
  }

  // A new server object whose update thread does not tick the groups
  // (unless `thread_ticks`): tests run the ticks with Tick.
  com::ComPtr<CServer> NewServer(bool thread_ticks = false) {
    com::ComPtr<CServer> server;
    EXPECT_EQ(CServer::CreateInstance(&server), S_OK);
    if (server) server->SetThreadTicksForTesting(thread_ticks);
    return server;
  }

  // Spins (yielding) until `done` holds or ten seconds have passed.
  template <class Done>
  static bool WaitFor(Done&& done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  // A group of `server` named `name`, active, 1000 ms; null on failure.
  com::ComPtr<IOPCItemMgt> NewGroup(CServer* server,
                                    const std::u16string& name = u"",
                                    BOOL active = TRUE,
                                    OPCHANDLE* handle = nullptr) {
    OPCHANDLE server_handle = 0;
    DWORD revised = 0;
    com::ComPtr<IOPCItemMgt> group;
    const HRESULT hr =
        server->AddGroup(name.c_str(), active, 1000, 77, nullptr, nullptr, 1033,
                         &server_handle, &revised, IID_IOPCItemMgt,
                         reinterpret_cast<IUnknown**>(group.GetAddressOf()));
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    if (handle != nullptr) *handle = server_handle;
    return group;
  }

  // Adds the items (requested type VT_EMPTY unless given, client handles
  // 100, 101, ...), returning each item's error and result.
  std::vector<Added> AddItems(IOPCItemMgt* group,
                              const std::vector<std::u16string>& ids,
                              VARTYPE requested = VT_EMPTY,
                              HRESULT* overall = nullptr) {
    std::vector<OPCITEMDEF> definitions(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      definitions[i].szAccessPath = const_cast<LPWSTR>(u"");
      definitions[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      definitions[i].bActive = TRUE;
      definitions[i].hClient = static_cast<OPCHANDLE>(100 + i);
      definitions[i].vtRequestedDataType = requested;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = group->AddItems(static_cast<DWORD>(ids.size()),
                                       definitions.data(), &results, &errors);
    if (overall != nullptr) *overall = hr;
    std::vector<Added> out;
    if (FAILED(hr)) return out;
    for (size_t i = 0; i < ids.size(); ++i)
      out.push_back(Added{errors[i], results[i]});
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return out;
  }

  // The server handle of a single added item.
  OPCHANDLE AddItem(IOPCItemMgt* group, const std::u16string& id,
                    VARTYPE requested = VT_EMPTY) {
    std::vector<Added> added = AddItems(group, {id}, requested);
    EXPECT_EQ(added.size(), 1u);
    if (added.empty()) return ~OPCHANDLE{0};
    EXPECT_EQ(added[0].error, S_OK);
    return added[0].result.hServer;
  }

  com::ScopedRegistryRootForTest root_;
  sync::FakeClock clock_{1000, kStartFileTime};
  com::ComPtr<ScriptedDevice> device_;
};

// What Read answered for one item.
struct ReadEntry {
  HRESULT error;
  OPCHANDLE client;
  FILETIME timestamp;
  WORD quality;
  com::Variant value;
};

// IOPCSyncIO::Read, entries copied out and the arrays freed.
inline HRESULT SyncRead(IUnknown* group, OPCDATASOURCE source,
                        const std::vector<OPCHANDLE>& handles,
                        std::vector<ReadEntry>* out) {
  com::ComPtr<IOPCSyncIO> io;
  HRESULT hr = group->QueryInterface(io.GetAddressOf());
  if (FAILED(hr)) return hr;
  OPCITEMSTATE* states = nullptr;
  HRESULT* errors = nullptr;
  hr = io->Read(source, static_cast<DWORD>(handles.size()),
                const_cast<OPCHANDLE*>(handles.data()), &states, &errors);
  out->clear();
  if (FAILED(hr)) {
    EXPECT_EQ(states, nullptr);
    EXPECT_EQ(errors, nullptr);
    return hr;
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    ReadEntry entry{errors[i], states[i].hClient, states[i].ftTimeStamp,
                    states[i].wQuality, com::Variant()};
    entry.value.Attach(&states[i].vDataValue);
    out->push_back(std::move(entry));
  }
  CoTaskMemFree(states);
  CoTaskMemFree(errors);
  return hr;
}

// IOPCSyncIO::Write of one value per handle; the errors copied out.
inline HRESULT SyncWrite(IUnknown* group, const std::vector<OPCHANDLE>& handles,
                         std::vector<com::Variant> values,
                         std::vector<HRESULT>* errors_out) {
  com::ComPtr<IOPCSyncIO> io;
  HRESULT hr = group->QueryInterface(io.GetAddressOf());
  if (FAILED(hr)) return hr;
  HRESULT* errors = nullptr;
  hr =
      io->Write(static_cast<DWORD>(handles.size()),
                const_cast<OPCHANDLE*>(handles.data()), values.data(), &errors);
  errors_out->clear();
  if (FAILED(hr)) return hr;
  errors_out->assign(errors, errors + handles.size());
  CoTaskMemFree(errors);
  return hr;
}

}  // namespace kavex::server::testing

#endif  // KAVEX_SERVER_OBJECTS_TESTING_SERVER_FIXTURE_H_
