#include "server/objects/item_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/objects/item_record.h"

namespace kavex::server {
namespace {

std::shared_ptr<ItemRecord> Record(OPCHANDLE handle, const char16_t* id,
                                   VARTYPE type = VT_I4) {
  return std::make_shared<ItemRecord>(nullptr, handle, com::Bstr(id), type,
                                      OPC_READABLE, VT_EMPTY, handle + 100,
                                      true);
}

std::vector<OPCHANDLE> Handles(ItemRegistry& registry, const char16_t* id) {
  std::vector<OPCHANDLE> out;
  registry.ForEachRecord(id, [&](ItemRecord& r) { out.push_back(r.handle); });
  return out;
}

std::vector<OPCHANDLE> Handles(const ItemTable& table) {
  std::vector<OPCHANDLE> out;
  table.ForEach([&](ItemRecord& r) { out.push_back(r.handle); });
  return out;
}

TEST(ItemRecordTest, StartsWithTheZeroOfItsType) {
  auto number = Record(0, u"a", VT_R8);
  EXPECT_EQ(number->value.vt, VT_R8);
  EXPECT_EQ(number->value.dblVal, 0.0);
  EXPECT_EQ(number->last_sent_value.vt, VT_R8);
  EXPECT_EQ(number->quality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(number->last_sent_quality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(FileTimeToUInt64(number->timestamp), 0u);
  auto text = Record(1, u"b", VT_BSTR);
  EXPECT_EQ(text->value.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(text->value.bstrVal), u"");
  // A type nothing converts to stays empty.
  auto odd = Record(2, u"c", 0x7777);
  EXPECT_EQ(odd->value.vt, VT_EMPTY);
  EXPECT_EQ(odd->id(), u"c");
}

TEST(ItemRegistryTest, RecordsOfOneIdFormAListInRegistrationOrder) {
  ItemRegistry registry(nullptr);
  auto a0 = Record(0, u"A.B"), a1 = Record(1, u"A.B"), a2 = Record(2, u"A.B");
  auto c = Record(3, u"C");
  for (auto* r : {a0.get(), a1.get(), c.get(), a2.get()}) registry.Register(r);
  EXPECT_EQ(Handles(registry, u"A.B"), (std::vector<OPCHANDLE>{0, 1, 2}));
  EXPECT_EQ(Handles(registry, u"C"), (std::vector<OPCHANDLE>{3}));
  EXPECT_EQ(Handles(registry, u"A"), (std::vector<OPCHANDLE>{}));
  EXPECT_EQ(registry.IdCount(), 2u);

  // Removing the head re-keys the list on the next record's own text: the
  // removed record's text may be freed at once.
  registry.Unregister(a0.get());
  a0.reset();
  EXPECT_EQ(Handles(registry, u"A.B"), (std::vector<OPCHANDLE>{1, 2}));
  registry.Unregister(a2.get());
  EXPECT_EQ(Handles(registry, u"A.B"), (std::vector<OPCHANDLE>{1}));
  // Unregistering twice, or what was never registered, changes nothing.
  registry.Unregister(a2.get());
  auto stranger = Record(9, u"A.B");
  registry.Unregister(stranger.get());
  EXPECT_EQ(registry.CountOf(u"A.B"), 1u);
  // An emptied ID leaves the registry.
  registry.Unregister(a1.get());
  EXPECT_EQ(registry.IdCount(), 1u);
  registry.Unregister(c.get());
  EXPECT_EQ(registry.IdCount(), 0u);
  // And may come back.
  registry.Register(a2.get());
  EXPECT_EQ(Handles(registry, u"A.B"), (std::vector<OPCHANDLE>{2}));
  registry.Unregister(a2.get());
}

TEST(ItemTableTest, FindsByHandleAndKeepsHandleOrder) {
  ItemTable table;
  for (OPCHANDLE h : {0u, 1u, 5u, 6u, 9u}) table.Append(Record(h, u"x"));
  EXPECT_EQ(table.size(), 5u);
  EXPECT_EQ(table.Find(5)->handle, 5u);
  EXPECT_EQ(table.Find(4), nullptr);
  EXPECT_EQ(table.Find(10), nullptr);
  std::shared_ptr<ItemRecord> taken = table.Take(5);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->handle, 5u);
  EXPECT_FALSE(table.Take(5));  // a gap until compacted
  EXPECT_EQ(table.Find(5), nullptr);
  EXPECT_EQ(table.Find(6)->handle, 6u);
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(Handles(table), (std::vector<OPCHANDLE>{0, 1, 6, 9}));
  table.Take(0);
  table.Take(9);
  table.Compact();
  EXPECT_EQ(Handles(table), (std::vector<OPCHANDLE>{1, 6}));
  EXPECT_EQ(table.FindShared(6)->handle, 6u);
  table.Append(Record(10, u"y"));
  EXPECT_EQ(table.Find(10)->id(), u"y");
  table.Clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.Find(1), nullptr);
}

TEST(ItemTableTest, ARecordTakenOutOutlivesTheTableWhileHeld) {
  ItemTable table;
  table.Append(Record(0, u"held"));
  std::shared_ptr<ItemRecord> reader = table.FindShared(0);
  table.Take(0);
  table.Compact();
  table.Clear();
  EXPECT_EQ(reader->id(), u"held");
  EXPECT_EQ(reader.use_count(), 1);
}

}  // namespace
}  // namespace kavex::server
