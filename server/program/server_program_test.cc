// The program run as the service manager runs it: the mode read from the
// AppID, the service's events and states, and a failing start-up.
#include "server/program/server_program.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/service/event_log.h"
#include "platform/service/service_dispatcher.h"
#include "platform/service/service_manager.h"
#include "platform/service/testing_support.h"
#include "server/objects/process_state.h"
#include "server/objects/testing/scripted_device.h"
#include "server/program/registration.h"
#include "server/program/server_loop.h"

namespace kavex::server {
namespace {

using Clock = std::chrono::steady_clock;
using service::PostServiceControl;

class ServerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetServerLoopForTesting();
    setenv("KAVEX_SERVICE_MANAGER", ("fake:" + services_.path()).c_str(), 1);
    // As started by systemd (no notification socket: nothing to tell).
    setenv("INVOCATION_ID", "0123456789abcdef", 1);
    unsetenv("NOTIFY_SOCKET");
    options_.create_device = [this] {
      if (FAILED(device_result_)) return device_result_;
      com::ComPtr<testing::ScriptedDevice> device;
      HRESULT hr = testing::ScriptedDevice::CreateInstance(&device);
      if (SUCCEEDED(hr)) SetProcessDevice(device.Get());
      return hr;
    };
    SetServiceLoopOptionsForTesting(&options_);
  }
  void TearDown() override {
    SetServiceLoopOptionsForTesting(nullptr);
    unsetenv("INVOCATION_ID");
    unsetenv("KAVEX_SERVICE_MANAGER");
  }

  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const service::EventRecord& r : events_.records()) {
      EXPECT_EQ(r.source, "Kavex OPC Server");
      EXPECT_EQ(r.type, EVENTLOG_INFORMATION_TYPE);
      EXPECT_EQ(r.event_id, 0u);
      out.push_back(r.message);
    }
    return out;
  }
  bool WaitForMessages(size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (events_.records().size() < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  com::ScopedRegistryRootForTest registry_;
  service::testing::TempDir services_;
  service::RecordingEventLog events_;
  ServerLoopOptions options_;
  HRESULT device_result_ = S_OK;
};

const char* const kNoArguments[] = {"kavex-opc-server"};

TEST_F(ServerProgramTest, ModeComesFromTheAppId) {
  bool service_mode = true;
  EXPECT_EQ(ReadServiceMode(&service_mode), ERROR_FILE_NOT_FOUND);
  // Not registered: the program ends with the error opening the key.
  EXPECT_EQ(RunServerProgram(1, kNoArguments),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(RegisterServerProgram("/usr/sbin/kavex-opc-server", false), S_OK);
  EXPECT_EQ(ReadServiceMode(&service_mode), ERROR_SUCCESS);
  EXPECT_FALSE(service_mode);
  ASSERT_EQ(RegisterServerProgram("/usr/sbin/kavex-opc-server", true), S_OK);
  EXPECT_EQ(ReadServiceMode(&service_mode), ERROR_SUCCESS);
  EXPECT_TRUE(service_mode);
}

TEST_F(ServerProgramTest, ServiceRunsUntilTheStopControl) {
  ASSERT_EQ(RegisterServerProgram("/usr/sbin/kavex-opc-server", true), S_OK);
  std::atomic<HRESULT> result{E_UNEXPECTED};
  std::atomic<bool> returned{false};
  std::thread program([&] {
    result = RunServerProgram(1, kNoArguments);
    returned = true;
  });
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Service started"});
  // Controls other than stop change nothing; unknown ones are logged.
  EXPECT_TRUE(PostServiceControl(SERVICE_CONTROL_PAUSE));
  EXPECT_TRUE(PostServiceControl(SERVICE_CONTROL_INTERROGATE));
  EXPECT_TRUE(PostServiceControl(SERVICE_CONTROL_SHUTDOWN));
  EXPECT_TRUE(PostServiceControl(200));
  ASSERT_TRUE(WaitForMessages(2));
  EXPECT_FALSE(returned);
  EXPECT_TRUE(PostServiceControl(SERVICE_CONTROL_STOP));
  program.join();
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"Service started", "Bad service request",
                                      "Service stopped"}));
  EXPECT_EQ(ProcessDevice(), nullptr);
}

TEST_F(ServerProgramTest, ADeviceThatFailsStopsTheServiceWithItsResult) {
  ASSERT_EQ(RegisterServerProgram("/usr/sbin/kavex-opc-server", true), S_OK);
  device_result_ = REGDB_E_CLASSNOTREG;
  EXPECT_EQ(RunServerProgram(1, kNoArguments), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Messages(), std::vector<std::string>{"Service stopped"});
}

TEST_F(ServerProgramTest, ExitStatusIsNeverZeroForAFailure) {
  EXPECT_EQ(ExitStatusFor(S_OK), 0);
  EXPECT_EQ(ExitStatusFor(S_FALSE), 0);
  EXPECT_EQ(ExitStatusFor(E_ACCESSDENIED), 5);
  EXPECT_EQ(ExitStatusFor(static_cast<HRESULT>(0x80040100)), 1);
}

}  // namespace
}  // namespace kavex::server
