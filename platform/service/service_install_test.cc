#include "platform/service/service_install.h"

#include <gtest/gtest.h>

#include "platform/base/results.h"
#include "platform/service/fake_service_manager.h"
#include "platform/service/service_names.h"
#include "platform/service/testing_support.h"
#include "platform/ui/recording_message_box.h"

namespace kavex::service {
namespace {

// The fake with one more kind of fault: a chosen call fails with a chosen
// error, for the failures the fake cannot produce by itself.
class FailingBackend : public Backend {
 public:
  struct Script {
    int fail_status_after = -1;  // GetStatus calls that still work; -1: all
    DWORD stop_error = ERROR_SUCCESS;
    DWORD remove_error = ERROR_SUCCESS;
  };
  FailingBackend(std::unique_ptr<Backend> inner, Script* script)
      : inner_(std::move(inner)), script_(script) {}

  DWORD MayManage(bool* allowed) override { return inner_->MayManage(allowed); }
  DWORD GetStatus(const std::string& unit, UnitStatus* status) override {
    if (script_->fail_status_after == 0) return ERROR_GEN_FAILURE;
    if (script_->fail_status_after > 0) --script_->fail_status_after;
    return inner_->GetStatus(unit, status);
  }
  DWORD Start(const std::string& unit) override { return inner_->Start(unit); }
  DWORD Stop(const std::string& unit) override {
    return script_->stop_error != ERROR_SUCCESS ? script_->stop_error
                                                : inner_->Stop(unit);
  }
  DWORD Install(const std::string& unit, const std::string& text) override {
    return inner_->Install(unit, text);
  }
  DWORD Remove(const std::string& unit) override {
    return script_->remove_error != ERROR_SUCCESS ? script_->remove_error
                                                  : inner_->Remove(unit);
  }

 private:
  std::unique_ptr<Backend> inner_;
  Script* script_;
};

class ServiceInstallTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& box : boxes_.boxes()) {
      EXPECT_EQ(kServerServiceName, box.caption);
      texts.push_back(box.text);
    }
    return texts;
  }

  testing::TempDir dir_;
  FakeServiceManager fake_{dir_.path()};
  FailingBackend::Script script_;
  testing::ScopedBackendFactory scoped_{[this](
                                            std::unique_ptr<Backend>* backend) {
    std::unique_ptr<Backend> inner;
    DWORD e = FakeServiceManager::Connect(dir_.path(), &inner);
    if (e == ERROR_SUCCESS)
      *backend = std::make_unique<FailingBackend>(std::move(inner), &script_);
    return e;
  }};
  ui::RecordingMessageBoxHandler boxes_;
};

TEST_F(ServiceInstallTest, InstallCreatesTheServiceOnce) {
  EXPECT_FALSE(IsServiceInstalled(kServerServiceName));
  EXPECT_EQ(S_OK, InstallService(kServerServiceName,
                                 "/usr/lib/kavex-opc/kavex-opc-server"));
  EXPECT_TRUE(IsServiceInstalled(kServerServiceName));
  std::string text = fake_.UnitText(kServerUnitName);
  EXPECT_NE(std::string::npos,
            text.find("ExecStart=\"/usr/lib/kavex-opc/kavex-opc-server\"\n"));
  // The server starts after the network and its socket unit, which it
  // requires, and reads the accounts as a credential.
  EXPECT_NE(std::string::npos,
            text.find("After=network.target kavex-opc-server.socket\n"));
  EXPECT_NE(std::string::npos, text.find("Requires=kavex-opc-server.socket\n"));
  EXPECT_NE(std::string::npos,
            text.find("LoadCredential=accounts:/etc/kavex-opc/accounts\n"));
  EXPECT_NE(std::string::npos, text.find("Description=Kavex OPC Server\n"));
  // Installed already: nothing more is done.
  EXPECT_EQ(S_OK, InstallService(kServerServiceName, "/elsewhere/server"));
  EXPECT_EQ(std::vector<std::string>{"install kavex-opc-server.service"},
            fake_.Requests());
  EXPECT_TRUE(Texts().empty());
}

