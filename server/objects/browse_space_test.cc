#include "server/objects/browse_space.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/com/safearray.h"
#include "platform/com/task_memory.h"
#include "server/objects/trace_capture_for_test.h"

namespace kavex::server {
namespace {

using Names = std::vector<std::u16string>;

// An item list as the device hands it out: VT_ARRAY|VT_BSTR, lower bound 0.
com::Variant List(const Names& ids) {
  com::Variant list;
  SAFEARRAY* array =
      SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(ids.size()));
  for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) {
    com::Bstr id(ids[i]);
    SafeArrayPutElement(array, &i, id.Get());
  }
  list.vt = VT_ARRAY | VT_BSTR;
  list.parray = array;
  return list;
}

// Everything an enumerator hands out, each string freed.
Names Drain(IEnumString* e) {
  Names names;
  LPOLESTR batch[7];
  ULONG fetched = 0;
  HRESULT hr;
  do {
    hr = e->Next(7, batch, &fetched);
    for (ULONG i = 0; i < fetched; ++i) {
      names.emplace_back(batch[i]);
      CoTaskMemFree(batch[i]);
    }
  } while (hr == S_OK);
  return names;
}

struct BrowseResult {
  HRESULT hr;
  Names names;
  bool has_enumerator;
};

BrowseResult Browse(BrowseSpace& space, OPCBROWSETYPE type) {
  com::ComPtr<IEnumString> e;
  BrowseResult result;
  result.hr =
      space.BrowseOPCItemIDs(nullptr, type, u"", VT_EMPTY, 0, e.GetAddressOf());
  result.has_enumerator = e != nullptr;
  if (e != nullptr) result.names = Drain(e.Get());
  return result;
}

// The item ID GetItemID answers, or "<error>".
std::u16string ItemId(BrowseSpace& space, const char16_t* name) {
  std::u16string data(name);
  LPWSTR id = nullptr;
  if (FAILED(space.GetItemID(nullptr, data.data(), &id))) return u"<error>";
  std::u16string text(id);
  CoTaskMemFree(id);
  return text;
}

class BrowseSpaceTest : public ::testing::Test {
 protected:
  void Build(const Names& ids, std::u16string delimiter = u".") {
    space_.SetDelimiter(std::move(delimiter));
    ASSERT_EQ(space_.AddItemIDs(List(ids)), S_OK);
    ASSERT_EQ(space_.CheckConsistency(), "");
  }
  HRESULT Move(OPCBROWSEDIRECTION direction, const char16_t* name) {
    return space_.ChangeBrowsePosition(nullptr, direction, name);
  }
  std::u16string Position() { return ItemId(space_, u""); }

  BrowseSpace space_;
};

TEST_F(BrowseSpaceTest, BranchesLeavesAndItemIdsOfATwoLevelList) {
  Build({u"A.B.C", u"A.D"});
  EXPECT_EQ(Browse(space_, OPC_BRANCH).names, Names{u"A"});
  EXPECT_EQ(Browse(space_, OPC_LEAF).hr, S_FALSE);

  ASSERT_EQ(Move(OPC_BROWSE_DOWN, u"A"), S_OK);
  EXPECT_EQ(Browse(space_, OPC_BRANCH).names, Names{u"B"});
  EXPECT_EQ(Browse(space_, OPC_LEAF).names, Names{u"D"});
  EXPECT_EQ(ItemId(space_, u"D"), u"A.D");
  EXPECT_EQ(ItemId(space_, u"C"), u"<error>");  // not a child of A

  ASSERT_EQ(Move(OPC_BROWSE_TO, u"A.B"), S_OK);
  EXPECT_EQ(ItemId(space_, u"C"), u"A.B.C");
  EXPECT_EQ(Position(), u"A.B");
  ASSERT_EQ(Move(OPC_BROWSE_UP, u""), S_OK);
  EXPECT_EQ(Position(), u"A");
  ASSERT_EQ(Move(OPC_BROWSE_UP, u""), S_OK);
  EXPECT_EQ(Position(), u"");
}

TEST_F(BrowseSpaceTest, SplittingAtEveryDelimiterCharacter) {
  // Doubled, leading and trailing delimiters give no empty level.
  Build({u"A..B", u".A.C.", u"..", u"", u"A...B"});
  EXPECT_EQ(Browse(space_, OPC_FLAT).names, (Names{u"A", u"B", u"C"}));
  EXPECT_EQ(space_.NodeCount(), 4u);

  // Each character of the delimiter splits; IDs are joined with all of it.
  BrowseSpace multi;
  multi.SetDelimiter(u"/.");
  ASSERT_EQ(multi.AddItemIDs(List({u"X/Y.Z", u"X.Y/W"})), S_OK);
  ASSERT_EQ(multi.ChangeBrowsePosition(nullptr, OPC_BROWSE_TO, u"X/Y"), S_OK);
  EXPECT_EQ(ItemId(multi, u"Z"), u"X/.Y/.Z");
  EXPECT_EQ(Browse(multi, OPC_LEAF).names, (Names{u"W", u"Z"}));

  // No delimiter: every ID is one name.
  BrowseSpace whole;
  ASSERT_EQ(whole.AddItemIDs(List({u"A.B", u"A.B", u""})), S_OK);
  EXPECT_EQ(Browse(whole, OPC_LEAF).names, Names{u"A.B"});
}

