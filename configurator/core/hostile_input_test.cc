// Outside input the configurator must survive, as tables: frames of every
// length from any source, configuration texts a switch may report, model
// catalogs that are missing, malformed or name what does not exist,
// aliases the operator may type, and files offered for import. Each is told
// with the window's own texts, and the mapping stays as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "configurator/core/configuration_text.h"
#include "configurator/core/import_export.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/testing/configurator_fixture.h"
#include "configurator/core/window_model.h"

namespace kavex::configurator {
namespace {

using testing::ReadTextFile;
using testing::StatusFrame;
using testing::U16;
using testing::VeltoMac;

// What of a mapping the operator set, comparable.
struct Mapped {
  std::u16string address, alias, model;
  BYTE type;
  std::vector<std::u16string> ports;  // "number alias hidden exists"
  bool operator==(const Mapped&) const = default;
};

std::vector<Mapped> MappingOf(const MainWindowModel& model) {
  std::vector<Mapped> mapping;
  for (const ConfigAdapter& adapter : model.adapters()) {
    for (const ConfigSwitch& sw : adapter.switches) {
      Mapped m{sw.address, sw.alias, sw.model, sw.type, {}};
      for (const ConfigPort& p : sw.ports) {
        m.ports.push_back(U16(std::to_string(p.number)) + u" " + p.alias +
                          (p.hidden ? u" h" : u" -") +
                          (p.exists ? u" e" : u" -"));
      }
      mapping.push_back(std::move(m));
    }
  }
  return mapping;
}

class HostileInputTest : public testing::ConfiguratorTest {
 protected:
  void InstallShipped() { Install(ReadTextFile(KAVEX_SHIPPED_CATALOG)); }
  // Hears switch `last` reporting `config` and maps it as auto-selected.
  void HearAndMap(uint8_t last, std::string_view config) {
    Deliver(StatusFrame(VeltoMac(last), 0, config));
    const std::u16string address =
        U16(device::AddressText(VeltoMac(last).data()));
    model_->SelectDiscovered(model_->state().discovered.FindExact(address));
    model_->Map();
  }
};

// Frames of every length from 0 to 1514 bytes, of random content, from a
// foreign vendor, from the mapped switch and from one not mapped: each is
// handled in a buffer of exactly its length (the sanitizers see a read past
// it), foreign ones are never listed, and the mapping does not change.
TEST_F(HostileInputTest, FramesOfEveryLengthFromAnySource) {
  InstallShipped();
  MainWindowModel& model = Start();
  HearAndMap(1, "KX-108");
  const std::vector<Mapped> before = MappingOf(model);
  ASSERT_EQ(before.size(), 1u);

  std::mt19937 random(7);
  const std::array<std::array<uint8_t, 6>, 3> sources = {
      {{0x02, 0xC4, 0x7E, 0, 0, 1}, VeltoMac(1), VeltoMac(0x77)}};
  for (size_t len = 0; len <= device::kMaxVeltoFrameSize; ++len) {
    for (const auto& source : sources) {
      std::vector<uint8_t> frame(len);
      for (uint8_t& byte : frame) byte = static_cast<uint8_t>(random());
      for (size_t i = 0; i < 6 && 6 + i < len; ++i) frame[6 + i] = source[i];
      if (len > 13) {
        frame[12] = 0x88;
        frame[13] = 0x74;
      }
      model.HandleFrame(frame.empty() ? nullptr : frame.data(), frame.size());
    }
  }
  const MainWindowState state = model.state();
  EXPECT_EQ(state.discovered.items(),
            (std::vector<std::u16string>{u"02.C4.7D.00.00.01",
                                         u"02.C4.7D.00.00.77"}));
  EXPECT_EQ(MappingOf(model), before);
  // Whatever it reported last, choosing it and saving works.
  model.SelectDiscovered(1);
  EXPECT_NE(model.state().status.text, u"");
  EXPECT_TRUE(Boxes().empty());
  ASSERT_TRUE(model.SaveAndClose());
}

// Configuration texts as switches report them (up to 32 bytes), chosen in
// the list: recognised ones select their model, the others are reported as
// not recognised and select the first model.
TEST_F(HostileInputTest, ReportedConfigurationTexts) {
  InstallShipped();
  MainWindowModel& model = Start();
  struct Case {
    std::string text;
    bool recognised;
    std::u16string model;  // current afterwards
  };
  const std::vector<Case> cases = {
      {"KX-108", true, u"KX-108"},
      {"KX-108(T4)", true, u"KX-108"},  // a fixed model takes no slots
      {"", false, u"KM-414"},
      {"KX-10", false, u"KM-414"},
      {"kx-108", false, u"KM-414"},
      {"KM-414", false, u"KM-414"},                  // no tokens at all
      {"KM-414(T4,T4)", false, u"KM-414"},           // too few
      {"KM-414(T4,,T4)", false, u"KM-414"},          // an empty token
      {"KM-414(ZZ,T4,T4)", false, u"KM-414"},        // an unknown module
      {"KM-414(T4,T4,T4,T4)", true, u"KM-414"},      // the extra ignored
      {"KM-414)T4,T4,T4(", false, u"KM-414"},
      {"KM-518(B,T4,T4,T4)", false, u"KM-414"},      // slot A takes no blank
      {"KM-518(T4C,F2,B,B)", true, u"KM-518"},
      {"(((((((((((((((((((((((((((((((", false, u"KM-414"},
      {",,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,", false, u"KM-414"},
      {"\xff\xfe\x80 KX-108", false, u"KM-414"},
  };
  uint8_t last = 0x10;
  for (const Case& c : cases) {
    ASSERT_LE(c.text.size(), device::kConfigTextSize);
    Deliver(StatusFrame(VeltoMac(last), 0, c.text));
    const std::u16string address =
        U16(device::AddressText(VeltoMac(last).data()));
    ++last;
    model.SelectDiscovered(model.state().discovered.FindExact(address));
    const std::u16string expected =
        c.recognised ? u"Configuration For Switch '" + address +
                           u"' Has Been Auto-Selected."
                     : u"Configuration '" + ReportedText(c.text) +
                           u"' For Switch '" + address + u"' Is Not Recognized.";
    EXPECT_EQ(model.state().status.text, expected) << c.text;
    EXPECT_EQ(model.current_model(), c.model) << c.text;
  }
  EXPECT_TRUE(model.adapters()[0].switches.empty());
  EXPECT_TRUE(Boxes().empty());
}

// A catalog with one model per fault: slot numbers 0 and above 4, a slot
// type naming no slot list, a module type naming no module, five slot
// types; and one good model.
constexpr char kHostileCatalog[] = R"(<?xml version="1.0"?>
<ROOT>
  <SWITCH Model="GOOD" Alias="GD" Type="9" Chips="1" Modular="No">
    <Port Number="1" Alias="P1" Exists="Yes"/>
  </SWITCH>
  <SWITCH Model="HIGH" Alias="HI" Type="9" Modular="Yes" AllBlank="Yes">
    <SlotType Name="S" Text="A" Prefix="A" Number="5" StartPort="1"/>
  </SWITCH>
  <SWITCH Model="ZERO" Alias="ZE" Type="9" Modular="Yes" AllBlank="Yes">
    <SlotType Name="S" Text="A" Prefix="A" Number="0" StartPort="1"/>
  </SWITCH>
  <SWITCH Model="NOSLOT" Alias="NS" Type="9" Modular="Yes" AllBlank="Yes">
    <SlotType Name="Nowhere" Text="A" Prefix="A" Number="1" StartPort="1"/>
  </SWITCH>
  <SWITCH Model="NOMOD" Alias="NM" Type="9" Modular="Yes" AllBlank="Yes">
    <SlotType Name="Ghost" Text="A" Prefix="A" Number="1" StartPort="1"/>
  </SWITCH>
  <SWITCH Model="FIVE" Alias="FV" Type="9" Modular="Yes" AllBlank="Yes">
    <SlotType Name="S" Text="A" Prefix="A" Number="1" StartPort="1"/>
    <SlotType Name="S" Text="B" Prefix="B" Number="2" StartPort="2"/>
    <SlotType Name="S" Text="C" Prefix="C" Number="3" StartPort="3"/>
    <SlotType Name="S" Text="D" Prefix="D" Number="4" StartPort="4"/>
    <SlotType Name="S" Text="E" Prefix="E" Number="5" StartPort="5"/>
  </SWITCH>
  <Slot Name="S">
    <ModType Name="None" Short="B" Empty="Yes"/>
    <ModType Name="XM" Text="X module" Short="X"/>
  </Slot>
  <Slot Name="Ghost">
    <ModType Name="Missing" Text="Ghost module" Short="G"/>
  </Slot>
  <Module Name="None"/>
  <Module Name="XM"><Port Number="1" Alias="1" Exists="Yes"/></Module>
</ROOT>
)";

TEST_F(HostileInputTest, CatalogsThatCannotServe) {
  const std::string missing = "(none)";
  struct Case {
    std::string catalog;  // `missing`: no file
    std::vector<std::string> start_boxes;
    std::u16string model;  // chosen in the model box ("" none)
    std::string map_box;   // what Map says
  };
  const std::string no_model = "Kavex OPC View: Select switch model to map.";
  const std::string no_config =
      "Kavex OPC View: Could not find an appropriate configuration to map.";
  const std::vector<Case> cases = {
      {missing,
       {"Kavex OPC View: Can not find \"switches.xml\" file."},
       u"",
       no_model},
      {"", {}, u"", no_model},
      {"garbage", {}, u"", no_model},
      {"<ROOT><SWITCH", {}, u"", no_model},
      {"<ROOT/>", {}, u"", no_model},
      {"<OTHER><SWITCH Model=\"X\"/></OTHER>", {}, u"", no_model},
      {std::string(1 << 16, '<'), {}, u"", no_model},
      {kHostileCatalog, {}, u"HIGH", no_config},
      {kHostileCatalog, {}, u"ZERO", no_config},
      {kHostileCatalog, {}, u"NOSLOT", no_config},
      {kHostileCatalog, {}, u"NOMOD", no_config},
      {kHostileCatalog, {}, u"FIVE", no_config},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.catalog.substr(0, 40) + " " + text::Utf16ToUtf8(c.model));
    std::filesystem::remove(dir_ + "/Switches.xml");
    Install(c.catalog == missing ? "" : c.catalog);
    if (c.catalog.empty()) std::ofstream(dir_ + "/Switches.xml");  // empty
    boxes_.Clear();
    MainWindowModel& model = Start();
    EXPECT_EQ(Boxes(), c.start_boxes);
    boxes_.Clear();
    Deliver(StatusFrame(VeltoMac(1), 0, "FIVE(X,X,X,X,X)"));
    model.SelectDiscovered(0);
    // A model with five slot types is never the one reported.
    EXPECT_NE(model.state().status.text.find(u"Is Not Recognized."),
              std::u16string::npos);
    if (!c.model.empty()) {
      const int index = model.state().model.model_box.FindExact(c.model);
      ASSERT_GE(index, 0);
      model.SelectModel(index);
      EXPECT_EQ(model.current_model(), c.model);
    }
    model.Map();
    EXPECT_EQ(Boxes(), std::vector<std::string>{c.map_box});
    EXPECT_TRUE(model.adapters()[0].switches.empty());
    model.CloseWithoutSaving();
    NewCapture();  // the next window's reads come next
  }
}

