#include "utilities/sendprobe/sendprobe.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/base/results.h"
#include "platform/base/unique_handle.h"
#include "platform/sync/event.h"
#include "platform/sync/last_error.h"
#include "platform/sync/wait.h"
#include "utilities/common/adapter_info.h"
#include "utilities/common/version.h"

namespace kavex::utilities {
namespace {

// The version this program has always shown, whatever the build.
constexpr char kSendprobeVersion[] = "5.03.16.54";
const char kNotice[] =
    "Sends one broadcast test frame on every adapter the packet driver "
    "offers.\n";

void PrintHelp(FILE* out) {
  fputs("Usage: sendprobe\n", out);
  fputs(kNotice, out);
}

// Closes an adapter handle of the driver when it goes.
class AdapterHandle {
 public:
  AdapterHandle(const PkioApi& api, PKIO_HANDLE handle)
      : api_(api), handle_(handle) {}
  ~AdapterHandle() {
    if (handle_ != PKIO_INVALID_HANDLE) api_.CloseAdapter(handle_);
  }
  AdapterHandle(const AdapterHandle&) = delete;
  AdapterHandle& operator=(const AdapterHandle&) = delete;
  PKIO_HANDLE get() const { return handle_; }

 private:
  const PkioApi& api_;
  const PKIO_HANDLE handle_;
};

}  // namespace

void FillSendprobeFrame(BYTE frame[kSendprobeFrameLength]) {
  memset(frame, 0x5A, kSendprobeFrameLength);
  memcpy(frame + 14, kSendprobeMessage, sizeof kSendprobeMessage);
  memset(frame, 0xFF, 6);
  memset(frame + 6, 0, 6);
  frame[12] = 0x60;
  frame[13] = 0x00;
}

void SendTestFrame(const PkioApi& api, const char* ndis_name, FILE* out) {
  const AdapterHandle adapter(api, api.OpenAdapterA(ndis_name));
  if (adapter.get() == PKIO_INVALID_HANDLE) {
    const DWORD error = api.GetLastError();
    fprintf(out, "Wirebay Could Not Open Adapter; Error 0x%8.8X\n", error);
    PrintPrivilegeHint(error, out);
    return;
  }
  const kavex::UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!event) {
    fprintf(out, "Could Not Create Event; Error 0x%8.8X\n", api.GetLastError());
    return;
  }
  BYTE frame[kSendprobeFrameLength];
  FillSendprobeFrame(frame);
  // Left zero when the adapter does not tell its address.
  Request{api, adapter.get(), nullptr}.Query(OID_802_3_CURRENT_ADDRESS,
                                             frame + 6, 6);

  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (api.PacketSend(adapter.get(), frame, kSendprobeFrameLength,
                     &overlapped)) {
    fputs("SENT (Immediate)\n", out);
    return;
  }
  const DWORD error = api.GetLastError();
  if (error != static_cast<DWORD>(ERROR_IO_PENDING)) {
    fprintf(out, "Pkio_PacketSend Failed; Error: 0x%8.8X\n", error);
    return;
  }
  const DWORD result =
      WaitForSingleObjectEx(event.get(), kSendprobeWaitMs, TRUE);
  switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_IO_COMPLETION:
      fputs("SENT\n", out);
      break;
    case WAIT_TIMEOUT:
      fputs("SEND Timeout\n", out);
      break;
    case WAIT_FAILED:
      fprintf(out, "Send FAILED; Error: %d\n",
              static_cast<int>(GetLastError()));
      break;
    default:
      fprintf(out, "Wait Result: %d\n", static_cast<int>(result));
      break;
  }
}

int RunSendprobe(const PkioApi& api, Console& console, int argc, char** argv) {
  FILE* out = console.out();
  if (AnswerHelpOrVersion(argc, argv, "sendprobe", PrintHelp, out)) return 0;
  fprintf(out, "Wirebay Sendprobe Test V%s.\n", kSendprobeVersion);
  fputs(kNotice, out);
  PKIO_OS_VERSION version{};
  version.dwOSVersionInfoSize = sizeof version;
  api.GetOsVersionA(&version);
  fprintf(out, "Platform   : %s\n", api.GetPlatformNameA(&version));
  fputs("Coding     : ANSI\n\n", out);

  const PKIO_HANDLE enumeration = api.OpenAdapterEnum();
  if (enumeration == PKIO_INVALID_HANDLE) {
    fputs("Could Not Open Mac Enumeration Handle\n", out);
    return 0;
  }
  for (PKIO_HANDLE entry = api.GetFirstAdapter(enumeration);
       entry != PKIO_INVALID_HANDLE; entry = api.GetNextAdapter(enumeration)) {
    DWORD size = 0;
    const DWORD asked = api.GetAdapterNdisNameA(entry, nullptr, &size);
    std::unique_ptr<char[]> name;
    bool named = false;
    bool allocation_failed = false;
    if (asked == 0 || asked == static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) {
      name.reset(new (std::nothrow) char[size == 0 ? 1 : size]);
      if (!name) {
        fputs("   Adapter Ndis Name Unknown (malloc failure)\n", out);
        allocation_failed = true;
      }
    }
    if (name) {
      DWORD got = size;
      if (api.GetAdapterNdisNameA(entry, name.get(), &got) == 0 && got >= 1 &&
          got <= size) {
        name[got - 1] = '\0';  // the driver's NUL, or the text cut there
        named = true;
      }
    }
    if (named) {
      fprintf(out, "   \"%s\"\n", name.get());
      fflush(out);
      SendTestFrame(api, name.get(), out);
    } else if (!allocation_failed) {
      fputs("   Adapter Ndis Name Unknown\n", out);
    }
    name.reset();
    api.ReleaseAdapterEntry(entry);
    fputs("\n", out);
  }
  api.CloseAdapterEnum(enumeration);
  fflush(out);
  return 0;
}

}  // namespace kavex::utilities
