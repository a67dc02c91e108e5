#include "server/objects/browse_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace kavex::server {
namespace {

using NodeId = BrowseTree::NodeId;
using Path = std::vector<std::u16string>;

void Add(BrowseTree* tree, const std::vector<Path>& paths) {
  BrowseTree::Inserter inserter(tree);
  for (const Path& path : paths) {
    std::vector<std::u16string_view> components(path.begin(), path.end());
    inserter.Add(components);
  }
}

NodeId Find(const BrowseTree& tree, const Path& path) {
  NodeId node = BrowseTree::kRoot;
  for (const std::u16string& name : path) {
    node = tree.Child(node, name);
    if (node == BrowseTree::kNoNode) break;
  }
  return node;
}

// The tree as "depth:name" lines, depth first, children in their order.
std::string Dump(const BrowseTree& tree, NodeId node = BrowseTree::kRoot,
                 int depth = 0) {
  std::string out;
  for (NodeId child : tree.Children(node)) {
    std::u16string_view name = tree.Name(child);
    out += std::to_string(depth) + ":" + std::string(name.begin(), name.end()) +
           "\n";
    out += Dump(tree, child, depth + 1);
  }
  return out;
}

// The same tree kept the plain way, to compare with.
struct Model {
  std::map<std::u16string, Model> children;

  void Add(const Path& path) {
    Model* m = this;
    for (const std::u16string& name : path) m = &m->children[name];
  }
  bool Remove(const Path& path) {
    Model* m = this;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
      auto it = m->children.find(path[i]);
      if (it == m->children.end()) return false;
      m = &it->second;
    }
    return m->children.erase(path.back()) == 1;
  }
  std::string Dump(int depth = 0) const {
    std::string out;
    for (const auto& [name, child] : children) {
      out += std::to_string(depth) + ":" +
             std::string(name.begin(), name.end()) + "\n";
      out += child.Dump(depth + 1);
    }
    return out;
  }
};

TEST(BrowseTreeTest, ChildrenInBinaryOrderWhateverTheInsertionOrder) {
  BrowseTree tree;
  // Code-unit order: upper case before lower case, a prefix before its
  // extensions, digits by character not by value.
  Add(&tree, {{u"b"}, {u"a"}, {u"B"}, {u"ab"}, {u"P10"}, {u"P2"}, {u"P1"}});
  std::vector<std::u16string> names;
  for (NodeId child : tree.Children(BrowseTree::kRoot))
    names.emplace_back(tree.Name(child));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"B", u"P1", u"P10", u"P2",
                                                u"a", u"ab", u"b"}));
  EXPECT_EQ(tree.CheckConsistency(), "");
}

TEST(BrowseTreeTest, CountersFollowInsertionAndRemoval) {
  BrowseTree tree;
  Add(&tree, {{u"A", u"B", u"C"}, {u"A", u"D"}});
  const NodeId a = Find(tree, {u"A"});
  const NodeId b = Find(tree, {u"A", u"B"});
  EXPECT_EQ(tree.ChildCount(BrowseTree::kRoot), 1u);
  EXPECT_EQ(tree.BranchCount(BrowseTree::kRoot), 1u);
  EXPECT_EQ(tree.DescendantCount(BrowseTree::kRoot), 4u);
  EXPECT_EQ(tree.ChildCount(a), 2u);
  EXPECT_EQ(tree.BranchCount(a), 1u);  // B, not D
  EXPECT_EQ(tree.DescendantCount(a), 3u);

  // A path continuing below a leaf makes it a branch.
  Add(&tree, {{u"A", u"D", u"E", u"F"}});
  EXPECT_EQ(tree.BranchCount(a), 2u);
  EXPECT_EQ(tree.DescendantCount(BrowseTree::kRoot), 6u);
  EXPECT_EQ(tree.CheckConsistency(), "");

  // Removing B's only child leaves B in place, as a leaf.
  tree.Remove(Find(tree, {u"A", u"B", u"C"}));
  EXPECT_TRUE(tree.IsLive(b));
  EXPECT_FALSE(tree.IsBranch(b));
  EXPECT_EQ(tree.BranchCount(a), 1u);
  EXPECT_EQ(tree.DescendantCount(BrowseTree::kRoot), 5u);

  tree.Remove(Find(tree, {u"A", u"D"}));  // with E and F
  EXPECT_EQ(tree.NodeCount(), 3u);        // root, A, B
  EXPECT_EQ(tree.DescendantCount(a), 1u);
  EXPECT_EQ(tree.BranchCount(a), 0u);
  EXPECT_EQ(tree.CheckConsistency(), "");

  tree.Clear();
  EXPECT_EQ(tree.NodeCount(), 1u);
  EXPECT_EQ(tree.NameCount(), 0u);
  EXPECT_EQ(tree.ChildCount(BrowseTree::kRoot), 0u);
  EXPECT_EQ(tree.CheckConsistency(), "");
}

