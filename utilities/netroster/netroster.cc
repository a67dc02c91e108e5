#include "utilities/netroster/netroster.h"

#include <cstring>

#include "platform/base/unique_handle.h"
#include "platform/sync/event.h"
#include "utilities/common/version.h"

namespace kavex::utilities {
namespace {

constexpr size_t kRecordSize = sizeof(PKIO_BINDING_RECORD);
static_assert(kRecordSize == 12);

const char kNotice[] =
    "Lists the network adapters the packet driver is bound to.\n";

void PrintHelp(FILE* out) {
  fputs("Usage: netroster\n", out);
  fputs(kNotice, out);
}

}  // namespace

std::vector<Binding> ParseBindingList(const BYTE* answer, size_t size) {
  std::vector<Binding> bindings;
  for (size_t at = 0; at + kRecordSize <= size; at += kRecordSize) {
    PKIO_BINDING_RECORD record;
    memcpy(&record, answer + at, kRecordSize);
    if (record.Flags == 0) break;
    Binding binding{record.Flags, {}};
    if (record.NameOffset < size) {
      const char* name =
          reinterpret_cast<const char*>(answer) + record.NameOffset;
      binding.name.assign(name, strnlen(name, size - record.NameOffset));
    }
    bindings.push_back(std::move(binding));
  }
  return bindings;
}

int RunNetroster(const PkioApi& api, Console& console, int argc, char** argv) {
  FILE* out = console.out();
  if (AnswerHelpOrVersion(argc, argv, "netroster", PrintHelp, out)) return 0;
  fprintf(out, "Wirebay Bound Adapter List Utility V%s\n",
          VersionText().c_str());
  fputs(kNotice, out);

  const PKIO_HANDLE driver = api.OpenProtocolDriver();
  if (driver == PKIO_INVALID_HANDLE) {
    fputs("Could Not Open Protocol Driver\n", out);
    return 0;
  }
  kavex::UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!event) {
    api.CloseAdapter(driver);
    fputs("Could Not Create Event\n", out);
    return 0;
  }
  fputs(" Adapters Bound To PKIONDIS\n\n", out);

  std::vector<BYTE> answer(kBindingListSize, 0);
  DWORD written = 0;
  int count = 0;
  if (Request{api, driver, event.get()}.QueryDriver(
          OID_PKIO_BINDING_LIST, answer.data(), kBindingListSize, &written) ==
      NDIS_STATUS_SUCCESS) {
    const size_t size = std::min<size_t>(written, kBindingListSize);
    for (const Binding& binding : ParseBindingList(answer.data(), size)) {
      if (binding.flags & PKIO_BINDING_SYSTEM) {
        fprintf(out, "System Binding: \"%s\"\n", binding.name.c_str());
      }
      if (binding.flags & PKIO_BINDING_USER) {
        fprintf(out, "  User Binding: \"%s\"\n", binding.name.c_str());
      }
      ++count;
    }
  }
  fprintf(out, "        %d Adapter(s)\n", count);
  event.reset();
  api.CloseAdapter(driver);
  fflush(out);
  return 0;
}

}  // namespace kavex::utilities