TEST_F(BrowseSpaceTest, FailedMovesKeepThePosition) {
  Build({u"A.B.C", u"A.D"});
  EXPECT_EQ(Move(OPC_BROWSE_UP, u""), E_FAIL);  // at the root

  ASSERT_EQ(Move(OPC_BROWSE_DOWN, u"A"), S_OK);
  EXPECT_EQ(Move(OPC_BROWSE_DOWN, u"X"), E_INVALIDARG);
  EXPECT_EQ(Move(OPC_BROWSE_DOWN, u"B.C"), E_INVALIDARG);  // one level only
  EXPECT_EQ(Move(OPC_BROWSE_DOWN, u""), E_INVALIDARG);
  EXPECT_EQ(Move(OPC_BROWSE_TO, u"A.X"), E_INVALIDARG);
  EXPECT_EQ(Move(OPC_BROWSE_TO, u"A.B.C.D"), E_INVALIDARG);
  EXPECT_EQ(Move(OPC_BROWSE_DOWN, nullptr), E_INVALIDARG);
  EXPECT_EQ(Move(static_cast<OPCBROWSEDIRECTION>(0), u"A"), E_INVALIDARG);
  EXPECT_EQ(Move(static_cast<OPCBROWSEDIRECTION>(4), u"A"), E_INVALIDARG);
  EXPECT_EQ(Position(), u"A");

  // TO starts at the root; an empty or all-delimiter path is the root.
  ASSERT_EQ(Move(OPC_BROWSE_TO, u".A..B."), S_OK);
  EXPECT_EQ(Position(), u"A.B");
  ASSERT_EQ(Move(OPC_BROWSE_TO, u".."), S_OK);
  EXPECT_EQ(Position(), u"");
  ASSERT_EQ(Move(OPC_BROWSE_TO, u"A.D"), S_OK);
  ASSERT_EQ(Move(OPC_BROWSE_TO, u""), S_OK);
  EXPECT_EQ(Position(), u"");
}

