// Shared by the library's tests: a private registry with simulated adapters
// and a way to run completions until enough have arrived.
#ifndef KAVEX_PLATFORM_PKIO_TESTING_SUPPORT_H_
#define KAVEX_PLATFORM_PKIO_TESTING_SUPPORT_H_

#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "platform/base/results.h"
#include "platform/registry/registry.h"
#include "platform/sync/event.h"
#include "platform/sync/handle.h"
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

// Declares (or replaces) a simulated adapter.
inline void DeclareSimulatedAdapter(const std::string& name,
                                    const std::string& scenario,
                                    const std::string& description = "") {
  UsePrivateRegistry();
  std::string path = "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\" + name;
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  auto set = [key](const char* value, const std::string& text) {
    ASSERT_EQ(RegSetValueExA(key, value, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
  };
  set("Scenario", scenario);
  if (!description.empty()) set("Description", description);
  set("Address", "02.00.00.00.00.42");
  RegCloseKey(key);
}

// Runs completion routines (alertable waits) until done() or a generous
// real-time bound of 30 s passed; returns done(). The bound is a deadline,
// not a count of waits: every batch of completions ends a wait early, and a
// loaded machine delivers in more, smaller batches.
inline bool PumpUntil(const std::function<bool()>& done) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    WaitForSingleObjectEx(never, 10, TRUE);
  }
  CloseHandle(never);
  return done();
}

}  // namespace kavex::pkio::testing

#endif  // KAVEX_PLATFORM_PKIO_TESTING_SUPPORT_H_
