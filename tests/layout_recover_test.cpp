// Cards whose whole system area is gone (boot sector, backup, FSInfo, both
// FATs, the FAT16 root): kov-recover --deep finds the layout from the
// directories in the data area and brings the files back in their folders.
#include "layout/layoutsearch.h"
#include "support/cardimage.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct Card {
    int fatbits;
    std::uint64_t bytes;
    int spc;
    bool keeproot = false;  // FAT16: the root area survives the damage
};

class LayoutRecover : public ::testing::TestWithParam<Card> {
protected:
    QTemporaryDir tmp;
};

}  // namespace

TEST_P(LayoutRecover, ZeroedSystemAreaGivesEveryFolderedFileBackInItsFolder)
{
    const Card c = GetParam();
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    QList<CardFile> files;
    ASSERT_TRUE(makecard(image, c.fatbits, c.bytes, c.spc, 80, &files)) << lasterror();
    const BootGeometry area = bootgeometry(image);
    ASSERT_GT(area.datastart, 0u);
    // The FAT16 root area lies between the second FAT and the data.
    const std::uint64_t damaged = c.keeproot ? area.fatstart + 2 * area.fatbytes : area.datastart;
    ASSERT_TRUE(overwrite(image, 0, damaged));

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome plain = kovrecover({image, out});
    EXPECT_EQ(plain.status, 3);
    EXPECT_TRUE(plain.err.contains("--deep")) << plain.err.constData();

    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), image, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    const QByteArray type = c.fatbits == 32 ? "FAT32 (found)" : "FAT16 (found)";
    EXPECT_TRUE(o.err.contains(type + QByteArray(", ") + QByteArray::number(qulonglong(area.clustersize)) +
                               " byte clusters, data area at byte " + QByteArray::number(qulonglong(area.datastart))))
        << o.err.constData();

    // By contents: where each file came back.
    QMultiMap<QByteArray, QString> where;
    const QMap<QString, QByteArray> tree = outputtree(out);
    for (auto it = tree.begin(); it != tree.end(); ++it)
        where.insert(it.value(), it.key());
    int checked = 0;
    for (const CardFile& f : files) {
        const int slash = int(f.path.lastIndexOf(QLatin1Char('/')));
        if (slash < 0 && c.fatbits == 16 && !c.keeproot)
            continue;  // the FAT16 root lay before the data area: its entries are gone
        ++checked;
        const QStringList paths = where.values(f.data);
        ASSERT_EQ(paths.size(), 1) << qPrintable(f.path);
        EXPECT_TRUE(paths[0].startsWith(QLatin1String("lost/"))) << qPrintable(paths[0]);
        const QString folder = slash < 0 ? QStringLiteral("root") : f.path.section(QLatin1Char('/'), -2, -2);
        EXPECT_EQ(QFileInfo(paths[0]).dir().dirName(), folder) << qPrintable(f.path);
        // With the root's entries, the top folders keep their names too.
        if (c.keeproot && slash >= 0) {
            EXPECT_EQ(QFileInfo(paths[0]).path(), QStringLiteral("lost/") + f.path.left(slash)) << qPrintable(f.path);
        }
    }
    EXPECT_GE(checked, 60);

    const CommandOutcome listed = kovrecover({QStringLiteral("--list-volumes"), image});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.out.contains(type)) << listed.out.constData();
}

INSTANTIATE_TEST_SUITE_P(Cards, LayoutRecover,
                         ::testing::Values(Card{32, 300u << 20, 8}, Card{16, 48u << 20, 4},
                                           Card{16, 48u << 20, 4, true}),
                         [](const auto& info) {
                             return QStringLiteral("FAT%1%2")
                                 .arg(info.param.fatbits)
                                 .arg(info.param.keeproot ? "RootKept" : "")
                                 .toStdString();
                         });