TEST_F(BrowseSpaceTest, BrowseArgumentChecksAndALeafAsPosition) {
  Build({u"A.B.C", u"A.D"});
  for (DWORD type : {0u, 4u, 0xFFFFFFFFu}) {
    com::ComPtr<IEnumString> e;
    EXPECT_EQ(space_.BrowseOPCItemIDs(nullptr, static_cast<OPCBROWSETYPE>(type),
                                      u"", VT_EMPTY, 0, e.GetAddressOf()),
              E_INVALIDARG)
        << type;
    EXPECT_EQ(e, nullptr);
  }
  com::ComPtr<IEnumString> e;
  EXPECT_EQ(space_.BrowseOPCItemIDs(nullptr, OPC_FLAT, nullptr, VT_EMPTY, 0,
                                    e.GetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(
      space_.BrowseOPCItemIDs(nullptr, OPC_FLAT, u"", VT_EMPTY, 0, nullptr),
      E_INVALIDARG);

  // A leaf can be entered; below it there is nothing, in an enumerator.
  ASSERT_EQ(Move(OPC_BROWSE_TO, u"A.D"), S_OK);
  for (OPCBROWSETYPE type : {OPC_BRANCH, OPC_LEAF, OPC_FLAT}) {
    const BrowseResult result = Browse(space_, type);
    EXPECT_EQ(result.hr, S_FALSE);
    EXPECT_TRUE(result.has_enumerator);
    EXPECT_TRUE(result.names.empty());
  }
  EXPECT_EQ(Position(), u"A.D");

  // The filters are not applied.
  ASSERT_EQ(Move(OPC_BROWSE_TO, u"A"), S_OK);
  com::ComPtr<IEnumString> filtered;
  EXPECT_EQ(space_.BrowseOPCItemIDs(nullptr, OPC_LEAF, u"Z*", VT_BSTR, 2,
                                    filtered.GetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(filtered.Get()), Names{u"D"});
}

TEST_F(BrowseSpaceTest, FlatListsEveryNameOnceParentsFirstInNameOrder) {
  Build({u"S2.P1.b", u"S1.Z", u"S1.P10.a", u"S1.P2.a", u"S2.P1.a", u"S1.P2.b",
         u"S1.P10.a"});
  EXPECT_EQ(Browse(space_, OPC_FLAT).names,
            (Names{u"S1", u"P10", u"a", u"P2", u"a", u"b", u"Z", u"S2", u"P1",
                   u"a", u"b"}));
  ASSERT_EQ(Move(OPC_BROWSE_DOWN, u"S1"), S_OK);
  EXPECT_EQ(Browse(space_, OPC_FLAT).names,
            (Names{u"P10", u"a", u"P2", u"a", u"b", u"Z"}));
  EXPECT_EQ(Browse(space_, OPC_BRANCH).names, (Names{u"P10", u"P2"}));
  EXPECT_EQ(Browse(space_, OPC_LEAF).names, Names{u"Z"});
}

TEST_F(BrowseSpaceTest, GetItemIdChecks) {
  Build({u"A.B"});
  LPWSTR id = reinterpret_cast<LPWSTR>(0x1);  // what a client may leave there
  std::u16string name = u"A";
  EXPECT_EQ(space_.GetItemID(nullptr, nullptr, &id), E_INVALIDARG);
  EXPECT_EQ(id, nullptr);
  EXPECT_EQ(space_.GetItemID(nullptr, name.data(), nullptr), E_INVALIDARG);
  // The root's own ID is empty.
  EXPECT_EQ(Position(), u"");
  EXPECT_EQ(ItemId(space_, u"A"), u"A");
  // A name is one level: no splitting.
  EXPECT_EQ(ItemId(space_, u"A.B"), u"<error>");

  com::ComPtr<IEnumString> e;
  OPCNAMESPACETYPE type{};
  EXPECT_EQ(space_.QueryOrganization(&type), S_OK);
  EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
  EXPECT_EQ(space_.QueryOrganization(nullptr), E_INVALIDARG);
  EXPECT_EQ(space_.BrowseAccessPaths(u"A.B", e.GetAddressOf()), E_NOTIMPL);
  EXPECT_EQ(e, nullptr);
}

TEST_F(BrowseSpaceTest, TraceLines) {
  Build({u"A.B"});
  const void* server = reinterpret_cast<const void*>(0x5000ABCDull);
  {
    TraceCapture trace(kTraceDetail);
    ASSERT_EQ(space_.ChangeBrowsePosition(server, OPC_BROWSE_DOWN, u"A"), S_OK);
    ASSERT_EQ(space_.ChangeBrowsePosition(server, OPC_BROWSE_DOWN, u"X"),
              E_INVALIDARG);
    ASSERT_EQ(space_.ChangeBrowsePosition(server, OPC_BROWSE_TO, nullptr),
              E_INVALIDARG);
    std::u16string missing = u"Q";
    LPWSTR id = nullptr;
    ASSERT_EQ(space_.GetItemID(server, missing.data(), &id), E_INVALIDARG);
    ASSERT_EQ(space_.GetItemID(server, nullptr, &id), E_INVALIDARG);
    std::u16string b = u"B";
    ASSERT_EQ(space_.GetItemID(server, b.data(), &id), S_OK);  // no line
    CoTaskMemFree(id);
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{
                  TraceCapture::Line(server, S_OK,
                                     "CServer::ChangeBrowsePosition", "A"),
                  TraceCapture::Line(server, E_INVALIDARG,
                                     "CServer::ChangeBrowsePosition", "X"),
                  TraceCapture::Line(server, E_INVALIDARG,
                                     "CServer::ChangeBrowsePosition"),
                  TraceCapture::Line(server, E_INVALIDARG,
                                     "CServer::GetItemID: Error"),
                  TraceCapture::Line(server, E_INVALIDARG,
                                     "CServer::GetItemID: Error"),
              }));
    EXPECT_EQ(trace.Lines()[1],
              "03/07/2026 09:05:04.021: [0x5000ABCD] [Error: 0x80070057] "
              "CServer::ChangeBrowsePosition 'X'\n");
  }
  {
    // The position line is of the most verbose level only.
    TraceCapture trace(kTraceStep);
    ASSERT_EQ(space_.ChangeBrowsePosition(server, OPC_BROWSE_UP, u""), S_OK);
    EXPECT_TRUE(trace.Lines().empty());
  }
}

TEST_F(BrowseSpaceTest, RemovingAndRefreshingItems) {
  Build({u"A.B.C", u"A.D", u"E"});
  ASSERT_EQ(Move(OPC_BROWSE_TO, u"A.B.C"), S_OK);

  // The position's subtree goes: the position moves up to what is left.
  EXPECT_EQ(space_.RemoveItemIDs(List({u"A.B", u"A.X.Y", u"Q", u"", u".."})),
            S_OK);
  EXPECT_EQ(Position(), u"A");
  EXPECT_EQ(Browse(space_, OPC_LEAF).names, Names{u"D"});
  EXPECT_EQ(Browse(space_, OPC_BRANCH).hr, S_FALSE);

  // A parent left without children stays, as a leaf.
  EXPECT_EQ(space_.RemoveItemIDs(List({u"A.D"})), S_OK);
  EXPECT_EQ(Position(), u"A");
  ASSERT_EQ(Move(OPC_BROWSE_UP, u""), S_OK);
  EXPECT_EQ(Browse(space_, OPC_LEAF).names, (Names{u"A", u"E"}));
  EXPECT_EQ(space_.CheckConsistency(), "");

  // Freed nodes are used again by later additions.
  EXPECT_EQ(space_.AddItemIDs(List({u"A.F.G"})), S_OK);
  EXPECT_EQ(Browse(space_, OPC_FLAT).names, (Names{u"A", u"F", u"G", u"E"}));
  EXPECT_EQ(space_.NodeCount(), 5u);

  ASSERT_EQ(Move(OPC_BROWSE_TO, u"A.F"), S_OK);
  EXPECT_EQ(space_.RefreshItemIDs(List({u"X.Y", u"Z"})), S_OK);
  EXPECT_EQ(Position(), u"");
  EXPECT_EQ(Browse(space_, OPC_FLAT).names, (Names{u"X", u"Y", u"Z"}));
  EXPECT_EQ(space_.CheckConsistency(), "");
}

// Lists that are not a zero-based one-dimensional BSTR array change nothing.
TEST_F(BrowseSpaceTest, ListsOfAnyOtherShapeAreRejected) {
  Build({u"A.B"});
  std::vector<std::pair<const char*, com::Variant>> lists;
  lists.emplace_back("empty", com::Variant());
  lists.emplace_back("one BSTR", com::Variant(u"A.C"));
  {
    com::Variant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = nullptr;
    lists.emplace_back("null array", std::move(v));
  }
  {
    com::Variant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    lists.emplace_back("I4 array", std::move(v));
  }
  {
    // Says BSTR, holds integers: reading them as strings would crash.
    SAFEARRAY* ints = SafeArrayCreateVector(VT_I4, 0, 2);
    LONG i = 0;
    LONG junk = 0x12345678;
    SafeArrayPutElement(ints, &i, &junk);
    com::Variant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = ints;
    lists.emplace_back("integers labelled BSTR", std::move(v));
  }
  {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    com::Variant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = SafeArrayCreate(VT_BSTR, 2, bounds);
    lists.emplace_back("two dimensions", std::move(v));
  }
  {
    com::Variant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = SafeArrayCreateVector(VT_BSTR, 1, 2);
    lists.emplace_back("lower bound 1", std::move(v));
  }
  {
    com::Variant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    lists.emplace_back("VARIANT array", std::move(v));
  }
  com::Variant good = List({u"A.C"});
  VARIANT by_ref;
  by_ref.vt = VT_BYREF | VT_ARRAY | VT_BSTR;
  by_ref.pparray = &good.parray;

  for (auto& [what, list] : lists) {
    EXPECT_EQ(space_.AddItemIDs(list), E_INVALIDARG) << what;
    EXPECT_EQ(space_.RemoveItemIDs(list), E_INVALIDARG) << what;
    EXPECT_EQ(space_.RefreshItemIDs(list), E_INVALIDARG) << what;
  }
  EXPECT_EQ(space_.AddItemIDs(by_ref), E_INVALIDARG);
  EXPECT_EQ(Browse(space_, OPC_FLAT).names, (Names{u"A", u"B"}));
  EXPECT_EQ(space_.CheckConsistency(), "");
}

TEST_F(BrowseSpaceTest, HostileItemIds) {
  std::u16string huge(1 << 20, u'x');  // one name of a million characters
  std::u16string deep;                 // 50000 levels
  for (int i = 0; i < 50000; ++i) deep += u"d.";
  std::u16string with_nul = u"N.M";
  with_nul[1] = u'\0';  // read as "N"
  com::Variant list = List({huge, deep, u"....", u"", with_nul});
  SAFEARRAYBOUND bound{6, 0};
  ASSERT_EQ(SafeArrayRedim(list.parray, &bound), S_OK);  // element 5: null
  space_.SetDelimiter(u".");
  ASSERT_EQ(space_.AddItemIDs(list), S_OK);
  EXPECT_EQ(space_.NodeCount(), 1u + 1 + 50000 + 1);
  EXPECT_EQ(Browse(space_, OPC_LEAF).names, (Names{u"N", huge}));
  EXPECT_EQ(Browse(space_, OPC_FLAT).names.size(), 50002u);

  ASSERT_EQ(Move(OPC_BROWSE_TO, deep.c_str()), S_OK);
  std::u16string expected = deep.substr(0, deep.size() - 1);
  EXPECT_EQ(Position(), expected);
  EXPECT_EQ(space_.RemoveItemIDs(List({u"d"})), S_OK);
  EXPECT_EQ(Position(), u"");
  EXPECT_EQ(space_.NodeCount(), 3u);
  EXPECT_EQ(space_.CheckConsistency(), "");
}

// Readers browse while a writer moves the position about: each answer is the
// whole answer for one of the positions, never a mix or a torn read.
TEST_F(BrowseSpaceTest, ConcurrentBrowsingWhileThePositionMoves) {
  Names ids;
  for (const char16_t* sw : {u"SW1", u"SW2"}) {
    for (const char16_t* port : {u"P1", u"P2", u"P3"}) {
      for (const char16_t* item : {u"Speed", u"Link", u"Usage"})
        ids.push_back(std::u16string(sw) + u"." + port + u"." + item);
    }
  }
  ids.push_back(u"SW2.Status");
  Build(ids);
  // Where the writer below can leave the position, and what each reader
  // call may answer there.
  const char16_t* const kPositions[] = {u"", u"SW1", u"SW1.P2", u"SW2",
                                        u"SW2.P3"};
  std::set<std::u16string> positions;
  std::set<Names> leaf_answers;
  std::set<Names> flat_answers;
  for (const char16_t* position : kPositions) {
    ASSERT_EQ(Move(OPC_BROWSE_TO, position), S_OK);
    positions.insert(position);
    leaf_answers.insert(Browse(space_, OPC_LEAF).names);
    flat_answers.insert(Browse(space_, OPC_FLAT).names);
  }
  ASSERT_EQ(flat_answers.size(), 4u);  // SW1.P2 and SW2.P3 look alike
  std::atomic<int> bad{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 2000 && !stop; ++i) {
        if (leaf_answers.count(Browse(space_, OPC_LEAF).names) == 0) ++bad;
        if (positions.count(Position()) == 0) ++bad;
        if (flat_answers.count(Browse(space_, OPC_FLAT).names) == 0) ++bad;
      }
    });
  }
  std::thread writer([&] {
    const char16_t* const targets[] = {u"SW1.P2", u"SW2", u"", u"SW2.P3"};
    for (int i = 0; i < 4000; ++i) {
      if (Move(OPC_BROWSE_TO, targets[i % 4]) != S_OK) ++bad;
      // These fail or succeed depending on where the position is, and
      // leave it where it was on failure.
      Move(OPC_BROWSE_DOWN, u"P3");
      Move(OPC_BROWSE_UP, u"");
    }
    stop = true;
  });
  writer.join();
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(space_.CheckConsistency(), "");
}