// Aliases the operator may type, for a switch and for a port: refused ones
// leave the mapping as it was; those over their limit are cut at it.
TEST_F(HostileInputTest, AliasesOfEveryKind) {
  InstallShipped();
  MainWindowModel& model = Start();
  HearAndMap(1, "KX-108");
  model.SelectMapped(0);
  const std::vector<Mapped> before = MappingOf(model);
  const std::string forbidden =
      "Velto OPC: '.', '-' and Spaces are not allowed in the alias name";
  const std::string empty = "Velto OPC: Type in a new alias name.";
  struct Case {
    std::u16string alias;
    std::string box;
  };
  const std::vector<Case> refused = {
      {u"", empty},           {u" ", forbidden},       {u".", forbidden},
      {u"-", forbidden},      {u"Hall 1", forbidden},  {u"Hall.1", forbidden},
      {u"Hall-1", forbidden}, {u"Hall1-", forbidden},
      {std::u16string(34, u'x') + u".", forbidden},
  };
  for (const Case& c : refused) {
    boxes_.Clear();
    model.SetAliasText(c.alias);
    model.Rename();
    EXPECT_EQ(Boxes(), std::vector<std::string>{c.box})
        << text::Utf16ToUtf8(c.alias);
    EXPECT_EQ(MappingOf(model), before);
  }
  // Over the limit: the edit holds the first 35 characters, so a forbidden
  // character beyond them is never seen.
  boxes_.Clear();
  model.SetAliasText(std::u16string(35, u'y') + u"-z");
  model.Rename();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(model.adapters()[0].switches[0].alias, std::u16string(35, u'y'));

  model.SelectMapped(0);
  std::unique_ptr<PortsWindow> ports = model.OpenSwitchDetails();
  ASSERT_NE(ports, nullptr);
  ports->SelectPort(0);
  const std::vector<Mapped> renamed = MappingOf(model);
  const std::vector<Case> refused_ports = {
      {u"", empty},
      {u"A B", forbidden},
      {u"A.B", forbidden},
      {u"A-B", forbidden},
      {u"P2", "Velto OPC: There is already such a port alias. Port aliases "
              "must be unique on one switch."},
      {std::u16string(23, u'q') + u" ", forbidden},
  };
  for (const Case& c : refused_ports) {
    boxes_.Clear();
    ports->SetAliasText(c.alias);
    ports->RenamePort();
    EXPECT_EQ(Boxes(), std::vector<std::string>{c.box})
        << text::Utf16ToUtf8(c.alias);
    EXPECT_EQ(MappingOf(model), renamed);
  }
  boxes_.Clear();
  ports->SetAliasText(std::u16string(24, u'q') + u" tail");
  ports->RenamePort();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(model.adapters()[0].switches[0].ports[0].alias,
            std::u16string(24, u'q'));
}

