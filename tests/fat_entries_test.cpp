// Directory entries: short names, date tests, date text, the packed stamps
// and the long-name test, on raw entries and through the walk.
#include "support/fatbuilder.h"
#include "support/recordingcore.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

using namespace testsupport;

namespace {

template <typename Entry>
Entry entryof(const QByteArray& name83)
{
    Entry e;
    std::memset(e.bytes, 0, sizeof e.bytes);
    std::memcpy(e.bytes, name83.constData(), 11);
    e.bytes[11] = 0x20;
    return e;
}

// The short name through both overloads, which must agree.
QString nameof(const QByteArray& name83)
{
    const FAT32DIRENTRY e32 = entryof<FAT32DIRENTRY>(name83);
    const FAT16DIRENTRY e16 = entryof<FAT16DIRENTRY>(name83);
    const QString a = KOVCore::getfatfilename(&e32);
    const QString b = KOVCore::getfatfilename(&e16);
    EXPECT_EQ(a, b) << name83.toStdString();
    return a;
}

}  // namespace

TEST(FatEntryName, ShortNames)
{
    EXPECT_EQ(nameof("README  TXT"), "README.TXT");
    EXPECT_EQ(nameof("FOO        "), "FOO");
    EXPECT_EQ(nameof("A B     C  "), "AB.C");
    EXPECT_EQ(nameof("MY FILE DOC"), "MYFILE.DOC");
    EXPECT_EQ(nameof("ABCDEFGHIJK"), "ABCDEFGH.IJK");
    EXPECT_EQ(nameof("X       Y Z"), "X.YZ");
    EXPECT_EQ(nameof("           "), ".");
    EXPECT_EQ(nameof(".          "), "..");  // begins with a full stop: the last one stays
    EXPECT_EQ(nameof("..         "), "...");
}

TEST(FatEntryName, MarkAndHighBytesKept)
{
    EXPECT_EQ(nameof("\xE5OO     TXT"), QString::fromLatin1("\xE5OO.TXT"));
    EXPECT_EQ(nameof("\x05OO     TXT"), QString::fromLatin1("\x05OO.TXT"));
    const QString high = nameof("\x81\xFF" "A     \x80  ");
    ASSERT_EQ(high.size(), 5);
    EXPECT_EQ(high.at(0).unicode(), 0x81);
    EXPECT_EQ(high.at(1).unicode(), 0xFF);
    EXPECT_EQ(high.at(4).unicode(), 0x80);
}

TEST(FatDate, Plausibility)
{
    EXPECT_TRUE(KOVCore::validdate(0x0021));   // 1 January 1980
    EXPECT_FALSE(KOVCore::validdate(0x0000));  // month 0
    EXPECT_TRUE(KOVCore::validdate(0x759F));   // 31 December 2038
    EXPECT_FALSE(KOVCore::validdate(0x7621));  // 1 January 2039
    EXPECT_FALSE(KOVCore::validdate(fatdate(2000, 13, 1)));
    EXPECT_FALSE(KOVCore::validdate(fatdate(2000, 15, 1)));
    EXPECT_FALSE(KOVCore::validdate(fatdate(2000, 5, 0)));
    EXPECT_TRUE(KOVCore::validdate(fatdate(2000, 2, 31)));  // day not checked against the month
    EXPECT_TRUE(KOVCore::validdate(fatdate(2000, 12, 31)));
    EXPECT_FALSE(KOVCore::validdate(0xFFFF));
}

TEST(FatDate, Text)
{
    EXPECT_EQ(KOVCore::fatfiletime2str(0x3A67ull << 32), "3/7,2009");
    EXPECT_EQ(KOVCore::fatfiletime2str(0x3A67ull << 32 | 0xFFFFFFFFu), "3/7,2009");
    EXPECT_EQ(KOVCore::fatfiletime2str(0x759Full << 32 | 0x1234), "12/31,2038");
    EXPECT_EQ(KOVCore::fatfiletime2str(0x0021ull << 32), "1/1,1980");
    // Bits above the date word are not part of it.
    EXPECT_EQ(KOVCore::fatfiletime2str(0xABCD3A67ull << 32), "3/7,2009");
}

