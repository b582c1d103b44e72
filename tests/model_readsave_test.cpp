// Reading a record's contents through its runs and saving them, on a real
// FAT16 image with 4096-byte clusters made by mkfs.fat and mcopy.
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace testsupport;

namespace {

class ReadSave : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray data = patterndata(10000, 3);
    RecordingCore core;
    FILEPARM file;

    void SetUp() override
    {
        const QString image = dir.filePath("f16.img");
        const QString local = dir.filePath("DATA.BIN");
        ASSERT_TRUE(makefat(image, 16, 64u << 20, 8)) << lasterror();
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, "DATA.BIN")) << lasterror();
        core.openimage(image);
        file.dialog = &core;
        ASSERT_GT(core.curdir.getnextfile(file, 1), 0);
        ASSERT_STREQ(file.name.get(), "DATA.BIN");
        ASSERT_EQ(core.diskparm.clustersize(), 4096u);
    }
    QByteArray read(std::uint64_t offset, std::uint64_t length, bool* ok, std::uint64_t* got)
    {
        QByteArray out(qsizetype(length), '\0');
        *got = 12345;
        *ok = file.readfile(core.diskparm, offset, length, reinterpret_cast<unsigned char*>(out.data()), got);
        return out.left(qsizetype(*ok ? *got : 0));
    }
    QByteArray contents(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

}  // namespace

TEST_F(ReadSave, PartialClustersAtBothEnds)
{
    bool ok;
    std::uint64_t got;
    EXPECT_EQ(read(1000, 5000, &ok, &got), data.mid(1000, 5000));
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, 5000u);
    // A range that ends on a cluster boundary takes the whole last cluster.
    EXPECT_EQ(read(0, 8192, &ok, &got), data.left(8192));
    EXPECT_EQ(got, 8192u);
    // Three clusters, the middle one read straight into the buffer.
    EXPECT_EQ(read(100, 9900, &ok, &got), data.mid(100));
}

TEST_F(ReadSave, RangesAreCutToTheSize)
{
    bool ok;
    std::uint64_t got;
    file.size = 3000;
    EXPECT_EQ(read(1000, 5000, &ok, &got), data.mid(1000, 2000));
    EXPECT_EQ(got, 2000u);
    EXPECT_TRUE(read(3000, 10, &ok, &got).isEmpty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(read(10, 0, &ok, &got).isEmpty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, 0u);
}

TEST_F(ReadSave, UnmappedClusterFailsAndLeavesTheCount)
{
    file.dataruns.resize(1);
    file.dataruns[0].length = 1;
    bool ok;
    std::uint64_t got;
    read(4000, 200, &ok, &got);
    EXPECT_FALSE(ok);
    EXPECT_EQ(got, 12345u);
}

TEST_F(ReadSave, DirectoryContentsComeFromMemory)
{
    auto buf = std::shared_ptr<unsigned char[]>(new unsigned char[64]);
    for (int i = 0; i < 64; ++i)
        buf[i] = static_cast<unsigned char>(i);
    file.dirbuf = buf;
    file.size = 64;
    DISKPARM dead = core.diskparm;
    dead.hdisk = platform::invalidhandle();
    unsigned char out[16];
    std::uint64_t got = 0;
    ASSERT_TRUE(file.readfile(dead, 40, 16, out, &got));
    EXPECT_EQ(got, 16u);
    EXPECT_EQ(out[0], 40);
    EXPECT_EQ(out[15], 55);
}

TEST_F(ReadSave, SaveWritesExactlyTheSize)
{
    const QString out = dir.filePath("saved.bin");
    EXPECT_EQ(file.saveas(core.diskparm, QFile::encodeName(out).constData()), 0);
    EXPECT_EQ(contents(out), data);

    FILEPARM empty = file;
    empty.size = 0;
    const QString zero = dir.filePath("zero.bin");
    EXPECT_EQ(empty.saveas(core.diskparm, QFile::encodeName(zero).constData()), 0);
    EXPECT_TRUE(QFile::exists(zero));
    EXPECT_EQ(QFileInfo(zero).size(), 0);
}

TEST_F(ReadSave, RunsEndingEarlyGiveStatus2AfterTheClustersThatExist)
{
    file.dataruns[0].length = 2;
    const QString out = dir.filePath("short.bin");
    EXPECT_EQ(file.saveas(core.diskparm, QFile::encodeName(out).constData()), 2);
    EXPECT_EQ(contents(out), data.left(8192));
}

TEST_F(ReadSave, NeverCreatesThroughAMissingDirectoryOrOverAFile)
{
    EXPECT_EQ(file.saveas(core.diskparm, QFile::encodeName(dir.filePath("no/such/x")).constData()), 1);
    const QString taken = dir.filePath("taken.bin");
    ASSERT_TRUE(writefile(taken, "keep me"));
    EXPECT_EQ(file.saveas(core.diskparm, QFile::encodeName(taken).constData()), 1);
    EXPECT_EQ(contents(taken), QByteArray("keep me"));
}

TEST_F(ReadSave, WriteFailureIsStatus3)
{
    // The output disk "fills" at 4096 bytes; a write past it must fail and be
    // reported, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const QString out = dir.filePath("full.bin");
    const int status = file.saveas(core.diskparm, QFile::encodeName(out).constData());
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(status, 3);
    EXPECT_LE(QFileInfo(out).size(), 4096);
}
