#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "protocol/command_catalog.h"

namespace vexo3 {
namespace {

using Bytes = std::vector<uint8_t>;
using Expected = std::map<uint8_t, ParameterTable>;

// Parses from a heap copy of exactly `bytes.size()` bytes so that ASan sees
// any read past the end.
int Load(CommandCatalog& catalog, const Bytes& bytes) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return catalog.LoadCatalog(bytes.empty() ? nullptr : copy.get(), bytes.size());
}

struct CatalogCase {
  const char* name;
  Bytes block;
  int result;
  Expected commands;
};

class CatalogCases : public testing::TestWithParam<CatalogCase> {};

TEST_P(CatalogCases, LoadsWhatTheBlockSays) {
  const CatalogCase& c = GetParam();
  CommandCatalog catalog;
  // Whatever was there before is gone.
  ASSERT_EQ(Load(catalog, {0x01, 0x42, 0x01, 0x07, 0x01}), 0);
  EXPECT_EQ(Load(catalog, c.block), c.result);
  EXPECT_EQ(catalog.Commands(), c.commands);
  EXPECT_EQ(catalog.IsEmpty(), c.commands.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, CatalogCases,
    testing::Values(
        CatalogCase{
            "Example", {0x01, 0xF7, 0x02, 0x30, 0x02, 0xDA, 0x00}, 0, {{247, {{48, 2}, {218, 0}}}}},
        CatalogCase{"EmptyWellFormed", {0x00}, 0, {}},
        CatalogCase{"EmptyWithTrailing", {0x00, 0xFF}, 2, {}},
        CatalogCase{"CommandWithoutParameters", {0x01, 0xF8, 0x00}, 0, {{248, {}}}},
        CatalogCase{"OneParameter", {0x01, 0xF7, 0x01, 0x30, 0x02}, 0, {{247, {{48, 2}}}}},
        CatalogCase{"SecondCommandCutAfterCode",
                    {0x02, 0xF7, 0x01, 0x30, 0x02, 0xF8},
                    1,
                    {{247, {{48, 2}}}, {248, {}}}},
        CatalogCase{
            "ParameterEntryCut", {0x01, 0xF7, 0x02, 0x30, 0x02, 0x31}, 1, {{247, {{48, 2}}}}},
        CatalogCase{"RepeatedCommandOverwritesSize",
                    {0x02, 0xF7, 0x01, 0x30, 0x02, 0xF7, 0x01, 0x30, 0x04},
                    0,
                    {{247, {{48, 4}}}}},
        CatalogCase{"RepeatedCommandAddsParameters",
                    {0x02, 0xF7, 0x01, 0x30, 0x02, 0xF7, 0x01, 0x31, 0x01},
                    0,
                    {{247, {{48, 2}, {49, 1}}}}},
        CatalogCase{"RepeatedParameterInOneEntry",
                    {0x01, 0xF7, 0x02, 0x30, 0x02, 0x30, 0x03},
                    0,
                    {{247, {{48, 3}}}}},
        CatalogCase{"SizeZero", {}, 1, {}}, CatalogCase{"CountOnly", {0x01}, 1, {}},
        CatalogCase{"CountOfParametersMissing", {0x01, 0xF8}, 1, {{248, {}}}},
        CatalogCase{"TrailingAfterLastEntry", {0x01, 0xF8, 0x00, 0x00}, 2, {{248, {}}}},
        CatalogCase{"OutOfOrderEntries", {0x02, 0xF8, 0x00, 0x10, 0x00}, 0, {{16, {}}, {248, {}}}}),
    [](const testing::TestParamInfo<CatalogCase>& info) { return info.param.name; });

TEST(Catalog, Lookups) {
  CommandCatalog catalog;
  ASSERT_EQ(Load(catalog, {0x01, 0xF7, 0x02, 0x30, 0x02, 0xDA, 0x00}), 0);
  const ParameterTable* table = catalog.FindCommand(247);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(CommandCatalog::FindParameter(*table, 48), std::optional<uint8_t>(2));
  EXPECT_EQ(CommandCatalog::FindParameter(*table, 218), std::optional<uint8_t>(0));
  EXPECT_EQ(CommandCatalog::FindParameter(*table, 49), std::nullopt);
  EXPECT_EQ(catalog.FindCommand(248), nullptr);
  catalog.ClearCatalog();
  EXPECT_TRUE(catalog.IsEmpty());
  EXPECT_EQ(catalog.FindCommand(247), nullptr);
}

// A random well-formed block and the catalog it must give.
struct Generated {
  Bytes block;
  Expected commands;
};

// Codes are distinct within the block, so a prefix can only lose entries,
// never see a size that a later entry overwrites.
Generated MakeBlock(std::mt19937& rng, int maxCommands, int maxParameters) {
  std::vector<uint8_t> codes(256);
  for (int i = 0; i < 256; ++i)
    codes[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  Generated g;
  const int n = std::uniform_int_distribution<int>(0, maxCommands)(rng);
  g.block.push_back(static_cast<uint8_t>(n));
  std::shuffle(codes.begin(), codes.end(), rng);
  const std::vector<uint8_t> commands(codes.begin(), codes.begin() + n);
  for (const uint8_t code : commands) {
    const int m = std::uniform_int_distribution<int>(0, maxParameters)(rng);
    g.block.push_back(code);
    g.block.push_back(static_cast<uint8_t>(m));
    ParameterTable& table = g.commands[code];
    std::shuffle(codes.begin(), codes.end(), rng);
    for (int p = 0; p < m; ++p) {
      const uint8_t parameter = codes[static_cast<size_t>(p)];
      const auto size = static_cast<uint8_t>(rng());
      g.block.push_back(parameter);
      g.block.push_back(size);
      table[parameter] = size;
    }
  }
  return g;
}

// Each entry of `part` is in `whole` with the same size.
bool IsSubset(const Expected& part, const Expected& whole) {
  for (const auto& [code, table] : part) {
    const auto it = whole.find(code);
    if (it == whole.end())
      return false;
    for (const auto& [parameter, size] : table) {
      const auto p = it->second.find(parameter);
      if (p == it->second.end() || p->second != size)
        return false;
    }
  }
  return true;
}

TEST(CatalogRandom, WellFormedTruncatedAndExtendedBlocks) {
  std::mt19937 rng(20261207);
  CommandCatalog catalog;
  for (int round = 0; round < 200; ++round) {
    const bool large = round % 100 == 99;
    const Generated g = MakeBlock(rng, large ? 255 : 6, large ? 255 : 6);
    ASSERT_EQ(Load(catalog, g.block), 0);
    ASSERT_EQ(catalog.Commands(), g.commands);

    // Every proper prefix ends inside an entry and keeps only what it read.
    const size_t step = large ? g.block.size() / 40 + 1 : 1;
    for (size_t cut = 0; cut < g.block.size(); cut += step) {
      const Bytes prefix(g.block.begin(), g.block.begin() + static_cast<ptrdiff_t>(cut));
      ASSERT_EQ(Load(catalog, prefix), 1) << "cut at " << cut;
      ASSERT_TRUE(IsSubset(catalog.Commands(), g.commands));
    }

    Bytes longer = g.block;
    longer.push_back(static_cast<uint8_t>(rng()));
    ASSERT_EQ(Load(catalog, longer), 2);
    ASSERT_EQ(catalog.Commands(), g.commands);
  }
}

TEST(CatalogRandom, GarbageNeverReadsPastTheEnd) {
  std::mt19937 rng(7);
  CommandCatalog catalog;
  for (int round = 0; round < 1500; ++round) {
    Bytes block(std::uniform_int_distribution<size_t>(0, 600)(rng));
    for (auto& b : block)
      b = static_cast<uint8_t>(rng());
    const int rc = Load(catalog, block);
    ASSERT_GE(rc, 0);
    ASSERT_LE(rc, 2);
    ASSERT_LE(catalog.Commands().size(), block.empty() ? 0u : block[0]);
  }
}

TEST(CatalogRandom, LargestWellFormedBlock) {
  Bytes block{0xFF};
  for (int c = 0; c < 255; ++c) {
    block.push_back(static_cast<uint8_t>(c));
    block.push_back(0xFF);
    for (int p = 0; p < 255; ++p) {
      block.push_back(static_cast<uint8_t>(p));
      block.push_back(static_cast<uint8_t>(p ^ c));
    }
  }
  ASSERT_EQ(block.size(), 130561u);
  CommandCatalog catalog;
  EXPECT_EQ(Load(catalog, block), 0);
  EXPECT_EQ(catalog.Commands().size(), 255u);
  EXPECT_EQ(CommandCatalog::FindParameter(*catalog.FindCommand(7), 9),
            std::optional<uint8_t>(9 ^ 7));
}

}  // namespace
}  // namespace vexo3
