// Cards whose system area is damaged, recovered by kov-recover: a zeroed
// sector 0 laid out from the FAT32 backup boot sector, a first FAT that is
// garbage or zeros read from the second copy. Each must give the very
// files the intact card gives.
#include "support/cardimage.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QFile>
#include <algorithm>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class DamagedSystem : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    int runs = 0;

    QString card(int fatbits, int spc)
    {
        const QString image = tmp.filePath(QStringLiteral("card%1.img").arg(fatbits));
        QList<CardFile> files;
        EXPECT_TRUE(makecard(image, fatbits, fatbits == 32 ? 64u << 20 : 32u << 20, spc, 60, &files))
            << lasterror();
        return image;
    }
    QString copy(const QString& image)
    {
        const QString to = tmp.filePath(QStringLiteral("copy%1.img").arg(runs));
        QFile::remove(to);
        EXPECT_TRUE(QFile::copy(image, to));
        return to;
    }
    // kov-recover's output tree of image, and its stderr in *err.
    QMap<QString, QByteArray> recover(const QString& image, QByteArray* err = nullptr)
    {
        const QString out = tmp.filePath(QStringLiteral("out%1").arg(runs++));
        const CommandOutcome o = kovrecover({image, out});
        EXPECT_EQ(o.status, 0) << o.err.constData();
        if (err)
            *err = o.err;
        return outputtree(out);
    }
};

}  // namespace

TEST_F(DamagedSystem, ZeroedSectorZeroIsLaidOutFromTheBackupBootSector)
{
    const QString image = card(32, 1);
    const QMap<QString, QByteArray> intact = recover(image);
    ASSERT_FALSE(intact.isEmpty());
    const QString damaged = copy(image);
    ASSERT_TRUE(overwrite(damaged, 0, 512));
    QByteArray err;
    EXPECT_EQ(recover(damaged, &err), intact);
    EXPECT_TRUE(err.contains("backup boot sector at sector 6")) << err.constData();
    const CommandOutcome listed = kovrecover({QStringLiteral("--list-volumes"), damaged});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.out.contains("\tFAT32\t")) << listed.out.constData();
}

class DamagedFirstFat : public DamagedSystem, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(DamagedFirstFat, IsReadFromTheSecondCopy)
{
    const auto [fatbits, fill] = GetParam();
    const QString image = card(fatbits, fatbits == 32 ? 1 : 4);
    const QMap<QString, QByteArray> intact = recover(image);
    ASSERT_FALSE(intact.isEmpty());
    const BootGeometry g = bootgeometry(image);
    ASSERT_NE(g.fatbytes, 0u);
    const QString damaged = copy(image);
    ASSERT_TRUE(overwrite(damaged, g.fatstart, g.fatbytes, fill));
    QByteArray err;
    EXPECT_EQ(recover(damaged, &err), intact);
    EXPECT_TRUE(err.contains("the first FAT fails its checks")) << err.constData();
    // The intact card says nothing of copies.
    QByteArray sounderr;
    recover(image, &sounderr);
    EXPECT_FALSE(sounderr.contains("second")) << sounderr.constData();
}

INSTANTIATE_TEST_SUITE_P(Copies, DamagedFirstFat,
                         ::testing::Combine(::testing::Values(16, 32), ::testing::Values(0, 7)));

TEST_F(DamagedSystem, FirstFatZeroedPastItsHeadIsReadFromTheSecondCopy)
{
    // The head of the first copy passes its checks, every entry after it
    // is free: a deleted file written around a live one would be rebuilt
    // across the live file's clusters.
    const QString image = card(16, 4);
    const QString local = tmp.filePath(QStringLiteral("f"));
    const QByteArray around = patterndata(30000, 61);
    ASSERT_TRUE(writefile(local, patterndata(5000, 62)) && mcopy(image, local, QStringLiteral("HOLE.BIN")));
    ASSERT_TRUE(writefile(local, patterndata(9000, 63)) && mcopy(image, local, QStringLiteral("LIVE.BIN")));
    ASSERT_TRUE(mdel(image, QStringLiteral("HOLE.BIN")));
    ASSERT_TRUE(writefile(local, around) && mcopy(image, local, QStringLiteral("AROUND.BIN")));
    ASSERT_TRUE(mdel(image, QStringLiteral("AROUND.BIN")));
    const QMap<QString, QByteArray> intact = recover(image);
    ASSERT_TRUE(std::find(intact.begin(), intact.end(), around) != intact.end()) << intact.keys().join(' ');
    const BootGeometry g = bootgeometry(image);
    const QString damaged = copy(image);
    ASSERT_TRUE(overwrite(damaged, g.fatstart + 4, g.fatbytes - 4));
    QByteArray err;
    EXPECT_EQ(recover(damaged, &err), intact);
    EXPECT_TRUE(err.contains("the first FAT marks no live file's chain: using the second")) << err.constData();
}
