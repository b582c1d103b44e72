// The image's writes wait in a queue of their own: whatever the queue holds
// when imaging ends or the image's disk fills, the image's map never says
// "read" of a sector that is not in the image.
#include "support/mtoolsimage.h"
#include "support/skip.h"
#include "support/tmpfs.h"

#include "badsectors/sectormap.h"
#include "platform/volumesource.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>

using namespace testsupport;

namespace {

// A FAT16 card nearly filled by one file of varied bytes, so that a sector
// left out of the image (zeros) differs from the card.
class QueuedImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        card = dir.filePath("card.img");
        const QString local = dir.filePath("fill.bin");
        ASSERT_TRUE(makefat(card, 16, 8u << 20, 1)) << lasterror();
        ASSERT_TRUE(writefile(local, patterndata(7u << 20, 30)) && mcopy(card, local, "FILL.BIN")) << lasterror();
        raw = contents(card);
        ASSERT_EQ(raw.size(), 8 << 20);
    }

    // Starts imaging card into a new file at path, sized as the card.
    int startimage(const QString& path)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, raw.size()) != 0)
            return -1;
        platform::imagereads(card, fd);
        return fd;
    }

    // The image's map after imaging ended, with the image's bytes: sectors
    // it calls read that the image does not hold as the card does.
    std::uint64_t unheld(const QString& image, std::uint64_t* read) const
    {
        const badsectors::SECTORMAP* map = platform::imagemap();
        const QByteArray copy = contents(image);
        std::uint64_t differ = 0;
        *read = 0;
        for (const badsectors::SECTORSPAN& s : map->read().spans())
            for (std::uint64_t k = s.first; k < s.first + s.count; ++k, ++*read)
                differ += copy.mid(qsizetype(k * 512), 512) != raw.mid(qsizetype(k * 512), 512) ? 1 : 0;
        return differ;
    }

    QTemporaryDir dir;
    QString card;
    QByteArray raw;
};

TEST_F(QueuedImage, EndingImagingRightAfterManySmallReadsLeavesEveryReadSectorInTheImage)
{
    const QString image = dir.filePath("copy.img");
    const int fd = startimage(image);
    ASSERT_GE(fd, 0);
    const platform::volhandle h = platform::openpath(card);
    // Sector-sized and odd-sized reads, in order and back to front.
    std::vector<unsigned char> buf(8192);
    std::set<std::uint64_t> asked;
    for (std::int64_t at = 0; at + 4096 <= raw.size(); at += 4096) {
        ASSERT_TRUE(platform::readat(h, std::uint64_t(at), 512, buf.data()));
        asked.insert(std::uint64_t(at) / 512);
    }
    for (std::int64_t at = raw.size() - 1536; at >= 2048; at -= 9 * 1024) {
        ASSERT_TRUE(platform::readat(h, std::uint64_t(at) + 100, 1300, buf.data()));
        for (std::uint64_t s = (std::uint64_t(at) + 100) / 512; s <= (std::uint64_t(at) + 1399) / 512; ++s)
            asked.insert(s);
    }
    platform::closesource(h);
    platform::imagereads(QString(), -1);
    ::close(fd);

    std::uint64_t read = 0;
    EXPECT_EQ(unheld(image, &read), 0u);
    EXPECT_EQ(read, asked.size());
    EXPECT_EQ(platform::imagefault(), QString());
}

TEST_F(QueuedImage, AFullImageDiskMidQueueStopsImagingOnceAndMarksOnlyWhatWasWritten)
{
    Tmpfs small(dir.filePath("small"), "256k");
    if (!small.ok())
        KOV_SKIP() << "a small tmpfs needs root";
    const QString image = dir.filePath("small/copy.img");
    const std::uint64_t stops = platform::imagestops();
    const int fd = startimage(image);
    ASSERT_GE(fd, 0);
    const platform::volhandle h = platform::openpath(card);
    std::vector<unsigned char> buf(128 << 10);
    for (std::uint64_t at = 0; at < std::uint64_t(raw.size()); at += buf.size())
        ASSERT_TRUE(platform::readat(h, at, std::uint32_t(buf.size()), buf.data()));
    platform::imagewait();
    EXPECT_EQ(platform::imagestops(), stops + 1);
    EXPECT_EQ(platform::imagefault(), QString::fromLocal8Bit(std::strerror(ENOSPC)));
    // Reads after the stop go on, and queue nothing more.
    ASSERT_TRUE(platform::readat(h, 0, 4096, buf.data()));
    platform::closesource(h);
    platform::imagereads(QString(), -1);
    ::close(fd);

    std::uint64_t read = 0;
    EXPECT_EQ(unheld(image, &read), 0u);
    EXPECT_GT(read, 0u);
    EXPECT_LE(read, (256u << 10) / 512);
    EXPECT_EQ(platform::imagestops(), stops + 1);
}

}  // namespace
