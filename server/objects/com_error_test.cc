#include "server/objects/com_error.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "platform/opc/opc_error.h"
#include "server/objects/testing/error_info.h"

namespace kavex::server {
namespace {

using testing::TakeErrorInfo;

constexpr IID kIid =
    kavex::com::GuidLiteral("{11111111-2222-3333-4444-555555555555}");

HRESULT Throwing(HRESULT hr, std::u16string_view description = {}) {
  return InterfaceCall(kIid, u"CTest::Method",
                       [&]() -> HRESULT { ThrowHr(hr, description); });
}

class ComErrorTest : public ::testing::Test {
 protected:
  void TearDown() override { SetErrorInfo(0, nullptr); }
};

TEST_F(ComErrorTest, ThrownFailureBecomesResultAndErrorInfo) {
  EXPECT_EQ(Throwing(E_INVALIDARG, u"The name is null."), E_INVALIDARG);
  EXPECT_EQ(TakeErrorInfo(),
            "CTest::Method|The name is null.\r\nThe parameter is incorrect.");
  // Win32 codes find their text by the low word.
  EXPECT_EQ(Throwing(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(TakeErrorInfo(),
            "Error Description|The system cannot find the file specified.");
  // E_FAIL and the OPC codes have no system text.
  EXPECT_EQ(Throwing(E_FAIL), E_FAIL);
  EXPECT_EQ(TakeErrorInfo(),
            "Unknown Error|An unknown error has occurred.\r\nThe error code "
            "returned was unexpected and does not have a message associated "
            "with it.");
  EXPECT_EQ(Throwing(OPC_E_BADRIGHTS, u"Not writable."), OPC_E_BADRIGHTS);
  EXPECT_EQ(TakeErrorInfo(), "CTest::Method|Not writable.");
}

TEST_F(ComErrorTest, CalleesErrorInfoIsAppended) {
  const HRESULT hr = InterfaceCall(kIid, u"CTest::Outer", [&]() -> HRESULT {
    com::SetErrorInfoText(kIid, u"Device", u"The switch is offline.");
    ThrowHr(E_ACCESSDENIED, u"Reading failed.");
  });
  EXPECT_EQ(hr, E_ACCESSDENIED);
  EXPECT_EQ(TakeErrorInfo(),
            "CTest::Outer|Reading failed.\r\nDevice: The switch is offline.");
  // A returned failure with nothing of its own keeps the callee's text.
  EXPECT_EQ(InterfaceCall(kIid, u"CTest::Outer",
                          [&] {
                            com::SetErrorInfoText(kIid, u"Inner", u"Broken.");
                            return OPC_E_RANGE;
                          }),
            OPC_E_RANGE);
  EXPECT_EQ(TakeErrorInfo(), "CTest::Outer|Inner: Broken.");
}

TEST_F(ComErrorTest, UnexpectedExceptionsAreCaught) {
  EXPECT_EQ(
      InterfaceCall(kIid, u"CTest::Method", []() -> HRESULT { throw 42; }),
      E_FAIL);
  EXPECT_EQ(TakeErrorInfo(), "Unknown Error|Caught an unknown exception");
  EXPECT_EQ(InterfaceCall(kIid, u"CTest::Method",
                          []() -> HRESULT { throw std::bad_alloc(); }),
            E_OUTOFMEMORY);
  EXPECT_EQ(TakeErrorInfo(),
            "Error Description|Not enough memory resources are available to "
            "complete this operation.");
}

TEST_F(ComErrorTest, SuccessLeavesNoStaleErrorInfo) {
  com::SetErrorInfoText(kIid, u"Old", u"From an earlier call.");
  EXPECT_EQ(InterfaceCall(kIid, u"CTest::Method", [] { return S_FALSE; }),
            S_FALSE);
  EXPECT_EQ(TakeErrorInfo(), "");
  com::SetErrorInfoText(kIid, u"Old", u"From an earlier call.");
  EXPECT_EQ(Throwing(E_NOTIMPL), E_NOTIMPL);
  EXPECT_EQ(TakeErrorInfo(), "Error Description|Not implemented");
}

TEST_F(ComErrorTest, SystemMessages) {
  EXPECT_EQ(SystemMessage(E_INVALIDARG), u"The parameter is incorrect.");
  EXPECT_EQ(SystemMessage(E_POINTER), u"Invalid pointer");
  EXPECT_TRUE(SystemMessage(E_FAIL).empty());
  EXPECT_TRUE(SystemMessage(S_OK).empty());
  EXPECT_TRUE(SystemMessage(OPC_E_INVALIDHANDLE).empty());
  EXPECT_TRUE(SystemMessage(HRESULT_FROM_WIN32(4242)).empty());
}

}  // namespace
}  // namespace kavex::server
