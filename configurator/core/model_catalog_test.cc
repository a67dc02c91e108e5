#include "configurator/core/model_catalog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "configurator/core/testing/test_catalog.h"
#include "platform/text/utf.h"

namespace kavex::configurator {
namespace {

class ModelCatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/catalog-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  CatalogStatus LoadText(const std::string& xml, ModelCatalog* catalog) {
    const std::string path = dir_ + "/Switches.xml";
    std::ofstream(path, std::ios::binary) << xml;
    return LoadModelCatalog(text::Utf8ToUtf16(path), catalog);
  }

  std::string dir_;
};

TEST_F(ModelCatalogTest, ReadsTheThreeListsInDocumentOrder) {
  ModelCatalog catalog;
  ASSERT_EQ(LoadText(testing::kTestCatalog, &catalog), CatalogStatus::kLoaded);
  ASSERT_EQ(catalog.ModelNames(),
            (std::vector<std::u16string>{u"FX", u"M", u"ORDER", u"NOBLANK",
                                         u"BADSLOT", u"GHOST"}));
  const CatalogModel& fx = catalog.models[0];
  EXPECT_FALSE(fx.modular);
  EXPECT_EQ(fx.type, 7);
  EXPECT_EQ(fx.alias_prefix, u"SW");
  EXPECT_TRUE(fx.chip_present[0] && fx.chip_present[1] && !fx.chip_present[2]);
  ASSERT_EQ(fx.ports.size(), 3u);
  EXPECT_TRUE(fx.ports[1].disabled);
  EXPECT_FALSE(fx.ports[2].exists);

  const CatalogModel& m = *catalog.FindModel(u"M");
  EXPECT_TRUE(m.modular);
  EXPECT_TRUE(m.all_blank);
  EXPECT_FALSE(m.add_in_order);
  EXPECT_EQ(m.blank_type, 11);
  EXPECT_EQ(m.start_chip, 1);
  EXPECT_EQ(m.max_chip, 2);
  ASSERT_EQ(m.slot_types.size(), 3u);
  EXPECT_EQ(m.slot_types[1].number, 2);
  EXPECT_EQ(m.slot_types[1].start_port, 11);
  EXPECT_EQ(m.slot_types[1].label, u"Bay B");
  EXPECT_TRUE(m.slot_types[1].blank_allowed);  // no "Empty": allowed
  EXPECT_FALSE(catalog.FindModel(u"NOBLANK")->slot_types[0].blank_allowed);

  const CatalogSlot& slot = *catalog.FindSlot(u"S");
  ASSERT_EQ(slot.mod_types.size(), 4u);
  EXPECT_EQ(slot.mod_types[0].text, kBlankChoice);  // whatever "Text" says
  EXPECT_TRUE(slot.mod_types[0].blank);
  EXPECT_EQ(slot.mod_types[3].short_code, u"C");
  EXPECT_TRUE(catalog.FindModule(u"CM")->adds_chip);
  EXPECT_EQ(catalog.FindModule(u"XM")->ports.size(), 8u);
  EXPECT_EQ(catalog.FindModule(u"Ghost"), nullptr);  // not cross-checked
}

TEST_F(ModelCatalogTest, ChipFlagsFollowTheChipCount) {
  bool flags[3];
  ChipFlagsForCount(1, flags);
  EXPECT_TRUE(flags[0] && !flags[1] && !flags[2]);
  ChipFlagsForCount(2, flags);
  EXPECT_TRUE(flags[0] && flags[1] && !flags[2]);
  for (int count : {0, 3, 4, 255}) {
    ChipFlagsForCount(count, flags);
    EXPECT_TRUE(flags[0] && flags[1] && flags[2]) << count;
  }
}

TEST_F(ModelCatalogTest, MissingAndMalformedFiles) {
  ModelCatalog catalog;
  EXPECT_EQ(LoadModelCatalog(text::Utf8ToUtf16(dir_ + "/none.xml"), &catalog),
            CatalogStatus::kNotFound);
  // Hostile files: none of them loads, none crashes, the lists stay empty.
  const char* const kNotXml[] = {
      "",
      "not xml at all",
      "<ROOT><SWITCH Model=\"A\"></ROOT>",
      "\xff\xfe\x00<\x00R",
  };
  for (const char* text : kNotXml) {
    SCOPED_TRACE(text);
    catalog.models.emplace_back();
    EXPECT_EQ(LoadText(text, &catalog), CatalogStatus::kNotValid);
    EXPECT_TRUE(catalog.models.empty());
  }
  // Documents the parser takes although they name nothing: they load, with
  // every list empty.
  const char* const kEmpty[] = {
      "<ROOT>\x01\x02</ROOT>",
      "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"&a;\">]><ROOT>&a;"
      "</ROOT>",
  };
  for (const char* text : kEmpty) {
    SCOPED_TRACE(text);
    catalog.models.emplace_back();
    EXPECT_EQ(LoadText(text, &catalog), CatalogStatus::kLoaded);
    EXPECT_TRUE(catalog.models.empty());
    EXPECT_TRUE(catalog.slots.empty());
    EXPECT_TRUE(catalog.modules.empty());
  }
}

TEST_F(ModelCatalogTest, OddValuesReadAsZeroOrEmpty) {
  ModelCatalog catalog;
  ASSERT_EQ(LoadText("<ROOT><SWITCH Model=\"A\" Type=\"300\" BlankType=\"-1\" "
                     "Chips=\"x\" Modular=\"yes\"><Port Number=\"258\"/>"
                     "<Port/></SWITCH><SWITCH/><Other/>"
                     "<Slot><ModType/></Slot><Module><Port "
                     "Number=\"9999999999999\"/></Module></ROOT>",
                     &catalog),
            CatalogStatus::kLoaded);
  ASSERT_EQ(catalog.models.size(), 2u);
  const CatalogModel& a = catalog.models[0];
  EXPECT_EQ(a.type, 0);  // out of the byte's range
  EXPECT_EQ(a.blank_type, 0);
  EXPECT_EQ(a.chips, 0);
  EXPECT_FALSE(a.modular);  // "Yes" only
  ASSERT_EQ(a.ports.size(), 2u);
  EXPECT_EQ(a.ports[0].number, 2);  // kept as a byte
  EXPECT_EQ(a.ports[1].number, 0);
  EXPECT_EQ(catalog.models[1].name, u"");
  ASSERT_EQ(catalog.slots.size(), 1u);
  EXPECT_EQ(catalog.slots[0].mod_types.size(), 1u);
  ASSERT_EQ(catalog.modules.size(), 1u);
}

TEST_F(ModelCatalogTest, CatalogPathIsBesideTheConfiguration) {
  EXPECT_EQ(CatalogPathFor(u"/etc/kavex-opc/KavexOPC.xml"),
            u"/etc/kavex-opc/Switches.xml");
  EXPECT_EQ(CatalogPathFor(u"/KavexOPC.xml"), u"/Switches.xml");
  EXPECT_EQ(CatalogPathFor(u"KavexOPC.xml"), u"Switches.xml");
}

// The catalog that ships: the models of the simulator's switch types.
TEST_F(ModelCatalogTest, TheShippedCatalog) {
  ModelCatalog catalog;
  ASSERT_EQ(LoadModelCatalog(text::Utf8ToUtf16(KAVEX_SHIPPED_CATALOG), &catalog),
            CatalogStatus::kLoaded);
  int fixed = 0, modular = 0;
  bool adds_chip = false;
  for (const CatalogModel& model : catalog.models) {
    (model.modular ? modular : fixed) += 1;
    EXPECT_GE(model.type, 1);
    EXPECT_LE(model.type, 5);
    for (const CatalogSlotType& slot : model.slot_types) {
      EXPECT_NE(catalog.FindSlot(slot.slot_name), nullptr) << slot.slot_name.size();
      EXPECT_GE(slot.number, 1);
      EXPECT_LE(slot.number, 4);
    }
  }
  for (const CatalogSlot& slot : catalog.slots) {
    for (const CatalogModType& mod_type : slot.mod_types) {
      ASSERT_NE(catalog.FindModule(mod_type.module_name), nullptr);
      adds_chip = adds_chip || catalog.FindModule(mod_type.module_name)->adds_chip;
    }
  }
  EXPECT_GE(fixed, 3);
  EXPECT_GE(modular, 2);
  EXPECT_TRUE(adds_chip);
  EXPECT_TRUE(catalog.FindModel(u"KM-518")->add_in_order);
}

}  // namespace
}  // namespace kavex::configurator