// The tree changes under browsing readers (the item list upkeep is reachable
// by any client that asks for it).
TEST_F(BrowseSpaceTest, ConcurrentBrowsingWhileItemsComeAndGo) {
  Build({u"A.B", u"A.C", u"D"});
  // Below the root, X, X.Y (when there) and whatever is left when they go.
  const std::set<Names> flat_answers = {
      {u"A", u"B", u"C", u"D"},
      {u"A", u"B", u"C", u"D", u"X", u"Q"},
      {u"A", u"B", u"C", u"D", u"X", u"Q", u"Y", u"Z"},
      {u"Q"},
      {u"Q", u"Y", u"Z"},
      {u"Z"}};
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    for (int i = 0; i < 3000 && !stop; ++i) {
      Move(OPC_BROWSE_TO, u"X.Y");
      if (flat_answers.count(Browse(space_, OPC_FLAT).names) == 0) ++bad;
      const std::u16string z = ItemId(space_, u"Z");
      if (z != u"X.Y.Z" && z != u"<error>") ++bad;
    }
  });
  for (int i = 0; i < 1500; ++i) {
    space_.AddItemIDs(List({u"X.Y.Z", u"X.Q"}));
    space_.RemoveItemIDs(List({i % 2 ? u"X" : u"X.Y"}));
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(space_.CheckConsistency(), "");
}

