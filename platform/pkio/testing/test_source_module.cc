// A frame-source module for the tests of module loading: it lists
// "\Device\Module\one" and "\Device\Module\two" and opens neither, with an
// error of its own, so that a test can tell the module answered.
#include "platform/pkio/frame_source.h"

namespace kavex::pkio::testing {
namespace {

void Enumerate(std::vector<AdapterListing>* adapters) {
  adapters->push_back({"\\Device\\Module\\one", "Module adapter one"});
  adapters->push_back({"\\Device\\Module\\two", "Module adapter two"});
}

std::unique_ptr<Adapter> Open(Adapter::Mode, const std::string& ndis_name,
                              DWORD* error, std::string* reason) {
  *error = 1167;  // ERROR_DEVICE_NOT_CONNECTED
  *reason = "the test module opens nothing (" + ndis_name + ")";
  return nullptr;
}

const FrameSourceType kModuleSource = {"the test module", "\\Device\\Module\\",
                                       PKIO_BINDING_USER, &Enumerate, &Open};

}  // namespace
}  // namespace kavex::pkio::testing

extern "C" __attribute__((visibility("default")))
const kavex::pkio::FrameSourceType*
Pkio_GetFrameSource(DWORD version) {
  return version == kavex::pkio::kFrameSourceVersion
             ? &kavex::pkio::testing::kModuleSource
             : nullptr;
}