// Through the walk: what a found entry carries.
class FatEntryWalk : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir dir;
    RecordingCore core;
    FatBuilder b{GetParam() == 16 ? fat16layout() : fat32layout()};

    void open()
    {
        const QString path = dir.filePath("e.img");
        ASSERT_TRUE(b.save(path));
        core.openimage(path);
        ASSERT_TRUE(core.warnings.isEmpty());
    }
    std::vector<FILEPARM> rootentries(int mode)
    {
        std::vector<FILEPARM> found;
        FILEPARM root = core.rootdir;
        FILEPARM e;
        e.dialog = &core;
        while (root.getnextfile(e, mode) > 0)
            found.push_back(e);
        return found;
    }
};

TEST_P(FatEntryWalk, NameBytesReachTheRecordUnchanged)
{
    b.addfile(0, 0, QByteArray("\x81\xFE" "CD    " "\x80" "XT", 11), "x");
    b.addfile(0, 1, QByteArray("\x05" "BC     TXT", 11), "y");
    b.addfile(0, 2, "MY FILE DOC", "z");
    open();
    const std::vector<FILEPARM> found = rootentries(1);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].namebytes(), QByteArray("\x81\xFE" "CD.\x80" "XT"));
    EXPECT_EQ(found[0].namelen, 8);
    EXPECT_EQ(found[0].name[8], '\0');
    EXPECT_EQ(found[1].namebytes(), QByteArray("\x05" "BC.TXT"));
    EXPECT_EQ(found[2].namebytes(), QByteArray("MYFILE.DOC"));
}

TEST_P(FatEntryWalk, PackedStamps)
{
    FatBuilder::Entry e;
    e.name83 = shortname("STAMP.BIN");
    e.crttenth = 0x37;
    e.crttime = fattime(13, 45, 58);
    e.crtdate = fatdate(2011, 3, 4);
    e.wrttime = fattime(23, 59, 30);
    e.wrtdate = fatdate(2012, 11, 30);
    e.startcluster = b.firstfree(10);
    e.size = 100;
    b.setfat(e.startcluster, b.endmark());
    b.putentry(0, 0, e);
    open();
    const std::vector<FILEPARM> found = rootentries(1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].writetime, std::uint64_t(fatdate(2012, 11, 30)) << 32 | fattime(23, 59, 30));
    if (GetParam() == 32) {
        EXPECT_EQ(found[0].createtime,
                  std::uint64_t(fatdate(2011, 3, 4)) << 32 | std::uint64_t(fattime(13, 45, 58)) << 16 | 0x37);
    } else {
        EXPECT_EQ(found[0].createtime, 0u);  // FAT16 entries carry only the write stamp
    }
    EXPECT_EQ(KOVCore::fatfiletime2str(found[0].writetime), "11/30,2012");
}

TEST_P(FatEntryWalk, OnlyAttribute0FIsALongNameSlot)
{
    const std::uint8_t attrs[] = {0x0F, 0x1F, 0x2F, 0x4F, 0x8F};
    int slot = 0;
    for (std::uint8_t attr : attrs) {
        FatBuilder::Entry e;
        e.name83 = shortname(QStringLiteral("A%1.BIN").arg(attr, 2, 16, QLatin1Char('0')).toUpper().toLatin1().constData());
        e.attr = attr;
        e.startcluster = b.firstfree(20);
        e.size = 10;
        b.setfat(e.startcluster, b.endmark());
        b.putentry(0, slot++, e);
    }
    open();
    const std::vector<FILEPARM> found = rootentries(1);
    std::vector<QByteArray> names;
    for (const FILEPARM& f : found)
        names.push_back(f.namebytes());
    EXPECT_EQ(names, (std::vector<QByteArray>{"A1F.BIN", "A2F.BIN", "A4F.BIN", "A8F.BIN"}));
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].isdir, 1);  // 0x1F carries the directory bit
    EXPECT_EQ(found[1].isdir, 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, FatEntryWalk, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });
