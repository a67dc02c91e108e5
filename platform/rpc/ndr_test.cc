#include "platform/rpc/ndr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/enumerators.h"
#include "platform/com/safearray.h"
#include "platform/com/task_memory.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_descriptions.h"

namespace kavex::rpc {
namespace {

using com::MethodDescription;

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> out;
  for (const char* p = text; *p;) {
    if (*p == ' ' || *p == '\n' || *p == '|') {
      ++p;
      continue;
    }
    out.push_back(
        static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

const MethodDescription* Method(const char* interface, const char* method) {
  const com::InterfaceDescription* d = opc::FindInterfaceDescription(interface);
  EXPECT_NE(d, nullptr) << interface;
  const MethodDescription* m = d ? d->FindMethod(method) : nullptr;
  EXPECT_NE(m, nullptr) << interface << "::" << method;
  return m;
}

template <class T>
T& Arg(ServerCall& call, size_t i) {
  return *static_cast<T*>(call.arguments()[i]);
}

// IOPCSyncIO::Read: source (enum16) 2 = device, pad, count 2, the [ref]
// array of handles (conformance 2, then 0x0a and 0x0b), and ten bytes a
// client added after the parameters.
constexpr char kReadRequest[] =
    "0200 0000 | 02000000 | 02000000 0a000000 0b000000 |"
    "00000000000000000000";

// Its response for two items: 0x11 at time (1, 2), good, 1.5 (VT_R8); 0x22
// at (3, 4), good, "ok" (VT_BSTR); errors S_OK, S_OK; result S_OK.
constexpr char kReadResponse[] =
    // ppItemValues: referent, conformance 2, two OPCITEMSTATE of 20 bytes
    // each with the VARIANT's referent last.
    "00000200 | 02000000 |"
    "11000000 01000000 02000000 c000 0000 04000200 |"
    "22000000 03000000 04000000 c000 0000 08000200 |"
    // The first wireVARIANT (offset 48): clSize 4 (32 bytes), reserved, vt
    // 5, three reserved words, discriminant 5, padding to 8, the double.
    "04000000 00000000 0500 0000 0000 0000 05000000 00000000"
    "000000000000f83f |"
    // The second (offset 80): clSize 5, vt 8, discriminant 8, the BSTR's
    // referent, its FLAGGED_WORD_BLOB: conformance 2, 4 bytes, 2 chars.
    "05000000 00000000 0800 0000 0000 0000 08000000 0c000200"
    "02000000 04000000 02000000 6f006b00 |"
    // ppErrors: referent, conformance 2, two S_OK; then the result.
    "10000200 02000000 00000000 00000000 | 00000000";

TEST(NdrServer, SyncReadAgainstHandBuiltBytes) {
  const MethodDescription* read = Method("IOPCSyncIO", "Read");
  ServerCall call(read, nullptr);
  ASSERT_EQ(call.DecodeIn(Hex(kReadRequest)), NdrStatus::kOk);
  EXPECT_EQ(Arg<OPCDATASOURCE>(call, 0), OPC_DS_DEVICE);
  ASSERT_EQ(Arg<DWORD>(call, 1), 2u);
  OPCHANDLE* handles = Arg<OPCHANDLE*>(call, 2);
  EXPECT_EQ(handles[0], 0x0au);
  EXPECT_EQ(handles[1], 0x0bu);
  // What the object does: task-allocated arrays through the [out]s.
  OPCITEMSTATE** values = Arg<OPCITEMSTATE**>(call, 3);
  HRESULT** errors = Arg<HRESULT**>(call, 4);
  ASSERT_NE(values, nullptr);
  ASSERT_EQ(*values, nullptr);
  *values =
      static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(2 * sizeof(OPCITEMSTATE)));
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(2 * sizeof(HRESULT)));
  OPCITEMSTATE* v = *values;
  std::memset(v, 0, 2 * sizeof(OPCITEMSTATE));
  v[0] = {0x11, {1, 2}, 0xC0, 0, {}};
  v[0].vDataValue.vt = VT_R8;
  v[0].vDataValue.dblVal = 1.5;
  v[1] = {0x22, {3, 4}, 0xC0, 0, {}};
  v[1].vDataValue.vt = VT_BSTR;
  v[1].vDataValue.bstrVal = SysAllocString(u"ok");
  (*errors)[0] = (*errors)[1] = S_OK;
  call.set_result(S_OK);
  std::vector<uint8_t> out;
  ASSERT_EQ(call.EncodeOut(&out), NdrStatus::kOk);
  EXPECT_EQ(out, Hex(kReadResponse));
  // EncodeOut freed the arrays and the BSTR (ASan reports a leak if not).
}

TEST(NdrClient, SyncReadDecodesIntoCallerMemory) {
  const MethodDescription* read = Method("IOPCSyncIO", "Read");
  OPCDATASOURCE source = OPC_DS_CACHE;
  DWORD count = 2;
  OPCHANDLE handles[2] = {0x0a, 0x0b};
  OPCHANDLE* handles_pointer = handles;
  OPCITEMSTATE* values = nullptr;
  HRESULT* errors = nullptr;
  OPCITEMSTATE** values_out = &values;
  HRESULT** errors_out = &errors;
  void* args[] = {&source, &count, &handles_pointer, &values_out, &errors_out};
  std::vector<uint8_t> request;
  ASSERT_EQ(EncodeRequest(read, args, nullptr, &request), NdrStatus::kOk);
  std::vector<uint8_t> expected = Hex(kReadRequest);
  expected.resize(20);
  expected[0] = 1;
  EXPECT_EQ(request, expected);

  HRESULT result = E_FAIL;
  ASSERT_EQ(DecodeResponse(read, args, nullptr, Hex(kReadResponse), 0, &result),
            NdrStatus::kOk);
  EXPECT_EQ(result, S_OK);
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(values[0].hClient, 0x11u);
  EXPECT_EQ(values[0].ftTimeStamp.dwHighDateTime, 2u);
  EXPECT_EQ(values[0].vDataValue.vt, VT_R8);
  EXPECT_EQ(values[0].vDataValue.dblVal, 1.5);
  EXPECT_EQ(values[1].vDataValue.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(values[1].vDataValue.bstrVal), u"ok");
  EXPECT_EQ(errors[1], S_OK);
  // Freed as after an in-process call.
  for (int i = 0; i < 2; ++i) VariantClear(&values[i].vDataValue);
  CoTaskMemFree(values);
  CoTaskMemFree(errors);
}

TEST(NdrServer, GetStatusStructureWithEnumAndString) {
  const MethodDescription* get = Method("IOPCServer", "GetStatus");
  ServerCall call(get, nullptr);
  ASSERT_EQ(call.DecodeIn({}), NdrStatus::kOk);
  OPCSERVERSTATUS*& status = *Arg<OPCSERVERSTATUS**>(call, 0);
  status =
      static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
  std::memset(status, 0, sizeof *status);
  status->ftStartTime = {1, 2};
  status->ftCurrentTime = {3, 4};
  status->ftLastUpdateTime = {5, 6};
  status->dwServerState = OPC_STATUS_RUNNING;
  status->dwGroupCount = 7;
  status->dwBandWidth = 0xFFFFFFFF;
  status->wMajorVersion = 10;
  status->wMinorVersion = 4;
  status->wBuildNumber = 1;
  status->szVendorInfo = static_cast<LPWSTR>(CoTaskMemAlloc(6));
  std::memcpy(status->szVendorInfo, u"Kv", 6);
  call.set_result(S_OK);
  std::vector<uint8_t> out;
  ASSERT_EQ(call.EncodeOut(&out), NdrStatus::kOk);
  EXPECT_EQ(
      out,
      Hex("00000200 | 01000000 02000000 03000000 04000000 05000000 06000000"
          "0100 0000 | 07000000 ffffffff 0a00 0400 0100 0000 | 04000200 |"
          "03000000 00000000 03000000 4b007600 0000 0000 | 00000000"));
}

// The object AddGroup hands out, and the hook that stands for DCOM.
class Thing : public com::ComObject<Thing, IUnknown> {};

class FakeObjrefHook : public ObjrefHook {
 public:
  HRESULT Marshal(IUnknown* object, REFIID iid,
                  std::vector<uint8_t>* objref) override {
    marshalled = object;
    marshalled_iid = iid;
    *objref = {'O', 'B', 'J', 'R', 'E', 'F'};
    return S_OK;
  }
  HRESULT Unmarshal(std::span<const uint8_t> objref, REFIID iid,
                    IUnknown** object) override {
    unmarshalled.assign(objref.begin(), objref.end());
    unmarshalled_iid = iid;
    com::ComPtr<Thing> thing;
    HRESULT hr = Thing::CreateInstance(&thing);
    if (FAILED(hr)) return hr;
    *object = thing.Detach();
    return S_OK;
  }
  IUnknown* marshalled = nullptr;
  IID marshalled_iid = {};
  std::vector<uint8_t> unmarshalled;
  IID unmarshalled_iid = {};
};

TEST(NdrServer, AddGroupWithUniquePointersIidAndInterfaceOut) {
  const MethodDescription* add = Method("IOPCServer", "AddGroup");
  // szName "G" (a [string] reference: conformance, offset, count, chars),
  // bActive, rate 250, client handle 7, pTimeBias -> -60, no deadband,
  // LCID 0x409, the IID of IOPCItemMgt.
  std::vector<uint8_t> request =
      Hex("02000000 00000000 02000000 4700 0000 | 01000000 fa000000 07000000 |"
          "00000200 c4ffffff | 00000000 | 09040000 |"
          "543ac139 1e01 d011 9675 0020afd8adb3");
  FakeObjrefHook hook;
  ServerCall call(add, &hook);
  ASSERT_EQ(call.DecodeIn(request), NdrStatus::kOk);
  EXPECT_EQ(std::u16string(Arg<LPCWSTR>(call, 0)), u"G");
  EXPECT_EQ(Arg<BOOL>(call, 1), TRUE);
  EXPECT_EQ(Arg<DWORD>(call, 2), 250u);
  EXPECT_EQ(Arg<OPCHANDLE>(call, 3), 7u);
  ASSERT_NE(Arg<LONG*>(call, 4), nullptr);
  EXPECT_EQ(*Arg<LONG*>(call, 4), -60);
  EXPECT_EQ(Arg<FLOAT*>(call, 5), nullptr);
  EXPECT_EQ(Arg<DWORD>(call, 6), 0x409u);
  EXPECT_EQ(Arg<IID>(call, 9), IID_IOPCItemMgt);
  *Arg<OPCHANDLE*>(call, 7) = 5;
  *Arg<DWORD*>(call, 8) = 200;
  com::ComPtr<Thing> thing;
  ASSERT_EQ(Thing::CreateInstance(&thing), S_OK);
  IUnknown* handed_out = thing.Get();
  handed_out->AddRef();  // the method's reference for the caller
  *Arg<LPUNKNOWN*>(call, 10) = handed_out;
  call.set_result(S_OK);
  std::vector<uint8_t> out;
  ASSERT_EQ(call.EncodeOut(&out), NdrStatus::kOk);
  EXPECT_EQ(
      out,
      Hex("05000000 c8000000 | 00000200 06000000 06000000 4f424a524546 0000 |"
          "00000000"));
  EXPECT_EQ(hook.marshalled, handed_out);
  EXPECT_EQ(hook.marshalled_iid, IID_IOPCItemMgt);
  // The frame released the method's reference after marshalling.
  EXPECT_EQ(handed_out->AddRef(), 2u);
  handed_out->Release();

  // The client side reads the same reply, the object through the hook.
  OPCHANDLE group = 0;
  DWORD revised = 0;
  IUnknown* unknown = nullptr;
  OPCHANDLE* group_out = &group;
  DWORD* revised_out = &revised;
  LPUNKNOWN* unknown_out = &unknown;
  IID riid = IID_IOPCItemMgt;
  void* args[11] = {};
  args[7] = &group_out;
  args[8] = &revised_out;
  args[9] = &riid;
  args[10] = &unknown_out;
  HRESULT result = E_FAIL;
  ASSERT_EQ(DecodeResponse(add, args, &hook, out, 0, &result), NdrStatus::kOk);
  EXPECT_EQ(group, 5u);
  EXPECT_EQ(revised, 200u);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(hook.unmarshalled,
            (std::vector<uint8_t>{'O', 'B', 'J', 'R', 'E', 'F'}));
  EXPECT_EQ(hook.unmarshalled_iid, IID_IOPCItemMgt);
  unknown->Release();
}

// An enumerator of two strings whose Next the frame calls for real.
class TwoStrings : public com::ComObject<TwoStrings, IEnumString> {
 public:
  HRESULT Next(ULONG celt, LPOLESTR* elements, ULONG* fetched) override {
    const char16_t* texts[] = {u"a", u"bc"};
    ULONG n = 0;
    for (; n < celt && n < 2; ++n) {
      size_t bytes = (std::char_traits<char16_t>::length(texts[n]) + 1) * 2;
      elements[n] = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
      std::memcpy(elements[n], texts[n], bytes);
    }
    *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG) override { return S_OK; }
  HRESULT Reset() override { return S_OK; }
  HRESULT Clone(IEnumString**) override { return E_NOTIMPL; }
};

TEST(NdrServer, EnumStringNextIntoCallerAllocatedVaryingArray) {
  const MethodDescription* next = Method("IEnumString", "Next");
  com::ComPtr<TwoStrings> strings;
  ASSERT_EQ(TwoStrings::CreateInstance(&strings), S_OK);
  ServerCall call(next, nullptr);
  ASSERT_EQ(call.DecodeIn(Hex("03000000")), NdrStatus::kOk);
  EXPECT_EQ(call.Invoke(static_cast<IEnumString*>(strings.Get())), S_FALSE);
  std::vector<uint8_t> out;
  ASSERT_EQ(call.EncodeOut(&out), NdrStatus::kOk);
  std::vector<uint8_t> expected =
      Hex("03000000 00000000 02000000 | 00000200 04000200 |"
          "02000000 00000000 02000000 6100 0000 |"
          "03000000 00000000 03000000 6200 6300 0000 | 0000 |"
          "02000000 | 01000000");
  EXPECT_EQ(out, expected);

  // The client: its own array of three, the count through *fetched.
  ULONG celt = 3;
  LPOLESTR elements[3] = {};
  ULONG fetched = 0;
  LPOLESTR* elements_pointer = elements;
  ULONG* fetched_pointer = &fetched;
  void* args[] = {&celt, &elements_pointer, &fetched_pointer};
  HRESULT result = E_FAIL;
  ASSERT_EQ(DecodeResponse(next, args, nullptr, expected, 0, &result),
            NdrStatus::kOk);
  EXPECT_EQ(result, S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(std::u16string(elements[1]), u"bc");
  for (LPOLESTR e : elements) CoTaskMemFree(e);
  // A reply claiming more strings than the caller's array holds.
  std::vector<uint8_t> lying = expected;
  lying[0] = 4;
  LPOLESTR small[3] = {};
  elements_pointer = small;
  EXPECT_EQ(DecodeResponse(next, args, nullptr, lying, 0, &result),
            NdrStatus::kBadStubData);
  for (LPOLESTR e : small) EXPECT_EQ(e, nullptr);
}

// IOPCSyncIO::Write of 42 (VT_I4) and True (VT_BOOL) to handles 1 and 2.
constexpr char kWriteRequest[] =
    "02000000 | 02000000 01000000 02000000 | 02000000 00000200 04000200 |"
    "00000000 | 03000000 00000000 0300 0000 0000 0000 03000000 2a000000 |"
    "03000000 00000000 0b00 0000 0000 0000 0b000000 ffff";

TEST(NdrServer, WriteVariantsBothWays) {
  const MethodDescription* write = Method("IOPCSyncIO", "Write");
  DWORD count = 2;
  OPCHANDLE handles[2] = {1, 2};
  VARIANT values[2];
  VariantInit(&values[0]);
  VariantInit(&values[1]);
  values[0].vt = VT_I4;
  values[0].lVal = 42;
  values[1].vt = VT_BOOL;
  values[1].boolVal = VARIANT_TRUE;
  OPCHANDLE* handles_pointer = handles;
  VARIANT* values_pointer = values;
  void* args[] = {&count, &handles_pointer, &values_pointer, nullptr};
  std::vector<uint8_t> request;
  ASSERT_EQ(EncodeRequest(write, args, nullptr, &request), NdrStatus::kOk);
  EXPECT_EQ(request, Hex(kWriteRequest));

  ServerCall call(write, nullptr);
  ASSERT_EQ(call.DecodeIn(Hex(kWriteRequest)), NdrStatus::kOk);
  VARIANT* decoded = Arg<VARIANT*>(call, 2);
  EXPECT_EQ(decoded[0].vt, VT_I4);
  EXPECT_EQ(decoded[0].lVal, 42);
  EXPECT_EQ(decoded[1].vt, VT_BOOL);
  EXPECT_EQ(decoded[1].boolVal, VARIANT_TRUE);
}

// Round trips of every variant form a client may send, through Write.
TEST(NdrServer, VariantFormsRoundTrip) {
  const MethodDescription* write = Method("IOPCSyncIO", "Write");
  std::vector<VARIANT> values(14);
  for (VARIANT& v : values) VariantInit(&v);
  values[0].vt = VT_EMPTY;
  values[1].vt = VT_NULL;
  values[2].vt = VT_I2, values[2].iVal = -2;
  values[3].vt = VT_R4, values[3].fltVal = 0.25f;
  values[4].vt = VT_R8, values[4].dblVal = -8.5;
  values[5].vt = VT_DATE, values[5].date = 45000.5;
  values[6].vt = VT_ERROR, values[6].scode = E_FAIL;
  values[7].vt = VT_CY, values[7].cyVal.int64 = 12345678;
  values[8].vt = VT_BSTR, values[8].bstrVal = SysAllocString(u"text");
  values[9].vt = VT_BSTR, values[9].bstrVal = nullptr;
  values[10].vt = VT_I8, values[10].llVal = -(1ll << 40);
  values[11].vt = VT_ARRAY | VT_I4;
  values[11].parray = SafeArrayCreateVector(VT_I4, 0, 3);
  for (LONG i = 0; i < 3; ++i) {
    LONG x = 10 * i;
    SafeArrayPutElement(values[11].parray, &i, &x);
  }
  values[12].vt = VT_ARRAY | VT_BSTR;
  values[12].parray = SafeArrayCreateVector(VT_BSTR, 1, 2);
  for (LONG i = 1; i <= 2; ++i) {
    com::Bstr b(i == 1 ? u"x" : u"yz");
    SafeArrayPutElement(values[12].parray, &i, b.Get());
  }
  values[13].vt = VT_ARRAY | VT_VARIANT;
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {1, 5}};
  values[13].parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
  {
    LONG index[2] = {1, 5};
    VARIANT e;
    VariantInit(&e);
    e.vt = VT_BSTR;
    e.bstrVal = SysAllocString(u"deep");
    SafeArrayPutElement(values[13].parray, index, &e);
    VariantClear(&e);
  }
  DWORD count = static_cast<DWORD>(values.size());
  std::vector<OPCHANDLE> handles(count, 1);
  OPCHANDLE* handles_pointer = handles.data();
  VARIANT* values_pointer = values.data();
  void* args[] = {&count, &handles_pointer, &values_pointer, nullptr};
  std::vector<uint8_t> request;
  ASSERT_EQ(EncodeRequest(write, args, nullptr, &request), NdrStatus::kOk);
  ServerCall call(write, nullptr);
  ASSERT_EQ(call.DecodeIn(request), NdrStatus::kOk);
  VARIANT* decoded = Arg<VARIANT*>(call, 2);
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(decoded[i].vt, values[i].vt);
    if (!(values[i].vt & VT_ARRAY) && values[i].vt != VT_BSTR) {
      EXPECT_EQ(decoded[i].llVal & 0xFFFFFFFF, values[i].llVal & 0xFFFFFFFF);
    }
  }
  EXPECT_EQ(com::BstrView(decoded[8].bstrVal), u"text");
  EXPECT_EQ(decoded[9].bstrVal, nullptr);
  EXPECT_EQ(decoded[10].llVal, -(1ll << 40));
  LONG index = 2, x = 0;
  ASSERT_EQ(SafeArrayGetElement(decoded[11].parray, &index, &x), S_OK);
  EXPECT_EQ(x, 20);
  LONG lower = 0;
  SafeArrayGetLBound(decoded[12].parray, 1, &lower);
  EXPECT_EQ(lower, 1);
  BSTR b = nullptr;
  index = 2;
  ASSERT_EQ(SafeArrayGetElement(decoded[12].parray, &index, &b), S_OK);
  EXPECT_EQ(com::BstrView(b), u"yz");
  SysFreeString(b);
  LONG index2[2] = {1, 5};
  VARIANT e;
  ASSERT_EQ(SafeArrayGetElement(decoded[13].parray, index2, &e), S_OK);
  EXPECT_EQ(com::BstrView(e.bstrVal), u"deep");
  VariantClear(&e);
  for (VARIANT& v : values) VariantClear(&v);
}

TEST(NdrServer, HostileStubDataIsRefusedWithoutLeaks) {
  struct Case {
    const char* name;
    const char* interface;
    const char* method;
    std::vector<uint8_t> stub;
    NdrStatus expected;
  };
  std::vector<uint8_t> read = Hex(kReadRequest);
  std::vector<uint8_t> write = Hex(kWriteRequest);
  auto patched = [](std::vector<uint8_t> b, size_t at,
                    std::vector<uint8_t> bytes) {
    std::memcpy(&b[at], bytes.data(), bytes.size());
    return b;
  };
  std::vector<uint8_t> deep;
  {
    // VARIANTs by reference to VARIANTs, 200 deep.
    std::vector<uint8_t> b =
        Hex("01000000 | 01000000 07000000 | 01000000 00000200");
    for (int i = 0; i < 200; ++i) {
      while (b.size() % 8) b.push_back(0);
      std::vector<uint8_t> v =
          Hex("00000000 00000000 0c40 0000 0000 0000 0c400000 00000200"
              "00000200");
      b.insert(b.end(), v.begin(), v.end());
    }
    deep = b;
  }
  std::vector<Case> cases = {
      {"truncated",
       "IOPCSyncIO",
       "Read",
       {read.begin(), read.begin() + 12},
       NdrStatus::kBadStubData},
      {"conformance above the count", "IOPCSyncIO", "Read",
       patched(read, 8, {3, 0, 0, 0}), NdrStatus::kBadStubData},
      {"huge count and conformance", "IOPCSyncIO", "Read",
       patched(patched(read, 4, {0xff, 0xff, 0xff, 0x3f}), 8,
               {0xff, 0xff, 0xff, 0x3f}),
       NdrStatus::kBadStubData},
      {"variant discriminant differs from vt", "IOPCSyncIO", "Write",
       patched(write, 48, {4, 0, 0, 0}), NdrStatus::kBadStubData},
      {"unknown variant type", "IOPCSyncIO", "Write",
       patched(patched(write, 40, {0x77, 0}), 48, {0x77, 0, 0, 0}),
       NdrStatus::kBadStubData},
      {"variant cut short",
       "IOPCSyncIO",
       "Write",
       {write.begin(), write.end() - 1},
       NdrStatus::kBadStubData},
      {"nesting too deep", "IOPCSyncIO", "Write", deep,
       NdrStatus::kBadStubData},
      {"extra bytes after the parameters", "IOPCServer", "GetErrorString",
       Hex("05400080 09040000"), NdrStatus::kOk},
      {"string count above its maximum", "IOPCServer", "GetGroupByName",
       Hex("02000000 00000000 03000000 41004200 4300"),
       NdrStatus::kBadStubData},
      {"string longer than the data", "IOPCServer", "GetGroupByName",
       Hex("ffffff7f 00000000 ffffff7f 4100"), NdrStatus::kBadStubData},
      {"varying offset", "IOPCServer", "GetGroupByName",
       Hex("02000000 01000000 01000000 4100 0000"), NdrStatus::kBadStubData},
      {"BSTR longer than its characters", "IOPCSyncIO", "Write",
       Hex("01000000 | 01000000 01000000 | 01000000 00000200 |"
           "05000000 00000000 0800 0000 0000 0000 08000000 04000200 |"
           "01000000 09000000 01000000 4100"),
       NdrStatus::kBadStubData},
      {"safearray with no dimensions", "IOPCSyncIO", "Write",
       Hex("01000000 | 01000000 01000000 | 01000000 00000200 |"
           "05000000 00000000 0320 0000 0000 0000 03200000 04000200 |"
           "08000200 00000000 0000 0000 04000000 00000000 03000000 03000000"
           "00000000 0c000200"),
       NdrStatus::kBadStubData},
      {"safearray bounds disagree with the size", "IOPCSyncIO", "Write",
       Hex("01000000 | 01000000 01000000 | 01000000 00000200 |"
           "05000000 00000000 0320 0000 0000 0000 03200000 04000200 |"
           "08000200 01000000 0100 0000 04000000 00000000 03000000 03000000"
           "05000000 0c000200 ffffff0f 00000000"),
       NdrStatus::kBadStubData},
      {"null [ref] pointer embedded", "IOPCSyncIO", "Write",
       Hex("01000000 | 01000000 01000000 | 01000000 00000000"), NdrStatus::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerCall call(Method(c.interface, c.method), nullptr);
    EXPECT_EQ(call.DecodeIn(c.stub), c.expected);
  }
}

// Full pointers: a referent id seen before stands for the same referent,
// decoded once (so a cycle cannot make the decoder loop or allocate).
constexpr com::TypeDescription kDword{.kind = com::TypeKind::kDword,
                                      .name = "DWORD",
                                      .memory_size = 4,
                                      .memory_alignment = 4};
constexpr com::TypeDescription kFullPointer{
    .kind = com::TypeKind::kPointer,
    .name = "DWORD*",
    .pointer = com::PointerAttribute::kPtr,
    .element = &kDword,
    .memory_size = 8,
    .memory_alignment = 8};
constexpr com::ParamDescription kAliasParams[] = {
    {"a", com::Direction::kIn, &kFullPointer},
    {"b", com::Direction::kIn, &kFullPointer},
    {"c", com::Direction::kIn, &kFullPointer},
};
constexpr com::TypeDescription kHresult{.kind = com::TypeKind::kHresult,
                                        .name = "HRESULT",
                                        .memory_size = 4,
                                        .memory_alignment = 4};
constexpr MethodDescription kAlias{
    .name = "Alias", .opnum = 3, .result = &kHresult, .params = kAliasParams};

TEST(NdrServer, FullPointersAliasByReferentId) {
  ServerCall call(&kAlias, nullptr);
  ASSERT_EQ(
      call.DecodeIn(Hex("00000200 05000000 | 00000200 | 04000200 07000000")),
      NdrStatus::kOk);
  DWORD* a = Arg<DWORD*>(call, 0);
  DWORD* b = Arg<DWORD*>(call, 1);
  DWORD* c = Arg<DWORD*>(call, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(*a, 5u);
  EXPECT_EQ(*c, 7u);
  // The encoder writes an aliased pointer's referent once.
  DWORD five = 5, seven = 7;
  DWORD* pa = &five;
  DWORD* pc = &seven;
  void* args[] = {&pa, &pa, &pc};
  std::vector<uint8_t> stub;
  ASSERT_EQ(EncodeRequest(&kAlias, args, nullptr, &stub), NdrStatus::kOk);
  EXPECT_EQ(stub, Hex("00000200 05000000 00000200 04000200 07000000"));
}

// Every described method: the client's encoding of empty arguments decodes
// on the server, every shorter stub is refused, and the server's reply
// decodes on the client.
TEST(NdrAllMethods, EveryDescribedMethodRoundTrips) {
  FakeObjrefHook hook;
  int methods = 0;
  for (const com::DescriptionTable* table : opc::DescriptionTables()) {
    for (const com::InterfaceDescription* iface : table->interfaces) {
      for (const MethodDescription& m : iface->methods) {
        if (!m.invoke) continue;
        SCOPED_TRACE(std::string(iface->name) + "::" + m.name);
        ++methods;
        size_t n = m.params.size();
        // Zeroed values; [ref] pointers point at zeroed referents.
        std::vector<std::array<uint64_t, 4>> values(n, {0, 0, 0, 0});
        std::vector<std::array<uint64_t, 4>> referents(n, {0, 0, 0, 0});
        std::vector<void*> args(n);
        static const char16_t kEmpty[] = u"";
        for (size_t i = 0; i < n; ++i) {
          const com::TypeDescription* t = m.params[i].type;
          args[i] = &values[i];
          bool ref = t->pointer == com::PointerAttribute::kRef;
          if (t->kind == com::TypeKind::kPointer && t->name &&
              std::string(t->name).rfind("REF", 0) == 0) {
            continue;  // the zeroed GUID itself
          }
          if (ref && t->kind == com::TypeKind::kWideString) {
            *reinterpret_cast<const void**>(&values[i]) = kEmpty;
          } else if (ref && t->kind == com::TypeKind::kPointer) {
            *reinterpret_cast<void**>(&values[i]) = &referents[i];
          }
        }
        std::vector<uint8_t> request;
        NdrStatus encoded = EncodeRequest(&m, args.data(), &hook, &request);
        // Only the data-object interfaces carry media this engine does not
        // marshal (STGMEDIUM, CLIPFORMAT).
        bool media =
            std::string(iface->name) == "IDataObject" ||
            std::string(iface->name) == "IAdviseSink" ||
            std::string(iface->name).find("FORMATETC") != std::string::npos ||
            std::string(iface->name).find("STATDATA") != std::string::npos;
        if (encoded == NdrStatus::kUnsupported && media) continue;
        ASSERT_EQ(encoded, NdrStatus::kOk);
        {
          ServerCall call(&m, &hook);
          ASSERT_EQ(call.DecodeIn(request), NdrStatus::kOk);
          call.set_result(S_FALSE);
          std::vector<uint8_t> reply;
          NdrStatus out = call.EncodeOut(&reply);
          if (out == NdrStatus::kUnsupported && media) continue;
          ASSERT_EQ(out, NdrStatus::kOk);
          HRESULT result = E_FAIL;
          NdrStatus decoded =
              DecodeResponse(&m, args.data(), &hook, reply, 0, &result);
          ASSERT_EQ(decoded, NdrStatus::kOk);
          EXPECT_EQ(result, S_FALSE);
          for (size_t cut = 0; cut < reply.size(); ++cut) {
            EXPECT_NE(DecodeResponse(&m, args.data(), &hook,
                                     {reply.data(), cut}, 0, &result),
                      NdrStatus::kOk);
          }
        }
        for (size_t cut = 0; cut < request.size(); ++cut) {
          ServerCall call(&m, &hook);
          EXPECT_NE(call.DecodeIn({request.data(), cut}), NdrStatus::kOk)
              << cut;
        }
      }
    }
  }
  EXPECT_GT(methods, 50);
}

}  // namespace
}  // namespace kavex::rpc