// Random batches of additions and removals (so that paths share prefixes,
// repeat and continue below each other), compared after every step with a
// plain map-of-maps tree and with a recount. A small alphabet gives nodes
// with a few children, a large one nodes with more than a scan covers.
void RunRandomChanges(int alphabet_size, int steps) {
  std::vector<std::u16string> alphabet = {u"a", u"b", u"B",     u"ab",
                                          u"x", u"Z", u"\u00e9"};
  for (int i = 0; static_cast<int>(alphabet.size()) < alphabet_size; ++i)
    alphabet.push_back(u"n" +
                       std::u16string(1, static_cast<char16_t>(u'0' + i % 40)) +
                       std::u16string(1, static_cast<char16_t>(u'A' + i / 40)));
  std::mt19937 random(7);
  auto random_path = [&] {
    Path path(1 + random() % 4);
    for (std::u16string& name : path)
      name = alphabet[random() % (path.size() == 1 ? alphabet.size() : 7)];
    return path;
  };
  BrowseTree tree;
  Model model;
  for (int step = 0; step < steps; ++step) {
    if (random() % 3 != 0) {
      std::vector<Path> batch(random() % 40);
      for (Path& path : batch) {
        path = random_path();
        model.Add(path);
      }
      Add(&tree, batch);
    } else {
      const Path path = random_path();
      const NodeId node = Find(tree, path);
      EXPECT_EQ(model.Remove(path), node != BrowseTree::kNoNode);
      if (node != BrowseTree::kNoNode) tree.Remove(node);
    }
    ASSERT_EQ(tree.CheckConsistency(), "") << "step " << step;
    ASSERT_EQ(Dump(tree), model.Dump()) << "step " << step;
  }
}

TEST(BrowseTreeTest, RandomChangesAgreeWithAPlainTree) {
  RunRandomChanges(7, 400);
}

TEST(BrowseTreeTest, RandomChangesBelowANodeWithManyChildren) {
  RunRandomChanges(200, 400);
}

TEST(BrowseTreeTest, DeepAndWideTreesNeedNoRecursionOrQuadraticWork) {
  BrowseTree tree;
  // 100000 levels: the counters of every ancestor are set once per path.
  Path deep(100000, u"d");
  Add(&tree, {deep});
  EXPECT_EQ(tree.NodeCount(), 100001u);
  EXPECT_EQ(tree.DescendantCount(BrowseTree::kRoot), 100000u);
  EXPECT_EQ(tree.BranchCount(BrowseTree::kRoot), 1u);
  tree.Remove(tree.Children(BrowseTree::kRoot)[0]);
  EXPECT_EQ(tree.NodeCount(), 1u);

  // 200000 children of the root in descending order.
  std::vector<Path> wide;
  for (int i = 199999; i >= 0; --i) {
    std::u16string name;
    for (char c : std::to_string(i)) name.push_back(static_cast<char16_t>(c));
    wide.push_back({name});
  }
  Add(&tree, wide);
  EXPECT_EQ(tree.ChildCount(BrowseTree::kRoot), 200000u);
  EXPECT_EQ(tree.Name(tree.Children(BrowseTree::kRoot)[0]), u"0");
  EXPECT_EQ(tree.Name(tree.Children(BrowseTree::kRoot)[1]), u"1");
  EXPECT_EQ(tree.Name(tree.Children(BrowseTree::kRoot)[2]), u"10");
  EXPECT_EQ(tree.CheckConsistency(), "");
}

