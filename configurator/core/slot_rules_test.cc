#include "configurator/core/slot_rules.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "configurator/core/configuration_text.h"
#include "configurator/core/switch_generation.h"
#include "configurator/core/testing/test_catalog.h"
#include "platform/text/utf.h"

namespace kavex::configurator {
namespace {

class SlotRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/slot-rules-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/Switches.xml";
    std::ofstream(path) << testing::kTestCatalog;
    ASSERT_EQ(LoadModelCatalog(text::Utf8ToUtf16(path), &catalog_),
              CatalogStatus::kLoaded);
    std::filesystem::remove_all(pattern);
    for (const CatalogModel& model : catalog_.models)
      controls_.model_box.Add(model.name);
  }

  const CatalogModel* Select(std::u16string_view name) {
    controls_.model_box.SelectExact(name);
    return SelectModel(catalog_, &controls_);
  }
  // Slot box `slot` closed up on the entry showing `text`.
  void Choose(const CatalogModel& model, int slot, std::u16string_view text) {
    ComboControl& box = controls_.slot_boxes[slot];
    ASSERT_GE(box.FindExact(text), 0) << "slot " << slot;
    box.Select(box.FindExact(text));
    ValidateSlots(model, slot, /*silent=*/false, &controls_, &messages_);
  }
  std::vector<std::u16string> Shown() const {
    std::vector<std::u16string> texts;
    for (const ComboControl& box : controls_.slot_boxes)
      texts.push_back(box.text);
    return texts;
  }
  std::vector<bool> Enabled() const {
    std::vector<bool> enabled;
    for (const ComboControl& box : controls_.slot_boxes)
      enabled.push_back(box.enabled);
    return enabled;
  }

  ModelCatalog catalog_;
  ModelControls controls_;
  Messages messages_;
};

TEST_F(SlotRulesTest, FixedModelHidesTheSlotsAndUnknownNameSelectsNothing) {
  const CatalogModel* fx = Select(u"FX");
  ASSERT_NE(fx, nullptr);
  EXPECT_FALSE(controls_.slot_hint.visible);
  for (int i = 0; i < kMaxSlots; ++i) {
    EXPECT_FALSE(controls_.slot_boxes[i].visible);
    EXPECT_FALSE(controls_.slot_labels[i].visible);
  }
  controls_.model_box.Select(-1);
  EXPECT_EQ(SelectModel(catalog_, &controls_), nullptr);
}

TEST_F(SlotRulesTest, ModularModelFillsItsSlotsWithTheDefaults) {
  const CatalogModel* m = Select(u"M");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(controls_.slot_boxes[0].items(),
            (std::vector<std::u16string>{u"Blank", u"X module", u"Y module",
                                         u"Chip module"}));
  EXPECT_EQ(Shown(), (std::vector<std::u16string>{u"X module", u"Blank",
                                                  u"Y module", u""}));
  EXPECT_EQ(controls_.slot_labels[1].text, u"Bay B");
  EXPECT_TRUE(controls_.slot_boxes[2].visible);
  EXPECT_FALSE(controls_.slot_boxes[3].visible);
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true, false}));
  EXPECT_TRUE(controls_.slot_hint.visible);
  EXPECT_EQ(controls_.slot_hint.text, kSlotHint);
}

TEST_F(SlotRulesTest, BlankIsNeverOfferedWhereItIsForbidden) {
  Select(u"NOBLANK");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(controls_.slot_boxes[i].FindExact(kBlankChoice), -1) << i;
    EXPECT_EQ(controls_.slot_boxes[i].text, u"X module");  // no default
  }
  // Filled in order and never all blank: slot A has no blank either, the
  // others do, and they start on their first module.
  Select(u"ORDER");
  EXPECT_EQ(controls_.slot_boxes[0].FindExact(kBlankChoice), -1);
  EXPECT_EQ(controls_.slot_boxes[1].item(0), kBlankChoice);
  EXPECT_EQ(Shown(), (std::vector<std::u16string>(4, u"X module")));
  EXPECT_EQ(Enabled(), (std::vector<bool>(4, true)));
}

TEST_F(SlotRulesTest, InOrderBlankDisablesTheSlotsAfterItUntilAModuleReturns) {
  const CatalogModel* order = Select(u"ORDER");
  Choose(*order, 1, kBlankChoice);
  EXPECT_EQ(Shown(), (std::vector<std::u16string>{u"X module", u"Blank",
                                                  u"Blank", u"Blank"}));
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, false, false}));
  Choose(*order, 1, u"Y module");
  // C becomes choosable again; it still shows its blank, so D stays off.
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true, false}));
  Choose(*order, 2, u"X module");
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true, true}));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(SlotRulesTest, AllBlankIsRefusedUnlessTheModelAllowsIt) {
  const CatalogModel* m = Select(u"M");
  Choose(*m, 0, kBlankChoice);
  Choose(*m, 2, kBlankChoice);
  EXPECT_TRUE(messages_.empty()) << "M may be all blank";
  EXPECT_EQ(Shown()[0], kBlankChoice);

  // A model that may not: every visible box blank is undone in the box just
  // changed, with a message unless silent.
  ModelCatalog catalog = catalog_;
  catalog.models[1].all_blank = false;
  controls_.slot_boxes[1].SelectExact(kBlankChoice);
  ValidateSlots(catalog.models[1], 2, /*silent=*/true, &controls_, &messages_);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(Shown()[2], u"X module");
  controls_.slot_boxes[2].SelectExact(kBlankChoice);
  ValidateSlots(catalog.models[1], 2, /*silent=*/false, &controls_, &messages_);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, kAllBlanksRefused);
  EXPECT_EQ(messages_[0].caption, "Velto OPC");
  EXPECT_EQ(Shown()[2], u"X module");
}

