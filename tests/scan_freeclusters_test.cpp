// The free-cluster reader of the deep scans over a real block device with
// unreadable sectors.
#include "platform/volumesource.h"
#include "scan/freeclusterreader.h"
#include "support/badblockdevice.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>

using namespace testsupport;

namespace {

// 4 KiB clusters from the source's first byte: 2048 of them in 8 MiB, 1024
// a read.
class FreeClusterReading : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString image;
    QByteArray data;
    void SetUp() override
    {
        QString why;
        if (!BadBlockDevice::available(&why))
            KOV_SKIP() << why.toStdString();
        image = dir.filePath("card.img");
        data = patterndata(8 << 20, 29);
        ASSERT_TRUE(writefile(image, data));
    }
    static SectorRange cluster(std::uint64_t lcn) { return {lcn * 8, lcn * 8 + 7}; }
};

TEST_F(FreeClusterReading, FailedReadsAreReadAgainClusterByClusterUntilOneGivesNothing)
{
    // Reads: [0, 99] with cluster 5 bad, read again one by one; [101, 199]
    // bad whole, so [201, 1224] (cluster 300 bad) is passed over whole;
    // [1225, 1500] reads, and [1502, 2047] (cluster 2000 bad) is read again.
    BadBlockDevice dev(image, {cluster(5), {101 * 8, 200 * 8 - 1}, cluster(300), cluster(2000)});
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    const platform::volhandle h = platform::openpath(dev.path());
    ASSERT_NE(h, nullptr);
    DISKPARM disk;
    disk.hdisk = h;
    disk.bytespersector = 512;
    disk.sectorspercluster = 8;
    disk.firstdatasector = 0;
    const std::set<std::uint64_t> inuse{100, 200, 1501};
    FREECLUSTERREADER reader(disk, 2048, [&](std::uint64_t lcn) { return !inuse.count(lcn); });
    ASSERT_TRUE(reader.begin());

    std::vector<std::uint64_t> handed, alone;
    std::uint64_t last = 0;
    bool ascending = true, bytesmatch = true;
    while (reader.step([&](const CLUSTERBLOCK& b) {
        for (std::uint64_t k = 0; k < b.clusters; ++k) {
            const std::uint64_t lcn = b.lcn + k;
            ascending = ascending && (handed.empty() || lcn > last);
            last = lcn;
            handed.push_back(lcn);
            if (b.alone)
                alone.push_back(lcn);
            bytesmatch = bytesmatch && QByteArray(reinterpret_cast<const char*>(b.bytes + k * 4096), 4096) ==
                                           data.mid(qsizetype(lcn * 4096), 4096);
        }
    }))
        ;
    platform::closesource(h);

    std::vector<std::uint64_t> expected, expectedalone;
    for (std::uint64_t lcn = 0; lcn < 2048; ++lcn) {
        const bool gone = lcn == 5 || (lcn >= 101 && lcn <= 1224) || lcn == 2000;
        if (!inuse.count(lcn) && !gone)
            expected.push_back(lcn);
        if (!gone && (lcn < 100 || (lcn >= 1502 && lcn != 2000)))
            expectedalone.push_back(lcn);
    }
    EXPECT_TRUE(ascending);
    EXPECT_TRUE(bytesmatch);
    EXPECT_EQ(handed, expected);
    EXPECT_EQ(alone, expectedalone);
    EXPECT_EQ(reader.readable(), expected.size());
    EXPECT_EQ(reader.unreadable(), 2048 - inuse.size() - expected.size());
    EXPECT_EQ(reader.position(), 2048u);
    EXPECT_FALSE(reader.step([](const CLUSTERBLOCK&) {}));
}

}  // namespace
