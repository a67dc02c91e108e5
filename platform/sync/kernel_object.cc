#include "platform/sync/kernel_object.h"

#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/base/results.h"
#include "platform/sync/last_error.h"
#include "platform/sync/sync_testing.h"

namespace kavex::sync {
namespace {

// Deliberately never destroyed: threads may still close handles or wait
// while the process runs its exit handlers.
struct State {
  std::mutex mu;
  std::unordered_map<KernelObject*, std::unique_ptr<KernelObject>> live;
  std::unordered_map<std::string, KernelObject*> names;
  std::unordered_set<ThreadObject*> waiting;
};

State& GetState() {
  static State* state = new State;
  return *state;
}

}  // namespace

std::mutex& StateMutex() { return GetState().mu; }

HANDLE RegisterObjectLocked(std::unique_ptr<KernelObject> object) {
  State& state = GetState();
  KernelObject* raw = object.get();
  if (!raw->name.empty()) state.names[raw->name] = raw;
  state.live.emplace(raw, std::move(object));
  return raw;
}

KernelObject* LookupLocked(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  State& state = GetState();
  return state.live.count(handle) ? handle : nullptr;
}

KernelObject* FindNamedLocked(const std::string& name) {
  State& state = GetState();
  auto it = state.names.find(name);
  return it == state.names.end() ? nullptr : it->second;
}

void AddRefLocked(KernelObject* object) { ++object->refs; }

std::unique_ptr<KernelObject> ReleaseLocked(KernelObject* object) {
  if (--object->refs > 0) return nullptr;
  State& state = GetState();
  if (!object->name.empty()) {
    auto it = state.names.find(object->name);
    if (it != state.names.end() && it->second == object) state.names.erase(it);
  }
  if (object->kind == KernelObject::Kind::kTimer) ForgetTimerLocked(object);
  auto it = state.live.find(object);
  std::unique_ptr<KernelObject> owned = std::move(it->second);
  state.live.erase(it);
  return owned;
}

void AddWaitingThreadLocked(ThreadObject* thread) {
  GetState().waiting.insert(thread);
}

void RemoveWaitingThreadLocked(ThreadObject* thread) {
  GetState().waiting.erase(thread);
}

void NotifyClockChanged() {
  std::lock_guard<std::mutex> lock(StateMutex());
  for (ThreadObject* thread : GetState().waiting) thread->wake.notify_all();
  WakeTimerServiceLocked();
}

}  // namespace kavex::sync

void KernelObject::NotifyWaiters() {
  for (kavex::sync::ThreadObject* thread : waiters) thread->wake.notify_all();
}

BOOL CloseHandle(HANDLE handle) {
  std::unique_ptr<KernelObject> doomed;
  {
    std::lock_guard<std::mutex> lock(kavex::sync::StateMutex());
    KernelObject* object = kavex::sync::LookupLocked(handle);
    if (object == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    doomed = kavex::sync::ReleaseLocked(object);
  }
  return TRUE;
}

namespace kavex::sync {

size_t WaitingThreadCountForTesting() {
  std::lock_guard<std::mutex> lock(StateMutex());
  return GetState().waiting.size();
}

void AwaitWaitingThreadsForTesting(size_t count) {
  while (WaitingThreadCountForTesting() < count) std::this_thread::yield();
}

}  // namespace kavex::sync
