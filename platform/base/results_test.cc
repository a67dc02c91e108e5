#include "platform/base/results.h"

#include <gtest/gtest.h>

#include <string>

namespace kavex {
namespace {

TEST(HResultTest, NamesKnownAndUnknownCodes) {
  EXPECT_STREQ("E_FAIL", HResultName(E_FAIL));
  EXPECT_STREQ("DISP_E_OVERFLOW", HResultName(DISP_E_OVERFLOW));
  EXPECT_EQ(std::string("0x12345678"), HResultName(0x12345678));
  static const ResultName extra[] = {
      {static_cast<HRESULT>(0xC0040007u), "OPC_E_UNKNOWNITEMID"}};
  RegisterResultNames(extra, 1);
  RegisterResultNames(extra, 1);  // a second registration is harmless
  EXPECT_STREQ("OPC_E_UNKNOWNITEMID",
               HResultName(static_cast<HRESULT>(0xC0040007u)));
}

TEST(HResultTest, Win32ErrorsMapToFacility7) {
  EXPECT_EQ(E_ACCESSDENIED, HRESULT_FROM_WIN32(5));
  EXPECT_EQ(S_OK, HRESULT_FROM_WIN32(0));
  EXPECT_TRUE(FAILED(E_FAIL));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(Win32ErrorTest, NamesKnownAndUnknownErrors) {
  EXPECT_STREQ("ERROR_ACCESS_DENIED", Win32ErrorName(5));
  EXPECT_STREQ("ERROR_NOT_FOUND", Win32ErrorName(1168));
  EXPECT_STREQ("4242", Win32ErrorName(4242));
}

}  // namespace
}  // namespace kavex
