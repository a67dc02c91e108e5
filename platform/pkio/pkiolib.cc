// The exported C functions: handle tables in front of adapters and
// enumerations.
#include "platform/pkio/pkiolib.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/pkio/adapter.h"
#include "platform/pkio/adapter_list.h"
#include "platform/pkio/frame_source.h"
#include "platform/pkio/last_error.h"
#include "platform/pkio/post_read.h"
#include "platform/sync/event.h"

namespace kavex::pkio {
namespace {

constexpr char kCategory[] = "pkio";

struct Enumeration {
  std::vector<AdapterInfo> adapters;
  size_t next = 0;
};

// Each kind of handle has a range of numbers of its own, so a handle of
// one kind never finds an object of another. Within its range a number is
// given out again only after the whole range went round (and never while
// it is in use), so a stale handle finds nothing.
template <typename T>
class HandleTable {
 public:
  explicit HandleTable(PKIO_HANDLE first) : first_(first), next_(first) {}

  PKIO_HANDLE Add(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mu_);
    PKIO_HANDLE handle;
    do {
      handle = next_;
      next_ = next_ + 1 == first_ + kRange ? first_ : next_ + 1;
    } while (objects_.count(handle) != 0);
    objects_.emplace(handle, std::move(object));
    return handle;
  }
  std::shared_ptr<T> Find(PKIO_HANDLE handle) {
    if (!InRange(handle)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> Remove(PKIO_HANDLE handle) {
    if (!InRange(handle)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  static constexpr PKIO_HANDLE kRange = 0x00FFFFFF;
  bool InRange(PKIO_HANDLE handle) const {
    return handle >= first_ && handle < first_ + kRange;
  }
  const PKIO_HANDLE first_;
  std::mutex mu_;
  std::unordered_map<PKIO_HANDLE, std::shared_ptr<T>> objects_;
  PKIO_HANDLE next_;
};

// Process-wide tables; never destroyed, so that a late call during exit
// finds an empty table rather than a dead one.
HandleTable<Adapter>& Adapters() {
  static auto* table = new HandleTable<Adapter>(0x01000000);
  return *table;
}
HandleTable<Enumeration>& Enumerations() {
  static auto* table = new HandleTable<Enumeration>(0x02000000);
  return *table;
}
HandleTable<AdapterInfo>& Entries() {
  static auto* table = new HandleTable<AdapterInfo>(0x03000000);
  return *table;
}

class ProtocolDriver : public Adapter {
 public:
  ProtocolDriver() : Adapter(Mode::kProtocolDriver, "\\Device\\Pkiondis") {}

 protected:
  bool ApplyBpf(std::span<const bpf_insn>, std::string* reason) override {
    *reason = "the protocol driver handle receives nothing";
    return false;
  }
  bool ApplyPacketFilter(DWORD, std::string* reason) override {
    *reason = "the protocol driver handle receives nothing";
    return false;
  }
  bool SendFrame(const uint8_t*, uint32_t, std::string* reason) override {
    *reason = "the protocol driver handle sends nothing";
    return false;
  }
  AdapterProperties Properties() override { return {}; }
};

std::shared_ptr<Adapter> FindAdapter(PKIO_HANDLE handle) {
  std::shared_ptr<Adapter> adapter = Adapters().Find(handle);
  if (!adapter) SetError(ERROR_INVALID_HANDLE, "not an open adapter handle");
  return adapter;
}

PKIO_HANDLE AddAdapter(std::shared_ptr<Adapter> adapter) {
  Adapter* raw = adapter.get();
  PKIO_HANDLE handle = Adapters().Add(std::move(adapter));
  // No routine of the adapter can run before its first read is posted,
  // which needs this handle.
  raw->set_handle(handle);
  return handle;
}

PKIO_HANDLE Open(const char* ndis_name, Adapter::Mode mode) {
  if (ndis_name == nullptr || ndis_name[0] == '\0') {
    SetError(ERROR_INVALID_PARAMETER, "no adapter name");
    log::Logf(log::Level::kWarning, kCategory,
              "cannot open an adapter: no adapter name");
    return PKIO_INVALID_HANDLE;
  }
  const std::string name = ndis_name;
  std::unique_ptr<Adapter> adapter;
  if (const FrameSourceType* source = FindFrameSource(name)) {
    DWORD error = ERROR_GEN_FAILURE;
    std::string reason;
    adapter = source->open(mode, name, &error, &reason);
    if (!adapter) SetError(error, reason);
  } else {
    SetError(ERROR_FILE_NOT_FOUND,
             "\"" + name + "\" is not an adapter name (\\Device\\<interface>)");
  }
  if (!adapter) {
    log::Logf(log::Level::kWarning, kCategory, "cannot open %s: %s", ndis_name,
              LastErrorMessage());
    return PKIO_INVALID_HANDLE;
  }
  SetError(ERROR_SUCCESS);
  return AddAdapter(std::move(adapter));
}

BOOL CloseAdapter(PKIO_HANDLE handle) {
  std::shared_ptr<Adapter> adapter = Adapters().Remove(handle);
  if (!adapter) {
    SetError(ERROR_INVALID_HANDLE, "not an open adapter handle");
    return FALSE;
  }
  adapter->Close();
  return TRUE;
}

void SignalDone(OVERLAPPED* overlapped) {
  if (overlapped != nullptr && overlapped->hEvent != nullptr) {
    SetEvent(overlapped->hEvent);
  }
}

DWORD CopyName(const std::string& name, char* buffer, DWORD* size) {
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(buffer, name.c_str(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

PKIO_HANDLE NextEntry(PKIO_HANDLE enumeration, bool first) {
  std::shared_ptr<Enumeration> e = Enumerations().Find(enumeration);
  if (!e) {
    SetError(ERROR_INVALID_HANDLE, "not an adapter enumeration handle");
    return PKIO_INVALID_HANDLE;
  }
  if (first) e->next = 0;
  if (e->next >= e->adapters.size()) {
    SetError(ERROR_NO_MORE_ITEMS);
    return PKIO_INVALID_HANDLE;
  }
  return Entries().Add(std::make_shared<AdapterInfo>(e->adapters[e->next++]));
}

}  // namespace

DWORD PostPacketRead(PKIO_HANDLE handle, PKIO_PACKET* packet,
                     OVERLAPPED* overlapped,
                     LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  CompletionQueue* queue = nullptr;
  if (Adapter* running = Adapter::RunningOnThisThread(handle, &queue)) {
    return running->PostRead(packet, overlapped, routine, queue);
  }
  auto adapter = FindAdapter(handle);
  return adapter ? adapter->PostRead(packet, overlapped, routine)
                 : static_cast<DWORD>(ERROR_INVALID_HANDLE);
}

NDIS_STATUS QueryBindingList(PKIO_NDIS_REQUEST* request) {
  std::vector<AdapterInfo> adapters = EnumerateAdapters();
  std::vector<uint8_t> answer((adapters.size() + 1) *
                              sizeof(PKIO_BINDING_RECORD));
  for (size_t i = 0; i < adapters.size(); ++i) {
    PKIO_BINDING_RECORD record{adapters[i].binding_flags, static_cast<DWORD>(i),
                               static_cast<DWORD>(answer.size())};
    memcpy(&answer[i * sizeof record], &record, sizeof record);
    const std::string& name = adapters[i].ndis_name;
    answer.insert(answer.end(), name.begin(), name.end());
    answer.push_back('\0');
  }
  return AnswerQuery(request, answer.data(), static_cast<DWORD>(answer.size()),
                     NDIS_STATUS_BUFFER_TOO_SHORT);
}

}  // namespace kavex::pkio

extern "C" {

PKIO_HANDLE Pkio_OpenAdapterEnum() {
  auto e = std::make_shared<kavex::pkio::Enumeration>();
  e->adapters = kavex::pkio::EnumerateAdapters();
  return kavex::pkio::Enumerations().Add(std::move(e));
}

BOOL Pkio_CloseAdapterEnum(PKIO_HANDLE enumeration) {
  if (!kavex::pkio::Enumerations().Remove(enumeration)) {
    kavex::pkio::SetError(ERROR_INVALID_HANDLE,
                          "not an adapter enumeration handle");
    return FALSE;
  }
  return TRUE;
}

PKIO_HANDLE Pkio_GetFirstAdapter(PKIO_HANDLE enumeration) {
  return kavex::pkio::NextEntry(enumeration, true);
}

PKIO_HANDLE Pkio_GetNextAdapter(PKIO_HANDLE enumeration) {
  return kavex::pkio::NextEntry(enumeration, false);
}

BOOL Pkio_ReleaseAdapterEntry(PKIO_HANDLE entry) {
  if (!kavex::pkio::Entries().Remove(entry)) {
    kavex::pkio::SetError(ERROR_INVALID_HANDLE, "not an adapter entry handle");
    return FALSE;
  }
  return TRUE;
}

DWORD Pkio_GetAdapterFriendlyNameA(PKIO_HANDLE entry, char* buffer,
                                   DWORD* size) {
  auto info = kavex::pkio::Entries().Find(entry);
  if (!info) return ERROR_INVALID_HANDLE;
  return kavex::pkio::CopyName(info->friendly_name, buffer, size);
}

DWORD Pkio_GetAdapterNdisNameA(PKIO_HANDLE entry, char* buffer, DWORD* size) {
  auto info = kavex::pkio::Entries().Find(entry);
  if (!info) return ERROR_INVALID_HANDLE;
  return kavex::pkio::CopyName(info->ndis_name, buffer, size);
}

BOOL Pkio_GetOsVersionA(PKIO_OS_VERSION* version) {
  if (version == nullptr) {
    kavex::pkio::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  utsname u{};
  uname(&u);
  *version = {};
  version->dwOSVersionInfoSize = sizeof *version;
  unsigned major = 0, minor = 0, build = 0;
  sscanf(u.release, "%u.%u.%u", &major, &minor, &build);
  version->dwMajorVersion = major;
  version->dwMinorVersion = minor;
  version->dwBuildNumber = build;
  version->dwPlatformId = 2;
  std::string csd = std::string(u.sysname) + " " + u.machine;
  snprintf(version->szCSDVersion, sizeof version->szCSDVersion, "%s",
           csd.c_str());
  return TRUE;
}

const char* Pkio_GetPlatformNameA(const PKIO_OS_VERSION* version) {
  thread_local char text[192];
  if (version == nullptr) return "Unknown";
  snprintf(text, sizeof text, "%s %u.%u.%u",
           version->szCSDVersion[0] ? version->szCSDVersion : "Linux",
           version->dwMajorVersion, version->dwMinorVersion,
           version->dwBuildNumber);
  return text;
}

PKIO_HANDLE Pkio_OpenAdapterA(const char* ndis_name) {
  return kavex::pkio::Open(ndis_name, kavex::pkio::Adapter::Mode::kSingle);
}

PKIO_HANDLE Pkio_OpenProtocolDriver() {
  return kavex::pkio::AddAdapter(
      std::make_shared<kavex::pkio::ProtocolDriver>());
}

BOOL Pkio_CloseAdapter(PKIO_HANDLE adapter) {
  return kavex::pkio::CloseAdapter(adapter);
}

DWORD Pkio_GetLastError() { return kavex::pkio::LastError(); }
const char* Pkio_GetLastErrorMessageA() {
  return kavex::pkio::LastErrorMessage();
}
BOOL Pkio_IsWindows95() { return FALSE; }
BOOL Pkio_IsWindowsNT() { return TRUE; }

BOOL Pkio_SetBPFProgram(PKIO_HANDLE handle, const void* program,
                        DWORD length_bytes) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  return adapter ? adapter->SetBpfProgram(program, length_bytes) : FALSE;
}

BOOL Pkio_SetTimestampResolution(PKIO_HANDLE handle, DWORD resolution) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  return adapter ? adapter->SetTimestampResolution(resolution) : FALSE;
}

BOOL Pkio_GetTimestampInformation(PKIO_HANDLE handle,
                                  PKIO_TIMESTAMP_INFO* info) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  return adapter ? adapter->GetTimestampInformation(info) : FALSE;
}

BOOL Pkio_DisableLoopback(PKIO_HANDLE handle, DWORD offset, DWORD length,
                          const BYTE* address) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  return adapter ? adapter->DisableLoopback(offset, length, address) : FALSE;
}

NDIS_STATUS Pkio_MakeNdisRequest(PKIO_HANDLE handle, PKIO_NDIS_REQUEST* request,
                                 OVERLAPPED* overlapped, BOOL /*wait*/) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  if (!adapter) return NDIS_STATUS_ADAPTER_REMOVED;
  NDIS_STATUS status = adapter->Request(request);
  kavex::pkio::SignalDone(overlapped);
  return status;
}

NDIS_STATUS Pkio_MakePrivateRequest(PKIO_HANDLE handle,
                                    PKIO_NDIS_REQUEST* request,
                                    OVERLAPPED* overlapped, BOOL /*wait*/) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  if (!adapter) return NDIS_STATUS_ADAPTER_REMOVED;
  NDIS_STATUS status = adapter->PrivateRequest(request);
  kavex::pkio::SignalDone(overlapped);
  return status;
}

BOOL Pkio_PacketReadEx(PKIO_HANDLE handle, PKIO_PACKET* packet, DWORD /*flags*/,
                       OVERLAPPED* overlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (kavex::pkio::PostPacketRead(handle, packet, overlapped, routine) ==
      static_cast<DWORD>(ERROR_IO_PENDING)) {
    kavex::pkio::SetError(ERROR_IO_PENDING);
  }
  return FALSE;
}

BOOL Pkio_CancelPacketRead(PKIO_HANDLE handle, OVERLAPPED* overlapped) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  return adapter ? adapter->Cancel(overlapped) : FALSE;
}

BOOL Pkio_PacketSend(PKIO_HANDLE handle, const void* frame, DWORD length,
                     OVERLAPPED* overlapped) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  if (!adapter || !adapter->Send(frame, length)) return FALSE;
  kavex::pkio::SignalDone(overlapped);
  return TRUE;
}

BOOL Pkio_PacketSendEx(PKIO_HANDLE handle, const void* frame, DWORD length,
                       OVERLAPPED* overlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  return adapter ? adapter->SendEx(frame, length, overlapped, routine) : FALSE;
}

PKIO_HANDLE MPR_OpenAdapterA(const char* ndis_name) {
  return kavex::pkio::Open(ndis_name, kavex::pkio::Adapter::Mode::kMulti);
}

BOOL MPR_CloseAdapter(PKIO_HANDLE adapter) {
  return kavex::pkio::CloseAdapter(adapter);
}

BOOL MPR_SetReadTimeout(PKIO_HANDLE handle, DWORD timeout_ms) {
  auto adapter = kavex::pkio::FindAdapter(handle);
  if (!adapter) return FALSE;
  adapter->SetReadTimeout(timeout_ms);
  return TRUE;
}

BOOL MPR_ReadPacketBufferEx(PKIO_HANDLE handle, MPR_PACKET_BUFFER* buffer,
                            OVERLAPPED* overlapped,
                            LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  kavex::pkio::CompletionQueue* queue = nullptr;
  DWORD error = ERROR_INVALID_HANDLE;
  if (kavex::pkio::Adapter* running =
          kavex::pkio::Adapter::RunningOnThisThread(handle, &queue)) {
    error = running->PostMultiRead(buffer, overlapped, routine, queue);
  } else if (auto adapter = kavex::pkio::FindAdapter(handle)) {
    error = adapter->PostMultiRead(buffer, overlapped, routine);
  }
  if (error == static_cast<DWORD>(ERROR_IO_PENDING)) {
    kavex::pkio::SetError(ERROR_IO_PENDING);
  }
  return FALSE;
}

}  // extern "C"