TEST(BrowseTreeTest, NamesAreStoredOnceAndFreedWithTheirLastNode) {
  BrowseTree tree;
  std::vector<Path> site;
  for (int s = 0; s < 50; ++s) {
    for (int p = 0; p < 28; ++p) {
      for (const char16_t* item : {u"Link_Status", u"rx_fcs_errors"}) {
        site.push_back({u"SW" + std::u16string(1, u'A' + s % 26) +
                            std::u16string(1, u'a' + s / 26),
                        u"P" + std::u16string(1, u'a' + p), item});
      }
    }
  }
  Add(&tree, site);
  EXPECT_EQ(tree.NodeCount(), 1u + 50 + 50 * 28 + 50 * 28 * 2);
  EXPECT_EQ(tree.NameCount(), 50u + 28 + 2);

  // Long unique names come and go; their text does not pile up.
  const size_t before = tree.MemoryBytes();
  for (int round = 0; round < 20; ++round) {
    std::vector<Path> extra;
    for (int i = 0; i < 200; ++i)
      extra.push_back({u"X", std::u16string(400, u'a' + round % 26) +
                                 std::u16string(1, u'0' + i % 10) +
                                 std::u16string(1, u'0' + i / 10 % 10) +
                                 std::u16string(1, u'0' + i / 100)});
    Add(&tree, extra);
    tree.Remove(Find(tree, {u"X"}));
    ASSERT_EQ(tree.CheckConsistency(), "");
  }
  EXPECT_EQ(tree.NameCount(), 50u + 28 + 2);
  EXPECT_LT(tree.MemoryBytes(), before + 2 * 200 * 403 * sizeof(char16_t));
}

// The budget of a browse tree is 128 bytes a node. A site of 40 switches of
// 28 ports with the device's 43 port items each, as the device lists them
// (switch by switch, port by port, items in property order).
TEST(BrowseTreeTest, SiteTreeStaysWithinTheMemoryBudget) {
  static const char16_t* const kPortItems[] = {
      u"Link_Status", u"Speed",     u"Duplex",        u"Usage",
      u"tx_octets",   u"rx_octets", u"rx_fcs_errors", u"rx_alignment_errors"};
  BrowseTree tree;
  {
    BrowseTree::Inserter inserter(&tree);
    for (int s = 0; s < 40; ++s) {
      const std::u16string sw = u"SW" + std::u16string(1, u'0' + s / 10) +
                                std::u16string(1, u'0' + s % 10);
      for (int p = 1; p <= 28; ++p) {
        const std::u16string port = u"P" + std::u16string(1, u'0' + p / 10) +
                                    std::u16string(1, u'0' + p % 10);
        for (int item = 0; item < 43; ++item) {
          const std::u16string name = std::u16string(kPortItems[item % 8]) +
                                      std::u16string(1, u'A' + item / 8);
          const std::u16string_view path[] = {sw, port, name};
          inserter.Add(path);
        }
      }
    }
  }
  EXPECT_EQ(tree.NodeCount(), 1u + 40 + 40 * 28 + 40 * 28 * 43);
  EXPECT_EQ(tree.CheckConsistency(), "");
  EXPECT_LE(tree.MemoryBytes() / tree.NodeCount(), 128u)
      << tree.MemoryBytes() << " bytes";
}