// Spaces over one cache of shared trees.
class SharedTreeTest : public ::testing::Test {
 protected:
  // The first space of the process makes the tree every space starts
  // with: made here, it is not counted by the tests.
  void SetUp() override { BrowseSpace first(&cache_); }

  std::unique_ptr<BrowseSpace> NewSpace(const Names& ids,
                                        std::u16string delimiter = u".") {
    auto space = std::make_unique<BrowseSpace>(&cache_);
    space->SetDelimiter(std::move(delimiter));
    EXPECT_EQ(space->AddItemIDs(List(ids)), S_OK);
    return space;
  }
  static HRESULT Move(BrowseSpace& space, OPCBROWSEDIRECTION direction,
                      const char16_t* name) {
    return space.ChangeBrowsePosition(nullptr, direction, name);
  }

  BrowseTreeCache cache_;
  const Names site_ = {u"SW1.P1.Speed", u"SW1.P1.Link", u"SW1.P2.Speed",
                       u"SW1.P2.Link",  u"SW1.Status",  u"SW2.P1.Speed"};
};

TEST_F(SharedTreeTest, SpacesOverTheSameListShareOneTree) {
  const size_t trees = BrowseTree::LiveCount();
  auto first = NewSpace(site_);
  auto second = NewSpace(site_);
  auto third = NewSpace(site_);
  EXPECT_EQ(first->TreeForTesting(), second->TreeForTesting());
  EXPECT_EQ(first->TreeForTesting(), third->TreeForTesting());
  EXPECT_TRUE(second->SharesTreeForTesting());
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 1);
  EXPECT_EQ(cache_.Size(), 1u);

  // The list is the key: the same IDs in another order make a tree of
  // their own (the same tree, built again), and so do lists that give
  // another tree, or the same list with another delimiter.
  Names shuffled(site_.rbegin(), site_.rend());
  auto reordered = NewSpace(shuffled);
  EXPECT_NE(reordered->TreeForTesting(), first->TreeForTesting());
  EXPECT_EQ(Browse(*reordered, OPC_FLAT).names, Browse(*first, OPC_FLAT).names);
  auto fewer = NewSpace({u"SW1.P1.Speed", u"SW1.P1.Link", u"SW1.P2.Speed",
                         u"SW1.P2.Link", u"SW1.Status"});
  auto longer = NewSpace({u"SW1.P1.Speed", u"SW1.P1.Link", u"SW1.P2.Speed",
                          u"SW1.P2.Link", u"SW1.Status", u"SW2.P1.Speed.X"});
  auto slash = NewSpace(site_, u"/");
  auto empty_delimiter = NewSpace(site_, u"");
  for (auto* other :
       {fewer.get(), longer.get(), slash.get(), empty_delimiter.get()}) {
    EXPECT_NE(other->TreeForTesting(), first->TreeForTesting());
  }
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 6);
  EXPECT_EQ(cache_.Size(), 6u);

  // Each space has its own position over the shared tree.
  ASSERT_EQ(Move(*first, OPC_BROWSE_TO, u"SW1.P2"), S_OK);
  ASSERT_EQ(Move(*second, OPC_BROWSE_DOWN, u"SW2"), S_OK);
  EXPECT_EQ(Browse(*first, OPC_LEAF).names, (Names{u"Link", u"Speed"}));
  EXPECT_EQ(Browse(*second, OPC_BRANCH).names, Names{u"P1"});
  EXPECT_EQ(Browse(*third, OPC_BRANCH).names, (Names{u"SW1", u"SW2"}));
  EXPECT_EQ(ItemId(*first, u"Link"), u"SW1.P2.Link");
  EXPECT_EQ(ItemId(*slash, u"SW1.P1.Link"), u"SW1.P1.Link");  // one name
}

