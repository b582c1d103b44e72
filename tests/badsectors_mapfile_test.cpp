// A ddrescue mapfile read back as what was not rescued: what it marks not
// finished, and what it leaves out, which ddrescue never tried either.
#include "badsectors/mapfile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>

namespace {

using badsectors::BYTESPAN;

struct MAPCASE {
    const char* name;
    const char* text;
    std::vector<BYTESPAN> spans;  // past the end: to UINT64_MAX
};

std::vector<BYTESPAN> tomax(std::uint64_t from, std::vector<BYTESPAN> before = {})
{
    before.push_back({from, UINT64_MAX - from});
    return before;
}

class MapfileRead : public ::testing::TestWithParam<MAPCASE> {};

TEST_P(MapfileRead, UnrescuedAreasAndGaps)
{
    const auto spans = badsectors::unrescued(QByteArray(GetParam().text));
    ASSERT_TRUE(spans.has_value());
    ASSERT_EQ(spans->size(), GetParam().spans.size());
    for (std::size_t k = 0; k < spans->size(); ++k) {
        EXPECT_EQ((*spans)[k].offset, GetParam().spans[k].offset) << k;
        EXPECT_EQ((*spans)[k].length, GetParam().spans[k].length) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Maps, MapfileRead,
    ::testing::Values(
        MAPCASE{"ddrescue", "# c\n0x3000 + 1\n0x0 0x1000 +\n0x1000 0x200 -\n0x1200 0xE00 +\r\n", tomax(0x2000, {{0x1000, 0x200}})},
        MAPCASE{"gaps", "0 ? 1\n0x0 0x1000 +\n0x1800 0x800 +\n", tomax(0x2000, {{0x1000, 0x800}})},
        MAPCASE{"unsorted and overlapping", "0 + 1\n0x1000 0x1000 +\n0x0 0x1000 +\n0x1800 0x100 -\n0x1880 0x200 *\n",
                tomax(0x2000, {{0x1800, 0x280}})},
        MAPCASE{"to the end", "0 + 1\n0x0 0x1000 +\n0x1000 0xFFFFFFFFFFFFFFFF -\n", tomax(0x1000)},
        MAPCASE{"size 0", "0 + 1\n0x0 0x1000 +\n0x1000 0 -\n", tomax(0x1000)}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& c : n)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return n;
    });

TEST(MapfileRead, NoStatusLineOrAMalformedLineIsNoMapfile)
{
    for (const char* text : {"0x0 0x1000 -\n0x1000 0x1000 +\n", "0 + 1\n0x0 0x1000\n", "0 + 1\n0x0 -0x10 -\n",
                             "0 + 1\n0x0 0x1000 x\n", "# only a comment\n", "0 + 1\nzero 0x1000 +\n"})
        EXPECT_FALSE(badsectors::unrescued(QByteArray(text)).has_value()) << text;
}

}  // namespace