// Files offered for import that are not export files: the list of their
// adapters stays empty and the status line says why; an import started
// anyway is terminated with nothing changed.
TEST_F(HostileInputTest, ImportFilesThatAreNotExports) {
  InstallShipped();
  MainWindowModel& model = Start();
  HearAndMap(1, "KX-108");
  const std::vector<Mapped> before = MappingOf(model);
  const std::string path = dir_ + "/offered.KavexExp";
  struct Case {
    std::string content;  // "(dir)": a directory; "(none)": no file
    bool xml;
  };
  const std::vector<Case> cases = {
      {"(none)", false},
      {"(dir)", false},
      {"", false},
      {"garbage", false},
      {std::string("\0\x01\x02\xff", 4), false},
      {"<ROOT", false},
      {"<ROOT><ADAPTER Description=\"Plant LAN\"><SWITCH", false},
      {std::string(100000, '<'), false},
      {"<html><body>not ours</body></html>", true},
      {"<ROOT><SWITCH Address=\"02.C4.7D.00.00.01\" Alias=\"X\"/></ROOT>",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    std::filesystem::remove_all(path);
    if (c.content == "(dir)") {
      std::filesystem::create_directory(path);
    } else if (c.content != "(none)") {
      std::ofstream(path, std::ios::binary) << c.content;
    }
    std::unique_ptr<ImportWindow> window = model.OpenImportWindow(U16(path));
    EXPECT_TRUE(window->state().imported.empty());
    if (!c.xml) {
      EXPECT_EQ(model.state().status.text, kNotAnImportFile);
    }
    ConfigAdapter target = model.adapters()[0];
    EXPECT_EQ(ImportAdapterSwitches(U16(path), u"Plant LAN", {}, &target),
              c.xml);
    EXPECT_EQ(target.switches.size(), 1u);
    EXPECT_EQ(MappingOf(model), before);
  }

  // An export file when the window opened, garbage when "Import" is
  // pressed: the import is terminated, and nothing changes.
  std::filesystem::remove_all(path);
  ASSERT_TRUE(model.Export(U16(path)));
  std::unique_ptr<ImportWindow> window = model.OpenImportWindow(U16(path));
  ASSERT_EQ(window->state().imported.size(), 1u);
  window->SelectImported(0);
  window->SelectCurrent(0);
  std::ofstream(path, std::ios::trunc) << "<ROOT><ADAPTER";
  window->Import();  // the question is answered Yes
  EXPECT_EQ(model.state().status.text, kImportTerminated);
  EXPECT_EQ(MappingOf(model), before);
}

}  // namespace
}  // namespace kavex::configurator