// A space whose list changes takes its own copy first; the others keep the
// tree as it was.
TEST_F(SharedTreeTest, AChangedSpaceStopsSharingAndTheOthersSeeNothing) {
  auto changed = NewSpace(site_);
  auto other = NewSpace(site_);
  const BrowseTree* shared = other->TreeForTesting();
  const Names flat = Browse(*other, OPC_FLAT).names;

  // Removing what is not there changes nothing and copies nothing.
  EXPECT_EQ(changed->RemoveItemIDs(List({u"SW9", u"SW1.P7.Speed"})), S_OK);
  EXPECT_EQ(changed->TreeForTesting(), shared);

  // A removal: the copy keeps the position's node, one inside the removed
  // subtree moves up to the removed node's parent.
  ASSERT_EQ(Move(*changed, OPC_BROWSE_TO, u"SW1.P1.Link"), S_OK);
  ASSERT_EQ(Move(*other, OPC_BROWSE_TO, u"SW1.P1.Link"), S_OK);
  EXPECT_EQ(changed->RemoveItemIDs(List({u"SW2.P1"})), S_OK);
  EXPECT_FALSE(changed->SharesTreeForTesting());
  EXPECT_EQ(ItemId(*changed, u""), u"SW1.P1.Link");
  EXPECT_EQ(changed->RemoveItemIDs(List({u"SW1.P1"})), S_OK);
  EXPECT_EQ(ItemId(*changed, u""), u"SW1");
  EXPECT_EQ(Move(*changed, OPC_BROWSE_TO, u""), S_OK);
  EXPECT_EQ(Browse(*changed, OPC_FLAT).names,
            (Names{u"SW1", u"P2", u"Link", u"Speed", u"Status", u"SW2"}));
  EXPECT_EQ(changed->CheckConsistency(), "");

  EXPECT_EQ(other->TreeForTesting(), shared);
  EXPECT_EQ(ItemId(*other, u""), u"SW1.P1.Link");
  ASSERT_EQ(Move(*other, OPC_BROWSE_TO, u""), S_OK);
  EXPECT_EQ(Browse(*other, OPC_FLAT).names, flat);

  // An addition to a tree that is not empty copies it as well.
  auto added = NewSpace(site_);
  EXPECT_EQ(added->TreeForTesting(), shared);
  ASSERT_EQ(Move(*added, OPC_BROWSE_TO, u"SW1.P2"), S_OK);
  EXPECT_EQ(added->AddItemIDs(List({u"SW1.P2.Usage", u"SW3"})), S_OK);
  EXPECT_NE(added->TreeForTesting(), shared);
  EXPECT_EQ(Browse(*added, OPC_LEAF).names,
            (Names{u"Link", u"Speed", u"Usage"}));
  EXPECT_EQ(Browse(*other, OPC_FLAT).names, flat);
  EXPECT_EQ(added->CheckConsistency(), "");

  // A refresh with the list of the others shares their tree again; with a
  // list of its own, the space gets a tree of its own.
  EXPECT_EQ(changed->RefreshItemIDs(List(site_)), S_OK);
  EXPECT_EQ(changed->TreeForTesting(), shared);
  EXPECT_EQ(ItemId(*changed, u""), u"");
  EXPECT_EQ(added->RefreshItemIDs(List({u"Q.R"})), S_OK);
  EXPECT_TRUE(added->SharesTreeForTesting());
  EXPECT_EQ(Browse(*added, OPC_FLAT).names, (Names{u"Q", u"R"}));
  EXPECT_EQ(Browse(*other, OPC_FLAT).names, flat);

  // Everything removed, then a list added: the list's shared tree.
  EXPECT_EQ(added->RemoveItemIDs(List({u"Q"})), S_OK);
  EXPECT_EQ(added->NodeCount(), 1u);
  EXPECT_EQ(added->AddItemIDs(List(site_)), S_OK);
  EXPECT_EQ(added->TreeForTesting(), shared);
}

