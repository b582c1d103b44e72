// The free-cluster reader of the deep scans over a real block device with
// unreadable sectors.
#include "platform/volumesource.h"
#include "scan/freeclusterreader.h"
#include "support/badblockdevice.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// 4 KiB clusters from the source's first byte, 1024 a read. The bad sectors
// come in whole 2 MiB (512 clusters) at 2 MiB boundaries: a buffered read
// that meets one fails the whole page-cache folio around it, and a folio
// may be that large.
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
        data = patterndata(20 << 20, 29);
        ASSERT_TRUE(writefile(image, data));
    }
    static SectorRange clusters(std::uint64_t first, std::uint64_t count)
    {
        return {first * 8, (first + count) * 8 - 1};
    }
};

TEST_F(FreeClusterReading, FailedReadsAreReadAgainClusterByClusterUntilOneGivesNothing)
{
    // Reads: [0, 1023], its second half bad, read again one by one;
    // [1024, 2047] bad whole, so [2048, 3071] (its second half bad) is
    // passed over whole; [3072, 4094] reads (4095 is in use), and [4096,
    // 5119], its second half bad, is read again one by one.
    BadBlockDevice dev(image, {clusters(512, 1536), clusters(2560, 512), clusters(4608, 512)});
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    const platform::volhandle h = platform::openpath(dev.path());
    ASSERT_NE(h, nullptr);
    DISKPARM disk;
    disk.hdisk = h;
    disk.bytespersector = 512;
    disk.sectorspercluster = 8;
    disk.firstdatasector = 0;
    FREECLUSTERREADER reader(disk, 5120, [](std::uint64_t lcn) { return lcn != 4095; });
    ASSERT_TRUE(reader.begin());

    std::vector<std::uint64_t> handed, alone;
    bool bytesmatch = true;
    while (reader.step([&](const CLUSTERBLOCK& b) {
        for (std::uint64_t k = 0; k < b.clusters; ++k) {
            const std::uint64_t lcn = b.lcn + k;
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
    for (std::uint64_t lcn = 0; lcn < 5120; ++lcn) {
        const bool single = lcn < 512 || (lcn >= 4096 && lcn < 4608);
        if (single || (lcn >= 3072 && lcn < 4095))
            expected.push_back(lcn);
        if (single)
            expectedalone.push_back(lcn);
    }
    EXPECT_TRUE(bytesmatch);
    EXPECT_EQ(handed, expected);
    EXPECT_EQ(alone, expectedalone);
    EXPECT_EQ(reader.readable(), expected.size());
    EXPECT_EQ(reader.unreadable(), 5119 - expected.size());
    EXPECT_EQ(reader.position(), 5120u);
    EXPECT_FALSE(reader.step([](const CLUSTERBLOCK&) {}));
    // A good sector is served once: the clusters handed out and the good
    // half of the read passed over, but for a probe of the device.
    const std::uint64_t served = dev.counts().bytes, once = (expected.size() + 512) * 4096;
    EXPECT_GE(served, once);
    EXPECT_LE(served, once + (std::uint64_t(1) << 20));
}

}  // namespace
