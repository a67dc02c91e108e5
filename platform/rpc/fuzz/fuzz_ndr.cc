// NDR decoding of every described method's [in] parameters (the server
// side) and of its reply (the client side). Input: the method's index
// (2 bytes, little-endian, modulo the number of methods), then stub data.
#include <array>
#include <cstdint>
#include <cstring>

#include "platform/rpc/fuzz/fuzz_support.h"
#include "platform/rpc/ndr.h"

using kavex::rpc::NdrStatus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto& methods = kavex::rpc::fuzz::Methods();
  const kavex::com::MethodDescription* m =
      methods[(data[0] | data[1] << 8) % methods.size()];
  std::span<const uint8_t> stub(data + 2, size - 2);
  kavex::rpc::fuzz::DummyHook hook;
  kavex::rpc::NdrLimits limits;
  limits.max_allocation = 1 << 20;
  {
    kavex::rpc::ServerCall call(m, &hook, limits);
    if (call.DecodeIn(stub) == NdrStatus::kOk) {
      call.set_result(S_OK);
      std::vector<uint8_t> out;
      call.EncodeOut(&out);
    }
  }
  // The same bytes as a reply, into zeroed caller memory.
  size_t n = m->params.size();
  std::vector<std::array<uint64_t, 2>> values(n, {0, 0});
  std::vector<std::array<uint64_t, 8>> targets(n);
  std::vector<void*> args(n);
  for (size_t i = 0; i < n; ++i) {
    targets[i].fill(0);
    values[i][0] = reinterpret_cast<uint64_t>(&targets[i]);
    args[i] = &values[i];
  }
  HRESULT result = S_OK;
  if (kavex::rpc::DecodeResponse(m, args.data(), &hook, stub, 0, &result,
                                 limits) == NdrStatus::kOk) {
    for (size_t i = 0; i < n; ++i) {
      const kavex::com::ParamDescription& p = m->params[i];
      if (!kavex::com::IsOut(p.direction)) continue;
      const kavex::com::TypeDescription* e = p.type->element;
      if (e && e->kind != kavex::com::TypeKind::kConformantArray &&
          e->kind != kavex::com::TypeKind::kConformantVaryingArray) {
        kavex::rpc::FreeOwnedMemory(m, args.data(), e, &targets[i]);
      }
    }
  }
  return 0;
}
