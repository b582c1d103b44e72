// The read-only volume seam: positioned reads, short reads, dead handles,
// how sources are opened, sector sizes and block devices (loop devices).
#include "support/mtoolsimage.h"
#include "support/loopdevice.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class SourceImage : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString image;
    QByteArray data;
    void SetUp() override
    {
        image = dir.filePath("src.img");
        data = patterndata(64 * 1024, 7);
        ASSERT_TRUE(writefile(image, data));
    }
    QByteArray span(std::uint64_t pos, std::uint64_t len) { return data.mid(qsizetype(pos), qsizetype(len)); }
};

QByteArray bytesof(const std::vector<unsigned char>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

// The access mode and flags the kernel holds for the one descriptor open on
// path, from /proc/self/fdinfo.
int openflags(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QString& fd : QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFile::symLinkTarget("/proc/self/fd/" + fd) != target)
            continue;
        QFile info("/proc/self/fdinfo/" + fd);
        if (!info.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : info.readAll().split('\n'))
            if (line.startsWith("flags:"))
                return line.mid(6).trimmed().toInt(nullptr, 8);
    }
    return -1;
}

}  // namespace

TEST_F(SourceImage, ReadsWholeSectorsAtTheirPositions)
{
    const platform::volhandle h = platform::openpath(image);
    ASSERT_NE(h, platform::invalidhandle());
    std::vector<unsigned char> one(512);
    ASSERT_TRUE(KOVCore::readasector(h, 512, 0, one.data()));
    EXPECT_EQ(bytesof(one), span(0, 512));
    ASSERT_TRUE(KOVCore::readasector(h, 512, 5, one.data()));
    EXPECT_EQ(bytesof(one), span(2560, 512));

    std::vector<unsigned char> nine(4608);
    ASSERT_TRUE(KOVCore::readsectors(h, 512, 32, 9, nine.data()));
    EXPECT_EQ(bytesof(nine), span(16384, 4608));
    platform::closesource(h);
}

TEST_F(SourceImage, NothingPastTheEndIsEverDelivered)
{
    const platform::volhandle h = platform::openpath(image);
    std::vector<unsigned char> buf(1024, 0xAB);
    EXPECT_FALSE(KOVCore::readasector(h, 512, 128, buf.data()));        // starts at the end
    EXPECT_FALSE(KOVCore::readsectors(h, 512, 127, 2, buf.data()));     // straddles it
    EXPECT_FALSE(KOVCore::readasector(h, 512, 1ull << 50, buf.data())); // far beyond
    EXPECT_TRUE(KOVCore::readasector(h, 512, 127, buf.data()));         // the last one
    platform::closesource(h);
}

TEST_F(SourceImage, ClosedAndFailedHandlesNeverReadAnotherFile)
{
    const platform::volhandle first = platform::openpath(image);
    platform::closesource(first);
    // A new open may get the same descriptor number; the old handle must not
    // reach it.
    const platform::volhandle second = platform::openpath(image);
    ASSERT_NE(second, first);
    unsigned char buf[512];
    EXPECT_FALSE(platform::readat(first, 0, 512, buf));
    EXPECT_TRUE(platform::readat(second, 0, 512, buf));
    EXPECT_FALSE(platform::readat(platform::invalidhandle(), 0, 512, buf));
    EXPECT_FALSE(platform::readat(nullptr, 0, 512, buf));
    std::uint32_t size = 0;
    EXPECT_FALSE(platform::sectorsize(first, &size));
    EXPECT_EQ(platform::openpath(dir.filePath("nope.img")), platform::invalidhandle());
    platform::closesource(second);
}

TEST_F(SourceImage, SourcesAreOpenedReadOnly)
{
    const platform::volhandle h = platform::openpath(image);
    const int flags = openflags(image);
    ASSERT_NE(flags, -1);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    EXPECT_NE(flags & O_CLOEXEC, 0);
    std::uint32_t size = 0;
    EXPECT_TRUE(platform::sectorsize(h, &size));
    EXPECT_EQ(size, 512u);
    platform::closesource(h);
    EXPECT_EQ(openflags(image), -1);
}

