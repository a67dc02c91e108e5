#include "platform/sync/event.h"

#include "platform/base/results.h"
#include "platform/sync/kernel_object.h"
#include "platform/sync/last_error.h"

namespace kavex::sync {
namespace {

BOOL SetEventState(HANDLE handle, bool signaled) {
  std::lock_guard<std::mutex> lock(StateMutex());
  KernelObject* object = LookupLocked(handle);
  if (object == nullptr || object->kind != KernelObject::Kind::kEvent) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->signaled = signaled;
  if (signaled) object->NotifyWaiters();
  return TRUE;
}

}  // namespace
}  // namespace kavex::sync

HANDLE CreateEventA(void* /*security*/, BOOL manual_reset, BOOL initial_state,
                    const char* name) {
  using namespace kavex::sync;
  std::lock_guard<std::mutex> lock(StateMutex());
  if (name != nullptr && *name != '\0') {
    if (KernelObject* existing = FindNamedLocked(name)) {
      if (existing->kind != KernelObject::Kind::kEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      AddRefLocked(existing);
      SetLastError(ERROR_ALREADY_EXISTS);
      return existing;
    }
  }
  auto event = std::make_unique<KernelObject>(KernelObject::Kind::kEvent,
                                              manual_reset != FALSE);
  event->signaled = initial_state != FALSE;
  if (name != nullptr) event->name = name;
  SetLastError(0);
  return RegisterObjectLocked(std::move(event));
}

BOOL SetEvent(HANDLE event) { return kavex::sync::SetEventState(event, true); }

BOOL ResetEvent(HANDLE event) {
  return kavex::sync::SetEventState(event, false);
}