TEST_F(SlotRulesTest, SlotListsEndAtAnOutOfRangeNumberOrAMissingSlot) {
  Select(u"BADSLOT");
  EXPECT_EQ(controls_.slot_boxes[0].size(), 4u);
  // The slot numbered 0 ends the filling: slot C is never reached.
  EXPECT_TRUE(controls_.slot_boxes[2].empty());
  Select(u"GHOST");
  EXPECT_EQ(controls_.slot_boxes[0].items(),
            std::vector<std::u16string>{u"Ghost module"});
}

// --- Configuration texts ----------------------------------------------------

TEST_F(SlotRulesTest, ConfigurationTextOfTheChosenModules) {
  const CatalogModel* m = Select(u"M");
  ConfigurationChoice choice;
  ASSERT_TRUE(BuildConfigurationText(catalog_, *m, u"M", controls_, &choice,
                                     &messages_));
  EXPECT_EQ(choice.text, u"M(X,B,Y)");
  EXPECT_FALSE(choice.all_blank);
  ASSERT_EQ(choice.modules.size(), 3u);
  EXPECT_EQ(choice.modules[1]->name, u"None");

  const CatalogModel* fx = Select(u"FX");
  ASSERT_TRUE(BuildConfigurationText(catalog_, *fx, u"FX", controls_, &choice,
                                     &messages_));
  EXPECT_EQ(choice.text, u"FX");
  // The box's text must be the current model's name.
  EXPECT_FALSE(BuildConfigurationText(catalog_, *fx, u"FX2", controls_,
                                      &choice, &messages_));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(SlotRulesTest, ConfigurationTextRefusals) {
  const CatalogModel* order = Select(u"ORDER");
  ConfigurationChoice choice;
  // A module after a blank slot: the validation would have blanked it; a
  // typed text does not go through it.
  controls_.slot_boxes[1].SelectExact(kBlankChoice);
  EXPECT_FALSE(BuildConfigurationText(catalog_, *order, u"ORDER", controls_,
                                      &choice, &messages_));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, kFillInOrder);
  EXPECT_EQ(messages_[0].caption, "Velto OPC. Switch details.");

  messages_.clear();
  ModelCatalog catalog = catalog_;
  catalog.models[2].add_in_order = false;  // ORDER, but not in order
  for (ComboControl& box : controls_.slot_boxes) box.text = kBlankChoice;
  EXPECT_FALSE(BuildConfigurationText(catalog, catalog.models[2], u"ORDER",
                                      controls_, &choice, &messages_));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, kAllBlanksRefused);

  // A text that names no module type, a module type naming no module, a
  // slot numbered 0: failures without a message of their own.
  messages_.clear();
  const CatalogModel* m = Select(u"M");
  controls_.slot_boxes[0].text = u"typed by hand";
  EXPECT_FALSE(BuildConfigurationText(catalog_, *m, u"M", controls_, &choice,
                                      &messages_));
  const CatalogModel* ghost = Select(u"GHOST");
  EXPECT_FALSE(BuildConfigurationText(catalog_, *ghost, u"GHOST", controls_,
                                      &choice, &messages_));
  const CatalogModel* bad = Select(u"BADSLOT");
  EXPECT_FALSE(BuildConfigurationText(catalog_, *bad, u"BADSLOT", controls_,
                                      &choice, &messages_));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(SlotRulesTest, AutoSelectionFromTheReportedText) {
  const CatalogModel* current = nullptr;
  EXPECT_TRUE(SelectReportedConfiguration(catalog_, u"M(Y,C,X)", &controls_,
                                          &current));
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->name, u"M");
  EXPECT_EQ(controls_.model_box.text, u"M");
  EXPECT_EQ(Shown(), (std::vector<std::u16string>{u"Y module", u"Chip module",
                                                  u"X module", u""}));
  // Extra tokens are ignored; too few are not recognised.
  EXPECT_TRUE(SelectReportedConfiguration(catalog_, u"M(X,B,Y,Z)", &controls_,
                                          &current));
  EXPECT_EQ(Shown()[1], kBlankChoice);
  EXPECT_FALSE(SelectReportedConfiguration(catalog_, u"M(X,B)", &controls_,
                                           &current));
  EXPECT_TRUE(SelectReportedConfiguration(catalog_, u"FX", &controls_,
                                          &current));
  EXPECT_EQ(current->name, u"FX");
  // Not recognised: nothing, an unknown model, an unknown short code, a
  // name differing in case, and a choice the slot box does not offer
  // (slot A of ORDER has no blank).
  for (std::u16string_view text :
       {u"", u"Unknown(X)", u"M(X,Q,Y)", u"fx", u"M", u"ORDER(B,X,X,X)",
        u"(((", u")M(", u"M(,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,)"}) {
    EXPECT_FALSE(SelectReportedConfiguration(catalog_, text, &controls_,
                                             &current))
        << text::Utf16ToUtf8(text);
  }
  // In order: a module after a blank is taken back by the validation.
  EXPECT_TRUE(SelectReportedConfiguration(catalog_, u"ORDER(X,B,Y,Y)",
                                          &controls_, &current));
  EXPECT_EQ(Shown(), (std::vector<std::u16string>{u"X module", u"Blank",
                                                  u"Blank", u"Blank"}));
}