// The cache holds no tree alive: a tree goes with the last space over it,
// and a new space then builds the list's tree again.
TEST_F(SharedTreeTest, TheLastSpaceTakesTheTreeAlong) {
  const size_t trees = BrowseTree::LiveCount();
  auto first = NewSpace(site_);
  auto second = NewSpace(site_);
  const BrowseTree* shared = first->TreeForTesting();
  first.reset();
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 1);
  auto third = NewSpace(site_);  // found while the second holds it
  EXPECT_EQ(third->TreeForTesting(), shared);
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 1);

  // A changed space's copy goes with it; the shared tree stays.
  EXPECT_EQ(third->RemoveItemIDs(List({u"SW2"})), S_OK);
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 2);
  third.reset();
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 1);
  EXPECT_EQ(cache_.Size(), 1u);

  second.reset();
  EXPECT_EQ(BrowseTree::LiveCount(), trees);
  EXPECT_EQ(cache_.Size(), 0u);

  auto again = NewSpace(site_);
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 1);
  EXPECT_EQ(cache_.Size(), 1u);
  EXPECT_EQ(again->CheckConsistency(), "");
  again->RefreshItemIDs(List({u"X"}));  // its old tree goes, the new stays
  EXPECT_EQ(BrowseTree::LiveCount(), trees + 1);
  EXPECT_EQ(cache_.Size(), 1u);
}

// A key only narrows the search: a tree found under the list's key is
// taken only when the list gives exactly that tree.
TEST_F(SharedTreeTest, ATreeUnderTheSameKeyIsTakenOnlyWhenTheListGivesIt) {
  BrowseTreeCache::ListHash hash;
  for (const std::u16string& id : site_) hash.Add(id);
  const BrowseTreeCache::Key key{u".", hash.value(), site_.size()};
  auto tree_of =
      [](const std::vector<std::vector<std::u16string_view>>& paths) {
        auto tree = std::make_shared<BrowseTree>();
        BrowseTree::Inserter inserter(tree.get());
        for (const auto& path : paths) inserter.Add(path);
        return tree;
      };
  // As if another list had the same hash and length.
  const std::shared_ptr<const BrowseTree> impostor =
      tree_of({{u"SW1", u"P1", u"Speed"}, {u"SW1", u"P1", u"Link"}});
  ASSERT_TRUE(cache_.Publish(key, impostor));
  auto space = NewSpace(site_);
  EXPECT_NE(space->TreeForTesting(), impostor.get());
  EXPECT_EQ(Browse(*space, OPC_FLAT).names,
            (Names{u"SW1", u"P1", u"Link", u"Speed", u"P2", u"Link", u"Speed",
                   u"Status", u"SW2", u"P1", u"Speed"}));
  EXPECT_EQ(cache_.Size(), 2u);
  // Both are there now; the next space takes the one its list gives.
  auto next = NewSpace(site_);
  EXPECT_EQ(next->TreeForTesting(), space->TreeForTesting());

  // A tree made another way that is exactly the list's is taken.
  BrowseTreeCache other_cache;
  const std::shared_ptr<const BrowseTree> same =
      tree_of({{u"SW2", u"P1", u"Speed"},
               {u"SW1", u"Status"},
               {u"SW1", u"P2", u"Link"},
               {u"SW1", u"P2", u"Speed"},
               {u"SW1", u"P1", u"Link"},
               {u"SW1", u"P1", u"Speed"}});
  ASSERT_TRUE(other_cache.Publish(key, same));
  BrowseSpace found(&other_cache);
  found.SetDelimiter(u".");
  ASSERT_EQ(found.AddItemIDs(List(site_)), S_OK);
  EXPECT_EQ(found.TreeForTesting(), same.get());
}

