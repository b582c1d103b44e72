// Reading around unreadable sectors of a real block device: what is read,
// what is missing, and how often each bad sector is asked for.
#include "badsectors/sectormap.h"
#include "platform/volumesource.h"
#include "support/badblockdevice.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;
using badsectors::BYTESPAN;

namespace {

// One lone bad sector, a run of 16 across a 1 MiB boundary, one at the end.
const std::vector<SectorRange> badranges{{1000, 1000}, {2040, 2055}, {8191, 8191}};

class ReadAround : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        QString why;
        if (!BadBlockDevice::available(&why))
            KOV_SKIP() << why.toStdString();
        image = dir.filePath("card.img");
        data = patterndata(4 << 20, 7);
        ASSERT_TRUE(writefile(image, data));
    }
    void TearDown() override { platform::setreadretries(1); }
    QTemporaryDir dir;
    QString image;
    QByteArray data;
};

TEST_P(ReadAround, ReadableSectorsComeEachBadSectorIsAskedForAtMostOnePlusRetriesTimes)
{
    const int retries = GetParam();
    BadBlockDevice dev(image, badranges);
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    platform::setreadretries(retries);
    const platform::volhandle h = platform::openpath(dev.path());
    QByteArray got(data.size(), '\x55');
    std::vector<BYTESPAN> missing;
    ASSERT_TRUE(platform::readsome(h, 0, std::uint32_t(got.size()), reinterpret_cast<unsigned char*>(got.data()),
                                   &missing));

    // With no retry a failed 128 KiB piece is given up whole.
    constexpr std::uint64_t piece = 128 << 10;
    std::vector<BYTESPAN> expected;
    for (const SectorRange& r : badranges) {
        if (retries == 0) {
            badsectors::addspan(&expected, {r.first * 512 / piece * piece, piece});
            badsectors::addspan(&expected, {r.last * 512 / piece * piece, piece});
        } else {
            badsectors::addspan(&expected, {r.first * 512, (r.last - r.first + 1) * 512});
        }
    }
    std::uint64_t expectedbad = 0;
    for (const BYTESPAN& s : expected)
        expectedbad += s.length / 512;
    EXPECT_EQ(missing, expected);
    QByteArray want = data;
    for (const BYTESPAN& s : expected)
        want.replace(qsizetype(s.offset), qsizetype(s.length), QByteArray(qsizetype(s.length), '\0'));
    EXPECT_TRUE(got == want);

    const auto asked = dev.counts().asked;
    for (const SectorRange& r : badranges)
        for (std::uint64_t s = r.first; s <= r.last; ++s)
            EXPECT_EQ(asked.count(s) ? asked.at(s) : 0u, std::uint32_t(1 + retries)) << "sector " << s;
    EXPECT_EQ(platform::sectormap(h)->bad().sectors(), expectedbad);

    // Known bad: never asked for again, by either read.
    unsigned char sector[4096];
    EXPECT_FALSE(platform::readat(h, 2040 * 512, sizeof sector, sector));
    missing.clear();
    EXPECT_TRUE(platform::readsome(h, 0, std::uint32_t(got.size()), reinterpret_cast<unsigned char*>(got.data()),
                                   &missing));
    EXPECT_TRUE(got == want);
    EXPECT_EQ(dev.counts().asked, asked);
    platform::closesource(h);
}

INSTANTIATE_TEST_SUITE_P(Retries, ReadAround, ::testing::Values(0, 1, 2));

TEST_F(ReadAround, AnImageFileWithBadSectorsGivesWhatTheDeviceGives)
{
    // An image file is read at once, not in pieces: where that fails, the
    // same sectors must come, and the same be missing, as on the device.
    BadBlockDevice dev(image, badranges);
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    struct READ {
        QByteArray got;
        std::vector<BYTESPAN> missing;
        std::vector<badsectors::SECTORSPAN> read, bad;
    };
    std::vector<READ> reads;
    for (const QString& path : {dev.path(), dev.file()}) {
        const platform::volhandle h = platform::openpath(path);
        READ r{QByteArray(data.size(), '\x55'), {}, {}, {}};
        // From the second sector on, that the read begins inside a piece too.
        EXPECT_TRUE(platform::readsome(h, 512, std::uint32_t(r.got.size() - 512),
                                       reinterpret_cast<unsigned char*>(r.got.data()), &r.missing))
            << path.toStdString();
        r.read = platform::sectormap(h)->read().spans();
        r.bad = platform::sectormap(h)->bad().spans();
        platform::closesource(h);
        reads.push_back(std::move(r));
    }
    EXPECT_TRUE(reads[1].got == reads[0].got);
    EXPECT_EQ(reads[1].missing, reads[0].missing);
    EXPECT_EQ(reads[1].read, reads[0].read);
    EXPECT_EQ(reads[1].bad, reads[0].bad);
    EXPECT_EQ(reads[0].bad.size(), badranges.size());
}

TEST(SectorMap, AFullMapGrowsCoarserAndKeepsEveryBadSector)
{
    badsectors::SECTORMAP map;
    const std::uint64_t n = badsectors::SECTORSET::maxspans + 10;
    for (std::uint64_t k = 0; k < n; ++k)
        map.markbad({k * 3 + 1, 1});
    EXPECT_LE(map.bad().spans().size(), badsectors::SECTORSET::maxspans);
    for (std::uint64_t k = 0; k < n; ++k)
        ASSERT_TRUE(map.bad().contains(k * 3 + 1)) << k;
    EXPECT_FALSE(map.bad().contains(0));
}

}  // namespace