// A copy is the same tree node for node (ids included, so a position kept
// as an id stays good) and apart from then on: changes to either leave the
// other as it was. Built with removals (free slots) and a node with more
// children than a scan covers (the hash index).
TEST(BrowseTreeTest, CloneKeepsNodeIdsAndGoesItsOwnWay) {
  BrowseTree tree;
  std::vector<Path> paths;
  for (int i = 0; i < 150; ++i) {
    const std::u16string n =
        u"n" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
        std::u16string(1, static_cast<char16_t>(u'a' + i / 26));
    paths.push_back({u"S", n, u"leaf"});
    paths.push_back({u"T", n});
  }
  Add(&tree, paths);
  tree.Remove(Find(tree, {u"S", u"nBa"}));
  tree.Remove(Find(tree, {u"T", u"nCb"}));
  const std::string before = Dump(tree);

  std::unique_ptr<BrowseTree> copy = tree.Clone();
  EXPECT_EQ(copy->CheckConsistency(), "");
  EXPECT_EQ(Dump(*copy), before);
  EXPECT_EQ(copy->NodeCount(), tree.NodeCount());
  EXPECT_LE(copy->MemoryBytes(), tree.MemoryBytes());  // no scratch space
  for (const Path& path :
       {Path{u"S"}, Path{u"S", u"nZa", u"leaf"}, Path{u"T", u"nAc"}}) {
    const NodeId id = Find(tree, path);
    ASSERT_NE(id, BrowseTree::kNoNode);
    EXPECT_EQ(Find(*copy, path), id);
  }
  EXPECT_EQ(Find(*copy, {u"S", u"nBa"}), BrowseTree::kNoNode);

  // Freed slots and names of the copy are its own: new nodes reuse them.
  copy->Remove(Find(*copy, {u"S"}));
  Add(copy.get(), {{u"U", u"nAa"}, {u"S", u"new"}});
  EXPECT_EQ(copy->CheckConsistency(), "");
  EXPECT_EQ(Dump(tree), before);
  EXPECT_EQ(tree.CheckConsistency(), "");

  Add(&tree, {{u"V"}});
  tree.Remove(Find(tree, {u"T"}));
  EXPECT_EQ(Dump(*copy).find("0:V"), std::string::npos);
  EXPECT_NE(Find(*copy, {u"T", u"nAc"}), BrowseTree::kNoNode);
  EXPECT_EQ(copy->CheckConsistency(), "");
  EXPECT_EQ(tree.CheckConsistency(), "");
}

TEST(BrowseTreeTest, CloneCountsAsALiveTree) {
  const size_t before = BrowseTree::LiveCount();
  {
    BrowseTree tree;
    Add(&tree, {{u"A", u"B"}});
    EXPECT_EQ(BrowseTree::LiveCount(), before + 1);
    std::unique_ptr<BrowseTree> copy = tree.Clone();
    EXPECT_EQ(BrowseTree::LiveCount(), before + 2);
  }
  EXPECT_EQ(BrowseTree::LiveCount(), before);
}

// Whether a list gives exactly the tree built from {A.B.C, A.D, E}.
TEST(BrowseTreeTest, MatcherTellsWhetherAListGivesExactlyTheTree) {
  BrowseTree tree;
  Add(&tree, {{u"A", u"B", u"C"}, {u"A", u"D"}, {u"E"}});
  struct Case {
    const char* what;
    std::vector<Path> paths;
    bool matches;
  };
  const Case cases[] = {
      {"the same list", {{u"A", u"B", u"C"}, {u"A", u"D"}, {u"E"}}, true},
      {"another order, repeats and prefixes",
       {{u"E"}, {u"A", u"D"}, {u"A"}, {u"A", u"B", u"C"}, {u"A", u"D"}, {}},
       true},
      {"a path missing", {{u"A", u"B", u"C"}, {u"A", u"D"}}, false},
      {"only a prefix of a path", {{u"A", u"B"}, {u"A", u"D"}, {u"E"}}, false},
      {"one path more",
       {{u"A", u"B", u"C"}, {u"A", u"D"}, {u"E"}, {u"F"}},
       false},
      {"a path longer",
       {{u"A", u"B", u"C", u"X"}, {u"A", u"D"}, {u"E"}},
       false},
      {"a level moved",
       {{u"A", u"C"}, {u"A", u"B"}, {u"A", u"D"}, {u"E"}},
       false},
      {"case differs", {{u"a", u"B", u"C"}, {u"A", u"D"}, {u"E"}}, false},
      {"nothing", {}, false},
  };
  for (const Case& c : cases) {
    BrowseTree::Matcher matcher(tree);
    for (const Path& path : c.paths) {
      std::vector<std::u16string_view> components(path.begin(), path.end());
      matcher.Add(components);
    }
    EXPECT_EQ(matcher.Matches(), c.matches) << c.what;
  }

  // An empty tree is what an empty list gives; after removals the tree is
  // what its remaining paths give.
  BrowseTree empty;
  EXPECT_TRUE(BrowseTree::Matcher(empty).Matches());
  tree.Remove(Find(tree, {u"A", u"B"}));
  BrowseTree::Matcher after(tree);
  for (const Path& path : {Path{u"A", u"D"}, Path{u"E"}}) {
    std::vector<std::u16string_view> components(path.begin(), path.end());
    after.Add(components);
  }
  EXPECT_TRUE(after.Matches());
}

}  // namespace
}  // namespace kavex::server