// --- Generated switches --------------------------------------------------------

TEST_F(SlotRulesTest, GeneratedFixedSwitch) {
  const CatalogModel* fx = Select(u"FX");
  ConfigurationChoice choice;
  ASSERT_TRUE(BuildConfigurationText(catalog_, *fx, u"FX", controls_, &choice,
                                     &messages_));
  const ConfigSwitch sw = GenerateSwitch(*fx, choice, u"02.C4.7D.00.00.01");
  EXPECT_EQ(sw.alias, u"SW_000001");
  EXPECT_EQ(sw.model, u"FX");
  EXPECT_EQ(sw.type, 7);
  EXPECT_EQ(sw.runtime_type, 7);
  EXPECT_FALSE(sw.heard);
  ASSERT_EQ(sw.ports.size(), 3u);
  EXPECT_EQ(sw.ports[1].alias, u"P2");
  EXPECT_TRUE(sw.ports[1].hidden);
  EXPECT_FALSE(sw.ports[2].exists);
  EXPECT_TRUE(sw.chip_present[0] && sw.chip_present[1] && !sw.chip_present[2]);
  EXPECT_EQ(AliasSuffix(u"02.C4.7D.1A.2B.3C"), u"_1A2B3C");
}

TEST_F(SlotRulesTest, GeneratedModularSwitchInsertsModulePortsInOrder) {
  const CatalogModel* m = Select(u"M");
  ConfigurationChoice choice;
  ASSERT_TRUE(BuildConfigurationText(catalog_, *m, u"M", controls_, &choice,
                                     &messages_));
  const ConfigSwitch sw = GenerateSwitch(*m, choice, u"02.C4.7D.0A.0B.0C");
  EXPECT_EQ(sw.alias, u"MX(X,B,Y)_0A0B0C");
  EXPECT_EQ(sw.model, u"M(X,B,Y)");
  EXPECT_EQ(sw.type, 10);
  std::vector<int> numbers;
  std::vector<std::u16string> aliases;
  for (const ConfigPort& port : sw.ports) {
    numbers.push_back(port.number);
    aliases.push_back(port.alias);
  }
  // Slot A's ports 1 to 8 before the fixed port 9, slot C's at 21 and 22.
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 21, 22}));
  EXPECT_EQ(aliases[0], u"A1");
  EXPECT_EQ(aliases[8], u"F9");
  EXPECT_EQ(aliases[10], u"C2");
  EXPECT_TRUE(sw.ports[7].hidden);    // the module's port 8
  EXPECT_FALSE(sw.ports[10].exists);  // YM's port 2
  // One chip and no chip module: chip 0 only.
  EXPECT_TRUE(sw.chip_present[0] && !sw.chip_present[1]);
}

TEST_F(SlotRulesTest, ChipModulesAndBlankTypes) {
  const CatalogModel* m = Select(u"M");
  controls_.slot_boxes[1].SelectExact(u"Chip module");
  controls_.slot_boxes[2].SelectExact(u"Chip module");
  ConfigurationChoice choice;
  ASSERT_TRUE(BuildConfigurationText(catalog_, *m, u"M", controls_, &choice,
                                     &messages_));
  ConfigSwitch sw = GenerateSwitch(*m, choice, u"02.C4.7D.00.00.02");
  // 1 + 2 chips, at most 2.
  EXPECT_TRUE(sw.chip_present[1] && !sw.chip_present[2]);

  for (ComboControl& box : controls_.slot_boxes) box.SelectExact(kBlankChoice);
  ASSERT_TRUE(BuildConfigurationText(catalog_, *m, u"M", controls_, &choice,
                                     &messages_));
  EXPECT_TRUE(choice.all_blank);
  EXPECT_EQ(choice.text, u"M(B,B,B)");
  EXPECT_EQ(GenerateSwitch(*m, choice, u"02.C4.7D.00.00.02").type, 11);
  // Without a blank type the normal type stays.
  CatalogModel no_blank_type = *m;
  no_blank_type.blank_type = 0;
  EXPECT_EQ(GenerateSwitch(no_blank_type, choice, u"02.C4.7D.00.00.02").type,
            10);
  sw = GenerateSwitch(*m, choice, u"02.C4.7D.00.00.02");
  EXPECT_EQ(sw.ports.size(), 1u);  // the fixed port only
}

}  // namespace
}  // namespace kavex::configurator
