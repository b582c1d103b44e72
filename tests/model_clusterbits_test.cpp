// The cluster bitset's edges: room in whole bytes, nothing past the end.
#include "model/clusterbits.h"

#include <gtest/gtest.h>

namespace {

class ClusterBitsEdges : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ClusterBitsEdges, BoundsAndLastByte)
{
    const std::uint64_t asked = GetParam();
    CLUSTERBITS bits;
    ASSERT_TRUE(bits.resize(asked));
    const std::uint64_t n = bits.size();
    ASSERT_EQ(n, (asked + 7) / 8 * 8);
    ASSERT_EQ(bits.bytes(), n / 8);
    EXPECT_FALSE(bits.covers(n));
    EXPECT_TRUE(bits.covers(n - 1));

    // Past the end nothing is kept and nothing reads as set.
    bits.set(n);
    bits.set(~std::uint64_t(0));
    bits.setrun(n - 2, 100);
    bits.setrun(~std::uint64_t(0) - 1, 5);
    EXPECT_FALSE(bits.test(n));
    EXPECT_EQ(bits.data()[bits.bytes() - 1], 0xC0);
    EXPECT_EQ(bits.ones(), 2u);

    // The last byte is one run with the bits before it; the first clear bit
    // past a full byte, and none when the rest is set or past the end.
    bits.setrun(0, 8);
    EXPECT_EQ(bits.nextclear(0, n), n > 8 ? 8 : n);
    EXPECT_EQ(bits.nextclear(n - 2, n + 40), n + 40);
    EXPECT_EQ(bits.nextclear(n + 3, n + 9), n + 9);
    if (n > 10) {
        bits.setrun(8, n - 11);
        EXPECT_EQ(bits.nextclear(0, n), n - 3);
    }

    // A shorter set merged in sets only its own bits; a longer one is cut.
    CLUSTERBITS other;
    ASSERT_TRUE(other.resize(n + 64));
    other.setrun(0, n + 64);
    CLUSTERBITS target;
    ASSERT_TRUE(target.resize(asked));
    target.merge(other);
    EXPECT_EQ(target.ones(), n);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ClusterBitsEdges, ::testing::Values(1, 7, 8, 9, 64, 4099));

}  // namespace
