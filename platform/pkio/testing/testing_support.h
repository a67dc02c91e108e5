// Shared by the tests of the library and of its users: a private registry
// and ways to wait, with a deadline, until enough has happened.
#ifndef KAVEX_PLATFORM_PKIO_TESTING_TESTING_SUPPORT_H_
#define KAVEX_PLATFORM_PKIO_TESTING_TESTING_SUPPORT_H_

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/base/results.h"
#include "platform/pkio/frame_source.h"
#include "platform/registry/registry.h"
#include "platform/sync/apc.h"
#include "platform/sync/event.h"
#include "platform/sync/handle.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"

namespace kavex::pkio::testing {

// Points the registry at a fresh directory (once per process).
inline void UsePrivateRegistry() {
  static bool done = [] {
    char dir[] = "/tmp/pkio-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    setenv("KAVEX_REGISTRY_ROOT", dir, 1);
    return true;
  }();
  (void)done;
}

// Declares a frame-source module (see frame_source.h) in the registry.
inline bool DeclareFrameSourceModule(const std::string& name,
                                     const std::string& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFrameSourcesKey, 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG result = RegSetValueExA(
      key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
      static_cast<DWORD>(path.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

namespace internal {

// Runs completion routines in alertable waits until done() or `deadline`.
// A helper thread ends each wait every few milliseconds of real time, so
// this works under a test clock too (whose time-outs never pass by
// themselves).
inline bool PumpUntilDeadline(const std::function<bool()>& done,
                              std::chrono::steady_clock::time_point deadline) {
  HANDLE self = sync::OpenCurrentThread();
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      QueueUserAPC([](uintptr_t) {}, self, 0);
    }
  });
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    WaitForSingleObjectEx(never, 10, TRUE);
  }
  stop = true;
  ticker.join();
  SleepEx(0, TRUE);  // the ticker's last wake-ups
  CloseHandle(never);
  CloseHandle(self);
  return done();
}

}  // namespace internal

// Runs completion routines (alertable waits) until done() or a generous
// real-time bound of 30 s passed; returns done(). The bound is a deadline,
// not a count of waits: every batch of completions ends a wait early, and a
// loaded machine delivers in more, smaller batches.
inline bool PumpUntil(const std::function<bool()>& done) {
  return internal::PumpUntilDeadline(
      done, std::chrono::steady_clock::now() + std::chrono::seconds(30));
}

// Runs completion routines for `duration` of real time: gives whatever
// should not happen its chance to.
inline void PumpFor(std::chrono::milliseconds duration) {
  internal::PumpUntilDeadline([] { return false; },
                              std::chrono::steady_clock::now() + duration);
}

// Waits without running completions (another thread runs them) until
// done() or the same 30 s deadline; returns done().
inline bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Waits for a thread of the test to end, 60 s of real time at most (under
// any clock). Past that the test cannot go on safely, since the thread still
// uses its objects: the process ends with a failure instead of hanging.
inline void JoinTestThread(HANDLE thread) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "a test thread did not end within 60 s\n");
      std::abort();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  CloseHandle(thread);
}

}  // namespace kavex::pkio::testing

#endif  // KAVEX_PLATFORM_PKIO_TESTING_TESTING_SUPPORT_H_