TEST(LayoutRecover, TruncatedCardKeepsTheFilesOfAFolderThatListsOnePastItsEnd)
{
    // An image cut short (a copy that stopped) whose system area is gone:
    // a folder listing a file that lay past the cut still gives the files
    // the image holds, and the one past it is told.
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 32, 64u << 20, 1)) << lasterror();
    const QString local = tmp.filePath(QStringLiteral("f"));
    for (const char* dir : {"KEEP", "TWO", "THREE"}) {
        ASSERT_TRUE(mmd(image, QLatin1String(dir)));
        ASSERT_TRUE(writefile(local, patterndata(3000, std::uint32_t(dir[1]))));
        ASSERT_TRUE(mcopy(image, local, QLatin1String(dir) + QStringLiteral("/A.BIN")));
    }
    const QByteArray inside = patterndata(5000, 11);
    const QByteArray beyond = patterndata(5000, 12);
    ASSERT_TRUE(writefile(local, inside) && mcopy(image, local, QStringLiteral("KEEP/INSIDE.BIN")));
    ASSERT_TRUE(writefile(local, patterndata(8u << 20, 13)) && mcopy(image, local, QStringLiteral("PAD.BIN")));
    ASSERT_TRUE(writefile(local, beyond) && mcopy(image, local, QStringLiteral("KEEP/BEYOND.BIN")));
    const BootGeometry area = bootgeometry(image);
    ASSERT_TRUE(overwrite(image, 0, area.datastart));
    QFile card(image);
    ASSERT_TRUE(card.open(QIODevice::ReadWrite));
    const qint64 cut = card.readAll().indexOf(beyond);
    ASSERT_GT(cut, qint64(area.datastart));
    ASSERT_TRUE(card.resize(cut));
    card.close();

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), image, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    EXPECT_TRUE(o.err.contains("BEYOND.BIN not saved")) << o.err.constData();
    EXPECT_EQ(contents(out + QStringLiteral("/lost/KEEP/INSIDE.BIN")), inside) << o.err.constData();
}

TEST(LayoutSearch, DataWithoutDirectoriesEndsWithAClearMessage)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("noise.img"));
    ASSERT_TRUE(writefile(image, patterndata(4u << 20, 5)));
    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), image, out});
    EXPECT_EQ(o.status, 3);
    EXPECT_TRUE(o.err.contains("no layout found")) << o.err.constData();
    EXPECT_TRUE(outputtree(out).isEmpty());
}

TEST(LayoutReformat, EarlierLayoutsFilesComeBackInTheirOwnTree)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    QList<CardFile> files;
    ASSERT_TRUE(makecard(image, 32, 300u << 20, 8, 60, &files, 3, 2u << 20)) << lasterror();
    // Formatted again with half the cluster size: a larger FAT, the data
    // area further on.
    ASSERT_TRUE(runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"),
                                                     QStringLiteral("4"), image}))
        << lasterror();
    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), image, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    EXPECT_TRUE(o.err.contains("earlier layout: FAT32 (found), 4096 byte clusters")) << o.err.constData();
    QMultiMap<QByteArray, QString> where;
    const QMap<QString, QByteArray> tree = outputtree(out);
    for (auto it = tree.begin(); it != tree.end(); ++it)
        where.insert(it.value(), it.key());
    int checked = 0;
    for (const CardFile& f : files) {
        if (!f.path.contains(QLatin1Char('/')))
            continue;  // the old root lay where the new FATs are
        ++checked;
        const QStringList paths = where.values(f.data);
        ASSERT_EQ(paths.size(), 1) << qPrintable(f.path);
        EXPECT_TRUE(paths[0].startsWith(QLatin1String("lost/earlier-layout-4k/"))) << qPrintable(paths[0]);
        EXPECT_EQ(QFileInfo(paths[0]).dir().dirName(), f.path.section(QLatin1Char('/'), -2, -2))
            << qPrintable(f.path);
    }
    EXPECT_GE(checked, 40);
    // Nothing read with the new geometry from the old directories.
    for (const QString& path : tree.keys())
        EXPECT_FALSE(path.startsWith(QLatin1String("lost/orphans/"))) << qPrintable(path);
}

