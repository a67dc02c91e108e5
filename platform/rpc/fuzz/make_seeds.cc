// Writes the NDR seeds: for every described method, the request a client
// encodes from empty arguments and the reply the server encodes for it,
// each after the method's index. Usage: rpc_fuzz_seeds DIRECTORY
#include <cstdio>
#include <string>

#include "platform/rpc/fuzz/fuzz_support.h"
#include "platform/rpc/ndr.h"

namespace {

void Write(const std::string& path, uint16_t index,
           const std::vector<uint8_t>& stub) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  uint8_t prefix[2] = {static_cast<uint8_t>(index),
                       static_cast<uint8_t>(index >> 8)};
  fwrite(prefix, 1, 2, f);
  fwrite(stub.data(), 1, stub.size(), f);
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  const auto& methods = kavex::rpc::fuzz::Methods();
  kavex::rpc::fuzz::DummyHook hook;
  for (size_t index = 0; index < methods.size(); ++index) {
    const kavex::com::MethodDescription* m = methods[index];
    size_t n = m->params.size();
    std::vector<std::array<uint64_t, 4>> values(n, {0, 0, 0, 0});
    std::vector<std::array<uint64_t, 4>> referents(n, {0, 0, 0, 0});
    std::vector<void*> args(n);
    static const char16_t kText[] = u"Plant.Line.P1";
    for (size_t i = 0; i < n; ++i) {
      const kavex::com::TypeDescription* t = m->params[i].type;
      args[i] = &values[i];
      bool ref = t->pointer == kavex::com::PointerAttribute::kRef;
      if (t->kind == kavex::com::TypeKind::kPointer && t->name &&
          std::string(t->name).rfind("REF", 0) == 0) {
        continue;
      }
      if (ref && t->kind == kavex::com::TypeKind::kWideString) {
        *reinterpret_cast<const void**>(&values[i]) = kText;
      } else if (ref && t->kind == kavex::com::TypeKind::kPointer) {
        *reinterpret_cast<void**>(&values[i]) = &referents[i];
      }
    }
    std::vector<uint8_t> request;
    if (kavex::rpc::EncodeRequest(m, args.data(), &hook, &request) !=
        kavex::rpc::NdrStatus::kOk) {
      continue;
    }
    std::string stem = dir + "/" + std::to_string(index) + "_" + m->name;
    Write(stem + "_in", static_cast<uint16_t>(index), request);
    kavex::rpc::ServerCall call(m, &hook);
    if (call.DecodeIn(request) != kavex::rpc::NdrStatus::kOk) continue;
    call.set_result(S_OK);
    std::vector<uint8_t> reply;
    if (call.EncodeOut(&reply) == kavex::rpc::NdrStatus::kOk) {
      Write(stem + "_out", static_cast<uint16_t>(index), reply);
    }
  }
  return 0;
}