// Hostile lists are shared like any other: the second space finds the
// first one's tree and reads it as its own.
TEST_F(SharedTreeTest, HostileListsAreMatchedExactly) {
  std::u16string deep;
  for (int i = 0; i < 20000; ++i) deep += u"d.";
  std::u16string with_nul = u"N.M";
  with_nul[1] = u'\0';
  const Names hostile = {
      std::u16string(100000, u'x'), deep, u"....", u"", with_nul, u"N"};
  auto first = NewSpace(hostile);
  auto second = NewSpace(hostile);
  EXPECT_EQ(first->TreeForTesting(), second->TreeForTesting());
  // Without the NUL the list is another one.
  Names other = hostile;
  other[4] = u"N.M";
  auto third = NewSpace(other);
  EXPECT_NE(third->TreeForTesting(), first->TreeForTesting());
  EXPECT_EQ(third->NodeCount(), first->NodeCount() + 1);
  EXPECT_EQ(second->CheckConsistency(), "");
}

// Readers of several spaces browse one shared tree while other spaces over
// it take device item-list events and spaces over the same list come and
// go: a reader always sees the tree as it was built.
TEST_F(SharedTreeTest, ConcurrentReadersOfASharedTreeWhileOthersChange) {
  Names ids;
  for (int s = 1; s <= 4; ++s) {
    for (int p = 1; p <= 6; ++p) {
      for (const char16_t* item : {u"Speed", u"Link", u"rx_fcs_errors"}) {
        ids.push_back(
            u"SW" + std::u16string(1, static_cast<char16_t>('0' + s)) + u".P" +
            std::u16string(1, static_cast<char16_t>('0' + p)) + u"." + item);
      }
    }
  }
  std::vector<std::unique_ptr<BrowseSpace>> readers_spaces;
  for (int i = 0; i < 3; ++i) readers_spaces.push_back(NewSpace(ids));
  auto changing = NewSpace(ids);
  const BrowseTree* shared = changing->TreeForTesting();
  const Names flat = Browse(*readers_spaces[0], OPC_FLAT).names;
  ASSERT_EQ(flat.size(), 4u + 4 * 6 + 4 * 6 * 3);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> rounds{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      BrowseSpace& space = *readers_spaces[r];
      while (!stop) {
        if (Move(space, OPC_BROWSE_TO, u"") != S_OK) ++bad;
        if (Browse(space, OPC_FLAT).names != flat) ++bad;
        if (Move(space, OPC_BROWSE_TO, u"SW3.P6") != S_OK) ++bad;
        if (Browse(space, OPC_LEAF).names !=
            Names{u"Link", u"Speed", u"rx_fcs_errors"}) {
          ++bad;
        }
        if (ItemId(space, u"Link") != u"SW3.P6.Link") ++bad;
        ++rounds;
      }
    });
  }
  // Spaces over the same list made and dropped at once with the readers.
  std::thread joiner([&] {
    while (!stop) {
      auto space = NewSpace(ids);
      if (space->NodeCount() != flat.size() + 1) ++bad;
    }
  });
  for (int i = 0; i < 300; ++i) {
    changing->RemoveItemIDs(List({u"SW3", u"SW1.P1.Speed"}));
    changing->AddItemIDs(List({u"SW3.P9.Speed", u"SW5"}));
    changing->RefreshItemIDs(List(ids));  // the shared tree again
    if (changing->TreeForTesting() != shared) ++bad;
  }
  // Every reader has been through its round a few times at least (a bound
  // on the wait only so that a hang fails instead of blocking).
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (rounds.load() < 30 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_GE(rounds.load(), 30);
  stop = true;
  for (std::thread& t : readers) t.join();
  joiner.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(readers_spaces[0]->TreeForTesting(), shared);
  EXPECT_EQ(changing->CheckConsistency(), "");
}

}  // namespace
}  // namespace kavex::server
