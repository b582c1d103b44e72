// The window over a whole-card image: one drive root per FAT volume of its
// partition table, each tooltip naming the image and the partition.
#include "app/kovdialog.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QComboBox>
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
                  image + ": partition 1, offset 1048576, size 16777216");
        EXPECT_EQ(d.vollist->itemData(1, Qt::ToolTipRole).toString(),
                  image + ": partition 5, offset 20971520, size 46137344");
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