TEST_F(ServiceInstallTest, InstallFailuresAreShownAndReturned) {
  fake_.SetFaults("unprivileged\n");
  EXPECT_EQ(E_ACCESSDENIED,
            InstallService(kServerServiceName, "/usr/bin/kavex-opc-server"));
  fake_.SetFaults("");
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER),
            InstallService(kServerServiceName, "relative/server"));
  fake_.SetFaults("no-manager\n");
  EXPECT_EQ(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
            InstallService(kServerServiceName, "/usr/bin/kavex-opc-server"));
  EXPECT_EQ((std::vector<std::string>{"Could not open Service Manager",
                                      "Could not start service",
                                      "Could not open Service Manager"}),
            Texts());
  EXPECT_TRUE(fake_.Requests().empty());
}

TEST_F(ServiceInstallTest, UninstallStopsAndDeletes) {
  // Not installed: nothing to do.
  EXPECT_EQ(S_OK, UninstallService(kServerServiceName));
  EXPECT_TRUE(fake_.Requests().empty());

  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  EXPECT_EQ(S_OK, UninstallService(kServerServiceName));
  EXPECT_EQ((std::vector<std::string>{"stop kavex-opc-server.service",
                                      "remove kavex-opc-server.service"}),
            fake_.Requests());
  EXPECT_FALSE(IsServiceInstalled(kServerServiceName));

  // Stopped already, or with its stop pending, counts as stopped.
  for (ActiveState state : {ActiveState::kInactive, ActiveState::kFailed,
                            ActiveState::kDeactivating}) {
    SCOPED_TRACE(ActiveStateName(state));
    fake_.AddUnit(kServerUnitName, state);
    EXPECT_EQ(S_OK, UninstallService(kServerServiceName));
    EXPECT_FALSE(IsServiceInstalled(kServerServiceName));
  }
  EXPECT_TRUE(Texts().empty());
}

TEST_F(ServiceInstallTest, UninstallFailuresAreShownAndLeaveTheService) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  fake_.SetFaults("unprivileged\n");
  EXPECT_EQ(E_ACCESSDENIED, UninstallService(kServerServiceName));
  fake_.SetFaults("");

  // The service goes away between the check and the opening (the first
  // status query is the check's).
  script_.fail_status_after = 1;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_GEN_FAILURE),
            UninstallService(kServerServiceName));
  script_.fail_status_after = -1;

  script_.stop_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(E_ACCESSDENIED, UninstallService(kServerServiceName));
  EXPECT_TRUE(IsServiceInstalled(kServerServiceName));
  script_.stop_error = ERROR_SUCCESS;

  script_.remove_error = ERROR_CANTWRITE;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CANTWRITE),
            UninstallService(kServerServiceName));
  EXPECT_EQ((std::vector<std::string>{
                "Could not open Service Manager", "Could not open service",
                "Could not stop service", "Could not delete service"}),
            Texts());
}

// The package carries the unit itself (under /usr/lib/systemd/system),
// which the manager loads but will not delete: re-registering the server
// stops the service and keeps that unit instead of failing, and installing
// then finds the service there.
TEST_F(ServiceInstallTest, APackagedUnitIsStoppedAndKept) {
  const std::string packaged = "[Service]\npackaged\n";
  fake_.AddUnit(kServerUnitName, ActiveState::kActive, packaged);
  script_.remove_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(S_OK, UninstallService(kServerServiceName));
  EXPECT_EQ("inactive", fake_.StateLine(kServerUnitName));
  EXPECT_EQ(packaged, fake_.UnitText(kServerUnitName));
  EXPECT_EQ(S_OK, InstallService(kServerServiceName,
                                 "/usr/sbin/kavex-opc-server"));
  EXPECT_EQ(packaged, fake_.UnitText(kServerUnitName));
  EXPECT_EQ((std::vector<std::string>{"stop kavex-opc-server.service"}),
            fake_.Requests());
  EXPECT_TRUE(Texts().empty());

  // A stop refused is still a failure, packaged unit or not.
  fake_.AddUnit(kServerUnitName, ActiveState::kActive, packaged);
  script_.stop_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(E_ACCESSDENIED, UninstallService(kServerServiceName));
  EXPECT_EQ((std::vector<std::string>{"Could not stop service"}), Texts());
}

}  // namespace
}  // namespace kavex::service
