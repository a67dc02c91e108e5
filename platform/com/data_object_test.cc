#include "platform/com/data_object.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"

namespace kavex::com {
namespace {

TEST(GlobalMemoryTest, BlocksAreZeroedLockedAndChecked) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 64);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(64u, GlobalSize(block));
  auto* bytes = static_cast<uint8_t*>(GlobalLock(block));
  ASSERT_NE(nullptr, bytes);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(0, bytes[i]);
  std::memset(bytes, 0xAB, 64);
  EXPECT_EQ(bytes, GlobalLock(block));                           // nested lock
  EXPECT_EQ(nullptr, GlobalReAlloc(block, 128, GMEM_MOVEABLE));  // locked
  EXPECT_EQ(TRUE, GlobalUnlock(block));
  EXPECT_EQ(FALSE, GlobalUnlock(block));
  EXPECT_EQ(FALSE, GlobalUnlock(block));  // not locked any more

  ASSERT_EQ(block, GlobalReAlloc(block, 128, GMEM_MOVEABLE));
  EXPECT_EQ(128u, GlobalSize(block));
  bytes = static_cast<uint8_t*>(GlobalLock(block));
  EXPECT_EQ(0xAB, bytes[63]);
  EXPECT_EQ(0, bytes[64]);
  GlobalUnlock(block);

  EXPECT_EQ(nullptr, GlobalFree(block));
  // A freed handle is refused, not used.
  EXPECT_EQ(block, GlobalFree(block));
  EXPECT_EQ(nullptr, GlobalLock(block));
  EXPECT_EQ(0u, GlobalSize(block));
  EXPECT_EQ(nullptr, GlobalLock(nullptr));
}

class CSink : public ComObject<CSink, IAdviseSink> {
 public:
  void OnDataChange(FORMATETC*, STGMEDIUM*) override {}
  void OnViewChange(DWORD, LONG) override {}
  void OnRename(IMoniker*) override {}
  void OnSave() override {}
  void OnClose() override {}
};

TEST(GlobalMemoryTest, ReleaseStgMediumFreesOrReleases) {
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = GlobalAlloc(GHND, 16);
  HGLOBAL block = medium.hGlobal;
  ReleaseStgMedium(&medium);
  EXPECT_EQ(TYMED_NULL, medium.tymed);
  EXPECT_EQ(0u, GlobalSize(block));  // freed

  // With a release object the provider keeps the data.
  ComPtr<CSink> owner;
  ASSERT_EQ(S_OK, CSink::CreateInstance(&owner));
  block = GlobalAlloc(GHND, 16);
  medium = STGMEDIUM{TYMED_HGLOBAL, {block}, owner->GetUnknown()};
  owner->AddRef();
  ReleaseStgMedium(&medium);
  EXPECT_EQ(16u, GlobalSize(block));
  EXPECT_EQ(2u, owner->AddRef());
  owner->Release();
  GlobalFree(block);
}

TEST(ClipboardFormatTest, SameNameSameNumber) {
  UINT data_time = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
  UINT data = RegisterClipboardFormatA("OPCSTMFORMATDATA");
  EXPECT_GE(data_time, 0xC000u);
  EXPECT_GE(data, 0xC000u);
  EXPECT_NE(data_time, data);
  EXPECT_EQ(data, RegisterClipboardFormatA("opcstmformatdata"));
  EXPECT_EQ(data, RegisterClipboardFormatW(u"OpcStmFormatData"));
  EXPECT_EQ(0u, RegisterClipboardFormatA(""));
  EXPECT_EQ(0u, RegisterClipboardFormatA(nullptr));
  char name[32];
  EXPECT_EQ(16, GetClipboardFormatNameA(data, name, sizeof name));
  EXPECT_STREQ("OPCSTMFORMATDATA", name);
  EXPECT_EQ(3, GetClipboardFormatNameA(data, name, 4));
  EXPECT_STREQ("OPC", name);
  EXPECT_EQ(0, GetClipboardFormatNameA(0xBFFF, name, sizeof name));
}

TEST(ClipboardFormatTest, ConcurrentRegistrationsAgree) {
  std::vector<std::thread> threads;
  std::vector<UINT> ids(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < 50; ++i)
        RegisterClipboardFormatA(("Race" + std::to_string(i)).c_str());
      ids[t] = RegisterClipboardFormatA("RaceFinal");
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(1u, std::set<UINT>(ids.begin(), ids.end()).size());
  EXPECT_NE(RegisterClipboardFormatA("Race0"),
            RegisterClipboardFormatA("Race1"));
}

}  // namespace
}  // namespace kavex::com
