// For the configurator's tests: a private registry naming a configuration
// file in a private directory, a catalog beside it, a fake clock, a fake
// service manager, recorded message boxes, and a scripted driver whose
// posted reads the test completes with frames of its own.
#ifndef KAVEX_CONFIGURATOR_CORE_TESTING_CONFIGURATOR_FIXTURE_H_
#define KAVEX_CONFIGURATOR_CORE_TESTING_CONFIGURATOR_FIXTURE_H_

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/configuration_path.h"
#include "configurator/core/window_model.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/pkio/testing/scripted_packet_driver.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/registry/registry.h"
#include "platform/service/fake_service_manager.h"
#include "platform/service/service_names.h"
#include "platform/service/testing_support.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"
#include "platform/ui/recording_message_box.h"

namespace kavex::configurator::testing {

inline std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::u16string U16(const std::string& text) {
  return text::Utf8ToUtf16(text);
}

// The address 02.C4.7D.00.00.<last>.
inline std::array<uint8_t, 6> VeltoMac(uint8_t last, uint8_t fifth = 0) {
  return {0x02, 0xC4, 0x7D, 0x00, fifth, last};
}

// A frame of port (chip 0, `index`) of a switch, link up at 100 Mbit/s full
// duplex, reporting `config` (info version 1 when not empty).
inline std::vector<uint8_t> StatusFrame(const std::array<uint8_t, 6>& mac,
                                        int index, std::string_view config,
                                        uint64_t tx_octets = 0,
                                        uint64_t rx_octets = 0) {
  device::VeltoFrameBuilder builder;
  builder.Source(mac)
      .Port(index / 8, index % 8)
      .Status(device::kStatusLinkUp | device::kStatusEnabled |
              device::kStatusFullDuplex | device::kStatus100Mbit)
      .Counter("tx_octets", tx_octets)
      .Counter("rx_octets", rx_octets);
  if (!config.empty()) builder.Info(1, 0x0B01A8C0, 0, 0, config);
  return builder.Build();
}

class ConfiguratorTest : public ::testing::Test {
 protected:
  ConfiguratorTest()
      : service_backend_(service::testing::FakeFactory(service_dir_.path())) {}

  void SetUp() override {
    ASSERT_FALSE(registry_.dir().empty());
    sync::SetClockForTesting(&clock_);
    dir_ = registry_.dir() + "/site";
    std::filesystem::create_directory(dir_);
    config_path_ = dir_ + "/KavexOPC.xml";
    driver_.adapters = std::vector<std::string>{"\\Device\\Test\\lan"};
    driver_.friendly_names = {"Plant LAN"};
    driver_.intercept_reads = true;
    driver_.medium = 0;
  }

  void TearDown() override {
    model_.reset();
    sync::SetClockForTesting(nullptr);
  }

  // The registry names the configuration file; `catalog` ("" for none) is
  // written beside it.
  void Install(const std::string& catalog) {
    RegisterPath(config_path_);
    if (!catalog.empty()) std::ofstream(dir_ + "/Switches.xml") << catalog;
  }
  void RegisterPath(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, registry::kConfigurationKey, 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, registry::kConfigurationValue, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void WriteConfiguration(const std::string& xml) {
    std::ofstream(config_path_) << xml;
  }

  MainWindowOptions Options() {
    MainWindowOptions options;
    options.driver = &driver_;
    // Pauses pass on the fake clock at once.
    options.sleep = [this](DWORD ms) {
      slept_ms_ += ms;
      clock_.Advance(ms);
    };
    options.application_name = "veltoopc";
    options.report_directory = dir_;
    return options;
  }

  // A model started up with `command_line`.
  MainWindowModel& Start(std::u16string_view command_line = u"") {
    model_ = std::make_unique<MainWindowModel>(Options());
    model_->Initialize(command_line);
    return *model_;
  }

  // Completes the next posted read with `frame` and waits (30 s at most)
  // until the model has handled it and the read is posted again.
  void Deliver(const std::vector<uint8_t>& frame) {
    ASSERT_TRUE(pkio::testing::WaitUntil([&] {
      return driver_.reads().size() >= first_read_ + kCaptureReads + consumed_;
    })) << "the reads were not posted";
    const size_t before = driver_.reads().size();
    driver_.Complete(first_read_ + consumed_++, frame);
    ASSERT_TRUE(pkio::testing::WaitUntil(
        [&] { return driver_.reads().size() > before; }))
        << "the frame was not handled: " << driver_.reads().size()
        << " reads, completed " << first_read_ + consumed_ - 1;
  }
  // After capture was stopped and started again: its reads come next.
  void NewCapture() {
    first_read_ += kCaptureReads + consumed_;
    consumed_ = 0;
  }

  // Boxes shown so far, as "caption: text".
  std::vector<std::string> Boxes() const {
    std::vector<std::string> shown;
    for (const auto& box : boxes_.boxes())
      shown.push_back(box.caption + ": " + box.text);
    return shown;
  }

  com::ScopedRegistryRootForTest registry_;
  service::testing::TempDir service_dir_;
  service::testing::ScopedBackendFactory service_backend_;
  service::FakeServiceManager fake_service_{service_dir_.path()};
  sync::FakeClock clock_{100'000};
  ui::RecordingMessageBoxHandler boxes_;
  pkio::testing::ScriptedPacketDriver driver_;
  std::string dir_;
  std::string config_path_;
  DWORD slept_ms_ = 0;
  size_t first_read_ = 0;  // the current capture's first read
  size_t consumed_ = 0;    // of its reads, completed by the test
  std::unique_ptr<MainWindowModel> model_;
};

}  // namespace kavex::configurator::testing

#endif  // KAVEX_CONFIGURATOR_CORE_TESTING_CONFIGURATOR_FIXTURE_H_
