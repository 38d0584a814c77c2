#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/text.h"
#include "connection/alias_map.h"

using namespace mv;

TEST(AliasMap, AddsAndFindsByUserId) {
    auto map = std::make_unique<AliasMap>();
    const std::string long_name(150, 'n');
    EXPECT_TRUE(alias_map_add(*map, 7, "VC-first"));
    EXPECT_FALSE(alias_map_add(*map, 8, ""));
    EXPECT_FALSE(alias_map_add(*map, 8, nullptr));
    EXPECT_TRUE(alias_map_add(*map, 7, "VC-second"));
    EXPECT_TRUE(alias_map_add(*map, 9, long_name.c_str()));
    ASSERT_EQ(map->count, 3u);

    const AliasEntry *first = alias_map_find(*map, 7);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->alias, "VC-first"); // a repeated id finds its first row
    const AliasEntry *cut = alias_map_find(*map, 9);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(std::string(cut->alias), long_name.substr(0, 127));
    EXPECT_EQ(cut->alias_len, 127u);
    EXPECT_EQ(cut->alias_hash, fold_hash(long_name.substr(0, 127)));
    EXPECT_EQ(alias_map_find(*map, 8), nullptr);
}

TEST(AliasMap, HoldsAtMost512AndClears) {
    auto map = std::make_unique<AliasMap>();
    // Ids that share low and high bits, as host ids and sessions often do.
    auto id_of = [](uint32_t i) { return i % 2 ? i : i << 22; };
    for (uint32_t i = 0; i < 600; ++i)
        EXPECT_EQ(alias_map_add(*map, id_of(i), ("VC-" + std::to_string(i)).c_str()), i < kMaxAliases) << i;
    ASSERT_EQ(map->count, kMaxAliases);
    for (uint32_t i = 0; i < kMaxAliases; ++i)
        ASSERT_EQ(alias_map_find(*map, id_of(i)), &map->rows[i]) << i;
    EXPECT_EQ(alias_map_find(*map, id_of(kMaxAliases)), nullptr);

    alias_map_clear(*map);
    EXPECT_EQ(map->count, 0u);
    EXPECT_EQ(alias_map_find(*map, id_of(0)), nullptr);
    EXPECT_TRUE(alias_map_add(*map, 5, "VC-again"));
    EXPECT_STREQ(alias_map_find(*map, 5)->alias, "VC-again");
}