// A FIFO named as a source is refused, not waited on. Its other end is held
// open here, so that an open that forgot the file type would not block but
// hand back a handle.
TEST_F(SourceImage, AFifoIsNoSource)
{
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int writer = open(QFile::encodeName(fifo).constData(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(platform::openpath(fifo), platform::invalidhandle());
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({fifo});
    const QList<platform::VolumeSource> sources = platform::volumesources();
    ASSERT_EQ(sources.size(), 1);
    EXPECT_EQ(platform::opensource(sources.first()), platform::invalidhandle());
    platform::setimagefiles({});
    close(writer);
}

TEST_F(SourceImage, DriveLettersFollowTheSourceOrder)
{
    platform::setblockdevicesenabled(false);
    QStringList many;
    for (int i = 0; i < 30; ++i)
        many << dir.filePath(QString("img%1").arg(i));
    platform::setimagefiles(many);
    const QList<platform::VolumeSource> sources = platform::volumesources();
    ASSERT_EQ(sources.size(), 24);  // C to Z
    EXPECT_EQ(sources.first().root, "C:\\");
    EXPECT_EQ(sources.last().root, "Z:\\");
    EXPECT_EQ(platform::sourceforletter('e').path, many[2]);
    EXPECT_TRUE(platform::sourceforletter('A').path.isEmpty());
    platform::setimagefiles({});
}

TEST(BlockDevice, LoopDeviceIsListedWithItsSectorSize)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("loop.img");
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1)) << lasterror();
    const QString dev = attachloop(image, {"--sector-size", "4096"});
    if (dev.isEmpty())
        KOV_SKIP() << "this machine refuses loop devices";
    platform::setimagefiles({});
    platform::setblockdevicesenabled(true);
    bool listed = false;
    for (const platform::VolumeSource& s : platform::volumesources())
        if (s.path == dev) {
            listed = true;
            EXPECT_EQ(s.size, 40u << 20);
            const platform::volhandle h = platform::opensource(s.root.at(0));
            std::uint32_t size = 0;
            EXPECT_TRUE(platform::sectorsize(h, &size));
            EXPECT_EQ(size, 4096u);
            platform::closesource(h);
        }
    platform::setblockdevicesenabled(false);
    detachloop(dev);
    EXPECT_TRUE(listed);
}

TEST(BlockDevice, DirectoryOnTheSourceIsRecognised)
{
    QTemporaryDir dir;
    // The test is about devices, not file systems: where the kernel has no
    // vfat driver an ext2 file system stands in for the mounted source.
    const QString image = dir.filePath("mounted.img");
    ASSERT_TRUE(writefile(image, QByteArray()));
    ASSERT_TRUE(QFile::resize(image, 8 << 20));
    if (QProcess::execute("mkfs.ext2", {"-q", "-F", image}) != 0)
        KOV_SKIP() << "mkfs.ext2 is not available";
    const QString dev = attachloop(image);
    if (dev.isEmpty())
        KOV_SKIP() << "this machine refuses loop devices";
    const QString mnt = dir.filePath("mnt");
    QDir().mkpath(mnt);
    if (QProcess::execute("mount", {"-o", "ro", dev, mnt}) != 0) {
        detachloop(dev);
        KOV_SKIP() << "this machine refuses mounts";
    }
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image, dev});
    platform::volumesources();
    // The image (C) and its loop device (D) hold the mounted file system;
    // a directory that does not exist yet counts by its nearest ancestor.
    EXPECT_TRUE(platform::directoryonsource(mnt + "/out/deeper/", 'C'));
    EXPECT_TRUE(platform::directoryonsource(mnt, 'D'));
    EXPECT_FALSE(platform::directoryonsource(dir.filePath("elsewhere"), 'C'));
    EXPECT_FALSE(platform::directoryonsource(mnt, 'Q'));
    QProcess::execute("umount", {mnt});
    detachloop(dev);
    platform::setimagefiles({});
}