TEST(LayoutReformat, NewFormatsDeletedFolderGivesTheEarlierLayoutNothing)
{
    // The new format's own deleted folder spans several clusters, written
    // far out: the ones after its first are free, and read with the earlier
    // geometry their entries would name free bytes that hold no file.
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    QList<CardFile> files;
    ASSERT_TRUE(makecard(image, 32, 300u << 20, 8, 60, &files, 3, 2u << 20)) << lasterror();
    ASSERT_TRUE(runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"),
                                                     QStringLiteral("4"), image}))
        << lasterror();
    ASSERT_TRUE(setfsinfohint(image, 20000)) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("New folder")));
    QStringList args{QStringLiteral("-i"), image};
    for (int i = 0; i < 100; ++i) {
        CardFile f{QStringLiteral("New file number %1.txt").arg(i), patterndata(300 + 97 * i, 777 + i)};
        const QString local = tmp.filePath(f.path);
        ASSERT_TRUE(writefile(local, f.data));
        args << local;
        files.append(f);
    }
    args << QStringLiteral("::New folder/");
    ASSERT_TRUE(runtool(QStringLiteral("mcopy"), args)) << lasterror();
    ASSERT_TRUE(mdeltree(image, QStringLiteral("New folder")));

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), image, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    ASSERT_TRUE(o.err.contains("earlier layout: FAT32 (found), 4096 byte clusters")) << o.err.constData();
    QSet<QByteArray> known;
    for (const CardFile& f : files)
        known.insert(f.data);
    const QMap<QString, QByteArray> tree = outputtree(out);
    int earlier = 0;
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        earlier += it.key().startsWith(QLatin1String("lost/earlier-layout-4k/")) ? 1 : 0;
        EXPECT_TRUE(known.contains(it.value())) << "not a file of either format: " << qPrintable(it.key());
    }
    EXPECT_GE(earlier, 40);
}

TEST(LayoutSearch, PairsChooseTheLayoutMostAgreeOnAndAnEarlierOneBesideIt)
{
    using layout::DIRPAIR;
    const std::uint64_t source = 64u << 20;
    std::vector<DIRPAIR> pairs;
    auto layoutpairs = [&](std::uint64_t size, std::uint64_t start, std::vector<std::uint32_t> clusters) {
        for (const std::uint32_t c : clusters)
            pairs.push_back({start + (std::uint64_t(c) - 2) * size, c, 0});
    };
    layoutpairs(4096, 1u << 20, {3, 9, 40, 41, 700});
    layoutpairs(2048, 3u << 20, {5, 80, 81, 900});
    // Fifty pairs agreeing on 4 KiB clusters with the data start 1 MiB
    // before byte 0, and "." entries naming clusters far past the source:
    // no layout of theirs may win.
    for (std::uint32_t k = 0; k < 50; ++k) {
        pairs.push_back({(8u << 20) + 4096u * k, 2 + 256 + 2048 + k, 0});
        pairs.push_back({512u * (100 + k), 0x0FFFFF00u - k, 0});
    }
    const std::vector<layout::FOUNDLAYOUT> found = layout::chooselayouts(pairs, source);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].clustersize, 4096u);
    EXPECT_EQ(found[0].datastart, 1u << 20);
    EXPECT_EQ(found[0].directories, 5u);
    EXPECT_EQ(found[1].clustersize, 2048u);
    EXPECT_EQ(found[1].datastart, 3u << 20);

    // Pairs that agree on nothing give no layout.
    std::vector<DIRPAIR> loose{{1u << 20, 7, 0}, {5u << 20, 3, 0}, {9u << 20, 100, 0}};
    EXPECT_TRUE(layout::chooselayouts(loose, source).empty());
}
