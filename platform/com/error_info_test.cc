#include "platform/com/error_info.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"

namespace kavex::com {
namespace {

std::u16string Source(IErrorInfo* info) {
  Bstr text;
  EXPECT_EQ(S_OK, info->GetSource(text.Out()));
  return std::u16string(BstrView(text.Get()));
}

TEST(ErrorInfoTest, SetGetClearsAndHoldsTheTexts) {
  ComPtr<IErrorInfo> none;
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, none.GetAddressOf()));
  EXPECT_FALSE(none);

  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.GetAddressOf()));
  const GUID iid = IID_IErrorInfo;
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(u"CServer"));
  create->SetDescription(const_cast<LPOLESTR>(u"Caught an unknown exception"));
  create->SetHelpContext(42);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, create.As(&info));
  ASSERT_EQ(S_OK, SetErrorInfo(0, info.Get()));
  info.Reset();
  create.Reset();

  ComPtr<IErrorInfo> got;
  ASSERT_EQ(S_OK, GetErrorInfo(0, got.GetAddressOf()));
  EXPECT_EQ(u"CServer", Source(got.Get()));
  Bstr description;
  ASSERT_EQ(S_OK, got->GetDescription(description.Out()));
  EXPECT_EQ(u"Caught an unknown exception", BstrView(description.Get()));
  GUID guid;
  got->GetGUID(&guid);
  EXPECT_EQ(iid, guid);
  DWORD context = 0;
  got->GetHelpContext(&context);
  EXPECT_EQ(42u, context);
  // Fetching cleared it.
  ComPtr<IErrorInfo> again;
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, again.GetAddressOf()));
}

TEST(ErrorInfoTest, EachThreadHasItsOwn) {
  ASSERT_EQ(S_OK, SetErrorInfoText(GUID_NULL, u"main", u"on main"));
  std::u16string seen_on_worker = u"unset";
  HRESULT worker_before = E_FAIL;
  std::thread worker([&] {
    ComPtr<IErrorInfo> info;
    worker_before = GetErrorInfo(0, info.GetAddressOf());
    SetErrorInfoText(GUID_NULL, u"worker", u"on worker");
    ComPtr<IErrorInfo> own;
    if (GetErrorInfo(0, own.GetAddressOf()) == S_OK)
      seen_on_worker = Source(own.Get());
    // Left set on purpose: the thread's end must release it.
    SetErrorInfoText(GUID_NULL, u"leak?", u"freed at thread exit");
  });
  worker.join();
  EXPECT_EQ(S_FALSE, worker_before);
  EXPECT_EQ(u"worker", seen_on_worker);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, GetErrorInfo(0, info.GetAddressOf()));
  EXPECT_EQ(u"main", Source(info.Get()));
}

}  // namespace
}  // namespace kavex::com
