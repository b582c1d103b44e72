// The window over a whole-card image: one drive root per FAT volume of its
// partition table, each tooltip naming the image and the partition; exFAT
// volumes among them.
#include "app/kovdialog.h"
#include "support/exfatimage.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QComboBox>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace testsupport;

TEST(GuiCard, EachVolumeOfACardIsADriveRootNamingItsPartition)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(writefile(image, QByteArray()));
    ASSERT_TRUE(QFile::resize(image, 64 << 20));
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", image});
    sfdisk.write("label: dos\nstart=2048, size=32768, type=6\ntype=5\nstart=40960, type=b\n");
    sfdisk.closeWriteChannel();
    ASSERT_TRUE(sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0);
    ASSERT_TRUE(runtool("mkfs.fat", {"-F", "16", "--offset", "2048", image, "16384"})) << lasterror();
    ASSERT_TRUE(runtool("mkfs.fat", {"-F", "32", "-s", "1", "--offset", "40960", image, "45056"})) << lasterror();
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    {
        KOVDialog d;
        ASSERT_EQ(d.vollist->count(), 2);
        EXPECT_EQ(d.vollist->itemText(0), "C:\\");
        EXPECT_EQ(d.vollist->itemText(1), "D:\\");
        EXPECT_EQ(d.vollist->itemData(0, Qt::ToolTipRole).toString(),
                  "FAT16: " + image + ": partition 1, offset 1048576, size 16777216");
        EXPECT_EQ(d.vollist->itemData(1, Qt::ToolTipRole).toString(),
                  "FAT32: " + image + ": partition 5, offset 20971520, size 46137344");
    }
    platform::setimagefiles({});
}

// exFAT volumes are listed as FAT ones are: a bare image, and one inside
// a card's MBR (type 7), each with the tooltip of its kind.
TEST(GuiCard, ExfatVolumesAreListed)
{
    QTemporaryDir dir;
    const QString bare = dir.filePath("bare.img");
    ASSERT_TRUE(makeexfat(bare, 16u << 20, 4096)) << lasterror();
    const QString card = dir.filePath("card.img");
    ASSERT_TRUE(writefile(card, QByteArray(1 << 20, '\0') + contents(bare)));
    ASSERT_TRUE(QFile::resize(card, 20 << 20));
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", card});
    sfdisk.write("label: dos\nstart=2048, size=32768, type=7\n");
    sfdisk.closeWriteChannel();
    ASSERT_TRUE(sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0);
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({bare, card});
    {
        KOVDialog d;
        ASSERT_EQ(d.vollist->count(), 2);
        const QStringList tips = {d.vollist->itemData(0, Qt::ToolTipRole).toString(),
                                  d.vollist->itemData(1, Qt::ToolTipRole).toString()};
        EXPECT_TRUE(tips.contains("exFAT: " + bare + " (" + QLocale().formattedDataSize(16 << 20) + ")")) << tips.join('\n').toStdString();
        EXPECT_TRUE(tips.contains("exFAT: " + card + ": partition 1, offset 1048576, size 16777216")) << tips.join('\n').toStdString();
    }
    platform::setimagefiles({});
}

TEST(GuiCard, AVolumeWithoutSectorZeroIsListedFromItsBackupBootSector)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(makefat(image, 32, 40 << 20, 1)) << lasterror();
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.write(QByteArray(512, '\0')) == 512);
    f.close();
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    {
        KOVDialog d;
        ASSERT_EQ(d.vollist->count(), 1);
        EXPECT_TRUE(d.vollist->itemData(0, Qt::ToolTipRole).toString().endsWith("backup boot sector at sector 6"))
            << qPrintable(d.vollist->itemData(0, Qt::ToolTipRole).toString());
    }
    platform::setimagefiles({});
}

// A FAT12 floppy and a FAT12 partition of type 0x01 are listed, each
// tooltip naming FAT12.
TEST(GuiCard, Fat12VolumesAreListedAsFat12)
{
    QTemporaryDir dir;
    const QString floppy = dir.filePath("floppy.img"), card = dir.filePath("card.img");
    ASSERT_TRUE(makefat(floppy, 12, 1440u << 10, 1)) << lasterror();
    ASSERT_TRUE(writefile(card, QByteArray(1 << 20, '\0') + contents(floppy)));
    ASSERT_TRUE(QFile::resize(card, 4 << 20));
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", card});
    sfdisk.write("label: dos\nstart=2048, size=2880, type=1\n");
    sfdisk.closeWriteChannel();
    ASSERT_TRUE(sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0);
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({floppy, card});
    {
        KOVDialog d;
        ASSERT_EQ(d.vollist->count(), 2);
        EXPECT_EQ(d.vollist->itemData(0, Qt::ToolTipRole).toString(),
                  "FAT12: " + floppy + " (" + QLocale().formattedDataSize(1440 << 10) + ")");
        EXPECT_EQ(d.vollist->itemData(1, Qt::ToolTipRole).toString(),
                  "FAT12: " + card + ": partition 1, offset 1048576, size 1474560");
    }
    platform::setimagefiles({});
}
